// A simulated Marlin-style printer on a pseudo-terminal, for running the tool without a board.
// The tool opens the slave side as its serial device (reached through a link, usually one of the
// SIGMA_PORTS entries); this program keeps only the master side. When the tool opens the port the
// printer sends its start banner, then answers every line it receives, tracks G1 Z moves, answers
// M114 with the position and logs each line with its time since the port was opened.
//
// Each behaviour is one function chosen once from the options (what happens on open, how a line
// is answered, what goes before an answer), so that a new fault is one more function and one more
// option. The faults: --vanish-after N (the cable is pulled after N lines), --garbage (random
// bytes, NUL and CR among them, on open and before each answer), --long-reply (10 KiB before
// each answer) and --flood (sends without a pause from the moment the port opens). --start-z MM
// sets where the head sits at start (200 by default, where calibration starts).
//
// The log without --firmware: one line per line received, "<ms since open> <line>" (ms with three
// decimals), and "<ms> vanished" when the cable is pulled.
//
// --firmware answers through a model of a Marlin 1.1 firmware in real time (firmware_model.h): the
// host's bytes go into a 128-byte receive ring as they come and are dropped while it is full;
// lines leave the ring only while the 4-command queue has room; a move waits while the 16-block
// planner is full and gets its "ok" once in it; Z runs at most 5 mm/s; "echo:busy: processing"
// comes every 2 s while a move waits; unknown commands get `echo:Unknown command: "<line>"`. Like
// Marlin's, the two rings keep a slot free: 127 bytes and 15 moves fit.
// Opening the port resets the board: moves stop and the buffers empty. After the host closes the
// port the model still finishes what it took, as a board does. It combines with --crlf,
// --no-banner, --vanish-after and --start-z.
//
// The log with --firmware: one record per line, "t=<ms> <event>", the ms since the port opened
// with three decimals, in the order things happen:
//   t=0.000 open z=200.000
//       The port opened (the board reset); where the head is.
//   t=490.774 line "G1 F600 Z199.000"
//   t=3092.197 line "G1 F600 G1 F600 Z163.000" mangled
//   t=3100.000 line "GG1 F600 Z90.000" unknown
//       A line taken from the ring into the command queue as the firmware assembled it, in
//       quotes (a quote, a backslash and bytes outside 0x20..0x7e written \", \\ and \xNN).
//       "mangled" marks a G0/G1 whose words do not parse (a letter twice, a letter without
//       its number, a stray byte), as when lines are spliced; such a move still runs (a Z
//       without a number means Z0). "unknown" marks a command the model does not know (it
//       knows G0, G1 and M114).
//   t=1533.540 dropped 9
//       Bytes dropped at that moment, the ring being full.
//   t=490.774 z 200.000
//       The head's height, when a move starts and every 50 ms while it moves.
//   t=11490.774 z 145.000 stopped
//       The planner ran empty; t is the exact time the head stopped.
//   t=2490.800 busy
//       "echo:busy: processing" went to the host.
//   t=2509.834 closed
//   t=2600.000 vanished
//       The host closed the port; --vanish-after pulled the cable.
//   t=4491.820 summary lines=20 dropped=0 mangled=0 unknown=0 leftover=0 final_z=180.000 moving=0
//       Ends each session, once: when the port has closed and the model is idle, when the port
//       opens again before that, at --vanish-after, or when printer_sim is stopped (moving=1 if
//       the head had not arrived). lines counts the lines taken, dropped the bytes, leftover the
//       bytes of an unfinished line in the firmware's line buffer; final_z is the head's height.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <deque>
#include <string>

#include "firmware_model.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int poll_slice_ms = 5; // how often the open state of the slave is looked at
constexpr size_t line_limit = 4096;
constexpr int long_line_length = 300;
constexpr size_t garbage_length = 64;
constexpr size_t long_reply_length = 10 * 1024;
constexpr size_t queue_limit = 1024 * 1024;
constexpr int flood_blocks_per_pass = 16; // so that the tool's lines are still served between

struct options {
    std::string link;
    std::string log_path;
    bool crlf = false;
    bool reply = true;
    int reply_delay_ms = 0;
    bool long_line = false;
    bool banner = true;
    int vanish_after = -1; // lines; -1: never
    bool garbage = false;
    bool long_reply = false;
    bool flood = false;
    bool firmware = false;
    double start_z = 200.0;
};

struct pending_write {
    clock_type::time_point due;
    std::string bytes;
};

