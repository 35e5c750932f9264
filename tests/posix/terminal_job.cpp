#include "terminal_job.h"

#include "child_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

namespace {

using clock_type = std::chrono::steady_clock;

clock_type::time_point after_ms(int ms) {
    return clock_type::now() + std::chrono::milliseconds(ms);
}

// Reads what is there on the master within the wait; false when nothing came.
bool read_screen(terminal_job* job, int wait_ms) {
    pollfd p{job->master, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0) {
        return false;
    }
    char bytes[4096];
    const ssize_t n = read(job->master, bytes, sizeof bytes);
    if (n <= 0) {
        return false;
    }
    job->screen.append(bytes, static_cast<size_t>(n));
    return true;
}

// The parent: puts the tool in a process group of its own in the foreground, and reports how it
// ends. Runs in the child of fork(), on the terminal's slave side.
[[noreturn]] void run_parent(const job_options& options, int report) {
    std::signal(SIGTTOU, SIG_IGN); // tcsetpgrp from this group, once the tool's is in front
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGQUIT, SIG_IGN);
    int go[2];
    if (pipe(go) != 0) {
        _exit(127);
    }
    const pid_t tool = fork();
    if (tool == 0) {
        setpgid(0, 0);
        close(go[1]);
        char byte = 0;
        // Starts once its group is the terminal's foreground.
        while (read(go[0], &byte, 1) < 0 && errno == EINTR) {
        }
        close(go[0]);
        close(report);
        for (int signal_number : {SIGTTOU, SIGINT, SIGQUIT}) {
            std::signal(signal_number, SIG_DFL);
        }
        for (const std::string& variable : options.environment) {
            putenv(const_cast<char*>(variable.c_str()));
        }
        if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) {
            _exit(127);
        }
        rlimit core{0, 0};
        if (options.core_dumps) {
            core.rlim_cur = core.rlim_max = 64 * 1024 * 1024;
        }
        setrlimit(RLIMIT_CORE, &core);
        std::vector<char*> args;
        for (const std::string& arg : options.argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    setpgid(tool, tool);
    tcsetpgrp(STDIN_FILENO, tool);
    close(go[0]);
    close(go[1]);
    char line[64];
    int n = std::snprintf(line, sizeof line, "pid %d\n", static_cast<int>(tool));
    if (write(report, line, static_cast<size_t>(n)) != n) {
        _exit(127);
    }
    int status = 0;
    while (waitpid(tool, &status, 0) < 0 && errno == EINTR) {
    }
    n = std::snprintf(line, sizeof line, "status %d\n", status);
    if (write(report, line, static_cast<size_t>(n)) != n) {
        _exit(127);
    }
    _exit(0);
}

// Reads the report's next line within the wait.
bool report_line(terminal_job* job, std::string* line, int timeout_ms) {
    const clock_type::time_point deadline = after_ms(timeout_ms);
    line->clear();
    for (;;) {
        pollfd fds[2] = {{job->report, POLLIN, 0}, {job->master, POLLIN, 0}};
        if (poll(fds, 2, ms_left(deadline)) <= 0) {
            return false;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            read_screen(job, 0);
        }
        if ((fds[0].revents & (POLLIN | POLLHUP)) != 0) {
            char byte = 0;
            if (read(job->report, &byte, 1) != 1) {
                return false;
            }
            if (byte == '\n') {
                return true;
            }
            *line += byte;
        }
    }
}

} // namespace

bool start_terminal_job(terminal_job* job, const job_options& options) {
    winsize size{};
    size.ws_col = 120;
    size.ws_row = 30;
    int slave = -1;
    if (openpty(&job->master, &slave, nullptr, nullptr, &size) != 0) {
        return false;
    }
    tcgetattr(slave, &job->found);
    int report[2];
    if (pipe(report) != 0) {
        close(slave);
        end_terminal_job(job);
        return false;
    }
    job->parent = fork();
    if (job->parent == 0) {
        close(job->master);
        close(report[0]);
        if (login_tty(slave) != 0) {
            _exit(127);
        }
        run_parent(options, report[1]);
    }
    close(slave);
    close(report[1]);
    job->report = report[0];
    std::string line;
    if (job->parent < 0 || !report_line(job, &line, 5000) || line.compare(0, 4, "pid ") != 0) {
        end_terminal_job(job);
        return false;
    }
    job->tool = static_cast<pid_t>(std::atoi(line.c_str() + 4));
    return true;
}

