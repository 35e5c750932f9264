#include "child_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

// One read of what is there within the wait; -1 on time-out, 0 at end of file.
ssize_t read_some(int fd, char* bytes, size_t size, int wait_ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0) {
        return -1;
    }
    const ssize_t n = read(fd, bytes, size);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return -1;
    }
    return n < 0 ? 0 : n;
}

} // namespace

child_process start_child(const std::vector<std::string>& argv, int input) {
    child_process child;
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        return child;
    }
    child.pid = fork();
    if (child.pid == 0) {
        dup2(pipe_fds[1], STDOUT_FILENO);
        if (input >= 0) {
            dup2(input, STDIN_FILENO);
        }
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    child.output = pipe_fds[0];
    return child;
}

int stop_child(child_process& child, int signal_number, int timeout_ms) {
    if (child.pid <= 0) {
        return -1;
    }
    kill(child.pid, signal_number);
    const clock_type::time_point deadline =
        clock_type::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(child.pid, &status, WNOHANG);
        if (done == child.pid) {
            break;
        }
        if (ms_left(deadline) == 0) {
            kill(child.pid, SIGKILL);
            waitpid(child.pid, &status, 0);
            status = -1;
            break;
        }
        usleep(10000);
    }
    child.pid = -1;
    if (child.output >= 0) {
        close(child.output);
        child.output = -1;
    }
    return status;
}

int wait_child(child_process& child, std::string* output, int timeout_ms) {
    const clock_type::time_point deadline =
        clock_type::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    while (waitpid(child.pid, &status, WNOHANG) != child.pid) {
        if (ms_left(deadline) == 0) {
            return stop_child(child, SIGKILL);
        }
        char bytes[4096];
        const ssize_t n = read_some(child.output, bytes, sizeof bytes, 10);
        if (n > 0) {
            output->append(bytes, static_cast<size_t>(n));
        } else if (n == 0) {
            usleep(10000); // the output is closed: the child is ending
        }
    }
    // What it wrote last is still in the pipe.
    *output += read_until_quiet(child.output, 0, 1000);
    child.pid = -1;
    close(child.output);
    child.output = -1;
    return status;
}

bool read_line(int fd, std::string* line, int timeout_ms) {
    line->clear();
    const clock_type::time_point deadline =
        clock_type::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        char byte = 0;
        const ssize_t n = read_some(fd, &byte, 1, ms_left(deadline));
        if (n <= 0) {
            return false;
        }
        if (byte == '\n') {
            return true;
        }
        *line += byte;
    }
}

bool read_until(int fd, const std::string& wanted, std::string* got, int timeout_ms) {
    const clock_type::time_point deadline =
        clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (got->find(wanted) == std::string::npos) {
        char bytes[512];
        const ssize_t n = read_some(fd, bytes, sizeof bytes, ms_left(deadline));
        if (n <= 0) {
            return false;
        }
        got->append(bytes, static_cast<size_t>(n));
    }
    return true;
}

std::string read_until_quiet(int fd, int quiet_ms, int limit_ms) {
    std::string got;
    const clock_type::time_point deadline = clock_type::now() + std::chrono::milliseconds(limit_ms);
    for (;;) {
        char bytes[512];
        // The first byte may be slow to come on a busy machine: it is waited for until the
        // deadline, and only then does quiet end the read.
        const int wait_ms = got.empty() ? ms_left(deadline) : std::min(quiet_ms, ms_left(deadline));
        const ssize_t n = read_some(fd, bytes, sizeof bytes, wait_ms);
        if (n <= 0) {
            return got;
        }
        got.append(bytes, static_cast<size_t>(n));
    }
}

int ms_left(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

int open_raw_pty_master() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    termios raw;
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        tcgetattr(master, &raw) != 0) {
        if (master >= 0) {
            close(master);
        }
        return -1;
    }
    cfmakeraw(&raw);
    tcsetattr(master, TCSANOW, &raw);
    return master;
}

std::string make_temporary_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/sigma-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    return mkdtemp(name.data()) != nullptr ? std::string(name.data()) : std::string();
}

void remove_temporary_dir(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir != nullptr) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                unlink((path + "/" + name).c_str());
            }
        }
        closedir(dir);
    }
    rmdir(path.c_str());
}

std::string file_text(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
