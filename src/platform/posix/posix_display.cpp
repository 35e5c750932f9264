// The console's display on a terminal. The back end keeps the console's buffer of cells, as a
// Windows console does, and a copy of what the terminal shows; a write draws only the cells that
// changed, and moves the cursor or sets colours only where the terminal is not already so, as
// curses does. While the terminal is smaller than the screen, its last row holds a warning that
// no cell is drawn over, so the warning is drawn once per change of size, not per write.
#include "platform/posix/posix_backend.h"
#include "platform/posix/posix_console.h"
#include "platform/posix/posix_wait.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace posix {

namespace {

constexpr WORD default_attribute = 0x0007;
constexpr WORD unknown_colours = 0xFFFF;
constexpr auto slow_terminal_limit = std::chrono::seconds(1);

struct cell {
    char character;
    WORD attribute;
};

struct shown_cell {
    bool known; // false: the terminal may show anything there
    cell drawn;
};

struct display_state {
    cell cells[buffer_rows][buffer_columns];
    shown_cell shown[buffer_rows][buffer_columns];
    COORD cursor{0, 0};
    WORD attribute = default_attribute;
    int lowest_row_used = -1;
    bool latin1 = false;
    // Where the terminal's cursor is and which colours it writes with, as our output left them.
    int terminal_row = -1;
    int terminal_column = -1;
    WORD terminal_colours = unknown_colours;
    bool warning_shown = false;
    int busy = 0;
};

display_state display;

void forget_what_is_shown() {
    for (auto& row : display.shown) {
        for (shown_cell& c : row) {
            c.known = false;
        }
    }
    display.terminal_row = -1;
    display.terminal_colours = unknown_colours;
}

void move_to(std::string* out, int column, int row) {
    if (row == display.terminal_row && column == display.terminal_column) {
        return;
    }
    char text[32];
    std::snprintf(text, sizeof text, "\x1b[%d;%dH", row + 1, column + 1);
    *out += text;
    display.terminal_row = row;
    display.terminal_column = column;
}

void set_colours(std::string* out, WORD colours) {
    if (colours != display.terminal_colours) {
        *out += attribute_sgr(colours);
        display.terminal_colours = colours;
    }
}

// Whether a cell of the buffer is on the terminal: inside its size, and off the warning's row.
bool visible(int column, int row) {
    const int rows = display.warning_shown ? terminal.rows - 1 : terminal.rows;
    return column < terminal.columns && row < rows;
}

void draw_cell(std::string* out, int column, int row) {
    const cell& c = display.cells[row][column];
    shown_cell& s = display.shown[row][column];
    if (s.known && s.drawn.character == c.character && s.drawn.attribute == c.attribute) {
        return;
    }
    move_to(out, column, row);
    set_colours(out, c.attribute & 0xFF);
    *out += cell_glyph(c.character, c.attribute, terminal.utf8, display.latin1);
    s.known = true;
    s.drawn = c;
    // At the right edge the terminal's cursor waits to wrap: where it is then is best not assumed.
    display.terminal_column = column + 1 < terminal.columns ? column + 1 : -1;
}

// Draws what changed in cells [first, last] of one row.
void draw_cells(std::string* out, int row, int first, int last) {
    for (int column = first; column <= last; ++column) {
        if (visible(column, row)) {
            draw_cell(out, column, row);
        }
    }
}

// On the terminal's last row, in white on red, while the terminal is too small.
void draw_size_warning(std::string* out) {
    std::string warning = size_warning(terminal.columns, terminal.rows);
    display.warning_shown = !warning.empty();
    if (warning.empty()) {
        return;
    }
    if (static_cast<int>(warning.size()) > terminal.columns - 1) {
        warning.resize(static_cast<size_t>(std::max(terminal.columns - 1, 0)));
    }
    move_to(out, 0, terminal.rows - 1);
    *out += "\x1b[0;1;97;41m";
    *out += warning;
    *out += "\x1b[0m\x1b[K";
    display.terminal_column = -1;
    display.terminal_colours = unknown_colours;
}

void clear_cells() {
    for (auto& row : display.cells) {
        for (cell& c : row) {
            c = {' ', display.attribute};
        }
    }
    display.cursor = {0, 0};
    display.lowest_row_used = -1;
    set_leave_row(-1);
}

// Scrolls the cells up one row when a write runs off the buffer's last row.
void scroll_up() {
    std::memmove(&display.cells[0], &display.cells[1],
                 sizeof display.cells - sizeof display.cells[0]);
    for (cell& c : display.cells[buffer_rows - 1]) {
        c = {' ', display.attribute};
    }
    display.cursor.Y = buffer_rows - 1;
    repaint_display();
}

} // namespace

