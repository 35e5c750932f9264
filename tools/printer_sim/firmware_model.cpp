// The firmware model: how a Marlin 1.1 board takes, runs and answers what a host sends it.
#include "firmware_model.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

double session_ms(const firmware& f, double now) {
    return (now - f.opened_at) * 1000.0;
}

void log_record(const firmware& f, double now, const std::string& text) {
    std::fprintf(f.log, "t=%.3f %s\n", session_ms(f, now), text.c_str());
    std::fflush(f.log);
}

void log_z(const firmware& f, double now, double z, const char* note) {
    char text[64];
    std::snprintf(text, sizeof text, "z %.3f%s", z, note);
    log_record(f, now, text);
}

// Any bytes, quoted so that a record stays one line: \" \\ and \xNN for the rest.
std::string quoted(const std::string& bytes) {
    std::string text = "\"";
    for (const char c : bytes) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            text += '\\';
            text += c;
        } else if (u >= 0x20 && u < 0x7f) {
            text += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            text += hex;
        }
    }
    return text + "\"";
}

void answer(firmware& f, const std::string& text) {
    f.to_host += text;
    f.to_host += f.line_end;
}

// --- the head ------------------------------------------------------------------------------

// Moves the head along the planner up to `now`. Each move starts the instant the one before it
// ends, not when the loop happens to look, so the time a chain of moves takes is exact.
void advance_head(firmware& f, double now) {
    while (!f.planner.empty()) {
        const z_move& m = f.planner.front();
        const double duration = std::fabs(m.to_z - m.from_z) / m.speed;
        const double ends_at = f.move_started_at + duration;
        if (ends_at > now) {
            f.z = m.from_z + (m.to_z - m.from_z) * (now - f.move_started_at) / duration;
            return;
        }
        f.z = m.to_z;
        f.planner.pop_front();
        f.move_started_at = ends_at;
        if (f.planner.empty()) {
            log_z(f, ends_at, f.z, " stopped");
        }
    }
}

bool planner_full(const firmware& f) {
    return f.planner.size() >= planner_ring_size - 1;
}

// A move to `z` at the feed rate, as whole motor steps; one of no step adds nothing.
void plan_move(firmware& f, double z, double now) {
    const double to_z = std::round(z * z_steps_per_mm) / z_steps_per_mm;
    if (to_z == f.planned_z) {
        return;
    }
    if (f.planner.empty()) {
        f.move_started_at = now;
        f.next_sample_at = now + sample_interval_s;
        log_z(f, now, f.z, "");
    }
    f.planner.push_back({f.planned_z, to_z, std::min(f.feed_rate, z_max_speed)});
    f.planned_z = to_z;
}

// --- commands ------------------------------------------------------------------------------

// The words of a G-code line, each a letter and a number ("G1 F600 Z201.000"). A word without a
// number has the value 0, as the firmware's number parser gives; only the first of a letter
// counts. `clean` is false when the line is not a plain list of such words: two lines spliced
// into one ("G1 F600 G1 F600 Z165.000"), a letter without its number, a stray byte.
struct gcode_words {
    bool seen[26] = {};
    double value[26] = {};
    bool has_number[26] = {};
    char first = 0; // the command's letter
    bool clean = true;
};

// The longest plain decimal at `text` ("-12.5" of "-12.5.3"), as the firmware's strtod reads
// it; returns where it ends, or `text` when there is none.
const char* parse_decimal(const char* text, double* value) {
    const char* p = text;
    if (*p == '-' || *p == '+') {
        ++p;
    }
    const char* digits = p;
    while (*p >= '0' && *p <= '9') {
        ++p;
    }
    if (*p == '.') {
        ++p;
        while (*p >= '0' && *p <= '9') {
            ++p;
        }
    }
    if (p - digits == 0 || (p - digits == 1 && *digits == '.')) {
        return text;
    }
    *value = std::strtod(std::string(text, p).c_str(), nullptr);
    return p;
}

