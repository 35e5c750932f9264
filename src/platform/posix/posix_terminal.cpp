// The screen's start and end on a terminal: the first console call takes the terminal (raw
// keyboard, no echo, hidden cursor, signals caught), and every way out gives it back as it was
// found: the normal exit, a death by signal, a crash, and each stop (Ctrl+Z, kill -TSTP), after
// which the terminal is taken again. What gives it back is prepared in advance, so that a signal
// handler can do it with tcsetattr and write alone.
#include "platform/posix/posix_backend.h"
#include "platform/posix/posix_console.h"
#include "platform/posix/posix_handles.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/ioctl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

namespace posix {

terminal_state terminal;

namespace {

// The settings as found and the raw ones, both set before the flags that say they are in force.
termios saved_settings;
termios raw_settings;
volatile std::sig_atomic_t settings_taken = 0; // the raw settings are in force
volatile std::sig_atomic_t screen_taken = 0;   // the cursor is hidden and colours may be set
bool have_settings = false;

// Colours off, cursor shown, and the cursor on the row below the lowest one drawn, so that the
// shell's prompt comes after the screen instead of over it.
char leave_sequence[64];
volatile std::sig_atomic_t leave_length = 0;

constexpr char hide_cursor[] = "\x1b[?25l";

// write() until done or failed, giving a terminal that takes its output slowly 100 ms at most
// each time; async-signal-safe (write and select only).
void write_all(const char* bytes, size_t count) {
    while (count > 0) {
        const ssize_t n = write(STDOUT_FILENO, bytes, count);
        if (n > 0) {
            bytes += n;
            count -= static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(STDOUT_FILENO, &writable);
            timeval slice{0, 100000};
            if (select(STDOUT_FILENO + 1, nullptr, &writable, nullptr, &slice) <= 0) {
                return;
            }
        } else {
            return;
        }
    }
}

void leave_at_exit() {
    release_ports_for_exit();
    give_terminal_back();
}

} // namespace

void read_terminal_size() {
    winsize size;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
        terminal.columns = size.ws_col;
        terminal.rows = size.ws_row;
    }
}

void set_leave_row(int lowest_row_used) {
    const int row = std::max(std::min(lowest_row_used + 2, terminal.rows), 1);
    char text[sizeof leave_sequence];
    const int n = std::snprintf(text, sizeof text, "\x1b[0m\x1b[?25h\x1b[%d;1H", row);
    if (n > 0 && static_cast<size_t>(n) < sizeof text) {
        // A handler running meanwhile sees no sequence rather than half of one.
        leave_length = 0;
        std::memcpy(leave_sequence, text, static_cast<size_t>(n));
        leave_length = n;
    }
}

void take_terminal() {
    if (terminal.started) {
        return;
    }
    terminal.started = true;
    terminal.utf8 = locale_is_utf8();
    read_terminal_size();
    set_leave_row(-1);
    catch_signals();
    std::atexit(leave_at_exit);
    terminal.input_is_tty = isatty(STDIN_FILENO) != 0;
    if (terminal.input_is_tty && tcgetattr(STDIN_FILENO, &saved_settings) == 0) {
        raw_settings = saved_settings;
        // Every key comes at once and unechoed. The terminal's own signal keys are off: Ctrl+C
        // and Ctrl+Z come as bytes, and the keyboard raises their signals itself.
        raw_settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        raw_settings.c_iflag &=
            ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR | BRKINT | ISTRIP);
        raw_settings.c_cc[VMIN] = 0;
        raw_settings.c_cc[VTIME] = 0;
        have_settings = true;
    }
    take_terminal_again();
    start_display();
}

void take_terminal_again() {
    if (have_settings) {
        settings_taken = 1;
        // TCSANOW, not TCSAFLUSH: keys typed ahead stay queued, as a console keeps them.
        tcsetattr(STDIN_FILENO, TCSANOW, &raw_settings);
    }
    screen_taken = 1;
    write_all(hide_cursor, sizeof hide_cursor - 1);
}

void give_terminal_back() {
    if (settings_taken != 0) {
        settings_taken = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_settings);
    }
    if (screen_taken != 0) {
        screen_taken = 0;
        write_all(leave_sequence, static_cast<size_t>(leave_length));
    }
}

} // namespace posix
