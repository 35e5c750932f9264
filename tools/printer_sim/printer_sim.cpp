// A simulated Marlin-style printer on a pseudo-terminal, for running the tool without a board.
// The tool opens the slave side as its serial device (reached through a link, usually one of the
// SIGMA_PORTS entries); this program keeps only the master side. When the tool opens the port the
// printer sends its start banner, then answers every line it receives, tracks G1 Z moves, answers
// M114 with the position and logs each line with its time since the port was opened.
//
// Each behaviour is one function chosen once from the options (what happens on open, how a line
// is answered, what goes before an answer), so that a new fault is one more function and one more
// option.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int poll_slice_ms = 5; // how often the open state of the slave is looked at
constexpr size_t line_limit = 4096;
constexpr int long_line_length = 300;

struct options {
    std::string link;
    std::string log_path;
    bool crlf = false;
    bool reply = true;
    int reply_delay_ms = 0;
    bool long_line = false;
    bool banner = true;
};

struct pending_write {
    clock_type::time_point due;
    std::string bytes;
};

struct printer;
using open_behaviour = void (*)(printer&);
using answer_behaviour = void (*)(printer&, const std::string& line);
using prelude_behaviour = void (*)(printer&, std::string& answer);

struct printer {
    options opt;
    int master = -1;
    std::string slave_path;
    FILE* log = stderr;
    bool open = false;
    clock_type::time_point opened_at;
    std::string partial;
    double z = 0.0;
    std::deque<pending_write> queue;
    open_behaviour on_open = nullptr;
    answer_behaviour on_line = nullptr;
    prelude_behaviour before_answer = nullptr;
};

volatile std::sig_atomic_t stop_signal = 0;

void on_stop_signal(int signal_number) {
    stop_signal = signal_number;
}

void usage() {
    std::fprintf(
        stderr, "usage: printer_sim (--link PATH | --ports DIR --com N) [--log FILE] [--crlf]\n"
                "                   [--no-reply] [--reply-delay MS] [--long-line] [--no-banner]\n");
}

// Writes everything, waiting for room when the terminal's buffer is full. Gives up when the
// slave side is closed, as a board's output goes nowhere without a host.
void write_all(printer& p, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(p.master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            pollfd out{p.master, POLLOUT, 0};
            if (poll(&out, 1, 100) > 0 && (out.revents & POLLHUP) == 0) {
                continue;
            }
        }
        return;
    }
}

// Schedules bytes for the wire: at once, or after the reply delay.
void send_later(printer& p, std::string bytes, int delay_ms) {
    p.queue.push_back({clock_type::now() + std::chrono::milliseconds(delay_ms), std::move(bytes)});
}

const char* line_end(const printer& p) {
    return p.opt.crlf ? "\r\n" : "\n";
}

// --- on open -------------------------------------------------------------------------------

// About 900 bytes, as Marlin prints after its reset, "\n" line ends.
void send_marlin_banner(printer& p) {
    static const char* const lines[] = {
        "start",
        "echo:Marlin 1.1.0-RC8",
        "echo: Last Updated: 2016-12-06 12:00 | Author: (Dagoma, Sigma)",
        "echo:Compiled: Dec  6 2016",
        "echo: Free Memory: 3025  PlannerBufferBytes: 1232",
        "echo:Hardcoded Default Settings Loaded",
        "echo:Steps per unit:",
        "echo:  M92 X80.00 Y80.00 Z2560.00 E98.00",
        "echo:Maximum feedrates (mm/s):",
        "echo:  M203 X300.00 Y300.00 Z5.00 E25.00",
        "echo:Maximum Acceleration (mm/s2):",
        "echo:  M201 X9000 Y9000 Z100 E10000",
        "echo:Accelerations: P=printing, R=retract and T=travel",
        "echo:  M204 P3000.00 R3000.00 T3000.00",
        "echo:Advanced variables: S=Min feedrate (mm/s), T=Min travel feedrate (mm/s), B=minimum "
        "segment time (ms), X=maximum XY jerk (mm/s),  Z=maximum Z jerk (mm/s),  E=maximum E jerk "
        "(mm/s)",
        "echo:  M205 S0.00 T0.00 B20000 X20.00 Y20.00 Z0.40 E5.00",
        "echo:Home offset (mm)",
        "echo:  M206 X0.00 Y0.00 Z0.00",
        "echo:PID settings:",
        "echo:  M301 P22.20 I1.08 D114.00",
        "echo:Filament settings: Disabled",
        "echo:  M200 D3.00",
        "echo:  M200 D0",
        "echo:Z probe offset (mm):",
        "echo:  M851 Z0.00",
        "echo:SD init fail",
    };
    std::string banner;
    for (const char* line : lines) {
        banner += line;
        banner += '\n';
    }
    write_all(p, banner);
}

