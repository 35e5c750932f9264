// The console on a POSIX terminal. The back end keeps its own buffer of cells, as a Windows
// console does, and draws every change on the terminal with VT sequences; the keyboard comes in
// raw mode and is decoded into key records. The terminal is taken over on the first console call
// and given back as it was on every way out: a normal exit, Ctrl+C, SIGTERM, SIGHUP and the
// crash signals.
#include "platform/posix/posix_backend.h"
#include "platform/posix/posix_handles.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace posix {

namespace {

// A console buffer as wide as Windows' default one; the tool draws inside 119x25.
constexpr int buffer_columns = 120;
constexpr int buffer_rows = 30;
constexpr WORD default_attribute = 0x0007;
constexpr int escape_quiet_ms = 25; // an ESC followed by this much quiet is the Escape key

const HANDLE output_handle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x10));
const HANDLE input_handle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x11));

using clock_type = std::chrono::steady_clock;

struct cell {
    char character;
    WORD attribute;
};

struct console_state {
    bool started = false;
    bool output_open = true;
    bool input_open = true;
    bool input_is_tty = false;
    bool input_dead = false; // end of file or hang-up: nothing more will come
    bool utf8 = false;
    bool latin1 = false;
    int terminal_columns = 80;
    int terminal_rows = 24;
    cell cells[buffer_rows][buffer_columns];
    COORD cursor{0, 0};
    WORD attribute = default_attribute;
    int lowest_row_used = -1;
    std::deque<INPUT_RECORD> records;
    unsigned char pending[64];
    size_t pending_count = 0;
    clock_type::time_point last_byte_time;
};

console_state console;

// The terminal as it was found, and what puts it back; both used from signal handlers.
termios saved_settings;
termios raw_settings;
volatile std::sig_atomic_t terminal_taken = 0;
char leave_sequence[64];
volatile std::sig_atomic_t leave_length = 0;
volatile std::sig_atomic_t window_changed = 0;

void write_out(const char* bytes, size_t count) {
    while (count > 0) {
        const ssize_t n = write(STDOUT_FILENO, bytes, count);
        if (n > 0) {
            bytes += n;
            count -= static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            pollfd out{STDOUT_FILENO, POLLOUT, 0};
            poll(&out, 1, 100);
        } else {
            return;
        }
    }
}

void write_out(const std::string& text) {
    write_out(text.data(), text.size());
}

// Async-signal-safe: tcsetattr and write only.
void give_terminal_back() {
    if (terminal_taken == 0) {
        return;
    }
    terminal_taken = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_settings);
    const size_t length = static_cast<size_t>(leave_length);
    size_t done = 0;
    while (done < length) {
        const ssize_t n = write(STDOUT_FILENO, leave_sequence + done, length - done);
        if (n <= 0 && errno != EINTR) {
            break;
        }
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
}

// Colours off, cursor shown, and the cursor on the row below the last one drawn, so the shell's
// prompt comes after the screen instead of over it.
void update_leave_sequence() {
    const int row = std::min(console.lowest_row_used + 2, console.terminal_rows);
    char text[sizeof leave_sequence];
    const int n = std::snprintf(text, sizeof text, "\x1b[0m\x1b[?25h\x1b[%d;1H", std::max(row, 1));
    if (n > 0 && static_cast<size_t>(n) < sizeof text) {
        leave_length = 0;
        std::memcpy(leave_sequence, text, static_cast<size_t>(n));
        leave_length = n;
    }
}

void leave_at_exit() {
    release_ports_for_exit();
    give_terminal_back();
}

// Ends the process by the signal after giving the terminal back, so that the parent sees how it
// ended (a shell reports 128 + the signal's number, 130 for Ctrl+C).
void end_by_signal(int signal_number) {
    release_ports_for_exit();
    give_terminal_back();
    std::signal(signal_number, SIG_DFL);
    raise(signal_number);
    _exit(128 + signal_number);
}

void on_window_change(int) {
    window_changed = 1;
}

// Stopped from outside (kill -TSTP; Ctrl+Z itself is a key here, as in a Windows console): the
// terminal is given back while the tool is stopped, and taken again, redrawn, when it goes on.
void on_stop(int) {
    const int saved_errno = errno;
    const bool was_taken = terminal_taken != 0;
    give_terminal_back();
    std::signal(SIGTSTP, SIG_DFL);
    raise(SIGTSTP);
    // Here once SIGCONT has come.
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = on_stop;
    sigaction(SIGTSTP, &action, nullptr);
    if (was_taken) {
        tcsetattr(STDIN_FILENO, TCSANOW, &raw_settings);
        terminal_taken = 1;
        static const char hide_cursor[] = "\x1b[?25l";
        if (write(STDOUT_FILENO, hide_cursor, sizeof hide_cursor - 1) < 0) {
            // Nothing more to do from a signal handler.
        }
    }
    window_changed = 1; // the screen is redrawn at the next look at the keyboard
    errno = saved_errno;
}

