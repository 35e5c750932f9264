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
        {"refused skipped",
         {{2, sim::device_kind::refuses_definition}, {5, sim::device_kind::present}},
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
        EXPECT_EQ(find_printer_port(&port), c.result);
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
        }
    }
}

TEST_F(link_test, the_device_is_opened_exclusively_at_250000_8n1_with_2_ms_reads) {
    sim::device& printer = sim::add_device(com(4));
    HANDLE port = nullptr;
    ASSERT_EQ(find_printer_port(&port), 1);
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
    EXPECT_EQ(printer.timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(printer.timeouts.WriteTotalTimeoutConstant, 0u);
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
    EXPECT_EQ(find_printer_port(&port), 1);
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

TEST_F(link_test, a_command_line_goes_out_whole_and_alone) {
    const opened_printer p = open_one();
    char line[256] = "G1 F600 Z201.000\n";
    send_height_command(p.port, line);
    ASSERT_EQ(p.device->written.size(), 1u);
    EXPECT_EQ(p.device->written[0].bytes, "G1 F600 Z201.000\n");
}

TEST_F(link_test, the_reply_read_stops_at_cr_at_254_bytes_or_at_silence) {
    struct reply_case {
        const char* name;
        std::string sent;
        uint64_t after_us;
        std::string stored;
        size_t left_queued;
    } cases[] = {
        {"ok CR LF: the LF waits for the next read", "ok\r\n", 0, "ok\r", 1},
        {"ok LF, then silence", "ok\n", 500, "ok\n", 0},
        {"300 bytes without CR", std::string(300, 'x'), 0, std::string(254, 'x'), 46},
        {"a reply that starts late stays queued", "ok\n", 5000, "", 3},
        {"nothing at all", "", 0, "", 0},
    };
    for (const reply_case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::reset();
        const opened_printer p = open_one();
        sim::printer_sends(*p.device, c.after_us, c.sent);
        char buffer[256];
        std::memset(buffer, 0x7F, sizeof buffer); // a stale text from an earlier use
        const uint64_t start = sim::state().now_us;
        read_printer_reply(p.port, buffer);
        EXPECT_EQ(std::string(buffer), c.stored);
        for (size_t i = c.stored.size(); i < sizeof buffer; ++i) {
            ASSERT_EQ(buffer[i], '\0') << "byte " << i;
        }
        EXPECT_EQ(p.device->incoming.size(), c.left_queued);
        if (c.stored.empty()) {
            EXPECT_EQ(sim::state().now_us - start, 2 * sim::us_per_ms);
        }
    }
}

TEST_F(link_test, reads_and_writes_on_a_vanished_device_fail_quietly) {
    const opened_printer p = open_one();
    p.device->vanished = true;
    char buffer[256];
    send_height_command(p.port, "G1 F600 Z201.000\n");
    read_printer_reply(p.port, buffer);
    settle_printer_port(p.port);
    EXPECT_STREQ(buffer, "");
    EXPECT_TRUE(p.device->written.empty());
}

} // namespace