bool screen_shows(terminal_job* job, const std::string& text, int timeout_ms, size_t from) {
    const clock_type::time_point deadline = after_ms(timeout_ms);
    if (from == std::string::npos) {
        from = job->screen.size() > text.size() ? job->screen.size() - text.size() : 0;
    }
    while (job->screen.find(text, from) == std::string::npos) {
        if (ms_left(deadline) == 0) {
            return false;
        }
        read_screen(job, ms_left(deadline));
    }
    return true;
}

std::string drain_screen(terminal_job* job, int timeout_ms) {
    const size_t from = job->screen.size();
    const clock_type::time_point deadline = after_ms(timeout_ms);
    while (ms_left(deadline) > 0) {
        read_screen(job, ms_left(deadline));
    }
    return job->screen.substr(from);
}

void type_keys(terminal_job* job, const std::string& bytes) {
    if (write(job->master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        std::perror("type_keys");
    }
}

int wait_for_job_end(terminal_job* job, int timeout_ms) {
    std::string line;
    while (report_line(job, &line, timeout_ms)) {
        if (line.compare(0, 7, "status ") == 0) {
            job->tool = -1;
            return std::atoi(line.c_str() + 7);
        }
    }
    return -1;
}

bool job_state_becomes(terminal_job* job, char state, int timeout_ms) {
    const clock_type::time_point deadline = after_ms(timeout_ms);
    for (;;) {
        std::ifstream stat("/proc/" + std::to_string(job->tool) + "/stat");
        std::stringstream text;
        text << stat.rdbuf();
        const std::string fields = text.str();
        const size_t close_paren = fields.rfind(')');
        if (close_paren != std::string::npos && close_paren + 2 < fields.size() &&
            fields[close_paren + 2] == state) {
            return true;
        }
        if (ms_left(deadline) == 0) {
            return false;
        }
        read_screen(job, 10);
    }
}

termios terminal_settings(const terminal_job& job) {
    termios settings;
    std::memset(&settings, 0, sizeof settings);
    // On a pseudo-terminal's master side these are the slave's settings.
    tcgetattr(job.master, &settings);
    return settings;
}

bool same_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

bool is_raw(const termios& settings) {
    return (settings.c_lflag & (ICANON | ECHO | ISIG)) == 0;
}

bool settings_become(terminal_job* job, bool raw, int timeout_ms) {
    const clock_type::time_point deadline = after_ms(timeout_ms);
    for (;;) {
        const termios now = terminal_settings(*job);
        if (raw ? is_raw(now) : same_settings(now, job->found)) {
            return true;
        }
        if (ms_left(deadline) == 0) {
            return false;
        }
        read_screen(job, 10);
    }
}

void end_terminal_job(terminal_job* job) {
    if (job->tool > 0) {
        kill(job->tool, SIGKILL);
        kill(job->tool, SIGCONT);
    }
    if (job->parent > 0) {
        // The parent reports and ends once the tool has; give it a moment, then make sure.
        const clock_type::time_point deadline = after_ms(5000);
        int status = 0;
        while (waitpid(job->parent, &status, WNOHANG) == 0) {
            if (ms_left(deadline) == 0) {
                kill(job->parent, SIGKILL);
                waitpid(job->parent, &status, 0);
                break;
            }
            if (job->master >= 0) {
                read_screen(job, 10);
            } else {
                usleep(10000);
            }
        }
    }
    if (job->report >= 0) {
        close(job->report);
    }
    if (job->master >= 0) {
        close(job->master);
    }
    job->tool = job->parent = -1;
    job->report = job->master = -1;
}