void catch_signals() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = end_by_signal;
    action.sa_flags = SA_RESETHAND;
    const int ending[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGSEGV,
                          SIGBUS, SIGFPE,  SIGILL, SIGABRT};
    for (int signal_number : ending) {
        sigaction(signal_number, &action, nullptr);
    }
    std::memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = on_window_change;
    sigaction(SIGWINCH, &action, nullptr);
    action.sa_handler = on_stop;
    sigaction(SIGTSTP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

void read_terminal_size() {
    winsize size;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
        console.terminal_columns = size.ws_col;
        console.terminal_rows = size.ws_row;
    }
}

void move_to(std::string* out, int column, int row) {
    char text[32];
    std::snprintf(text, sizeof text, "\x1b[%d;%dH", row + 1, column + 1);
    *out += text;
}

// On the terminal's last row, in white on red, while the terminal is too small.
void draw_size_warning(std::string* out) {
    std::string warning = size_warning(console.terminal_columns, console.terminal_rows);
    if (warning.empty()) {
        return;
    }
    if (static_cast<int>(warning.size()) > console.terminal_columns - 1) {
        warning.resize(static_cast<size_t>(std::max(console.terminal_columns - 1, 0)));
    }
    move_to(out, 0, console.terminal_rows - 1);
    *out += "\x1b[0;1;97;41m";
    *out += warning;
    *out += "\x1b[0m";
}

bool visible(int column, int row) {
    return column < console.terminal_columns && row < console.terminal_rows;
}

// Draws cells [first, last] of one row, leaving out what lies beyond the terminal's edges.
void draw_cells(std::string* out, int row, int first, int last) {
    WORD drawn_attribute = 0xFFFF;
    bool positioned = false;
    for (int column = first; column <= last; ++column) {
        if (!visible(column, row)) {
            positioned = false;
            continue;
        }
        const cell& c = console.cells[row][column];
        if (!positioned) {
            move_to(out, column, row);
            positioned = true;
        }
        const WORD colours = c.attribute & 0xFF;
        if (colours != drawn_attribute) {
            *out += attribute_sgr(colours);
            drawn_attribute = colours;
        }
        *out += cell_glyph(c.character, c.attribute, console.utf8, console.latin1);
    }
}

void repaint_all() {
    std::string out = "\x1b[0m\x1b[2J";
    for (int row = 0; row < buffer_rows; ++row) {
        draw_cells(&out, row, 0, buffer_columns - 1);
    }
    draw_size_warning(&out);
    write_out(out);
}

void clear_cells() {
    for (auto& row : console.cells) {
        for (cell& c : row) {
            c.character = ' ';
            c.attribute = console.attribute;
        }
    }
    console.cursor = {0, 0};
    console.lowest_row_used = -1;
}

void take_terminal() {
    if (console.started) {
        return;
    }
    console.started = true;
    console.utf8 = locale_is_utf8();
    clear_cells();
    read_terminal_size();
    catch_signals();
    std::atexit(leave_at_exit);
    console.input_is_tty = isatty(STDIN_FILENO) != 0;
    if (console.input_is_tty && tcgetattr(STDIN_FILENO, &saved_settings) == 0) {
        termios& raw = raw_settings;
        raw = saved_settings;
        // Every key comes at once and unechoed; Ctrl+C comes as a byte, handled as Windows does.
        raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR | BRKINT | ISTRIP);
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        update_leave_sequence();
        terminal_taken = 1;
        // TCSANOW, not TCSAFLUSH: keys typed ahead stay queued, as a console keeps them.
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    write_out("\x1b[?25l");
    std::string warning;
    draw_size_warning(&warning);
    write_out(warning);
}

void queue_key(const decoded_key& key) {
    INPUT_RECORD record;
    std::memset(&record, 0, sizeof record);
    record.EventType = KEY_EVENT;
    KEY_EVENT_RECORD& k = record.Event.KeyEvent;
    k.bKeyDown = 1;
    k.wRepeatCount = 1;
    k.wVirtualKeyCode = key.virtual_key;
    k.uChar.AsciiChar = key.character;
    k.dwControlKeyState = key.control_state;
    console.records.push_back(record);
    // A terminal reports no release: it follows the press at once.
    k.bKeyDown = 0;
    console.records.push_back(record);
}

void queue_window_size() {
    INPUT_RECORD record;
    std::memset(&record, 0, sizeof record);
    record.EventType = WINDOW_BUFFER_SIZE_EVENT;
    record.Event.WindowBufferSizeEvent.dwSize.X = static_cast<SHORT>(console.terminal_columns);
    record.Event.WindowBufferSizeEvent.dwSize.Y = static_cast<SHORT>(console.terminal_rows);
    console.records.push_back(record);
}

