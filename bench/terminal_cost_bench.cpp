// What the native tool costs on a terminal: the bytes it writes for the first screen at 80x24 and
// at 120x30 and for each step, and the time from a Ctrl+C to the tool's end while a write to a
// printer that does not read is waiting. Prints figures; never fails on them.
//
//   terminal_cost_bench TOOL PRINTER_SIM [steps] [ctrl+c runs]
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

std::string work_dir;
pid_t printer = -1;

[[noreturn]] void give_up(const char* why) {
    std::fprintf(stderr, "terminal_cost_bench: %s\n", why);
    if (printer > 0) {
        kill(printer, SIGTERM);
        waitpid(printer, nullptr, 0);
    }
    std::exit(1);
}

double ms_since(clock_type::time_point start) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

struct tool_run {
    pid_t pid = -1;
    int master = -1;
};

tool_run start_tool(const std::string& tool, const std::string& ports, int columns, int rows) {
    winsize size{};
    size.ws_col = static_cast<unsigned short>(columns);
    size.ws_row = static_cast<unsigned short>(rows);
    tool_run run;
    run.pid = forkpty(&run.master, nullptr, nullptr, &size);
    if (run.pid < 0) {
        give_up("forkpty");
    }
    if (run.pid == 0) {
        setenv("SIGMA_PORTS", ports.c_str(), 1);
        setenv("LANG", "C.UTF-8", 1);
        execl(tool.c_str(), tool.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return run;
}

// Reads the terminal until `quiet_ms` pass with nothing new (after `marker` has come, if given);
// the bytes read.
std::string read_until_quiet(const tool_run& run, const char* marker, int quiet_ms) {
    std::string got;
    const clock_type::time_point deadline = clock_type::now() + std::chrono::seconds(20);
    for (;;) {
        pollfd fd{run.master, POLLIN, 0};
        const bool seen = marker == nullptr || got.find(marker) != std::string::npos;
        if (poll(&fd, 1, seen ? quiet_ms : 100) <= 0) {
            if (seen) {
                return got;
            }
            if (clock_type::now() > deadline) {
                give_up("the screen did not come");
            }
            continue;
        }
        char bytes[4096];
        const ssize_t n = read(run.master, bytes, sizeof bytes);
        if (n <= 0) {
            return got;
        }
        got.append(bytes, static_cast<size_t>(n));
    }
}

void end_tool(tool_run* run) {
    const char space = ' ';
    if (write(run->master, &space, 1) != 1) {
        kill(run->pid, SIGTERM);
    }
    const clock_type::time_point deadline = clock_type::now() + std::chrono::seconds(10);
    while (waitpid(run->pid, nullptr, WNOHANG) != run->pid) {
        if (clock_type::now() > deadline) {
            kill(run->pid, SIGKILL);
        }
        read_until_quiet(*run, nullptr, 10);
    }
    close(run->master);
}

void start_printer(const std::string& printer_sim, const std::string& ports) {
    int out[2];
    if (pipe(out) != 0) {
        give_up("pipe");
    }
    printer = fork();
    if (printer == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execl(printer_sim.c_str(), printer_sim.c_str(), "--ports", ports.c_str(), "--com", "3",
              "--log", "/dev/null", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string ready;
    pollfd fd{out[0], POLLIN, 0};
    while (ready.find('\n') == std::string::npos && poll(&fd, 1, 10000) > 0) {
        char bytes[256];
        const ssize_t n = read(out[0], bytes, sizeof bytes);
        if (n <= 0) {
            break;
        }
        ready.append(bytes, static_cast<size_t>(n));
    }
    if (ready.compare(0, 6, "ready ") != 0) {
        give_up("the simulated printer did not get ready");
    }
}

void measure_bytes(const std::string& tool, const std::string& ports, int columns, int rows,
                   int steps) {
    tool_run run = start_tool(tool, ports, columns, rows);
    // The first screen: everything until the bed line, drawn once the settle is over.
    const size_t first = read_until_quiet(run, "(plateau", 300).size();
    std::vector<size_t> per_step;
    for (int i = 0; i < steps; ++i) {
        const char key = i % 2 == 0 ? 'a' : 'z';
        if (write(run.master, &key, 1) != 1) {
            give_up("write to the terminal");
        }
        per_step.push_back(read_until_quiet(run, nullptr, 150).size());
    }
    end_tool(&run);
    std::sort(per_step.begin(), per_step.end());
    size_t total = 0;
    for (size_t bytes : per_step) {
        total += bytes;
    }
    std::printf("%dx%d: first screen %zu bytes; per step %.1f bytes on average (min %zu, max %zu, "
                "%d steps)\n",
                columns, rows, first,
                static_cast<double>(total) / static_cast<double>(per_step.size()), per_step.front(),
                per_step.back(), steps);
}

// COM3 as a pseudo-terminal whose other side never reads, its buffer filled first: the tool's
// first write waits. Returns the master, kept open for as long as the tool runs.
int plug_a_printer_that_does_not_read(const std::string& ports) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        give_up("posix_openpt");
    }
    termios raw;
    tcgetattr(master, &raw);
    cfmakeraw(&raw);
    tcsetattr(master, TCSANOW, &raw);
    const std::string slave = ptsname(master);
    const int filler = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const char bytes[512] = {'x'};
    while (filler >= 0 && write(filler, bytes, sizeof bytes) > 0) {
    }
    close(filler);
    const std::string link = ports + "/COM3";
    unlink(link.c_str());
    if (symlink(slave.c_str(), link.c_str()) != 0) {
        give_up("symlink");
    }
    return master;
}

double ctrl_c_latency_ms(const std::string& tool, const std::string& ports) {
    const int port = plug_a_printer_that_does_not_read(ports);
    tool_run run = start_tool(tool, ports, 120, 30);
    read_until_quiet(run, "(plateau", 200);
    const char step = 'a';
    if (write(run.master, &step, 1) != 1) {
        give_up("write to the terminal");
    }
    read_until_quiet(run, nullptr, 300); // the step's write is waiting by now
    const char interrupt = 0x03;
    const clock_type::time_point typed = clock_type::now();
    if (write(run.master, &interrupt, 1) != 1) {
        give_up("write to the terminal");
    }
    int status = 0;
    double latency = -1;
    while (latency < 0) {
        if (waitpid(run.pid, &status, WNOHANG) == run.pid) {
            latency = ms_since(typed);
        } else if (ms_since(typed) > 10000) {
            kill(run.pid, SIGKILL);
            waitpid(run.pid, &status, 0);
            std::printf("  Ctrl+C did not end the tool within 10 s\n");
            break;
        } else {
            pollfd fd{run.master, POLLIN, 0};
            if (poll(&fd, 1, 1) > 0) {
                char bytes[4096];
                if (read(run.master, bytes, sizeof bytes) <= 0) {
                    usleep(500);
                }
            }
        }
    }
    close(run.master);
    close(port);
    unlink((ports + "/COM3").c_str());
    return latency;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: terminal_cost_bench TOOL PRINTER_SIM [steps] [runs]\n");
        return 2;
    }
    const std::string tool = argv[1];
    const int steps = argc > 3 ? std::max(1, std::atoi(argv[3])) : 20;
    const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
    std::signal(SIGPIPE, SIG_IGN);
    char dir_template[] = "/tmp/sigma-cost-XXXXXX";
    if (mkdtemp(dir_template) == nullptr) {
        give_up("mkdtemp");
    }
    work_dir = dir_template;
    const std::string printer_ports = work_dir + "/printer";
    const std::string stalled_ports = work_dir + "/stalled";
    mkdir(printer_ports.c_str(), 0700);
    mkdir(stalled_ports.c_str(), 0700);

    start_printer(argv[2], printer_ports);
    std::printf("bytes written to the terminal (goals: 80x24 no more than 120x30; a step under "
                "100 bytes)\n");
    measure_bytes(tool, printer_ports, 80, 24, steps);
    measure_bytes(tool, printer_ports, 120, 30, steps);
    kill(printer, SIGTERM);
    waitpid(printer, nullptr, 0);
    printer = -1;

    std::vector<double> latencies;
    for (int i = 0; i < runs; ++i) {
        const double ms = ctrl_c_latency_ms(tool, stalled_ports);
        if (ms >= 0) {
            latencies.push_back(ms);
        }
    }
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        std::printf("Ctrl+C to the end while a write waits for a printer that does not read: "
                    "median %.2f ms, max %.2f ms over %zu runs (goal: within 100 ms)\n",
                    latencies[latencies.size() / 2], latencies.back(), latencies.size());
    }
    rmdir(printer_ports.c_str());
    rmdir(stalled_ports.c_str());
    rmdir(work_dir.c_str());
    return 0;
}