void send_nothing_on_open(printer&) {}

// --- answers -------------------------------------------------------------------------------

// The value of the word starting with the letter, if the line has one ("G1 F600 Z201.000").
bool word_value(const std::string& line, char letter, double* value) {
    for (size_t i = 0; i < line.size(); ++i) {
        const bool word_start = i == 0 || line[i - 1] == ' ';
        if (word_start && line[i] == letter) {
            char* end = nullptr;
            const double v = std::strtod(line.c_str() + i + 1, &end);
            if (end != line.c_str() + i + 1) {
                *value = v;
                return true;
            }
        }
    }
    return false;
}

bool is_command(const std::string& line, const char* code) {
    const size_t n = std::strlen(code);
    return line.compare(0, n, code) == 0 && (line.size() == n || line[n] == ' ');
}

// Follows the position the way firmware does and builds the answer to one line.
std::string marlin_answer(printer& p, const std::string& line) {
    std::string answer;
    if (is_command(line, "G0") || is_command(line, "G1")) {
        word_value(line, 'Z', &p.z);
    } else if (is_command(line, "M114")) {
        char position[128];
        std::snprintf(position, sizeof position, "X:0.00 Y:0.00 Z:%.2f E:0.00 Count X:0 Y:0 Z:%ld",
                      p.z, static_cast<long>(p.z * 2560.0));
        answer += position;
        answer += line_end(p);
    }
    answer += "ok";
    answer += line_end(p);
    return answer;
}

void answer_marlin(printer& p, const std::string& line) {
    std::string answer = marlin_answer(p, line);
    if (p.before_answer != nullptr) {
        p.before_answer(p, answer);
    }
    send_later(p, std::move(answer), p.opt.reply_delay_ms);
}

// Still follows the position, but never says a word.
void answer_nothing(printer& p, const std::string& line) {
    marlin_answer(p, line);
}

// A 300-byte line with no CR or LF in front of the answer.
void prepend_long_line(printer&, std::string& answer) {
    answer.insert(0, std::string(long_line_length, 'L'));
}

// --- the port ------------------------------------------------------------------------------

double ms_since_open(const printer& p) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - p.opened_at).count();
}

void log_line(printer& p, const std::string& line) {
    std::fprintf(p.log, "%.3f %s\n", ms_since_open(p), line.c_str());
    std::fflush(p.log);
}

void take_bytes(printer& p, const char* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (bytes[i] != '\n') {
            if (p.partial.size() < line_limit) {
                p.partial += bytes[i];
            }
            continue;
        }
        const std::string line = p.partial;
        p.partial.clear();
        log_line(p, line);
        std::string command = line;
        if (!command.empty() && command.back() == '\r') {
            command.pop_back();
        }
        p.on_line(p, command);
    }
}

void port_opened(printer& p) {
    p.open = true;
    p.opened_at = clock_type::now();
    p.partial.clear();
    p.queue.clear();
    // Whatever was left from an earlier session is not this host's.
    tcflush(p.master, TCIOFLUSH);
    p.on_open(p);
}

void port_closed(printer& p) {
    p.open = false;
    p.queue.clear();
    p.partial.clear();
}

void flush_due_writes(printer& p) {
    const clock_type::time_point now = clock_type::now();
    while (!p.queue.empty() && p.queue.front().due <= now) {
        const std::string bytes = std::move(p.queue.front().bytes);
        p.queue.pop_front();
        write_all(p, bytes);
    }
}

int next_wait_ms(const printer& p) {
    if (!p.open) {
        return poll_slice_ms;
    }
    int wait = 50;
    if (!p.queue.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            p.queue.front().due - clock_type::now());
        wait = static_cast<int>(std::max<long long>(0, std::min<long long>(wait, left.count())));
    }
    return wait;
}

// One pass: the master reports POLLHUP while no one holds the slave open.
void serve_once(printer& p) {
    pollfd fd{p.master, POLLIN, 0};
    const int ready = poll(&fd, 1, next_wait_ms(p));
    if (ready < 0) {
        return; // a signal: the caller looks at the stop flag
    }
    const bool hung_up = (fd.revents & POLLHUP) != 0;
    if (hung_up && p.open) {
        port_closed(p);
    } else if (!hung_up && !p.open) {
        port_opened(p);
    }
    if (!p.open) {
        // POLLHUP stays set while the slave is closed: poll would not wait.
        usleep(poll_slice_ms * 1000);
        return;
    }
    if ((fd.revents & POLLIN) != 0) {
        char bytes[512];
        const ssize_t n = read(p.master, bytes, sizeof bytes);
        if (n > 0) {
            take_bytes(p, bytes, static_cast<size_t>(n));
        }
    }
    flush_due_writes(p);
}