struct printer;
using open_behaviour = void (*)(printer&);
using answer_behaviour = void (*)(printer&, const std::string& line);
using prelude_behaviour = void (*)(printer&, std::string& answer);
using receive_behaviour = void (*)(printer&, const char* bytes, size_t count);
using tick_behaviour = void (*)(printer&);

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
    receive_behaviour on_bytes = nullptr;
    tick_behaviour on_tick = nullptr; // each pass, the port open or not
    tick_behaviour on_hang_up = nullptr;
    firmware model; // --firmware
    int lines_received = 0;
    bool vanished = false;
    bool flooding = false;
    size_t flood_offset = 0; // where the flood's text goes on
    size_t queued_bytes = 0;
    bool waiting_for_room = false; // the queue's front is due, and the tool's side is full
    uint32_t garbage_state = 5;    // a fixed seed: every run sends the same garbage
};

volatile std::sig_atomic_t stop_signal = 0;

void on_stop_signal(int signal_number) {
    stop_signal = signal_number;
}

void usage() {
    std::fprintf(stderr,
                 "usage: printer_sim (--link PATH | --ports DIR --com N) [--log FILE] [--crlf]\n"
                 "                   [--no-reply] [--reply-delay MS] [--long-line] [--no-banner]\n"
                 "                   [--vanish-after LINES] [--garbage | --long-reply] [--flood]\n"
                 "                   [--firmware] [--start-z MM]\n");
}

double seconds_now() {
    return std::chrono::duration<double>(clock_type::now().time_since_epoch()).count();
}

// Writes everything, waiting for room when the terminal's buffer is full. Gives up when the
// slave side is closed, as a board's output goes nowhere without a host. Used on open only; the
// answers go through the queue, which never waits (flush_due_writes).
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

// Schedules bytes for the wire: at once, or after the reply delay. Past a backlog of queue_limit
// bytes (a tool that reads far less than it is sent, as with 10 KiB replies) an answer is lost
// whole, as a host's overflowing buffer loses it.
void send_later(printer& p, std::string bytes, int delay_ms) {
    if (p.queued_bytes + bytes.size() > queue_limit) {
        return;
    }
    p.queued_bytes += bytes.size();
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

std::string garbage_bytes(printer& p, size_t length) {
    std::string bytes;
    for (size_t i = 0; i < length; ++i) {
        p.garbage_state = p.garbage_state * 1103515245u + 12345u;
        bytes += static_cast<char>(p.garbage_state >> 24);
    }
    // NUL and CR bytes are certain, not left to chance.
    bytes[length / 3] = '\0';
    bytes[length / 2] = '\r';
    bytes[length - 1] = '\0';
    return bytes;
}

// A board that speaks at another baud rate first: noise, then its banner.
void send_garbage_then_banner(printer& p) {
    write_all(p, garbage_bytes(p, garbage_length));
    send_marlin_banner(p);
}

// The banner, then text without a pause for as long as the port stays open (keep_flooding).
void start_flood(printer& p) {
    send_marlin_banner(p);
    p.flooding = true;
    p.flood_offset = 0;
}

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

void prepend_garbage(printer& p, std::string& answer) {
    answer.insert(0, garbage_bytes(p, garbage_length));
}

// 10 KiB of echo lines, LF-ended and without a CR, so that every reply read stops at its limit.
void prepend_long_reply(printer&, std::string& answer) {
    static const std::string line =
        "echo:a long reply, line after line without a carriage return\n";
    std::string reply;
    while (reply.size() < long_reply_length) {
        reply += line;
    }
    reply.resize(long_reply_length - 1);
    reply += '\n';
    answer.insert(0, reply);
}

// --- the firmware model (--firmware) -------------------------------------------------------

void vanish(printer& p);

// What the model said goes to the host while the port is open, and nowhere once it is closed.
// The session ends when the port is closed and the model has finished what it took.
void after_firmware(printer& p) {
    if (p.open && !p.model.to_host.empty()) {
        send_later(p, std::move(p.model.to_host), 0);
    }
    p.model.to_host.clear();
    if (p.open && p.opt.vanish_after > 0 && p.model.lines_taken >= p.opt.vanish_after) {
        vanish(p);
        return;
    }
    if (!p.open && p.model.session && firmware_idle(p.model)) {
        firmware_end_session(p.model, seconds_now());
    }
}

// The board resets when the port opens, then prints its banner.
void reset_firmware(printer& p) {
    firmware_reset(p.model, seconds_now());
    if (p.opt.banner) {
        send_marlin_banner(p);
    }
}

void feed_firmware(printer& p, const char* bytes, size_t count) {
    firmware_receive(p.model, bytes, count, seconds_now());
    after_firmware(p);
}

void run_firmware(printer& p) {
    firmware_run(p.model, seconds_now());
    after_firmware(p);
}

void hang_up_firmware(printer& p) {
    firmware_hang_up(p.model, seconds_now());
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
        ++p.lines_received;
        std::string command = line;
        if (!command.empty() && command.back() == '\r') {
            command.pop_back();
        }
        p.on_line(p, command);
        if (p.opt.vanish_after > 0 && p.lines_received >= p.opt.vanish_after) {
            vanish(p); // the bytes after the line are lost with the cable
            return;
        }
    }
}