void write_out(const std::string& text) {
    ++display.busy;
    const char* bytes = text.data();
    size_t count = text.size();
    const clock_type::time_point give_up = clock_type::now() + slow_terminal_limit;
    while (count > 0) {
        const ssize_t n = write(STDOUT_FILENO, bytes, count);
        if (n > 0) {
            bytes += n;
            count -= static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            attend_to_signals();
        } else if (n < 0 && errno == EAGAIN && clock_type::now() < give_up) {
            // A terminal that takes nothing for a second loses the rest of this output; the
            // next repaint draws it again.
            wait_request request;
            request.fd = STDOUT_FILENO;
            request.for_write = true;
            request.deadline = give_up;
            wait_for(request);
        } else {
            break;
        }
    }
    --display.busy;
}

bool display_busy() {
    return display.busy > 0;
}

void start_display() {
    clear_cells();
    forget_what_is_shown();
    std::string out;
    draw_size_warning(&out);
    write_out(out);
}

void repaint_display() {
    forget_what_is_shown();
    std::string out = "\x1b[0m\x1b[2J";
    draw_size_warning(&out);
    for (int row = 0; row < buffer_rows; ++row) {
        draw_cells(&out, row, 0, buffer_columns - 1);
    }
    write_out(out);
    set_leave_row(display.lowest_row_used);
}

void clear_display() {
    clear_cells();
    repaint_display();
}

void set_display_latin1() {
    display.latin1 = true;
    forget_what_is_shown();
}

} // namespace posix

using posix::display;

BOOL SetConsoleCursorPosition(HANDLE output, COORD cell) {
    if (!posix::console_output_open(output) || cell.X < 0 || cell.Y < 0 ||
        cell.X >= posix::buffer_columns || cell.Y >= posix::buffer_rows) {
        return 0;
    }
    display.cursor = cell;
    return 1;
}

BOOL SetConsoleTextAttribute(HANDLE output, WORD attribute) {
    if (!posix::console_output_open(output)) {
        return 0;
    }
    display.attribute = attribute;
    return 1;
}

BOOL WriteConsoleA(HANDLE output, const void* bytes, DWORD count, DWORD* written, void*) {
    if (written != nullptr) {
        *written = 0;
    }
    if (!posix::console_output_open(output) || bytes == nullptr) {
        return 0;
    }
    posix::take_terminal();
    posix::attend_to_signals();
    const char* text = static_cast<const char*>(bytes);
    std::string out;
    int row = display.cursor.Y;
    int first = display.cursor.X;
    for (DWORD i = 0; i < count; ++i) {
        display.cells[display.cursor.Y][display.cursor.X] = {text[i], display.attribute};
        display.lowest_row_used = std::max(display.lowest_row_used, int{display.cursor.Y});
        if (++display.cursor.X < posix::buffer_columns) {
            continue;
        }
        // At the right edge the cursor wraps to the next row, as the console's default mode does.
        posix::draw_cells(&out, row, first, posix::buffer_columns - 1);
        display.cursor.X = 0;
        if (++display.cursor.Y == posix::buffer_rows) {
            posix::write_out(out);
            out.clear();
            posix::scroll_up();
        }
        row = display.cursor.Y;
        first = 0;
    }
    if (display.cursor.X > first) {
        posix::draw_cells(&out, row, first, display.cursor.X - 1);
    }
    posix::write_out(out);
    posix::set_leave_row(display.lowest_row_used);
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
