#include "control/calibration_control.h"

#include "common/tool_limits.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD poll_pause_ms = 10;
constexpr int exit_success = 0;
constexpr int exit_no_port = 1;
constexpr int indicator_round = 6; // segments before the step indicator starts over

struct console_handles {
    HANDLE output;
    HANDLE input;
};

// Takes the oldest pending input record. False when there is none or the console fails: either
// way there is nothing to act on in this pass.
bool take_input_record(HANDLE input, INPUT_RECORD* record) {
    DWORD pending = 0;
    // Both calls return zero on failure.
    if (GetNumberOfConsoleInputEvents(input, &pending) == 0 || pending == 0) {
        return false;
    }
    DWORD taken = 0;
    std::memset(record, 0, sizeof *record);
    return ReadConsoleInputA(input, record, 1, &taken) != 0 && taken == 1;
}

// Draws the status line when what it says changes.
void set_status(HANDLE output, printer_session* session, printer_status status) {
    if (session->status != status) {
        session->status = status;
        show_printer_status(output, status);
    }
}

// A freshly opened and settled port: nothing is known of how the printer answers yet.
void start_session(printer_session* session) {
    session->starting = false;
    forget_printer_replies(&session->replies);
    session->acknowledges = false;
    session->unanswered = 0;
    session->height_pending = false;
    session->quiet_since_ms = GetTickCount();
}

// The port failed: it is closed, the screen says so, and the loop tries it again from time to
// time. Steps still change the screen meanwhile.
void lose_printer(HANDLE output, printer_session* session) {
    CloseHandle(session->port);
    session->port = INVALID_HANDLE_VALUE;
    session->last_open_ms = GetTickCount();
    set_status(output, session, printer_gone);
}

// Opens the printer's port again, about once a second. The board may reset on the open, so it
// is given the start-up's time before anything is read or written; the loop goes on meanwhile,
// so that the space bar still ends the tool at once.
void reopen_printer(printer_session* session) {
    if (GetTickCount() - session->last_open_ms < reopen_interval_ms) {
        return;
    }
    session->last_open_ms = GetTickCount();
    if (open_printer_port(&session->port, session->port_name) < 0) {
        session->port = INVALID_HANDLE_VALUE;
        return;
    }
    session->starting = true;
}

// Once the reopened printer has had its time, its banner is dropped and the line clears; the
// next step sends the latest height.
void finish_reopening(HANDLE output, printer_session* session) {
    if (GetTickCount() - session->last_open_ms < printer_start_ms) {
        return;
    }
    drain_printer_port(session->port);
    start_session(session);
    set_status(output, session, printer_fine);
}

// Takes what the printer has sent and counts its answers. False when the printer is gone.
bool listen_to_printer(HANDLE output, printer_session* session, char* line_buffer) {
    const int taken = read_printer_reply(session->port, line_buffer, &session->replies);
    if (taken < 0) {
        lose_printer(output, session);
        return false;
    }
    if (taken > 0) {
        session->quiet_since_ms = GetTickCount();
        if (session->status == printer_silent) {
            set_status(output, session, printer_fine);
        }
    }
    if (session->replies.answers > 0) {
        session->acknowledges = true;
        session->unanswered -= std::min(session->unanswered, session->replies.answers);
        session->replies.answers = 0;
    }
    return true;
}

void write_height(HANDLE output, printer_session* session, float target_z, char* line_buffer) {
    format_height_command(line_buffer, target_z);
    if (send_height_command(session->port, line_buffer) < 0) {
        lose_printer(output, session);
        return;
    }
    ++session->unanswered;
    session->height_pending = false;
    session->quiet_since_ms = GetTickCount();
}

// Whether a line may go out now: always to a printer that has never answered "ok" (it is driven
// blind, as it cannot tell us more), else once the line before has been answered.
bool may_write(const printer_session* session) {
    return !session->acknowledges || session->unanswered == 0;
}

bool silent_too_long(const printer_session* session) {
    return session->acknowledges && session->unanswered > 0 &&
           GetTickCount() - session->quiet_since_ms >= silence_limit_ms;
}

