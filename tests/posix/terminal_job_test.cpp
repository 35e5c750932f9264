// The terminal tool as a job on a terminal of its own: how it ends, stops and goes on under each
// signal and the keys that raise them, with the terminal given back every time; and a write to a
// printer that does not read, which Ctrl+C must still end.
#include "child_process.h"
#include "terminal_job.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ostream>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int wait_ms = 10000; // generous: the machine is shared
// Words of the screen: only the cells that change are drawn, so the blanks between words may come
// as cursor moves.
const std::string no_port_text = "introuvable.";
const std::string settled_text = "sigma)";
const std::string cursor_shown = "\x1b[?25h";
const std::string cursor_hidden = "\x1b[?25l";
const std::string screen_cleared = "\x1b[2J";

std::string core_pattern() {
    std::string pattern = file_text("/proc/sys/kernel/core_pattern");
    while (!pattern.empty() && (pattern.back() == '\n' || pattern.back() == ' ')) {
        pattern.pop_back();
    }
    return pattern;
}

bool under_address_sanitizer() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

class terminal_job_test : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = make_temporary_dir();
        ASSERT_FALSE(dir.empty());
        ports = dir + "/ports";
        ASSERT_EQ(mkdir(ports.c_str(), 0700), 0);
    }
    void TearDown() override {
        end_terminal_job(&job);
        if (port_master >= 0) {
            close(port_master);
        }
        unlink((dir + "/core").c_str());
        unlink((ports + "/COM3").c_str());
        rmdir(ports.c_str());
        remove_temporary_dir(dir);
    }

    // The tool with its ports in `ports` (empty unless a test puts one there).
    void start(bool core_dumps = false) {
        job_options options;
        options.argv = {SIGMA_CALIBRAGE_PATH};
        options.environment = {"SIGMA_PORTS=" + ports, "LANG=C.UTF-8"};
        options.directory = dir;
        options.core_dumps = core_dumps;
        ASSERT_TRUE(start_terminal_job(&job, options));
    }

    // COM3 as a pseudo-terminal the test holds the other side of, and never reads: its buffer is
    // filled first, so that the tool's first write finds no room.
    void plug_a_printer_that_does_not_read() {
        port_master = open_raw_pty_master();
        ASSERT_GE(port_master, 0);
        const std::string slave = ptsname(port_master);
        const int filler = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(filler, 0);
        const char bytes[512] = {'x'};
        while (write(filler, bytes, sizeof bytes) > 0) {
        }
        close(filler);
        ASSERT_EQ(symlink(slave.c_str(), (ports + "/COM3").c_str()), 0);
    }

    std::string dir;
    std::string ports;
    terminal_job job;
    int port_master = -1;
};

struct ending_case {
    const char* name;
    int signal_number; // sent from outside, or 0
    const char* typed; // typed on the keyboard instead
    int dies_by;
};

void PrintTo(const ending_case& c, std::ostream* out) {
    *out << c.name;
}

class ending_test : public terminal_job_test, public ::testing::WithParamInterface<ending_case> {};

// The parent sees a death by the signal itself, and the terminal is as it was found, cursor shown.
TEST_P(ending_test, dies_by_the_signal_with_the_terminal_given_back) {
    const ending_case& c = GetParam();
    const bool crash = c.dies_by == SIGSEGV;
    start(crash);
    ASSERT_TRUE(screen_shows(&job, no_port_text, wait_ms)) << job.screen;
    ASSERT_TRUE(is_raw(terminal_settings(job)));
    const size_t drawn = job.screen.size();
    if (c.signal_number != 0) {
        ASSERT_EQ(kill(job.tool, c.signal_number), 0);
    } else {
        type_keys(&job, c.typed);
    }
    const int status = wait_for_job_end(&job, wait_ms);
    ASSERT_NE(status, -1) << "the tool did not end";
    EXPECT_TRUE(WIFSIGNALED(status)) << "status " << status;
    if (WIFSIGNALED(status)) {
        EXPECT_EQ(WTERMSIG(status), c.dies_by);
    }
    EXPECT_TRUE(same_settings(terminal_settings(job), job.found));
    drain_screen(&job, 100);
    EXPECT_NE(job.screen.find(cursor_shown, drawn), std::string::npos);
    // A crash leaves a core where the system keeps them in the working directory (a sanitizer
    // turns core files off).
    if (crash && core_pattern() == "core" && !under_address_sanitizer()) {
        EXPECT_TRUE(WCOREDUMP(status));
    }
}

