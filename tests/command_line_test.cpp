// The terminal tool's command line: --help, -h and --version print their text on standard output
// and exit 0 before anything touches the terminal or a port. The tool runs with its keyboard on a
// pseudo-terminal, its output on pipes and a simulated printer on COM3; the kernel reports
// (inotify) every open of the printer's port.
#include "posix/printer_sim_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string version_line = "sigma-calibrage " SIGMA_VERSION "\n";

struct tool_run {
    pid_t pid = -1;
    int keyboard = -1; // the master side of the tool's terminal
    int output = -1;
    int errors = -1;
};

// Starts the tool with SIGMA_PORTS set, standard input on a fresh pseudo-terminal, standard
// output and standard error on pipes.
tool_run start_tool(const std::string& ports, const std::vector<std::string>& arguments) {
    tool_run run;
    int slave = -1;
    int out[2];
    int err[2];
    if (openpty(&run.keyboard, &slave, nullptr, nullptr, nullptr) != 0 || pipe(out) != 0 ||
        pipe(err) != 0) {
        return run;
    }
    run.pid = fork();
    if (run.pid == 0) {
        setenv("SIGMA_PORTS", ports.c_str(), 1);
        dup2(slave, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        std::vector<char*> argv{const_cast<char*>(SIGMA_TOOL_PATH)};
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(slave);
    close(out[1]);
    close(err[1]);
    run.output = out[0];
    run.errors = err[0];
    return run;
}

// Reads both pipes until the tool closes them and waits for its exit, within the deadline; the
// status as from waitpid, or -1 when the tool would not end (it is then killed).
int finish_tool(tool_run& run, std::string* output, std::string* errors, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int status = -1;
    bool ended = false;
    while (!ended) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            kill(run.pid, SIGKILL);
            waitpid(run.pid, &status, 0);
            status = -1;
            break;
        }
        pollfd fds[2] = {{run.output, POLLIN, 0}, {run.errors, POLLIN, 0}};
        poll(fds, 2, static_cast<int>(std::min<long long>(left, 50)));
        std::string* targets[2] = {output, errors};
        for (int i = 0; i < 2; ++i) {
            char bytes[512];
            if ((fds[i].revents & (POLLIN | POLLHUP)) != 0) {
                const ssize_t n = read(fds[i].fd, bytes, sizeof bytes);
                if (n > 0) {
                    targets[i]->append(bytes, static_cast<size_t>(n));
                }
            }
        }
        ended = waitpid(run.pid, &status, WNOHANG) == run.pid;
    }
    // What the tool wrote just before its exit is still in the pipes.
    for (int fd : {run.output, run.errors}) {
        char bytes[512];
        ssize_t n;
        while ((n = read(fd, bytes, sizeof bytes)) > 0) {
            (fd == run.output ? output : errors)->append(bytes, static_cast<size_t>(n));
        }
        close(fd);
    }
    close(run.keyboard);
    return status;
}

// True when the watch reports an open of the watched file within the wait.
bool port_opened(int watch, int wait_ms) {
    pollfd fd{watch, POLLIN, 0};
    if (poll(&fd, 1, wait_ms) <= 0) {
        return false;
    }
    alignas(inotify_event) char events[4096];
    const ssize_t n = read(watch, events, sizeof events);
    for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        if ((event->mask & IN_OPEN) != 0) {
            return true;
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    return false;
}

class command_line : public printer_sim_fixture {
  protected:
    void SetUp() override {
        printer_sim_fixture::SetUp();
        start();
        watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(watch, 0);
        ASSERT_GE(inotify_add_watch(watch, slave.c_str(), IN_OPEN), 0) << slave;
    }
    void TearDown() override {
        if (watch >= 0) {
            close(watch);
        }
        printer_sim_fixture::TearDown();
    }
    int watch = -1;
};

struct flag_case {
    std::vector<std::string> arguments;
    std::string starts_with;
    std::string also_holds;
};

TEST_F(command_line, help_and_version_print_and_exit_without_touching_terminal_or_port) {
    const std::string usage = "Usage: sigma-calibrage";
    const flag_case cases[] = {
        {{"--version"}, version_line, ""},
        {{"--help"}, version_line + usage, "Exit code"},
        {{"-h"}, version_line + usage, "Exit code"},
        // Other arguments are ignored, before or after.
        {{"--port", "COM3", "--version"}, version_line, ""},
        {{"-h", "whatever"}, version_line + usage, ""},
    };
    for (const flag_case& c : cases) {
        std::string name;
        for (const std::string& argument : c.arguments) {
            name += argument + " ";
        }
        SCOPED_TRACE(name);
        tool_run run = start_tool(dir, c.arguments);
        ASSERT_GT(run.pid, 0);
        std::string output, errors;
        const int status = finish_tool(run, &output, &errors, wait_ms);
        ASSERT_TRUE(WIFEXITED(status)) << "did not end by itself; printed: " << output;
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(output.compare(0, c.starts_with.size(), c.starts_with), 0) << output;
        EXPECT_NE(output.find(c.also_holds), std::string::npos) << output;
        EXPECT_EQ(output.find('\x1b'), std::string::npos) << "a terminal sequence was written";
        EXPECT_EQ(errors, "");
        // The open would be in the watch's queue by now: the tool has ended.
        EXPECT_FALSE(port_opened(watch, 0)) << "the printer's port was opened";
    }
    EXPECT_EQ(file_text(log), "") << "the printer received something";
}

// Without those flags the tool does take the port and draw: the checks above can see both.
TEST_F(command_line, without_a_flag_the_tool_opens_the_port_and_draws) {
    tool_run run = start_tool(dir, {"--verbose"});
    ASSERT_GT(run.pid, 0);
    EXPECT_TRUE(port_opened(watch, wait_ms)) << "no open of the printer's port was seen";
    // Past the settle the space bar ends it.
    std::string screen;
    EXPECT_TRUE(read_until(run.output, "plateau", &screen, wait_ms));
    ASSERT_EQ(write(run.keyboard, " ", 1), 1);
    std::string output, errors;
    const int status = finish_tool(run, &output, &errors, wait_ms);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE((screen + output).find('\x1b'), std::string::npos);
}

} // namespace
