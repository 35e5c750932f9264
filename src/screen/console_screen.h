// Everything the tool shows: the console is prepared once, a fixed French screen is drawn inside a
// frame of the console's cell grid lines, and two live elements follow each step: the height
// field and the step indicator in column 63.
#pragma once

#include "platform/platform.h"

// Width of the cleared height field: the longest text "%.3f" gives for a 32-bit float, a minus
// sign, 39 digits and ".000", so no digit of an earlier, longer value can stay behind.
constexpr int height_field_width = 44;

// What the status line under the help lines says of the printer: nothing while all goes well.
enum printer_status {
    printer_fine,
    printer_silent, // a line has had no answer for a while
    printer_gone,   // the port failed: the printer was unplugged or switched off
};

void prepare_console();
void draw_frame(HANDLE output, SHORT top_row);
void draw_static_screen(HANDLE output);
void show_port_error(HANDLE output);
void draw_bed_line(HANDLE output);
void reset_indicator();
void show_height(HANDLE output, float value, char* buffer);
void advance_indicator(HANDLE output);
void show_printer_status(HANDLE output, printer_status status);
