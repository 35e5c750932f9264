// The tool's entry and its only loop: brings up the screen and the printer link in a fixed order,
// then turns key presses into height steps, each sent to the printer as one absolute G-code move
// and shown on the screen, until the space bar ends it.
#pragma once

#include "platform/platform.h"

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

// One step: the new height goes to the printer, its reply is read, and the screen shows it.
void make_step(HANDLE output, HANDLE port, float* target_z, char* line_buffer, double step);

// Runs the whole tool; the result is the process exit code.
int run_calibration();
