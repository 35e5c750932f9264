// The native tool in a real terminal against the simulated printer: the time from a key written
// into the terminal to its G-code line's arrival at the printer, and the tool's CPU use while it
// waits for keys. Prints figures; never fails on them.
//
//   terminal_bench TOOL PRINTER_SIM [presses] [idle seconds]
//
// The printer logs each line as it arrives into a FIFO this program reads, so both ends of a
// measurement are taken on this program's clock.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

struct process {
    pid_t pid = -1;
    int fd = -1; // its standard output (the printer) or its terminal's master side (the tool)
};

std::string work_dir;
process printer;
process tool;

void clean_up() {
    if (tool.pid > 0) {
        kill(tool.pid, SIGTERM);
        waitpid(tool.pid, nullptr, 0);
        tool.pid = -1;
    }
    if (printer.pid > 0) {
        kill(printer.pid, SIGTERM);
        waitpid(printer.pid, nullptr, 0);
        printer.pid = -1;
    }
    if (!work_dir.empty()) {
        unlink((work_dir + "/received.fifo").c_str());
        unlink((work_dir + "/COM3").c_str());
        rmdir(work_dir.c_str());
    }
}

[[noreturn]] void give_up(const char* why) {
    std::fprintf(stderr, "terminal_bench: %s\n", why);
    clean_up();
    std::exit(1);
}

