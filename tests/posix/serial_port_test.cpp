// The serial calls on a real pseudo-terminal pair: the tool's side is the slave, opened through a
// SIGMA_PORTS entry; the test plays the printer on the master.
#include "child_process.h"
#include "platform/posix/posix_backend.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point start) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

HANDLE open_port(const char* name) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// SIGMA_PORTS set for one test, and put back after it.
class ports_dir_test : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* old = std::getenv("SIGMA_PORTS");
        had_old = old != nullptr;
        old_value = had_old ? old : "";
        dir = make_temporary_dir();
        ASSERT_FALSE(dir.empty());
        setenv("SIGMA_PORTS", dir.c_str(), 1);
    }
    void TearDown() override {
        if (had_old) {
            setenv("SIGMA_PORTS", old_value.c_str(), 1);
        } else {
            unsetenv("SIGMA_PORTS");
        }
        remove_temporary_dir(dir);
    }
    std::string dir;
    bool had_old = false;
    std::string old_value;
};

TEST(com_number, takes_com0_to_com20_only_as_the_tool_formats_them) {
    EXPECT_EQ(posix::com_number("\\\\.\\COM0"), 0);
    EXPECT_EQ(posix::com_number("\\\\.\\COM20"), 20);
    EXPECT_EQ(posix::com_number("COM7"), 7);
    EXPECT_EQ(posix::com_number("\\\\.\\COM21"), -1);
    EXPECT_EQ(posix::com_number("\\\\.\\COM05"), -1);
    EXPECT_EQ(posix::com_number("\\\\.\\COM"), -1);
    EXPECT_EQ(posix::com_number("\\\\.\\COM1x"), -1);
    EXPECT_EQ(posix::com_number("\\\\.\\LPT1"), -1);
    EXPECT_EQ(posix::com_number("/dev/ttyACM0"), -1);
}

#if defined(__linux__)
TEST(system_com_device, linux_table_is_acm_then_usb_and_never_ttys) {
    struct {
        int number;
        const char* path;
    } const cases[] = {{0, "/dev/ttyACM0"},
                       {9, "/dev/ttyACM9"},
                       {10, "/dev/ttyUSB0"},
                       {11, "/dev/ttyUSB1"},
                       {20, "/dev/ttyUSB10"}};
    for (const auto& c : cases) {
        std::string path;
        ASSERT_TRUE(posix::system_com_device(c.number, &path)) << c.number;
        EXPECT_EQ(path, c.path);
    }
    for (int number = 0; number <= 20; ++number) {
        std::string path;
        posix::system_com_device(number, &path);
        EXPECT_EQ(path.find("/dev/ttyS"), std::string::npos) << path;
    }
    std::string path;
    EXPECT_FALSE(posix::system_com_device(21, &path));
}
#endif

TEST_F(ports_dir_test, sigma_ports_directory_overrides_the_table_and_a_non_directory_does_not) {
    std::string path;
    ASSERT_TRUE(posix::resolve_com_device("\\\\.\\COM3", &path));
    EXPECT_EQ(path, dir + "/COM3");
    const std::string file = dir + "/not-a-directory";
    close(open(file.c_str(), O_CREAT | O_WRONLY, 0600));
    setenv("SIGMA_PORTS", file.c_str(), 1);
    std::string table_path;
    posix::system_com_device(3, &table_path);
    ASSERT_TRUE(posix::resolve_com_device("\\\\.\\COM3", &path));
    EXPECT_EQ(path, table_path);
    EXPECT_FALSE(posix::resolve_com_device("\\\\.\\COM21", &path));
}