// The keyboard loop, until the space bar. One key-down record is one step, or as many as it
// stands for: the release of a key passes without a step, auto-repeat key-downs step again.
void run_keyboard_loop(console_handles console, printer_session* session, char* line_buffer) {
    float target_z = start_height;
    reset_indicator();
    for (;;) {
        serve_printer(console.output, session, target_z, line_buffer);
        INPUT_RECORD record;
        if (!take_input_record(console.input, &record)) {
            Sleep(poll_pause_ms);
            continue;
        }
        if (record.EventType != KEY_EVENT) {
            Sleep(poll_pause_ms);
            Sleep(poll_pause_ms);
            continue;
        }
        const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
        if (!key.bKeyDown) {
            continue;
        }
        if (key.wVirtualKeyCode == quit_key) {
            finish_printer(console.output, session, target_z, line_buffer);
            return;
        }
        const step_key* entry = find_step_key(key.wVirtualKeyCode);
        if (entry == nullptr) {
            continue;
        }
        const int presses = key.wRepeatCount > 0 ? key.wRepeatCount : 1;
        make_step(console.output, &target_z, line_buffer, entry->step, presses);
        offer_height(console.output, session, target_z, line_buffer);
        Sleep(poll_pause_ms);
        Sleep(poll_pause_ms);
    }
}

} // namespace

const step_key* find_step_key(WORD virtual_key) {
    for (const step_key& entry : step_key_table) {
        if (entry.virtual_key == virtual_key) {
            return &entry;
        }
    }
    return nullptr;
}

void make_step(HANDLE output, float* target_z, char* line_buffer, double step, int presses) {
    for (int press = 0; press < presses; ++press) {
        *target_z = apply_step(*target_z, step);
    }
    show_height(output, *target_z, line_buffer);
    // The indicator repeats every six segments, and after six it is whole: more than that only
    // has to leave it at the right place in its round.
    const int segments = std::min(presses, indicator_round + presses % indicator_round);
    for (int segment = 0; segment < segments; ++segment) {
        advance_indicator(output);
    }
}

void offer_height(HANDLE output, printer_session* session, float target_z, char* line_buffer) {
    session->height_pending = true;
    if (session->port != INVALID_HANDLE_VALUE && !session->starting && may_write(session)) {
        write_height(output, session, target_z, line_buffer);
    }
}

void serve_printer(HANDLE output, printer_session* session, float target_z, char* line_buffer) {
    if (session->port == INVALID_HANDLE_VALUE) {
        reopen_printer(session);
        return;
    }
    if (session->starting) {
        finish_reopening(output, session);
        return;
    }
    if (!listen_to_printer(output, session, line_buffer)) {
        return;
    }
    if (silent_too_long(session)) {
        set_status(output, session, printer_silent);
        if (session->height_pending) {
            write_height(output, session, target_z, line_buffer);
        }
    } else if (session->height_pending && may_write(session)) {
        write_height(output, session, target_z, line_buffer);
    }
}

void finish_printer(HANDLE output, printer_session* session, float target_z, char* line_buffer) {
    // A printer that is away, or starting again, takes nothing.
    if (session->port == INVALID_HANDLE_VALUE || session->starting) {
        return;
    }
    // A printer that chatters without ever answering cannot hold the end longer than a silence.
    const DWORD waiting_since_ms = GetTickCount();
    while (!may_write(session) && !silent_too_long(session) &&
           GetTickCount() - waiting_since_ms < silence_limit_ms) {
        Sleep(poll_pause_ms);
        if (!listen_to_printer(output, session, line_buffer)) {
            return;
        }
    }
    if (session->height_pending) {
        write_height(output, session, target_z, line_buffer);
    }
}

float apply_step(float height, double step) {
    const double hundredths = std::nearbyint((static_cast<double>(height) + step) * 100.0);
    // Adding zero turns a rounded -0.0 into 0.0, so that the screen never shows "-0.000".
    return static_cast<float>(hundredths / 100.0 + 0.0);
}

void format_height_command(char* line_buffer, float height) {
    std::memset(line_buffer, 0, line_buffer_size);
    std::snprintf(line_buffer, line_buffer_size, "G1 F600 Z%.3f\n", static_cast<double>(height));
}

int run_calibration() {
    char line_buffer[line_buffer_size];
    std::memset(line_buffer, 0, sizeof line_buffer);

    prepare_console();
    console_handles console;
    console.output = GetStdHandle(STD_OUTPUT_HANDLE);
    console.input = GetStdHandle(STD_INPUT_HANDLE);
    draw_static_screen(console.output);

    printer_session session;
    std::memset(&session, 0, sizeof session);
    session.port = INVALID_HANDLE_VALUE;
    session.status = printer_fine;
    int exit_code = exit_success;
    if (find_printer_port(&session.port, session.port_name) < 0) {
        show_port_error(console.output);
        exit_code = exit_no_port;
    } else {
        settle_printer_port(session.port);
        start_session(&session);
        draw_bed_line(console.output);
        run_keyboard_loop(console, &session, line_buffer);
    }

    CloseHandle(console.input);
    CloseHandle(console.output);
    // After a failed search, or once the printer is gone, no device is open to close.
    if (session.port != INVALID_HANDLE_VALUE) {
        CloseHandle(session.port);
    }
    return exit_code;
}