double ms_between(clock_type::time_point from, clock_type::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Reads what the tool draws (it would block once the terminal's buffer is full) and keeps the
// tail, to look for a text in.
void drain_screen(std::string* tail, int wait_ms) {
    pollfd fd{tool.fd, POLLIN, 0};
    if (poll(&fd, 1, wait_ms) > 0 && (fd.revents & POLLIN) != 0) {
        char bytes[4096];
        const ssize_t n = read(tool.fd, bytes, sizeof bytes);
        if (n > 0) {
            tail->append(bytes, static_cast<size_t>(n));
            if (tail->size() > 65536) {
                tail->erase(0, tail->size() - 4096);
            }
        }
    }
}

// Waits for the next whole line in the FIFO, draining the screen meanwhile.
bool next_received_line(int fifo, std::string* pending, clock_type::time_point* arrival,
                        int timeout_ms) {
    const clock_type::time_point deadline =
        clock_type::now() + std::chrono::milliseconds(timeout_ms);
    std::string screen;
    while (clock_type::now() < deadline) {
        const size_t end = pending->find('\n');
        if (end != std::string::npos) {
            pending->erase(0, end + 1);
            return true;
        }
        pollfd fds[2] = {{fifo, POLLIN, 0}, {tool.fd, POLLIN, 0}};
        if (poll(fds, 2, 100) <= 0) {
            continue;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            char bytes[512];
            const ssize_t n = read(fifo, bytes, sizeof bytes);
            if (n > 0) {
                *arrival = clock_type::now();
                pending->append(bytes, static_cast<size_t>(n));
            }
        }
        if ((fds[1].revents & POLLIN) != 0) {
            drain_screen(&screen, 0);
        }
    }
    return false;
}

// The CPU time the process has run, in ns, from the scheduler's own count; -1 where there is none.
long long cpu_ns(pid_t pid) {
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    long long run_ns = -1;
    if (!(schedstat >> run_ns)) {
        return -1;
    }
    return run_ns;
}

long cpu_ticks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close_paren = text.rfind(')');
    if (close_paren == std::string::npos) {
        return -1;
    }
    // After the command's ")": state is field 3, utime and stime fields 14 and 15.
    std::vector<std::string> fields;
    size_t at = close_paren + 2;
    while (at < text.size() && fields.size() < 13) {
        const size_t space = text.find(' ', at);
        fields.push_back(text.substr(at, space - at));
        at = space == std::string::npos ? text.size() : space + 1;
    }
    if (fields.size() < 13) {
        return -1;
    }
    return std::atol(fields[11].c_str()) + std::atol(fields[12].c_str());
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

void start_printer(const std::string& printer_sim, const std::string& fifo_path) {
    int out[2];
    if (pipe(out) != 0) {
        give_up("pipe");
    }
    printer.pid = fork();
    if (printer.pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execl(printer_sim.c_str(), printer_sim.c_str(), "--ports", work_dir.c_str(), "--com", "3",
              "--log", fifo_path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    printer.fd = out[0];
    std::string ready;
    pollfd fd{printer.fd, POLLIN, 0};
    while (ready.find('\n') == std::string::npos && poll(&fd, 1, 10000) > 0) {
        char bytes[256];
        const ssize_t n = read(printer.fd, bytes, sizeof bytes);
        if (n <= 0) {
            break;
        }
        ready.append(bytes, static_cast<size_t>(n));
    }
    if (ready.compare(0, 6, "ready ") != 0) {
        give_up("the simulated printer did not get ready");
    }
}

void start_tool(const std::string& tool_path) {
    winsize size{};
    size.ws_col = 120;
    size.ws_row = 30;
    tool.pid = forkpty(&tool.fd, nullptr, nullptr, &size);
    if (tool.pid < 0) {
        give_up("forkpty");
    }
    if (tool.pid == 0) {
        setenv("SIGMA_PORTS", work_dir.c_str(), 1);
        setenv("LANG", "C.UTF-8", 1);
        execl(tool_path.c_str(), tool_path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: terminal_bench TOOL PRINTER_SIM [presses] [idle seconds]\n");
        return 2;
    }
    const int presses = argc > 3 ? std::atoi(argv[3]) : 200;
    const int idle_seconds = argc > 4 ? std::atoi(argv[4]) : 10;
    std::signal(SIGPIPE, SIG_IGN);

    char dir_template[] = "/tmp/sigma-bench-XXXXXX";
    if (mkdtemp(dir_template) == nullptr) {
        give_up("mkdtemp");
    }
    work_dir = dir_template;
    const std::string fifo_path = work_dir + "/received.fifo";
    if (mkfifo(fifo_path.c_str(), 0600) != 0) {
        give_up("mkfifo");
    }
    // Opened before the printer opens it for writing, so that its open does not wait.
    const int fifo = open(fifo_path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fifo < 0) {
        give_up("open fifo");
    }
    start_printer(argv[2], fifo_path);
    start_tool(argv[1]);

    // The settle: the bed line is drawn once it is over. Only the cells that change are drawn,
    // so the blanks between its words may come as cursor moves: one word is looked for.
    std::string screen;
    const clock_type::time_point settle_deadline = clock_type::now() + std::chrono::seconds(20);
    while (screen.find("(plateau") == std::string::npos) {
        if (clock_type::now() > settle_deadline) {
            give_up("the tool did not settle");
        }
        drain_screen(&screen, 50);
    }

    std::vector<double> latencies;
    std::string pending;
    unsigned spacing_seed = 12345;
    for (int i = 0; i < presses; ++i) {
        // Raise and lower by turns, so that the height stays near its start.
        const char key = i % 2 == 0 ? 'a' : 'z';
        const clock_type::time_point written = clock_type::now();
        if (write(tool.fd, &key, 1) != 1) {
            give_up("write to the terminal");
        }
        clock_type::time_point arrival;
        if (!next_received_line(fifo, &pending, &arrival, 5000)) {
            give_up("a key's line did not arrive");
        }
        latencies.push_back(ms_between(written, arrival));
        // 30..55 ms after the line, so that the next key comes once the step's 20 ms pause is
        // over, at any phase of the loop's 10 ms poll.
        spacing_seed = spacing_seed * 1103515245u + 12345u;
        const int gap_ms = 30 + static_cast<int>((spacing_seed >> 16) % 26);
        const clock_type::time_point next = clock_type::now() + std::chrono::milliseconds(gap_ms);
        while (clock_type::now() < next) {
            drain_screen(&screen, 1);
        }
    }

    // Idle: no key for the given time, after a second for the last step to settle.
    const clock_type::time_point quiet = clock_type::now() + std::chrono::seconds(1);
    while (clock_type::now() < quiet) {
        drain_screen(&screen, 50);
    }
    const long ticks_before = cpu_ticks(tool.pid);
    const long long ns_before = cpu_ns(tool.pid);
    const clock_type::time_point idle_start = clock_type::now();
    const clock_type::time_point idle_end = idle_start + std::chrono::seconds(idle_seconds);
    while (clock_type::now() < idle_end) {
        drain_screen(&screen, 100);
    }
    const long ticks_after = cpu_ticks(tool.pid);
    const long long ns_after = cpu_ns(tool.pid);
    const double idle_s = ms_between(idle_start, clock_type::now()) / 1000.0;
    const double tick_percent = 100.0 * static_cast<double>(ticks_after - ticks_before) /
                                static_cast<double>(sysconf(_SC_CLK_TCK)) / idle_s;
    const double idle_percent =
        ns_before >= 0 && ns_after >= 0
            ? 100.0 * static_cast<double>(ns_after - ns_before) / 1e9 / idle_s
            : tick_percent;

    const char space = ' ';
    if (write(tool.fd, &space, 1) == 1) {
        const clock_type::time_point end_deadline = clock_type::now() + std::chrono::seconds(10);
        while (waitpid(tool.pid, nullptr, WNOHANG) != tool.pid) {
            if (clock_type::now() > end_deadline) {
                break;
            }
            drain_screen(&screen, 20);
        }
        tool.pid = -1;
    }
    clean_up();
    close(fifo);

    std::printf("key-to-wire latency over %d presses: p50 %.2f ms, p99 %.2f ms, max %.2f ms "
                "(goal: p99 at most 12 ms)\n",
                presses, percentile(latencies, 0.50), percentile(latencies, 0.99),
                percentile(latencies, 1.0));
    std::printf("idle CPU over %.1f s: %.3f%% of one core (scheduler run time; %ld ticks of 1/%ld "
                "s; goal: under 0.5%%)\n",
                idle_s, idle_percent, ticks_after - ticks_before, sysconf(_SC_CLK_TCK));
    return 0;
}
