// The simulated printer seen from the host side: what a tool opening its port receives.
#include "printer_sim_fixture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <ostream>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using printer_sim_test = printer_sim_fixture;

TEST_F(printer_sim_test, banner_on_open_then_ok_per_line_and_position_on_m114) {
    start();
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), slave);

    open_port();
    const std::string banner = read_until_quiet(port, 300, wait_ms);
    EXPECT_EQ(banner.compare(0, 6, "start\n"), 0);
    EXPECT_NE(banner.find("\necho:"), std::string::npos);
    EXPECT_EQ(banner.find('\r'), std::string::npos);
    EXPECT_GT(banner.size(), 700u);
    EXPECT_LT(banner.size(), 1200u);

    send("G1 F600 Z201.000\n");
    std::string got;
    EXPECT_TRUE(read_until(port, "ok\n", &got, wait_ms));
    EXPECT_EQ(got, "ok\n");

    send("M114\n");
    got.clear();
    EXPECT_TRUE(read_until(port, "ok\n", &got, wait_ms));
    EXPECT_EQ(got.compare(0, 28, "X:0.00 Y:0.00 Z:201.00 E:0.0"), 0) << got;

    const std::string received = file_text(log);
    EXPECT_NE(received.find(" G1 F600 Z201.000\n"), std::string::npos) << received;
    EXPECT_NE(received.find(" M114\n"), std::string::npos) << received;
    // "<ms since open, 3 decimals> <line>"
    const size_t space = received.find(' ');
    ASSERT_NE(space, std::string::npos);
    EXPECT_EQ(received[space - 4], '.') << received;
}

TEST_F(printer_sim_test, serves_again_after_the_host_closes_and_reopens) {
    start();
    open_port();
    read_until_quiet(port, 300, wait_ms);
    close_port();
    usleep(100000);
    open_port();
    std::string got;
    EXPECT_TRUE(read_until(port, "start\n", &got, wait_ms));
    read_until_quiet(port, 300, wait_ms);
    send("G1 F600 Z3.000\n");
    got.clear();
    EXPECT_TRUE(read_until(port, "ok\n", &got, wait_ms));
}

struct reply_case {
    const char* name;
    std::vector<std::string> options;
    std::string expected; // what follows one G1 line
};

void PrintTo(const reply_case& c, std::ostream* out) {
    *out << c.name;
}

class printer_sim_reply_test : public printer_sim_test,
                               public ::testing::WithParamInterface<reply_case> {};

TEST_P(printer_sim_reply_test, answers_a_line_as_the_options_say) {
    const reply_case& c = GetParam();
    start(c.options);
    open_port();
    read_until_quiet(port, 300, wait_ms);
    send("G1 F600 Z201.000\n");
    EXPECT_EQ(read_until_quiet(port, 500, wait_ms), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    options, printer_sim_reply_test,
    ::testing::Values(reply_case{"crlf", {"--crlf"}, "ok\r\n"},
                      reply_case{"no_reply", {"--no-reply"}, ""},
                      reply_case{"long_line", {"--long-line"}, std::string(300, 'L') + "ok\n"},
                      reply_case{"no_banner", {"--no-banner"}, "ok\n"}),
    [](const ::testing::TestParamInfo<reply_case>& param_info) {
        return std::string(param_info.param.name);
    });

TEST_F(printer_sim_test, no_banner_sends_nothing_on_open) {
    start({"--no-banner"});
    open_port();
    EXPECT_EQ(read_until_quiet(port, 300, 1000), "");
}

TEST_F(printer_sim_test, reply_delay_holds_the_answer_back) {
    start({"--reply-delay", "400"});
    open_port();
    read_until_quiet(port, 300, wait_ms);
    send("G1 F600 Z1.000\n");
    EXPECT_EQ(read_until_quiet(port, 100, 100), "");
    std::string got;
    EXPECT_TRUE(read_until(port, "ok\n", &got, wait_ms));
}

// The last line a tool writes before it closes the port is read before the hang-up is handled.
TEST_F(printer_sim_test, line_written_just_before_the_close_is_logged) {
    start();
    open_port();
    read_until_quiet(port, 300, wait_ms);
    send("G1 F600 Z201.000\n");
    close_port();
    const std::string record = " G1 F600 Z201.000\n";
    for (int i = 0; i < 250 && file_text(log).find(record) == std::string::npos; ++i) {
        usleep(20000);
    }
    EXPECT_NE(file_text(log).find(record), std::string::npos) << file_text(log);
}

TEST_F(printer_sim_test, sigterm_removes_the_link_and_ends_it) {
    start();
    const int status = stop_child(sim, SIGTERM);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    struct stat info;
    EXPECT_NE(lstat(link.c_str(), &info), 0);
}

TEST_F(printer_sim_test, refuses_a_command_line_without_a_port) {
    sim = start_child({PRINTER_SIM_PATH, "--crlf"});
    int status = 0;
    ASSERT_EQ(waitpid(sim.pid, &status, 0), sim.pid);
    sim.pid = -1;
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
}

} // namespace
