// The tool's entry and its only loop: brings up the screen and the printer link in a fixed order,
// then turns key presses into height steps, each sent to the printer as one absolute G-code move
// and shown on the screen, until the space bar ends it.
#pragma once

#include "link/printer_link.h"
#include "platform/platform.h"
#include "screen/console_screen.h"

constexpr float start_height = 200.0f;
constexpr WORD quit_key = VK_SPACE;

struct step_key {
    WORD virtual_key;
    double step;
};

// The keys that change the height, by virtual-key code: the key, not the character it types, so
// Shift, Caps Lock, Ctrl and Alt make no difference.
constexpr step_key step_key_table[] = {
    {0x41, +1.0},  // A
    {0x5A, -1.0},  // Z
    {0x45, +0.1},  // E
    {0x52, -0.1},  // R
    {0x54, +0.01}, // T
    {0x59, -0.01}, // Y
};

// The table entry for a virtual-key code, or null when the key makes no step.
const step_key* find_step_key(WORD virtual_key);

// The height after one step: the sum rounded to the nearest hundredth, as every step is a whole
// number of hundredths, so the float never drifts from the decimal value shown and sent.
float apply_step(float height, double step);

// "G1 F600 Z<height with three decimals>\n" into the zero-filled line buffer.
void format_height_command(char* line_buffer, float height);

// A printer that has answered with "ok" gets its next line only once the line before has been
// answered: one unanswered line at most, so that its small receive buffer never overflows. A line
// with no byte back for this long is taken as unanswered for good, and the latest height goes
// out anyway, at most once per such silence.
constexpr DWORD silence_limit_ms = 10000;
// While the printer is gone, its port is tried again this often.
constexpr DWORD reopen_interval_ms = 1000;

// The loop's view of the printer. Moves are absolute, so only the latest height matters: a step
// while a line waits for its answer only marks the height pending.
struct printer_session {
    HANDLE port; // INVALID_HANDLE_VALUE while the printer is gone
    char port_name[port_name_size];
    printer_replies replies;
    bool acknowledges;    // has answered a line with "ok" since the port opened
    int unanswered;       // lines written and not answered yet
    bool height_pending;  // the height shown has not been written yet
    DWORD quiet_since_ms; // the last byte from the printer, or the last line written
    DWORD last_open_ms;   // while gone: the last try to open the port again; then the open
    bool starting;        // opened again, and the printer not started yet: nothing is written
    printer_status status;
};

// Steps: `presses` times the step (a console record can stand for several auto-repeated presses
// of one key), and the screen shows the new height.
void make_step(HANDLE output, float* target_z, char* line_buffer, double step, int presses);

// The new height for the printer: written now when the printer may take a line, else kept
// pending until its answer comes.
void offer_height(HANDLE output, printer_session* session, float target_z, char* line_buffer);

// Once per pass of the loop: takes what the printer sent, writes a pending height when its
// answer has come or its silence has lasted too long, and tries a gone printer's port again.
void serve_printer(HANDLE output, printer_session* session, float target_z, char* line_buffer);

// At the end: waits for the answer to the last line (for a silence limit at most) and writes the
// height shown if it has not gone out yet.
void finish_printer(HANDLE output, printer_session* session, float target_z, char* line_buffer);

// Runs the whole tool; the result is the process exit code.
int run_calibration();