INSTANTIATE_TEST_SUITE_P(signals, ending_test,
                         ::testing::Values(ending_case{"sigint", SIGINT, "", SIGINT},
                                           ending_case{"sigterm", SIGTERM, "", SIGTERM},
                                           ending_case{"sighup", SIGHUP, "", SIGHUP},
                                           ending_case{"crash_sigsegv", SIGSEGV, "", SIGSEGV},
                                           ending_case{"ctrl_c_typed", 0, "\x03", SIGINT}),
                         [](const ::testing::TestParamInfo<ending_case>& param_info) {
                             return std::string(param_info.param.name);
                         });

class stop_test : public terminal_job_test, public ::testing::WithParamInterface<ending_case> {};

// Stopped, the terminal is as it was found; continued, it is raw again, the whole screen is drawn
// again and the keys work.
TEST_P(stop_test, stops_with_the_terminal_given_back_and_goes_on_redrawn) {
    const ending_case& c = GetParam();
    start();
    ASSERT_TRUE(screen_shows(&job, no_port_text, wait_ms)) << job.screen;
    const size_t before_stop = job.screen.size();
    if (c.signal_number != 0) {
        ASSERT_EQ(kill(job.tool, c.signal_number), 0);
    } else {
        type_keys(&job, c.typed);
    }
    ASSERT_TRUE(job_state_becomes(&job, 'T', wait_ms)) << "the tool did not stop";
    // The terminal went back before the stop.
    EXPECT_TRUE(same_settings(terminal_settings(job), job.found));
    EXPECT_TRUE(screen_shows(&job, cursor_shown, wait_ms, before_stop));

    const size_t before_continue = job.screen.size();
    ASSERT_EQ(kill(job.tool, SIGCONT), 0);
    EXPECT_TRUE(settings_become(&job, true, wait_ms)) << "not raw again";
    ASSERT_TRUE(screen_shows(&job, no_port_text, wait_ms, before_continue));
    const std::string after = job.screen.substr(before_continue);
    EXPECT_NE(after.find(cursor_hidden), std::string::npos);
    EXPECT_NE(after.find(screen_cleared), std::string::npos);
    EXPECT_NE(after.find("Brunelvastoque"), std::string::npos);

    // The waiting for a key goes on: one key ends the no-port screen with 1.
    type_keys(&job, "x");
    const int status = wait_for_job_end(&job, wait_ms);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_TRUE(same_settings(terminal_settings(job), job.found));
}

INSTANTIATE_TEST_SUITE_P(stops, stop_test,
                         ::testing::Values(ending_case{"kill_tstp", SIGTSTP, "", 0},
                                           ending_case{"ctrl_z_typed", 0, "\x1a", 0}),
                         [](const ::testing::TestParamInfo<ending_case>& param_info) {
                             return std::string(param_info.param.name);
                         });

// A printer that takes no more bytes holds the step's write; Ctrl+C must end the tool all the
// same (the time it takes is a figure of bench/terminal_bench).
TEST_F(terminal_job_test, ctrl_c_ends_a_write_the_printer_does_not_take) {
    plug_a_printer_that_does_not_read();
    start();
    ASSERT_TRUE(screen_shows(&job, settled_text, wait_ms)) << job.screen;
    type_keys(&job, "a");
    // The screen shows the step before its line goes out; the line then waits up to the write's
    // time-out of a second, and the Ctrl+C comes within it.
    ASSERT_TRUE(screen_shows(&job, "201.000", wait_ms));
    type_keys(&job, "\x03");
    const int status = wait_for_job_end(&job, wait_ms);
    ASSERT_NE(status, -1) << "Ctrl+C did not end the tool";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << "status " << status;
    EXPECT_TRUE(same_settings(terminal_settings(job), job.found));
}

} // namespace
