// The serial port: which device is taken, how it is set up, the settle, and the reply read.
#include "sim_fixture.h"

#include "link/printer_link.h"

#include <cstring>

namespace {

using link_test = sim_test;

std::string com(int number) {
    return "\\\\.\\COM" + std::to_string(number);
}

std::vector<std::string> com_range(int first, int last) {
    std::vector<std::string> names;
    for (int n = first; n <= last; ++n) {
        names.push_back(com(n));
    }
    return names;
}

TEST_F(link_test, the_search_takes_the_first_device_that_opens_from_com0_to_com20) {
    struct device_setup {
        int number;
        sim::device_kind kind;
    };
    struct search_case {
        const char* name;
        std::vector<device_setup> devices;
        int result;
        int taken; // -1: none
        int last_tried;
    } cases[] = {
        {"none", {}, -1, -1, 20},
        {"COM3 and COM7",
         {{7, sim::device_kind::present}, {3, sim::device_kind::present}},
         1,
         3,
         3},
        {"COM0 first", {{0, sim::device_kind::present}, {1, sim::device_kind::present}}, 1, 0, 0},
        {"COM20 last", {{20, sim::device_kind::present}}, 1, 20, 20},
        {"COM21 never",
         {{21, sim::device_kind::present}, {99, sim::device_kind::present}},
         -1,
         -1,
         20},
        {"held skipped", {{3, sim::device_kind::held}, {7, sim::device_kind::present}}, 1, 7, 7},
        {"too slow skipped",
         {{2, sim::device_kind::refuses_speed}, {5, sim::device_kind::present}},
         1,
         5,
         5},
    };
    for (const search_case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::reset();
        for (const device_setup& d : c.devices) {
            sim::add_device(com(d.number), d.kind);
        }
        HANDLE port = nullptr;
        char name[port_name_size];
        EXPECT_EQ(find_printer_port(&port, name), c.result);
        EXPECT_EQ(sim::state().open_attempts, com_range(0, c.last_tried));
        for (const sim::device& d : sim::state().devices) {
            const bool taken = c.taken >= 0 && d.name == com(c.taken);
            // Only the device taken stays open: a refused one is closed again.
            EXPECT_EQ(d.open, taken) << d.name;
            EXPECT_EQ(d.opens - d.closes, taken ? 1 : 0) << d.name;
        }
        if (c.taken < 0) {
            EXPECT_EQ(port, INVALID_HANDLE_VALUE);
        } else {
            EXPECT_NE(port, INVALID_HANDLE_VALUE);
            EXPECT_EQ(std::string(name), com(c.taken));
        }
    }
}

TEST_F(link_test, ports_the_system_lists_as_motherboard_or_bluetooth_serial_are_tried_last) {
    using listing = std::vector<std::pair<std::string, std::string>>;
    struct order_case {
        const char* name;
        bool listed;
        listing devices;
        std::vector<int> present;
        int taken;
    } cases[] = {
        {"a motherboard COM1 and a USB printer at COM3",
         true,
         {{"\\Device\\Serial0", "COM1"}, {"\\Device\\USBSER000", "COM3"}},
         {1, 3},
         3},
        {"two USB ports: the lower",
         true,
         {{"\\Device\\VCP0", "COM9"}, {"\\Device\\USBSER000", "COM4"}},
         {4, 9},
         4},
        {"a Bluetooth COM2 before an FTDI COM12",
         true,
         {{"\\Device\\BthModem0", "COM2"}, {"\\Device\\VCP0", "COM12"}},
         {2, 12},
         12},
        {"a port the list leaves out counts as likely",
         true,
         {{"\\Device\\Serial0", "COM1"}},
         {0, 1},
         0},
        {"a name that only starts like a UART's is not one",
         true,
         {{"\\Device\\Serial0", "COM1"}, {"\\Device\\SerialUsb", "COM5"}},
         {1, 5},
         5},
        {"only unlikely ports: they are still tried",
         true,
         {{"\\Device\\Serial0", "COM1"}, {"\\Device\\BthModem3", "COM4"}},
         {1, 4},
         1},
        {"no list: the plain order", false, {}, {1, 3}, 1},
    };
    for (const order_case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::reset();
        sim::state().serial_devices_listed = c.listed;
        sim::state().serial_devices = c.devices;
        for (int number : c.present) {
            sim::add_device(com(number));
        }
        HANDLE port = nullptr;
        char name[port_name_size];
        ASSERT_EQ(find_printer_port(&port, name), 1);
        EXPECT_EQ(std::string(name), com(c.taken));
    }
}

TEST_F(link_test, the_search_order_names_every_port_once) {
    sim::state().serial_devices_listed = true;
    sim::state().serial_devices = {
        {"\\Device\\Serial0", "COM1"},    {"\\Device\\Serial1", "COM2"},
        {"\\Device\\BthModem0", "COM20"}, {"\\Device\\Serial7", "COM21"},
        {"\\Device\\Serial8", "COM"},     {"\\Device\\USBSER000", "COM3"}};
    int order[printer_port_last + 1];
    order_printer_ports(order);
    std::vector<int> expected;
    for (int n = 0; n <= 19; ++n) {
        if (n != 1 && n != 2) {
            expected.push_back(n);
        }
    }
    expected.insert(expected.end(), {1, 2, 20});
    EXPECT_EQ(std::vector<int>(order, order + printer_port_last + 1), expected);
}

TEST_F(link_test, the_device_is_opened_exclusively_at_250000_8n1_with_2_ms_reads) {
    sim::device& printer = sim::add_device(com(4));
    HANDLE port = nullptr;
    char name[port_name_size];
    ASSERT_EQ(find_printer_port(&port, name), 1);
    EXPECT_EQ(printer.access, GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(printer.share_mode, 0u);
    EXPECT_EQ(printer.creation, OPEN_EXISTING);
    EXPECT_EQ(printer.flags, 0u);
    ASSERT_TRUE(printer.dcb_set);
    EXPECT_EQ(printer.dcb.DCBlength, 28u);
    EXPECT_EQ(printer.dcb.BaudRate, 250000u);
    EXPECT_EQ(printer.dcb.ByteSize, 8);
    EXPECT_EQ(printer.dcb.Parity, NOPARITY);
    EXPECT_EQ(printer.dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(printer.dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(printer.dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(log_entries("BuildCommDCBA"), std::vector<std::string>{"BuildCommDCBA 250000,n,8,1"});
    ASSERT_TRUE(printer.timeouts_set);
    EXPECT_EQ(printer.timeouts.ReadIntervalTimeout, 1u);
    EXPECT_EQ(printer.timeouts.ReadTotalTimeoutMultiplier, 1u);
    EXPECT_EQ(printer.timeouts.ReadTotalTimeoutConstant, 1u);
    // A write that cannot finish in a second gives up, so that the tool never freezes on it.
    EXPECT_EQ(printer.timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(printer.timeouts.WriteTotalTimeoutConstant, 1000u);
    // After the settle a read takes what has come and returns at once.
    settle_printer_port(port);
    EXPECT_EQ(printer.timeouts.ReadIntervalTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(printer.timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(printer.timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(printer.timeouts.WriteTotalTimeoutConstant, 1000u);
    // A second exclusive open of the same device, as a second copy of the tool would try, fails.
    HANDLE second = nullptr;
    EXPECT_EQ(open_printer_port(&second, com(4).c_str()), -1);
}

struct opened_printer {
    sim::device* device;
    HANDLE port;
};

opened_printer open_one() {
    sim::device& printer = sim::add_device(com(3));
    HANDLE port = nullptr;
    char name[port_name_size];
    EXPECT_EQ(find_printer_port(&port, name), 1);
    return {&printer, port};
}

TEST_F(link_test, a_silent_printer_settles_in_2222_ms_and_one_empty_read) {
    const opened_printer p = open_one();
    settle_printer_port(p.port);
    EXPECT_EQ(sim::state().now_us, 2224 * sim::us_per_ms);
    EXPECT_TRUE(p.device->written.empty());
}

TEST_F(link_test, the_settle_drains_what_the_printer_sent_up_to_the_first_gap) {
    struct banner_case {
        const char* name;
        uint64_t from_us;
        size_t length;
        size_t left_queued;
    } cases[] = {
        {"a banner during the wait", 1000000, 900, 0},
        {"a long banner still arriving after the wait", 2000000, 20000, 0},
        {"bytes after a 5 ms gap stay", 1000000, 900, 10},
    };
    for (const banner_case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::reset();
        const opened_printer p = open_one();
        sim::printer_sends(*p.device, c.from_us, std::string(c.length, 'b'));
        if (c.left_queued > 0) {
            sim::printer_sends(*p.device, 2230000, std::string(c.left_queued, 'x'), 100);
        }
        settle_printer_port(p.port);
        EXPECT_EQ(p.device->incoming.size(), c.left_queued);
        EXPECT_LT(sim::now_ms(), 2222 + 1000 + 3u);
    }
}

TEST_F(link_test, the_settle_ends_even_when_the_printer_never_pauses) {
    struct flood_case {
        const char* name;
        uint64_t spacing_us;
        uint64_t max_end_ms;
    } cases[] = {
        // At the line rate, 64 KiB would take 2.6 s: the 1 s bound ends the drain.
        {"at line rate", sim::byte_time_us, 2222 + 1000 + 1},
        // Faster than the line, the byte bound comes first.
        {"faster than the line", 1, 2222 + 66},
        // A trickle just inside the 2 ms gap.
        {"trickle", 1900, 2222 + 1002},
    };
    for (const flood_case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::reset();
        const opened_printer p = open_one();
        sim::printer_sends(*p.device, 0, std::string(200000, 'f'), c.spacing_us);
        settle_printer_port(p.port);
        EXPECT_LE(sim::now_ms(), c.max_end_ms);
        EXPECT_GE(200000 - p.device->incoming.size(), 1u);
        EXPECT_FALSE(p.device->incoming.empty());
    }
}

TEST_F(link_test, a_command_line_goes_out_whole_and_alone_or_fails_in_a_second) {
    struct write_case {
        const char* name;
        sim::write_behaviour writes;
        int result;
        uint64_t took_ms;
    } cases[] = {
        {"taken", sim::write_behaviour::takes, 1, 0},
        {"a printer that stops reading", sim::write_behaviour::stalls, -1, 1000},
        {"a failing driver", sim::write_behaviour::fails, -1, 0},
    };
    for (const write_case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::reset();
        const opened_printer p = open_one();
        p.device->writes = c.writes;
        const uint64_t start = sim::now_ms();
        EXPECT_EQ(send_height_command(p.port, "G1 F600 Z201.000\n"), c.result);
        EXPECT_EQ(sim::now_ms() - start, c.took_ms);
        EXPECT_EQ(sim::wire(*p.device), c.result > 0 ? "G1 F600 Z201.000\n" : "");
    }
}

// The printer's bytes, each piece arriving 1 ms after the one before, read after every piece.
struct reply_pieces {
    const char* name;
    std::vector<std::string> pieces;
    int answers;
};

TEST_F(link_test, each_ok_line_counts_once_wherever_the_reads_cut_it) {
    const std::string nul(1, '\0');
    const reply_pieces cases[] = {
        {"ok LF", {"ok\n"}, 1},
        {"ok CR LF", {"ok\r\n"}, 1},
        {"CR LF cut between CR and LF", {"ok\r", "\n"}, 1},
        {"o, then k LF", {"o", "k\n"}, 1},
        {"ok, then its line end", {"ok", "\n"}, 1},
        {"fields after ok", {"ok T:21.0 /0.0\n", "ok N12 P15 B3\r\n"}, 2},
        {"three in one read", {"ok\nok\nok\n"}, 3},
        {"not yet ended", {"ok"}, 0},
        {"lines that only start like ok", {"o\n", "oK\n", "okay\n", "Ok\n", " ok\n"}, 0},
        {"echo, busy and errors", {"echo:busy: processing\nError:Line Number\n"}, 0},
        {"an ok inside another line", {"echo:ok\n", "resend ok\n"}, 0},
        {"garbage and NUL around it",
         {"\x9f\xff" + nul + "\r\n", "ok\n", nul + "ok\n", "ok" + nul + "\n"},
         1},
        {"after a 10 KiB line", {std::string(10240, 'x') + "\n", "ok\n"}, 1},
        {"a 10 KiB line that begins with ok", {"ok " + std::string(10240, 'x'), "\n"}, 1},
    };
    for (const reply_pieces& c : cases) {
        SCOPED_TRACE(c.name);
        sim::reset();
        const opened_printer p = open_one();
        settle_printer_port(p.port);
        printer_replies replies;
        forget_printer_replies(&replies);
        char buffer[line_buffer_size];
        size_t sent = 0;
        size_t taken = 0;
        for (const std::string& piece : c.pieces) {
            sim::printer_sends(*p.device, sim::state().now_us, piece, 0);
            sent += piece.size();
            // A long piece is taken over a few reads, as over a few passes of the loop.
            for (int pass = 0; pass < 10 && taken < sent; ++pass) {
                const int got = read_printer_reply(p.port, buffer, &replies);
                ASSERT_GE(got, 0);
                taken += static_cast<size_t>(got);
            }
            Sleep(1);
        }
        EXPECT_EQ(taken, sent);
        EXPECT_EQ(replies.answers, c.answers);
    }
}

TEST_F(link_test, a_reply_read_takes_what_has_come_without_waiting) {
    const opened_printer p = open_one();
    settle_printer_port(p.port);
    sim::printer_sends(*p.device, sim::state().now_us, std::string(3000, 'x') + "\nok\n", 0);
    sim::printer_sends(*p.device, sim::state().now_us + 5000, "late\n");
    printer_replies replies;
    forget_printer_replies(&replies);
    char buffer[line_buffer_size];
    std::memset(buffer, 0x7F, sizeof buffer); // a stale text from an earlier use
    const uint64_t start = sim::state().now_us;
    // Eight pieces of 254 bytes at most in one call: a flood cannot hold the loop.
    EXPECT_EQ(read_printer_reply(p.port, buffer, &replies), 8 * 254);
    EXPECT_EQ(read_printer_reply(p.port, buffer, &replies), 3004 - 8 * 254);
    EXPECT_EQ(replies.answers, 1);
    // The buffer holds the last piece, 972 - 3 x 254 bytes.
    EXPECT_EQ(std::string(buffer), std::string(206, 'x') + "\nok\n");
    for (size_t i = std::strlen(buffer); i < sizeof buffer; ++i) {
        ASSERT_EQ(buffer[i], '\0') << "byte " << i;
    }
    EXPECT_EQ(read_printer_reply(p.port, buffer, &replies), 0);
    EXPECT_EQ(sim::state().now_us, start);
    EXPECT_EQ(p.device->incoming.size(), 5u); // "late" comes later
}

TEST_F(link_test, reads_and_writes_on_a_vanished_device_fail) {
    const opened_printer p = open_one();
    settle_printer_port(p.port);
    sim::pull_cable(*p.device);
    char buffer[line_buffer_size];
    printer_replies replies;
    forget_printer_replies(&replies);
    EXPECT_EQ(send_height_command(p.port, "G1 F600 Z201.000\n"), -1);
    EXPECT_EQ(read_printer_reply(p.port, buffer, &replies), -1);
    EXPECT_TRUE(p.device->written.empty());
    // Unplugged, the device does not open again until it is back.
    CloseHandle(p.port);
    HANDLE again = nullptr;
    EXPECT_EQ(open_printer_port(&again, com(3).c_str()), -1);
    sim::plug_back(*p.device);
    EXPECT_EQ(open_printer_port(&again, com(3).c_str()), 1);
}

} // namespace