gcode_words split_words(const std::string& line) {
    gcode_words w;
    const char* p = line.c_str();
    const char* end = p + line.size();
    while (p < end) {
        if (*p == ' ') {
            ++p;
            continue;
        }
        if (*p < 'A' || *p > 'Z') {
            w.clean = false;
            ++p;
            continue;
        }
        const int letter = *p - 'A';
        if (w.first == 0) {
            w.first = *p;
        }
        double value = 0;
        const char* after = parse_decimal(p + 1, &value);
        if (after == p + 1) {
            w.clean = false;
        }
        if (w.seen[letter]) {
            w.clean = false;
        } else {
            w.seen[letter] = true;
            w.value[letter] = value;
            w.has_number[letter] = after != p + 1;
        }
        p = after == p + 1 ? p + 1 : after;
    }
    return w;
}

enum class command_kind { move, position, unknown };

command_kind kind_of(const gcode_words& w) {
    const int g = 'G' - 'A';
    const int m = 'M' - 'A';
    if (w.first == 'G' && w.has_number[g] && (w.value[g] == 0 || w.value[g] == 1)) {
        return command_kind::move;
    }
    if (w.first == 'M' && w.has_number[m] && w.value[m] == 114) {
        return command_kind::position;
    }
    return command_kind::unknown;
}

void answer_position(firmware& f) {
    char text[128];
    std::snprintf(text, sizeof text, "X:0.00 Y:0.00 Z:%.2f E:0.00 Count X:0 Y:0 Z:%ld", f.planned_z,
                  std::lround(f.z * z_steps_per_mm));
    answer(f, text);
}

// Runs the command at the front of the queue. A move waits (returns false) while the planner is
// full; its "ok" goes once it is in.
bool run_front_command(firmware& f, double now) {
    const gcode_words w = split_words(f.queue.front());
    switch (kind_of(w)) {
    case command_kind::move: {
        if (planner_full(f)) {
            if (!f.waiting) {
                f.waiting = true;
                f.next_busy_at = now + busy_interval_s;
            }
            return false;
        }
        f.waiting = false;
        const int fi = 'F' - 'A';
        const int zi = 'Z' - 'A';
        if (w.seen[fi] && w.value[fi] > 0) {
            f.feed_rate = w.value[fi] / 60.0;
        }
        if (w.seen[zi]) {
            plan_move(f, w.value[zi], now);
        }
        break;
    }
    case command_kind::position:
        answer_position(f);
        break;
    case command_kind::unknown:
        answer(f, "echo:Unknown command: \"" + f.queue.front() + "\"");
        break;
    }
    answer(f, "ok");
    f.queue.pop_front();
    return true;
}

// A line complete in the line buffer goes to the queue and into the log, as the firmware sees it.
void queue_line(firmware& f, double now) {
    const gcode_words w = split_words(f.line);
    const command_kind kind = kind_of(w);
    const char* note = "";
    if (kind == command_kind::unknown) {
        note = " unknown";
        ++f.unknown_lines;
    } else if (kind == command_kind::move && !w.clean) {
        note = " mangled";
        ++f.mangled_lines;
    }
    log_record(f, now, "line " + quoted(f.line) + note);
    ++f.lines_taken;
    f.queue.push_back(f.line);
    f.line.clear();
}

// Takes bytes out of the ring while the queue has room, a line at a time: LF or CR ends a line,
// empty lines are skipped, a comment (from ';') and bytes past the line's limit are left out.
// With the queue full the bytes stay in the ring, and the ring fills.
void take_lines(firmware& f, double now) {
    while (f.queue.size() < command_queue_size && f.ring_tail != f.ring_head) {
        const char c = f.ring[f.ring_tail];
        f.ring_tail = (f.ring_tail + 1) % receive_ring_size;
        if (c == '\n' || c == '\r') {
            f.in_comment = false;
            if (!f.line.empty()) {
                queue_line(f, now);
            }
        } else if (c == ';') {
            f.in_comment = true;
        } else if (!f.in_comment && f.line.size() < max_command_size - 1) {
            f.line += c;
        }
    }
}

