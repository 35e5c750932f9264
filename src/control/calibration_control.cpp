#include "control/calibration_control.h"

#include "common/tool_limits.h"
#include "link/printer_link.h"
#include "screen/console_screen.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD poll_pause_ms = 10;
constexpr int exit_success = 0;
constexpr int exit_no_port = 1;

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

// The keyboard loop, until the space bar. One key-down record is one step: the release of a key
// passes without a step, auto-repeat key-downs step again.
void run_keyboard_loop(console_handles console, HANDLE port, char* line_buffer) {
    float target_z = start_height;
    reset_indicator();
    for (;;) {
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
            return;
        }
        const step_key* entry = find_step_key(key.wVirtualKeyCode);
        if (entry == nullptr) {
            continue;
        }
        make_step(console.output, port, &target_z, line_buffer, entry->step);
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

void make_step(HANDLE output, HANDLE port, float* target_z, char* line_buffer, double step) {
    *target_z = apply_step(*target_z, step);
    format_height_command(line_buffer, *target_z);
    send_height_command(port, line_buffer);
    // The reply is read so that it does not pile up in the port; what it says is not used.
    read_printer_reply(port, line_buffer);
    show_height(output, *target_z, line_buffer);
    advance_indicator(output);
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

    HANDLE port = INVALID_HANDLE_VALUE;
    int exit_code = exit_success;
    if (find_printer_port(&port) < 0) {
        show_port_error(console.output);
        exit_code = exit_no_port;
    } else {
        settle_printer_port(port);
        draw_bed_line(console.output);
        run_keyboard_loop(console, port, line_buffer);
    }

    CloseHandle(console.input);
    CloseHandle(console.output);
    // After a failed search no device is open, and there is nothing to close.
    if (port != INVALID_HANDLE_VALUE) {
        CloseHandle(port);
    }
    return exit_code;
}
