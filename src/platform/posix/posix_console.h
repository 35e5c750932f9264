// What the console files of the POSIX back end share. posix_terminal.cpp takes the terminal and
// gives it back; posix_display.cpp keeps the console's cells and draws them; posix_keyboard.cpp
// turns the bytes typed into input records; posix_signals.cpp records signals and acts on them at
// safe points; posix_wait.cpp is the one wait all of them wait in; posix_console.cpp holds the
// console's handles and the command interpreter's stand-in.
#pragma once

#include "platform/platform.h"
#include "platform/posix/posix_wait.h"

#include <string>

namespace posix {

// A console buffer as wide as Windows' default one; the tool draws inside 119x25.
constexpr int buffer_columns = 120;
constexpr int buffer_rows = 30;

// The console's two handles, as GetStdHandle gives them (posix_console.cpp); true for a handle
// that is the one named and still open.
bool console_output_open(HANDLE handle);
bool console_input_open(HANDLE handle);
bool input_handle_open();

// --- the terminal's start and end (posix_terminal.cpp) ------------------------------------------

struct terminal_state {
    bool started = false;
    bool input_is_tty = false;
    bool utf8 = false;
    int columns = 80;
    int rows = 24;
};
extern terminal_state terminal;

// Takes the terminal on the first console call: raw keyboard, hidden cursor, signals caught.
void take_terminal();
// Puts the terminal's settings back, shows the cursor and leaves it below the screen. Safe in a
// signal handler; does nothing when the terminal is not taken.
void give_terminal_back();
// Takes the terminal again after a stop (raw keyboard, hidden cursor).
void take_terminal_again();
void read_terminal_size();
// Where the cursor is left on the way out: below the lowest row drawn.
void set_leave_row(int lowest_row_used);

// --- the display (posix_display.cpp) ------------------------------------------------------------

void start_display();
// Draws the whole screen again (after "cls", a resize, a stop, a scroll).
void repaint_display();
void clear_display();
void set_display_latin1();
// Whether output is being written: a redraw then waits for the next safe point.
bool display_busy();
// Writes all the bytes to the terminal, waiting (in the one wait) while it is slow to take them.
void write_out(const std::string& text);

// --- the keyboard (posix_keyboard.cpp) ----------------------------------------------------------

// The descriptor to watch for keys, or -1 while there is no keyboard to read.
int keyboard_fd();
// Reads what the keyboard has sent and queues its records; at end of input, one space bar.
void take_keyboard_bytes();
// Decodes bytes held back for the rest of an escape sequence once the terminal has been quiet.
void decode_held_keys();
// When held bytes become a key of their own (clock_type::time_point::max() when none are held).
clock_type::time_point held_keys_deadline();
bool records_queued();
void queue_window_size(int columns, int rows);
// Waits for one key press and takes it with what was queued before it ("pause > NUL"); false
// when no key can come any more.
bool wait_for_key_press();

// --- signals (posix_signals.cpp) ----------------------------------------------------------------

void catch_signals();
// The read end of the pipe the handlers wake the one wait through, or -1.
int signal_wake_fd();
void drain_signal_wake();
// Acts on the signals recorded: ends the process by the signal, stops it, takes the terminal
// again and redraws after a stop or a resize (the redraw waits while output is being written).
void attend_to_signals();
// What the terminal's driver does with Ctrl+C and Ctrl+Z when its signals are on: the signal to
// the foreground process group (on a terminal), or to this process alone (other input).
void signal_from_keyboard(int signal_number);

} // namespace posix