TEST_F(ports_dir_test, an_entry_that_is_no_terminal_does_not_open) {
    const std::string file = dir + "/COM4";
    close(open(file.c_str(), O_CREAT | O_WRONLY, 0600));
    EXPECT_EQ(open_port("\\\\.\\COM4"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(open_port("\\\\.\\COM5"), INVALID_HANDLE_VALUE); // no entry at all
}

TEST(build_comm_dcb, fills_the_line_settings_windows_does_and_refuses_garbage) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    ASSERT_NE(BuildCommDCBA("250000,n,8,1", &dcb), 0);
    EXPECT_EQ(dcb.BaudRate, 250000u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    for (const char* bad :
         {"garbage", "", "250000", "250000,x,8,1", "250000,n,9,1", "250000,n,8,3", "0,n,8,1"}) {
        EXPECT_EQ(BuildCommDCBA(bad, &dcb), 0) << bad;
    }
}

// A pseudo-terminal pair reachable as COM3.
class pty_port_test : public ports_dir_test {
  protected:
    void SetUp() override {
        ports_dir_test::SetUp();
        master = open_raw_pty_master();
        ASSERT_GE(master, 0);
        ASSERT_EQ(symlink(ptsname(master), (dir + "/COM3").c_str()), 0);
        port = open_port("\\\\.\\COM3");
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (port != INVALID_HANDLE_VALUE) {
            CloseHandle(port);
        }
        if (master >= 0) {
            close(master);
        }
        ports_dir_test::TearDown();
    }

    void set_timeouts(DWORD interval, DWORD multiplier, DWORD constant) {
        COMMTIMEOUTS timeouts;
        std::memset(&timeouts, 0, sizeof timeouts);
        timeouts.ReadIntervalTimeout = interval;
        timeouts.ReadTotalTimeoutMultiplier = multiplier;
        timeouts.ReadTotalTimeoutConstant = constant;
        ASSERT_NE(SetCommTimeouts(port, &timeouts), 0);
    }

    void printer_sends(const std::string& bytes) {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    int master = -1;
    HANDLE port = INVALID_HANDLE_VALUE;
};

TEST_F(pty_port_test, line_settings_make_the_line_raw_8n1) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    ASSERT_NE(BuildCommDCBA("250000,n,8,1", &dcb), 0);
    EXPECT_NE(SetCommState(port, &dcb), 0);
    termios line;
    ASSERT_EQ(tcgetattr(master, &line), 0);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(line.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    // A "\n" goes out as one byte: no CR is added on the way.
    DWORD written = 0;
    ASSERT_NE(WriteFile(port, "G1 F600 Z201.000\n", 17, &written, nullptr), 0);
    EXPECT_EQ(written, 17u);
    EXPECT_EQ(read_until_quiet(master, 100, 2000), "G1 F600 Z201.000\n");
}

TEST_F(pty_port_test, one_byte_read_with_1_1_1_returns_a_byte_at_once_or_none_after_the_timeout) {
    set_timeouts(1, 1, 1);
    char byte = 0;
    DWORD count = 7;
    clock_type::time_point start = clock_type::now();
    ASSERT_NE(ReadFile(port, &byte, 1, &count, nullptr), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_GE(ms_since(start), 1.9); // the total time-out, 1 x 1 + 1 ms
    EXPECT_LT(ms_since(start), 1000.0);

    printer_sends("ok\r\n");
    usleep(20000);
    std::string got;
    for (;;) {
        ASSERT_NE(ReadFile(port, &byte, 1, &count, nullptr), 0);
        if (count == 0) {
            break;
        }
        got += byte;
    }
    EXPECT_EQ(got, "ok\r\n");
}

TEST_F(pty_port_test, interval_timeout_ends_a_read_once_bytes_stop_coming) {
    set_timeouts(20, 0, 0);
    printer_sends("abc");
    char bytes[64];
    DWORD count = 0;
    ASSERT_NE(ReadFile(port, bytes, sizeof bytes, &count, nullptr), 0);
    EXPECT_EQ(std::string(bytes, count), "abc");
}

TEST_F(pty_port_test, no_timeouts_wait_for_every_byte_asked) {
    set_timeouts(0, 0, 0);
    std::thread printer([this] {
        usleep(50000);
        printer_sends("o");
        usleep(50000);
        printer_sends("k");
    });
    char bytes[2];
    DWORD count = 0;
    const BOOL result = ReadFile(port, bytes, 2, &count, nullptr);
    printer.join();
    ASSERT_NE(result, 0);
    EXPECT_EQ(std::string(bytes, count), "ok");
}

TEST_F(pty_port_test, maxdword_interval_returns_at_once_with_what_is_there) {
    set_timeouts(0xFFFFFFFFu, 0, 0);
    char bytes[8];
    DWORD count = 9;
    ASSERT_NE(ReadFile(port, bytes, sizeof bytes, &count, nullptr), 0);
    EXPECT_EQ(count, 0u);
    printer_sends("x");
    usleep(20000);
    ASSERT_NE(ReadFile(port, bytes, sizeof bytes, &count, nullptr), 0);
    EXPECT_EQ(std::string(bytes, count), "x");
}

TEST_F(pty_port_test, a_held_port_does_not_open_again_until_it_is_closed) {
    EXPECT_EQ(open_port("\\\\.\\COM3"), INVALID_HANDLE_VALUE);
    ASSERT_NE(CloseHandle(port), 0);
    port = open_port("\\\\.\\COM3");
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
}

// A printer that stops taking bytes: the write gives up after the total write time-out
// (multiplier x bytes + constant), a failure with fewer bytes written, as on Windows.
TEST_F(pty_port_test, a_write_the_printer_does_not_take_ends_at_the_write_timeout) {
    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0, sizeof timeouts);
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 200;
    ASSERT_NE(SetCommTimeouts(port, &timeouts), 0);
    const std::string chunk(4096, 'x');
    DWORD written = 0;
    BOOL result = 1;
    double last_ms = 0;
    // The terminal's buffer takes some kilobytes; the master side here never reads.
    for (int i = 0; i < 64 && result != 0; ++i) {
        const clock_type::time_point start = clock_type::now();
        result = WriteFile(port, chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr);
        last_ms = ms_since(start);
    }
    ASSERT_EQ(result, 0) << "the buffer never filled";
    EXPECT_LT(written, chunk.size());
    EXPECT_GE(last_ms, 199.0);
    EXPECT_LT(last_ms, 5000.0);
}

// Most programs open a port without a lock: one held open so is in use all the same, as Windows'
// exclusive open says, whether the holder is this process or another and whatever name it opened
// the device by.
TEST_F(ports_dir_test, a_port_held_open_without_a_lock_does_not_open) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    ASSERT_EQ(symlink(slave.c_str(), (dir + "/COM3").c_str()), 0);

    const int held_here = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(held_here, 0);
    EXPECT_EQ(open_port("\\\\.\\COM3"), INVALID_HANDLE_VALUE);
    close(held_here);

    const int slave_fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(slave_fd, 0);
    child_process holder = start_child({"/bin/sleep", "60"}, slave_fd);
    close(slave_fd);
    EXPECT_EQ(open_port("\\\\.\\COM3"), INVALID_HANDLE_VALUE);
    stop_child(holder, SIGTERM);

    const HANDLE port = open_port("\\\\.\\COM3");
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
    if (port != INVALID_HANDLE_VALUE) {
        CloseHandle(port);
    }
    close(master);
}

TEST_F(pty_port_test, a_vanished_device_fails_reads_and_writes_at_once) {
    set_timeouts(1, 1, 1);
    close(master);
    master = -1;
    char byte = 0;
    DWORD count = 0;
    const clock_type::time_point start = clock_type::now();
    EXPECT_EQ(ReadFile(port, &byte, 1, &count, nullptr), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(WriteFile(port, "G1\n", 3, &count, nullptr), 0);
    // Later calls fail the same way; none waits for a device that is gone.
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(ReadFile(port, &byte, 1, &count, nullptr), 0);
    }
    EXPECT_LT(ms_since(start), 1000.0);
    EXPECT_NE(CloseHandle(port), 0);
    port = INVALID_HANDLE_VALUE;
}

} // namespace
