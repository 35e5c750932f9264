// A held key against the firmware model (printer_sim --firmware), in real time: what reaches the
// firmware, where the head stops against what the field says, how soon the screen follows a key
// and how soon the head stops after the last press against the axis' own bound. Each burst runs
// twice: with the tool, and with a host that drives the printer as the tool once did (one line per
// press written at once, no answer ever waited for), which lives here and not in the tool.
// Prints figures; never fails on them.
//
//   burst_bench TOOL PRINTER_SIM [--burst z|a] [--data DIR]
//
// Bursts: z held from 200.000 for 200 presses, a held for 60, at 30 presses a second; both by
// default. With --data, each run's field and head over time go to DIR/<key>_<host>_field.dat and
// DIR/<key>_<host>_head.dat ("seconds since the first press, mm"; host: old or tool), with its
// figures in <key>_<host>_figures.txt and the tool's latencies in <key>_tool_latency.dat, for
// bench/plot_burst.
//
// The firmware's log comes through a FIFO this program reads as it is written, so the model's
// times (ms since the port opened) are put on this program's clock by the smallest gap seen
// between a record's time and its arrival.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
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

constexpr double press_interval_s = 1.0 / 30.0;
constexpr double z_speed = 5.0;  // mm/s: the model's Z axis
constexpr double settle_s = 2.2; // the tool's wait for the board to start
constexpr double latency_goal_ms = 12.0;

struct burst {
    char key;
    int presses;
    int step_hundredths; // per press
};

struct sample {
    double t; // s since the first press
    double z;
};

struct run_result {
    bool ok = false;
    std::string problem;
    int presses = 0;
    double burst_s = 0;    // first press to last
    long lines_taken = -1; // by the firmware, from its summary
    long dropped = -1;
    long mangled = -1;
    long unknown = -1;
    long leftover = -1;
    double final_z = NAN;
    double field = NAN;
    std::vector<double> latencies_ms;  // the tool only
    std::vector<sample> latency_trace; // the same, by the time of their key
    double stop_after_s = NAN;         // last press to the head's stop
    double bound_s = NAN;              // distance left at the last press / 5 mm/s
    std::vector<sample> field_trace;
    std::vector<sample> head_trace;
};

double seconds(clock_type::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::string height_text(int hundredths) {
    char text[32];
    std::snprintf(text, sizeof text, "%s%d.%02d0", hundredths < 0 ? "-" : "",
                  std::abs(hundredths) / 100, std::abs(hundredths) % 100);
    return text;
}

// One run's processes and pipes; everything here is undone by finish().
struct session {
    std::string dir;
    pid_t printer = -1;
    int printer_out = -1; // its "ready" line
    int log = -1;         // the FIFO its log goes through
    pid_t tool = -1;
    int tool_fd = -1; // the tool's terminal, master side
    int host_fd = -1; // the old host's serial port
    clock_type::time_point first_press;
    std::string log_text;    // not yet a whole record
    std::string screen;      // the tool's output since the last key
    double min_offset = 1e9; // a record's arrival (s on the steady clock) minus its time
    struct record {
        double model_s;
        std::string text;
    };
    std::vector<record> records;
    bool summary = false;
};

void finish(session& s) {
    if (s.tool > 0) {
        kill(s.tool, SIGTERM);
        waitpid(s.tool, nullptr, 0);
    }
    if (s.printer > 0) {
        kill(s.printer, SIGTERM);
        waitpid(s.printer, nullptr, 0);
    }
    for (int fd : {s.printer_out, s.log, s.tool_fd, s.host_fd}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    unlink((s.dir + "/log.fifo").c_str());
    unlink((s.dir + "/COM3").c_str());
    rmdir(s.dir.c_str());
}

double since_first_press(const session& s) {
    return seconds(clock_type::now() - s.first_press);
}

void take_log(session& s, const char* bytes, size_t n) {
    const double arrival = seconds(clock_type::now().time_since_epoch());
    s.log_text.append(bytes, n);
    size_t end;
    while ((end = s.log_text.find('\n')) != std::string::npos) {
        const std::string line = s.log_text.substr(0, end);
        s.log_text.erase(0, end + 1);
        double ms = 0;
        int used = 0;
        if (std::sscanf(line.c_str(), "t=%lf %n", &ms, &used) < 1) {
            continue;
        }
        s.records.push_back({ms / 1000.0, line.substr(static_cast<size_t>(used))});
        s.min_offset = std::min(s.min_offset, arrival - ms / 1000.0);
        if (s.records.back().text.compare(0, 8, "summary ") == 0) {
            s.summary = true;
        }
    }
}

// Reads whatever has come (the firmware's log, the tool's screen, the printer's replies to the
// old host) for up to `wait_ms`.
void pump(session& s, int wait_ms) {
    pollfd fds[3] = {{s.log, POLLIN, 0}, {s.tool_fd, POLLIN, 0}, {s.host_fd, POLLIN, 0}};
    if (poll(fds, 3, wait_ms) <= 0) {
        return;
    }
    char bytes[8192];
    if ((fds[0].revents & POLLIN) != 0) {
        const ssize_t n = read(s.log, bytes, sizeof bytes);
        if (n > 0) {
            take_log(s, bytes, static_cast<size_t>(n));
        }
    }
    if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) {
        const ssize_t n = read(s.tool_fd, bytes, sizeof bytes);
        if (n > 0) {
            s.screen.append(bytes, static_cast<size_t>(n));
        } else if (n < 0 && errno == EIO) {
            close(s.tool_fd); // the tool has ended
            s.tool_fd = -1;
        }
    }
    if ((fds[2].revents & POLLIN) != 0) {
        (void)read(s.host_fd, bytes, sizeof bytes); // the old host never looks at the answers
    }
}

// Pumps until `done` or the time is up; false if the time is up.
template <typename done_type> bool pump_until(session& s, double timeout_s, done_type done) {
    const clock_type::time_point deadline =
        clock_type::now() +
        std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(timeout_s));
    while (!done()) {
        if (clock_type::now() >= deadline) {
            return false;
        }
        pump(s, 2);
    }
    return true;
}

