// The faults printer_sim plays, seen from the host side: what a tool opening its port receives.
// The fault scenarios rely on each fault being what its option says.
#include "../posix/printer_sim_fixture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

const std::string line = "G1 F600 Z201.000\n";

// Each test starts the printer with one fault and opens its port at once.
class printer_fault_test : public printer_sim_fixture {
  protected:
    void start_with(const std::vector<std::string>& fault) {
        start(fault);
        open_port();
    }
    void send_line() {
        send(line);
    }
};

TEST_F(printer_fault_test, garbage_with_nul_and_cr_on_open_and_before_each_answer) {
    start_with({"--garbage"});
    const std::string opening = read_until_quiet(port, 300, wait_ms);
    const size_t banner = opening.find("start\n");
    ASSERT_EQ(banner, 64u) << "64 bytes of garbage before the banner";
    EXPECT_NE(opening.substr(0, 64).find('\0'), std::string::npos);
    EXPECT_NE(opening.substr(0, 64).find('\r'), std::string::npos);

    send_line();
    const std::string answer = read_until_quiet(port, 300, wait_ms);
    ASSERT_EQ(answer.size(), 64u + 3u);
    EXPECT_NE(answer.substr(0, 64).find('\0'), std::string::npos);
    EXPECT_NE(answer.substr(0, 64).find('\r'), std::string::npos);
    EXPECT_EQ(answer.substr(64), "ok\n");
}

TEST_F(printer_fault_test, long_reply_puts_10_kib_without_a_cr_before_each_answer) {
    start_with({"--long-reply"});
    read_until_quiet(port, 300, wait_ms);
    for (int answer = 0; answer < 2; ++answer) {
        send_line();
        const std::string got = read_until_quiet(port, 300, wait_ms);
        ASSERT_EQ(got.size(), 10u * 1024u + 3u);
        EXPECT_EQ(got.find('\r'), std::string::npos);
        EXPECT_EQ(got.substr(got.size() - 4), "\nok\n");
    }
}

TEST_F(printer_fault_test, vanish_after_hangs_up_the_port_and_removes_the_link) {
    start_with({"--vanish-after", "2"});
    read_until_quiet(port, 300, wait_ms);
    send_line();
    EXPECT_EQ(read_until_quiet(port, 300, wait_ms), "ok\n");
    send_line();
    pollfd hangup{port, POLLIN, 0};
    ASSERT_EQ(poll(&hangup, 1, wait_ms), 1);
    EXPECT_NE(hangup.revents & POLLHUP, 0) << "the port did not hang up";
    char byte = 0;
    EXPECT_LE(read(port, &byte, 1), 0);
    EXPECT_LT(write(port, line.data(), line.size()), 0);
    struct stat info;
    EXPECT_NE(lstat(link.c_str(), &info), 0) << "the link is still there";
    const std::string received = file_text(log);
    EXPECT_EQ(received.find(" vanished\n"), received.size() - 10) << received;
}

// A real line would bring 25 bytes a millisecond; through a pseudo-terminal the flood keeps the
// reader's side full, so it brings far more, and goes on after an answer.
TEST_F(printer_fault_test, flood_keeps_sending_from_the_open_on) {
    start_with({"--flood"});
    const std::string opening = read_until_quiet(port, 200, 300);
    EXPECT_EQ(opening.compare(0, 6, "start\n"), 0);
    EXPECT_GT(opening.size(), 64u * 1024u);
    send_line();
    const std::string later = read_until_quiet(port, 200, 300);
    EXPECT_GT(later.size(), 64u * 1024u);
    EXPECT_NE(later.find("echo:busy: processing\n"), std::string::npos);
}

} // namespace