// Ctrl+C ends the tool, as the default handler of a Windows console does.
void interrupt() {
    end_by_signal(SIGINT);
}

void decode_pending() {
    const bool quiet =
        clock_type::now() - console.last_byte_time >= std::chrono::milliseconds(escape_quiet_ms);
    while (console.pending_count > 0) {
        decoded_key key;
        size_t used = 0;
        const decode_result result =
            decode_key(console.pending, console.pending_count, quiet, &key, &used);
        if (result == decode_result::need_more || used == 0) {
            return;
        }
        std::memmove(console.pending, console.pending + used, console.pending_count - used);
        console.pending_count -= used;
        if (result != decode_result::key) {
            continue;
        }
        if (key.character == interrupt_character && (key.control_state & LEFT_CTRL_PRESSED) != 0) {
            interrupt();
        }
        queue_key(key);
    }
}

// Takes what the terminal has sent, waiting up to `wait` for it; true when bytes came. One
// select(), to the microsecond (poll's milliseconds would need a second wait for the rest): an
// idle loop wakes once per pause, no more.
bool read_keyboard(clock_type::duration wait) {
    if (console.input_dead || !console.input_open) {
        return false;
    }
    const auto wait_us =
        std::max<long long>(0, std::chrono::duration_cast<std::chrono::microseconds>(wait).count());
    timeval timeout{static_cast<time_t>(wait_us / 1000000),
                    static_cast<suseconds_t>(wait_us % 1000000)};
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(STDIN_FILENO, &readable);
    if (select(STDIN_FILENO + 1, &readable, nullptr, nullptr, &timeout) <= 0) {
        return false;
    }
    if (console.pending_count == sizeof console.pending) {
        // No sequence is this long: what is held is noise.
        console.pending_count = 0;
    }
    const size_t room = sizeof console.pending - console.pending_count;
    const ssize_t n = read(STDIN_FILENO, console.pending + console.pending_count, room);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        console.input_dead = true;
        return false;
    }
    if (n > 0) {
        console.pending_count += static_cast<size_t>(n);
        console.last_byte_time = clock_type::now();
    }
    return n > 0;
}

// One look at the keyboard and the window: what came is decoded and queued.
void pump_input(clock_type::duration wait) {
    if (window_changed != 0) {
        window_changed = 0;
        read_terminal_size();
        queue_window_size();
        repaint_all();
        update_leave_sequence();
    }
    read_keyboard(wait);
    if (console.pending_count > 0) {
        decode_pending();
    }
}

void sleep_for(clock_type::duration duration) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
    if (us <= 0) {
        return;
    }
    timespec wait{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    nanosleep(&wait, nullptr);
}

// Scrolls the cells up one row when a write runs off the buffer's last row.
void scroll_up() {
    std::memmove(&console.cells[0], &console.cells[1],
                 sizeof console.cells - sizeof console.cells[0]);
    for (cell& c : console.cells[buffer_rows - 1]) {
        c = {' ', console.attribute};
    }
    console.cursor.Y = buffer_rows - 1;
    repaint_all();
}

} // namespace

bool close_console_handle(HANDLE handle) {
    if (handle == output_handle && console.output_open) {
        console.output_open = false;
        return true;
    }
    if (handle == input_handle && console.input_open) {
        console.input_open = false;
        return true;
    }
    return false;
}

} // namespace posix

using posix::console;

HANDLE GetStdHandle(DWORD std_handle) {
    posix::take_terminal();
    if (std_handle == STD_OUTPUT_HANDLE) {
        return posix::output_handle;
    }
    if (std_handle == STD_INPUT_HANDLE) {
        return posix::input_handle;
    }
    return INVALID_HANDLE_VALUE;
}

BOOL SetConsoleCursorPosition(HANDLE output, COORD cell) {
    if (output != posix::output_handle || !console.output_open || cell.X < 0 || cell.Y < 0 ||
        cell.X >= posix::buffer_columns || cell.Y >= posix::buffer_rows) {
        return 0;
    }
    console.cursor = cell;
    return 1;
}

BOOL SetConsoleTextAttribute(HANDLE output, WORD attribute) {
    if (output != posix::output_handle || !console.output_open) {
        return 0;
    }
    console.attribute = attribute;
    return 1;
}