bool start_printer(session& s, const char* printer_sim) {
    const std::string fifo = s.dir + "/log.fifo";
    if (mkfifo(fifo.c_str(), 0600) != 0) {
        return false;
    }
    // Open before the printer opens it for writing, so that its open does not wait.
    s.log = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    int out[2];
    if (s.log < 0 || pipe(out) != 0) {
        return false;
    }
    s.printer = fork();
    if (s.printer == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execl(printer_sim, printer_sim, "--ports", s.dir.c_str(), "--com", "3", "--log",
              fifo.c_str(), "--firmware", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    s.printer_out = out[0];
    std::string ready;
    pollfd fd{s.printer_out, POLLIN, 0};
    while (ready.find('\n') == std::string::npos && poll(&fd, 1, 10000) > 0) {
        char bytes[256];
        const ssize_t n = read(s.printer_out, bytes, sizeof bytes);
        if (n <= 0) {
            break;
        }
        ready.append(bytes, static_cast<size_t>(n));
    }
    return ready.compare(0, 6, "ready ") == 0;
}

bool start_tool(session& s, const char* tool) {
    winsize size{};
    size.ws_col = 120;
    size.ws_row = 30;
    s.tool = forkpty(&s.tool_fd, nullptr, nullptr, &size);
    if (s.tool < 0) {
        return false;
    }
    if (s.tool == 0) {
        setenv("SIGMA_PORTS", s.dir.c_str(), 1);
        setenv("LANG", "C.UTF-8", 1);
        execl(tool, tool, static_cast<char*>(nullptr));
        _exit(127);
    }
    return pump_until(s, 30, [&] { return s.screen.find("(plateau lit") != std::string::npos; });
}

// The old host: opens the port as the tool did, gives the board its start and drops the banner.
bool start_old_host(session& s) {
    s.host_fd = open((s.dir + "/COM3").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (s.host_fd < 0) {
        return false;
    }
    termios raw;
    if (tcgetattr(s.host_fd, &raw) == 0) {
        cfmakeraw(&raw);
        tcsetattr(s.host_fd, TCSANOW, &raw);
    }
    const clock_type::time_point settled =
        clock_type::now() + std::chrono::milliseconds(static_cast<int>(settle_s * 1000));
    while (clock_type::now() < settled) {
        pump(s, 5);
    }
    return true;
}

bool write_all(session& s, int fd, const std::string& bytes) {
    size_t done = 0;
    const clock_type::time_point deadline = clock_type::now() + std::chrono::seconds(2);
    while (done < bytes.size() && clock_type::now() < deadline) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            pump(s, 1);
        }
    }
    return done == bytes.size();
}

// The head's height at `t` (s since the first press), from the model's samples: linear between
// two, since the head runs at a constant speed within a move.
double head_at(const std::vector<sample>& head, double t) {
    if (head.empty()) {
        return NAN;
    }
    if (t <= head.front().t) {
        return head.front().z;
    }
    for (size_t i = 1; i < head.size(); ++i) {
        if (head[i].t >= t) {
            const sample& a = head[i - 1];
            const sample& b = head[i];
            return b.t > a.t ? a.z + (b.z - a.z) * (t - a.t) / (b.t - a.t) : b.z;
        }
    }
    return head.back().z;
}

void read_records(session& s, run_result* r, double last_press) {
    r->head_trace.clear();
    double stop_t = NAN;
    const double origin = s.min_offset - seconds(s.first_press.time_since_epoch());
    for (const session::record& rec : s.records) {
        const double t = rec.model_s + origin;
        double z = 0;
        char note[16] = {};
        if (std::sscanf(rec.text.c_str(), "open z=%lf", &z) == 1) {
            r->head_trace.push_back({t, z});
        } else if (std::sscanf(rec.text.c_str(), "z %lf %15s", &z, note) >= 1) {
            r->head_trace.push_back({t, z});
            if (std::strcmp(note, "stopped") == 0) {
                stop_t = t;
            }
        } else if (rec.text.compare(0, 8, "summary ") == 0) {
            std::sscanf(rec.text.c_str(),
                        "summary lines=%ld dropped=%ld mangled=%ld unknown=%ld leftover=%ld "
                        "final_z=%lf",
                        &r->lines_taken, &r->dropped, &r->mangled, &r->unknown, &r->leftover,
                        &r->final_z);
        }
    }
    const double z_at_last_press = head_at(r->head_trace, last_press);
    r->bound_s = std::fabs(r->field - z_at_last_press) / z_speed;
    r->stop_after_s = stop_t - last_press;
    if (!r->head_trace.empty()) {
        r->field_trace.push_back({r->head_trace.back().t, r->field}); // the field stays
    }
}

run_result run(const burst& b, bool old_host, const char* tool, const char* printer_sim) {
    run_result r;
    session s;
    char dir_template[] = "/tmp/sigma-burst-bench-XXXXXX";
    if (mkdtemp(dir_template) == nullptr) {
        r.problem = "mkdtemp";
        return r;
    }
    s.dir = dir_template;
    if (!start_printer(s, printer_sim)) {
        r.problem = "the simulated printer did not start";
        finish(s);
        return r;
    }
    if (old_host ? !start_old_host(s) : !start_tool(s, tool)) {
        r.problem = old_host ? "the port does not open" : "the tool did not settle";
        finish(s);
        return r;
    }

    int hundredths = 20000;
    s.first_press = clock_type::now();
    r.field_trace.push_back({0.0, hundredths / 100.0});
    double last_press = 0;
    for (int i = 0; i < b.presses; ++i) {
        // On the schedule, and never closer to the press before than a repeat's interval: a
        // press that comes late (a busy machine) is not made up for by a burst.
        const double due_s =
            i == 0 ? 0.0 : std::max(i * press_interval_s, last_press + press_interval_s);
        while (since_first_press(s) < due_s) {
            pump(s, 1);
        }
        hundredths += b.step_hundredths;
        const std::string height = height_text(hundredths);
        last_press = since_first_press(s);
        if (old_host) {
            if (!write_all(s, s.host_fd, "G1 F600 Z" + height + "\n")) {
                r.problem = "a write to the printer failed";
                break;
            }
            r.field_trace.push_back({last_press, hundredths / 100.0});
            continue;
        }
        s.screen.clear();
        const clock_type::time_point written = clock_type::now();
        if (write(s.tool_fd, &b.key, 1) != 1) {
            r.problem = "a write to the terminal failed";
            break;
        }
        // The field is drawn in its colour, then the text: "...m199.000" and the next sequence.
        const std::string drawn = "m" + height + "\x1b";
        if (!pump_until(s, 5, [&] { return s.screen.find(drawn) != std::string::npos; })) {
            r.problem = "the screen did not show " + height;
            break;
        }
        r.latencies_ms.push_back(seconds(clock_type::now() - written) * 1000.0);
        r.latency_trace.push_back({last_press, r.latencies_ms.back()});
        r.field_trace.push_back({since_first_press(s), hundredths / 100.0});
    }
    r.presses = b.presses;
    r.burst_s = last_press;
    r.field = hundredths / 100.0;
    if (!r.problem.empty()) {
        finish(s);
        return r;
    }

    // The end: the tool gets the space bar (it sends what is pending and ends); the old host
    // closes the port after its last line, as the old tool did on the space bar.
    if (old_host) {
        close(s.host_fd);
        s.host_fd = -1;
    } else {
        const char space = ' ';
        if (write(s.tool_fd, &space, 1) != 1 ||
            !pump_until(s, 30, [&] { return waitpid(s.tool, nullptr, WNOHANG) == s.tool; })) {
            r.problem = "the tool did not end on the space bar";
            finish(s);
            return r;
        }
        s.tool = -1;
    }
    // The session's summary comes once the port is closed and the head has stopped.
    const double longest = 400.0 / z_speed + 30.0;
    if (!pump_until(s, longest, [&] { return s.summary; })) {
        r.problem = "the firmware did not finish";
        finish(s);
        return r;
    }
    finish(s);
    read_records(s, &r, last_press);
    r.ok = true;
    return r;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

void print(const burst& b, bool old_host, const run_result& r) {
    std::printf("  %c held, %d presses, %s:\n", b.key, b.presses,
                old_host ? "as it was (one line per press, never waiting)"
                         : "the tool (waits for ok, sends the latest height)");
    if (!r.ok) {
        std::printf("    run failed: %s\n", r.problem.c_str());
        return;
    }
    std::printf("    presses over %.2f s (%.1f a second)\n", r.burst_s,
                r.burst_s > 0 ? (r.presses - 1) / r.burst_s : 0.0);
    if (old_host) {
        std::printf("    lines sent %d, taken by the firmware %ld\n", r.presses, r.lines_taken);
    } else if (r.dropped == 0 && r.leftover == 0) {
        std::printf("    lines sent %ld, all taken by the firmware\n", r.lines_taken);
    } else {
        std::printf("    lines taken by the firmware %ld (bytes were lost on the way)\n",
                    r.lines_taken);
    }
    std::printf("    bytes dropped %ld, mangled lines %ld, unknown commands %ld, left in the "
                "firmware's line buffer %ld bytes\n",
                r.dropped, r.mangled, r.unknown, r.leftover);
    std::printf("    final Z %.3f, field %.3f: %s\n", r.final_z, r.field,
                std::fabs(r.final_z - r.field) < 0.0005 ? "equal" : "DIFFERENT");
    if (!r.latencies_ms.empty()) {
        std::printf("    key-to-screen latency: median %.2f ms, p99 %.2f ms, max %.2f ms (goal: "
                    "under %.0f ms)\n",
                    percentile(r.latencies_ms, 0.5), percentile(r.latencies_ms, 0.99),
                    percentile(r.latencies_ms, 1.0), latency_goal_ms);
    }
    std::printf("    last press to the head's stop %.2f s; distance left / 5 mm/s %.2f s "
                "(%+.1f %%; goal: within 10 %%)\n",
                r.stop_after_s, r.bound_s,
                r.bound_s > 0 ? 100.0 * (r.stop_after_s - r.bound_s) / r.bound_s : 0.0);
}

void write_series(const std::string& path, const char* what, const std::vector<sample>& series) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        return;
    }
    std::fprintf(file, "# s since the first press, %s\n", what);
    for (const sample& x : series) {
        std::fprintf(file, "%.4f %.3f\n", x.t, x.z);
    }
    std::fclose(file);
}