void port_opened(printer& p) {
    p.open = true;
    p.opened_at = clock_type::now();
    p.partial.clear();
    p.queue.clear();
    p.queued_bytes = 0;
    // Whatever was left from an earlier session is not this host's.
    tcflush(p.master, TCIOFLUSH);
    p.on_open(p);
}

void port_closed(printer& p) {
    if (p.on_hang_up != nullptr) {
        p.on_hang_up(p);
    }
    p.open = false;
    p.flooding = false;
    p.queue.clear();
    p.queued_bytes = 0;
    p.partial.clear();
}

// Writes what is due as far as the tool's side has room, and keeps the rest in order for when
// it has: a reply longer than the terminal's buffer (10 KiB) goes out as the tool reads it, and
// the lines the tool sends meanwhile are still taken and logged.
void flush_due_writes(printer& p) {
    const clock_type::time_point now = clock_type::now();
    p.waiting_for_room = false;
    while (!p.queue.empty() && p.queue.front().due <= now) {
        std::string& bytes = p.queue.front().bytes;
        const ssize_t n = write(p.master, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            p.waiting_for_room = true;
            return;
        }
        if (n < 0) {
            return; // the slave side is closed; port_closed drops the queue
        }
        p.queued_bytes -= static_cast<size_t>(n);
        if (static_cast<size_t>(n) < bytes.size()) {
            bytes.erase(0, static_cast<size_t>(n));
            continue;
        }
        p.queue.pop_front();
    }
}

// Fills the tool's side with text whenever it has room, so that a read there never finds the
// line quiet: a pseudo-terminal has no line rate, and a real line at 250000 baud brings a byte
// every 40 us, far inside the 2 ms of silence that end a read.
void keep_flooding(printer& p) {
    static const std::string block = [] {
        std::string text;
        for (int i = 0; i < 186; ++i) {
            text += "echo:busy: processing\n";
        }
        return text;
    }();
    for (int i = 0; i < flood_blocks_per_pass; ++i) {
        const ssize_t n =
            write(p.master, block.data() + p.flood_offset, block.size() - p.flood_offset);
        if (n <= 0) {
            return; // full: poll tells when there is room again
        }
        p.flood_offset = (p.flood_offset + static_cast<size_t>(n)) % block.size();
    }
}

int next_wait_ms(const printer& p) {
    if (!p.open) {
        return poll_slice_ms;
    }
    int wait = 50;
    if (!p.queue.empty() && !p.waiting_for_room) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            p.queue.front().due - clock_type::now());
        wait = static_cast<int>(std::max<long long>(0, std::min<long long>(wait, left.count())));
    }
    if (p.opt.firmware) {
        const int model_wait = firmware_wait_ms(p.model, seconds_now());
        wait = model_wait >= 0 ? std::min(wait, model_wait) : wait;
    }
    return wait;
}