// The main loop: take lines, run the front command, again, until a move waits for the planner or
// nothing is left. While a move waits the queue is not looked at, as the firmware is stuck in it.
void main_loop(firmware& f, double now) {
    advance_head(f, now);
    for (;;) {
        if (!f.waiting) {
            take_lines(f, now);
        }
        if (f.queue.empty() || !run_front_command(f, now)) {
            break;
        }
    }
    if (f.waiting && now >= f.next_busy_at) {
        answer(f, "echo:busy: processing");
        log_record(f, now, "busy");
        f.next_busy_at += busy_interval_s;
    }
    if (!f.planner.empty() && now >= f.next_sample_at) {
        log_z(f, now, f.z, "");
        f.next_sample_at = now + sample_interval_s;
    }
}

bool ring_full(const firmware& f) {
    return (f.ring_head + 1) % receive_ring_size == f.ring_tail;
}

} // namespace

void firmware_power_on(firmware& f, FILE* log, const char* line_end, double start_z) {
    f.log = log;
    f.line_end = line_end;
    f.z = start_z;
    f.planned_z = start_z;
}

void firmware_reset(firmware& f, double now) {
    if (f.session) {
        firmware_end_session(f, now);
    }
    advance_head(f, now);
    f.planner.clear(); // the motors stop where the head is
    f.planned_z = f.z;
    f.ring_head = f.ring_tail = 0;
    f.line.clear();
    f.in_comment = false;
    f.queue.clear();
    f.waiting = false;
    f.feed_rate = z_max_speed;
    f.to_host.clear();
    f.lines_taken = f.bytes_dropped = f.mangled_lines = f.unknown_lines = 0;
    f.session = true;
    f.opened_at = now;
    char text[64];
    std::snprintf(text, sizeof text, "open z=%.3f", f.z);
    log_record(f, now, text);
}

// Between two bytes on the line the firmware's loop gets its turn, so a byte is dropped only
// when the ring is still full after the firmware has taken what it could.
void firmware_receive(firmware& f, const char* bytes, size_t count, double now) {
    long dropped = 0;
    for (size_t i = 0; i < count; ++i) {
        if (ring_full(f)) {
            main_loop(f, now);
        }
        if (ring_full(f)) {
            ++dropped;
            continue;
        }
        f.ring[f.ring_head] = bytes[i];
        f.ring_head = (f.ring_head + 1) % receive_ring_size;
    }
    main_loop(f, now);
    if (dropped > 0) {
        f.bytes_dropped += dropped;
        log_record(f, now, "dropped " + std::to_string(dropped));
    }
}

void firmware_run(firmware& f, double now) {
    main_loop(f, now);
}

void firmware_hang_up(firmware& f, double now) {
    main_loop(f, now);
    log_record(f, now, "closed");
}

bool firmware_idle(const firmware& f) {
    return f.planner.empty() && f.queue.empty() && f.ring_head == f.ring_tail;
}

void firmware_end_session(firmware& f, double now) {
    if (!f.session) {
        return;
    }
    advance_head(f, now);
    char text[200];
    std::snprintf(text, sizeof text,
                  "summary lines=%ld dropped=%ld mangled=%ld unknown=%ld leftover=%zu "
                  "final_z=%.3f moving=%d",
                  f.lines_taken, f.bytes_dropped, f.mangled_lines, f.unknown_lines, f.line.size(),
                  f.z, f.planner.empty() ? 0 : 1);
    log_record(f, now, text);
    f.session = false;
}

int firmware_wait_ms(const firmware& f, double now) {
    if (f.planner.empty()) {
        return -1;
    }
    // Often enough for the samples, the busy message and a move's end within a few ms.
    const z_move& m = f.planner.front();
    const double ends_at = f.move_started_at + std::fabs(m.to_z - m.from_z) / m.speed;
    const double left_ms = (ends_at - now) * 1000.0;
    return static_cast<int>(std::ceil(std::clamp(left_ms, 0.0, 5.0)));
}

void firmware_log(const firmware& f, double now, const char* text) {
    log_record(f, now, text);
}