// The slave must have been opened once for the master to report POLLHUP while it is closed; it is
// opened and closed again at once, never held.
bool make_pty(printer& p) {
    p.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (p.master < 0 || grantpt(p.master) != 0 || unlockpt(p.master) != 0) {
        std::perror("printer_sim: pseudo-terminal");
        return false;
    }
    const char* name = ptsname(p.master);
    if (name == nullptr) {
        std::perror("printer_sim: ptsname");
        return false;
    }
    p.slave_path = name;
    // Raw from the start, so that no echo or line editing touches the bytes before the tool sets
    // its own line settings. On Linux the master's settings are the slave's.
    termios raw;
    if (tcgetattr(p.master, &raw) == 0) {
        cfmakeraw(&raw);
        tcsetattr(p.master, TCSANOW, &raw);
    }
    const int slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave >= 0) {
        close(slave);
    }
    const int flags = fcntl(p.master, F_GETFL);
    fcntl(p.master, F_SETFL, flags | O_NONBLOCK);
    return true;
}

// Points the link at the slave, replacing what was there, in one rename.
bool make_link(const printer& p) {
    const std::string temporary = p.opt.link + ".printer_sim." + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(p.slave_path.c_str(), temporary.c_str()) != 0 ||
        rename(temporary.c_str(), p.opt.link.c_str()) != 0) {
        std::fprintf(stderr, "printer_sim: cannot make the link %s: %s\n", p.opt.link.c_str(),
                     std::strerror(errno));
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

// Removes the link unless another printer has taken its place meanwhile.
void remove_link(const printer& p) {
    char target[4096];
    const ssize_t n = readlink(p.opt.link.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == p.slave_path) {
        unlink(p.opt.link.c_str());
    }
}

bool parse_number(const char* text, int low, int high, int* value) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < low || v > high) {
        return false;
    }
    *value = static_cast<int>(v);
    return true;
}

bool parse_options(int argc, char** argv, options* opt) {
    std::string ports;
    int com = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--link" && has_value) {
            opt->link = argv[++i];
        } else if (arg == "--ports" && has_value) {
            ports = argv[++i];
        } else if (arg == "--com" && has_value) {
            if (!parse_number(argv[++i], 0, 20, &com)) {
                std::fprintf(stderr, "printer_sim: --com takes a number from 0 to 20\n");
                return false;
            }
        } else if (arg == "--log" && has_value) {
            opt->log_path = argv[++i];
        } else if (arg == "--crlf") {
            opt->crlf = true;
        } else if (arg == "--no-reply") {
            opt->reply = false;
        } else if (arg == "--reply-delay" && has_value) {
            if (!parse_number(argv[++i], 0, 600000, &opt->reply_delay_ms)) {
                std::fprintf(stderr, "printer_sim: --reply-delay takes milliseconds\n");
                return false;
            }
        } else if (arg == "--long-line") {
            opt->long_line = true;
        } else if (arg == "--no-banner") {
            opt->banner = false;
        } else {
            std::fprintf(stderr, "printer_sim: unknown or incomplete option %s\n", arg.c_str());
            return false;
        }
    }
    if (opt->link.empty() && !ports.empty() && com >= 0) {
        opt->link = ports + "/COM" + std::to_string(com);
    }
    if (opt->link.empty()) {
        std::fprintf(stderr, "printer_sim: give --link PATH, or --ports DIR with --com N\n");
        return false;
    }
    return true;
}

void choose_behaviours(printer& p) {
    p.on_open = p.opt.banner ? send_marlin_banner : send_nothing_on_open;
    p.on_line = p.opt.reply ? answer_marlin : answer_nothing;
    p.before_answer = p.opt.long_line ? prepend_long_line : nullptr;
}

void catch_stop_signals() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace

int main(int argc, char** argv) {
    printer p;
    if (!parse_options(argc, argv, &p.opt)) {
        usage();
        return 2;
    }
    if (!p.opt.log_path.empty()) {
        p.log = std::fopen(p.opt.log_path.c_str(), "w");
        if (p.log == nullptr) {
            std::fprintf(stderr, "printer_sim: cannot write %s: %s\n", p.opt.log_path.c_str(),
                         std::strerror(errno));
            return 2;
        }
    }
    choose_behaviours(p);
    catch_stop_signals();
    if (!make_pty(p) || !make_link(p)) {
        return 1;
    }
    std::printf("ready %s\n", p.slave_path.c_str());
    std::fflush(stdout);
    while (stop_signal == 0) {
        serve_once(p);
    }
    remove_link(p);
    close(p.master);
    if (p.log != stderr) {
        std::fclose(p.log);
    }
    return 0;
}