// Takes everything the host has written so far. After a hang-up the master still gives the bytes
// written just before the close, then fails (EIO) once they are read.
void read_pending(printer& p) {
    while (!p.vanished) {
        char bytes[4096];
        const ssize_t n = read(p.master, bytes, sizeof bytes);
        if (n > 0) {
            p.on_bytes(p, bytes, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            return;
        }
    }
}

// One pass: the master reports POLLHUP while no one holds the slave open. What the host wrote is
// read before its hang-up is handled, so that its last line is not lost.
void serve_once(printer& p) {
    if (p.vanished) {
        usleep(50 * 1000); // nothing is left to serve; wait for the stop signal
        return;
    }
    const bool want_room = p.flooding || p.waiting_for_room;
    pollfd fd{p.master, static_cast<short>(want_room ? POLLIN | POLLOUT : POLLIN), 0};
    const int ready = poll(&fd, 1, next_wait_ms(p));
    if (ready < 0) {
        return; // a signal: the caller looks at the stop flag
    }
    const bool hung_up = (fd.revents & POLLHUP) != 0;
    if (p.open && (fd.revents & (POLLIN | POLLHUP)) != 0) {
        read_pending(p);
    }
    if (p.vanished) {
        return;
    }
    if (hung_up && p.open) {
        port_closed(p);
    } else if (!hung_up && !p.open) {
        port_opened(p);
    }
    if (p.on_tick != nullptr) {
        p.on_tick(p);
    }
    if (p.vanished) {
        return;
    }
    if (!p.open) {
        // POLLHUP stays set while the slave is closed: poll would not wait.
        usleep(poll_slice_ms * 1000);
        return;
    }
    flush_due_writes(p);
    if (p.flooding && (fd.revents & POLLOUT) != 0) {
        keep_flooding(p);
    }
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

// The cable is pulled: the tool's side of the port hangs up and its link goes away.
void vanish(printer& p) {
    if (p.opt.firmware) {
        firmware_log(p.model, seconds_now(), "vanished");
        firmware_end_session(p.model, seconds_now());
    } else {
        std::fprintf(p.log, "%.3f vanished\n", ms_since_open(p));
        std::fflush(p.log);
    }
    p.vanished = true;
    p.open = false;
    p.queue.clear();
    p.queued_bytes = 0;
    remove_link(p);
    close(p.master);
    p.master = -1;
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

bool parse_height(const char* text, double* value) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= -10000.0 && v <= 10000.0)) {
        return false;
    }
    *value = v;
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
        } else if (arg == "--vanish-after" && has_value) {
            if (!parse_number(argv[++i], 1, 1000000, &opt->vanish_after)) {
                std::fprintf(stderr, "printer_sim: --vanish-after takes a number of lines\n");
                return false;
            }
        } else if (arg == "--garbage") {
            opt->garbage = true;
        } else if (arg == "--long-reply") {
            opt->long_reply = true;
        } else if (arg == "--flood") {
            opt->flood = true;
        } else if (arg == "--firmware") {
            opt->firmware = true;
        } else if (arg == "--start-z" && has_value) {
            if (!parse_height(argv[++i], &opt->start_z)) {
                std::fprintf(stderr, "printer_sim: --start-z takes a height in mm\n");
                return false;
            }
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
    if (opt->long_line + opt->garbage + opt->long_reply > 1) {
        std::fprintf(stderr,
                     "printer_sim: --long-line, --garbage and --long-reply exclude each other\n");
        return false;
    }
    const bool reply_changed = !opt->reply || opt->reply_delay_ms != 0 || opt->long_line ||
                               opt->garbage || opt->long_reply || opt->flood;
    if (opt->firmware && reply_changed) {
        std::fprintf(stderr, "printer_sim: --firmware answers as a firmware does; it takes no "
                             "--no-reply, --reply-delay, --long-line, --garbage, --long-reply or "
                             "--flood\n");
        return false;
    }
    return true;
}

void choose_behaviours(printer& p) {
    p.on_open = p.opt.banner ? send_marlin_banner : send_nothing_on_open;
    if (p.opt.garbage) {
        p.on_open = send_garbage_then_banner;
    }
    if (p.opt.flood) {
        p.on_open = start_flood;
    }
    p.on_line = p.opt.reply ? answer_marlin : answer_nothing;
    p.before_answer = p.opt.long_line    ? prepend_long_line
                      : p.opt.garbage    ? prepend_garbage
                      : p.opt.long_reply ? prepend_long_reply
                                         : nullptr;
    p.on_bytes = take_bytes;
    if (p.opt.firmware) {
        firmware_power_on(p.model, p.log, line_end(p), p.opt.start_z);
        p.on_open = reset_firmware;
        p.on_bytes = feed_firmware;
        p.on_tick = run_firmware;
        p.on_hang_up = hang_up_firmware;
    }
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
    setvbuf(p.log, nullptr, _IOLBF, 0); // the tests read the log while this runs
    p.z = p.opt.start_z;
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
    if (p.opt.firmware) {
        firmware_end_session(p.model, seconds_now());
    }
    if (!p.vanished) {
        remove_link(p);
        close(p.master);
    }
    if (p.log != stderr) {
        std::fclose(p.log);
    }
    return 0;
}