BOOL WriteConsoleA(HANDLE output, const void* bytes, DWORD count, DWORD* written, void*) {
    if (written != nullptr) {
        *written = 0;
    }
    if (output != posix::output_handle || !console.output_open || bytes == nullptr) {
        return 0;
    }
    posix::take_terminal();
    const char* text = static_cast<const char*>(bytes);
    std::string out;
    int row = console.cursor.Y;
    int first = console.cursor.X;
    for (DWORD i = 0; i < count; ++i) {
        console.cells[console.cursor.Y][console.cursor.X] = {text[i], console.attribute};
        console.lowest_row_used = std::max(console.lowest_row_used, int{console.cursor.Y});
        if (++console.cursor.X < posix::buffer_columns) {
            continue;
        }
        // At the right edge the cursor wraps to the next row, as the console's default mode does.
        posix::draw_cells(&out, row, first, posix::buffer_columns - 1);
        console.cursor.X = 0;
        if (++console.cursor.Y == posix::buffer_rows) {
            posix::write_out(out);
            out.clear();
            posix::scroll_up();
        }
        row = console.cursor.Y;
        first = 0;
    }
    if (console.cursor.X > first) {
        posix::draw_cells(&out, row, first, console.cursor.X - 1);
    }
    posix::draw_size_warning(&out);
    posix::write_out(out);
    posix::update_leave_sequence();
    if (written != nullptr) {
        *written = count;
    }
    return 1;
}

BOOL SetConsoleTitleA(const char* title) {
    if (title == nullptr) {
        return 0;
    }
    posix::take_terminal();
    std::string out = "\x1b]2;";
    for (const char* c = title; *c != '\0'; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        out += byte >= 0x20 && byte < 0x7F ? *c : '?';
    }
    out += '\a';
    posix::write_out(out);
    return 1;
}

// A terminal has no window of the tool's own to restyle.
HWND GetConsoleWindow() {
    return nullptr;
}

LONG GetWindowLongA(HWND, int) {
    return 0;
}

LONG SetWindowLongA(HWND, int, LONG) {
    return 0;
}

BOOL GetNumberOfConsoleInputEvents(HANDLE input, DWORD* count) {
    if (input != posix::input_handle || !console.input_open || count == nullptr) {
        return 0;
    }
    posix::pump_input(posix::clock_type::duration::zero());
    *count = static_cast<DWORD>(console.records.size());
    return 1;
}

BOOL ReadConsoleInputA(HANDLE input, INPUT_RECORD* records, DWORD length, DWORD* count) {
    if (count != nullptr) {
        *count = 0;
    }
    if (input != posix::input_handle || !console.input_open || records == nullptr || length == 0) {
        return 0;
    }
    // With nothing pending it waits, as the console's read does, unless nothing can ever come.
    while (console.records.empty()) {
        if (console.input_dead) {
            return 0;
        }
        posix::pump_input(std::chrono::milliseconds(posix::escape_quiet_ms));
    }
    records[0] = console.records.front();
    console.records.pop_front();
    if (count != nullptr) {
        *count = 1;
    }
    return 1;
}

BOOL CloseHandle(HANDLE handle) {
    return posix::close_port_handle(handle) || posix::close_console_handle(handle) ? 1 : 0;
}

// Sleeps, watching the keyboard meanwhile, so that Ctrl+C ends the tool at once even during the
// printer's settle, and keys typed then are queued in order.
void Sleep(DWORD milliseconds) {
    const posix::clock_type::time_point end =
        posix::clock_type::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const auto left = end - posix::clock_type::now();
        if (left <= posix::clock_type::duration::zero()) {
            return;
        }
        if (!console.started || console.input_dead || !console.input_open) {
            posix::sleep_for(left);
            return;
        }
        posix::pump_input(left);
    }
}

DWORD GetTickCount() {
    const auto since_start = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<DWORD>(
        std::chrono::duration_cast<std::chrono::milliseconds>(since_start).count());
}

int run_console_command(const char* command) {
    if (command == nullptr) {
        return 1;
    }
    posix::take_terminal();
    const std::string line = command;
    if (line == "chcp 28591") {
        // Single-byte texts are ISO 8859-1 from now on.
        console.latin1 = true;
        return 0;
    }
    if (line == "cls") {
        posix::clear_cells();
        posix::repaint_all();
        posix::update_leave_sequence();
        return 0;
    }
    if (line == "pause > NUL") {
        // Waits for one key press and takes it, with what was queued before it.
        for (;;) {
            while (!console.records.empty()) {
                const INPUT_RECORD record = console.records.front();
                console.records.pop_front();
                if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown != 0) {
                    // Its release goes with it.
                    if (!console.records.empty() &&
                        console.records.front().EventType == KEY_EVENT &&
                        console.records.front().Event.KeyEvent.bKeyDown == 0) {
                        console.records.pop_front();
                    }
                    return 0;
                }
            }
            if (console.input_dead || !console.input_open) {
                return 1;
            }
            posix::pump_input(std::chrono::milliseconds(100));
        }
    }
    return 1;
}