// The run's data for bench/plot_burst: the two traces, the tool's latencies by the time of their
// key, and the figures in one line of name=value words.
void write_data(const std::string& dir, const burst& b, bool old_host, const run_result& r) {
    const std::string stem = dir + "/" + b.key + (old_host ? "_old" : "_tool");
    write_series(stem + "_field.dat", "the field's height in mm", r.field_trace);
    write_series(stem + "_head.dat", "the head's height in mm", r.head_trace);
    if (!r.latency_trace.empty()) {
        write_series(stem + "_latency.dat", "key-to-screen latency in ms", r.latency_trace);
    }
    FILE* figures = std::fopen((stem + "_figures.txt").c_str(), "w");
    if (figures != nullptr) {
        std::fprintf(figures, "sent=%ld taken=%ld dropped=%ld final_z=%.3f field=%.3f\n",
                     old_host ? static_cast<long>(r.presses) : r.lines_taken, r.lines_taken,
                     r.dropped, r.final_z, r.field);
        std::fclose(figures);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: burst_bench TOOL PRINTER_SIM [--burst z|a] [--data DIR]\n");
        return 2;
    }
    std::string only;
    std::string data_dir;
    for (int i = 3; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--burst") == 0) {
            only = argv[i + 1];
        } else if (std::strcmp(argv[i], "--data") == 0) {
            data_dir = argv[i + 1];
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    const burst bursts[] = {{'z', 200, -100}, {'a', 60, 100}};
    for (const burst& b : bursts) {
        if (!only.empty() && only[0] != b.key) {
            continue;
        }
        for (const bool old_host : {true, false}) {
            const run_result r = run(b, old_host, argv[1], argv[2]);
            print(b, old_host, r);
            std::fflush(stdout);
            if (!data_dir.empty() && r.ok) {
                write_data(data_dir, b, old_host, r);
            }
        }
    }
    return 0;
}
