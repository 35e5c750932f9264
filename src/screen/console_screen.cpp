#include "screen/console_screen.h"

#include "common/tool_limits.h"

#include <cstdio>
#include <cstring>

namespace {

// Attributes: colours in the low byte, the grid-line flags draw along one edge of the cell.
constexpr WORD heading_attribute = 0x0006;
constexpr WORD text_attribute = 0x0007;
constexpr WORD height_attribute = 0x000F;
constexpr WORD frame_top_left = 0x0C07;
constexpr WORD frame_horizontal = 0x0407;
constexpr WORD frame_top_right = 0x1407;
constexpr WORD frame_right = 0x1007;
constexpr WORD frame_left = 0x0807;

constexpr SHORT frame_left_column = 1;
constexpr SHORT frame_right_column = 118;
constexpr SHORT frame_height = 20;
constexpr SHORT frame_top_row = 5;

struct screen_text {
    SHORT column;
    SHORT row;
    const char* text;
};

constexpr screen_text heading = {37, 3, "Brunelvastoque - Darizuvu Zizir Dagoma"};
constexpr screen_text field_label = {3, 6, "Point de calibrage:        "};
constexpr screen_text help_lines[] = {
    {3, 8, "Pressez 'a' pour monter cran (+1.000)"},
    {3, 9, "Pressez 'z' pour descendre cran (-1.000)"},
    {3, 10, "Pressez 'e' pour monter cran (+0.100)"},
    {3, 11, "Pressez 'r' pour descendre cran (-0.100)"},
    {3, 12, "Pressez 't' pour monter cran (+0.010)"},
    {3, 13, "Pressez 'y' pour descendre cran (-0.010)"},
};
constexpr screen_text top_bar = {60, 7, "_______"};
constexpr screen_text error_line = {3, 10, "Erreur:    port comm serial introuvable."};
constexpr screen_text bed_line = {63, 20, "_    (plateau lit ou support d'impression sigma)"};

constexpr SHORT status_column = 3;
constexpr SHORT status_row = 22;
constexpr char silent_text[] = "Attention: l'imprimante ne repond pas.";
constexpr char gone_text[] = "Erreur:    imprimante deconnectee.";
constexpr const char* status_texts[] = {"", silent_text, gone_text};
// Cleared over the longest of the texts, so that no letter of a longer one stays behind.
constexpr int status_width = 38;
static_assert(sizeof silent_text - 1 <= status_width && sizeof gone_text - 1 <= status_width,
              "the status line's clearing covers every text");

constexpr SHORT height_column = 31;
constexpr SHORT height_row = 6;

constexpr SHORT indicator_column = 63;
constexpr SHORT indicator_start_row = 7;
constexpr SHORT indicator_first_row = 8;
constexpr SHORT indicator_last_row = 19;

constexpr char console_title[] = "Brunelvastoque | Sigma";

// Row of the step indicator's last "V"; the only state this module keeps.
SHORT indicator_row = indicator_start_row;

void move_cursor(HANDLE output, SHORT column, SHORT row) {
    COORD cell;
    cell.X = column;
    cell.Y = row;
    SetConsoleCursorPosition(output, cell);
}

void write_bytes(HANDLE output, const char* bytes, DWORD count) {
    DWORD written = 0;
    WriteConsoleA(output, bytes, count, &written, nullptr);
}

void write_text(HANDLE output, const char* text) {
    write_bytes(output, text, static_cast<DWORD>(std::strlen(text)));
}

void write_cell(HANDLE output, SHORT column, SHORT row) {
    move_cursor(output, column, row);
    write_bytes(output, " ", 1);
}

void write_cell(HANDLE output, SHORT column, SHORT row, WORD attribute) {
    SetConsoleTextAttribute(output, attribute);
    write_cell(output, column, row);
}

void write_screen_text(HANDLE output, const screen_text& item) {
    move_cursor(output, item.column, item.row);
    write_text(output, item.text);
}

} // namespace

void prepare_console() {
    run_console_command("chcp 28591");
    run_console_command("cls");
    HWND window = GetConsoleWindow();
    LONG style = GetWindowLongA(window, GWL_STYLE);
    style &= ~(WS_MAXIMIZEBOX | WS_THICKFRAME);
    SetWindowLongA(window, GWL_STYLE, style);
    SetConsoleTitleA(console_title);
}

void draw_frame(HANDLE output, SHORT top_row) {
    const SHORT bottom_row = static_cast<SHORT>(top_row + frame_height - 1);
    // Edge by edge, clockwise from the top-left corner; each cell is one space whose attribute
    // carries the grid lines.
    write_cell(output, frame_left_column, top_row, frame_top_left);
    SetConsoleTextAttribute(output, frame_horizontal);
    for (SHORT column = frame_left_column + 1; column < frame_right_column; ++column) {
        write_cell(output, column, top_row);
    }
    write_cell(output, frame_right_column, top_row, frame_top_right);
    SetConsoleTextAttribute(output, frame_right);
    for (SHORT row = static_cast<SHORT>(top_row + 1); row < bottom_row; ++row) {
        write_cell(output, frame_right_column, row);
    }
    SetConsoleTextAttribute(output, frame_horizontal);
    for (SHORT column = frame_right_column; column >= frame_left_column; --column) {
        write_cell(output, column, bottom_row);
    }
    SetConsoleTextAttribute(output, frame_left);
    for (SHORT row = static_cast<SHORT>(bottom_row - 1); row > top_row; --row) {
        write_cell(output, frame_left_column, row);
    }
}

void draw_static_screen(HANDLE output) {
    draw_frame(output, frame_top_row);
    SetConsoleTextAttribute(output, heading_attribute);
    write_screen_text(output, heading);
    SetConsoleTextAttribute(output, text_attribute);
    write_screen_text(output, field_label);
    for (const screen_text& line : help_lines) {
        write_screen_text(output, line);
    }
    write_screen_text(output, top_bar);
}

void show_port_error(HANDLE output) {
    write_screen_text(output, error_line);
    run_console_command("pause > NUL");
}

void draw_bed_line(HANDLE output) {
    write_screen_text(output, bed_line);
}

void reset_indicator() {
    indicator_row = indicator_start_row;
}

void show_height(HANDLE output, float value, char* buffer) {
    char blanks[height_field_width];
    std::memset(blanks, ' ', sizeof blanks);
    move_cursor(output, height_column, height_row);
    write_bytes(output, blanks, sizeof blanks);
    move_cursor(output, height_column, height_row);
    std::memset(buffer, 0, line_buffer_size);
    std::snprintf(buffer, line_buffer_size, "%.3f", static_cast<double>(value));
    SetConsoleTextAttribute(output, height_attribute);
    write_text(output, buffer);
    SetConsoleTextAttribute(output, text_attribute);
}

void advance_indicator(HANDLE output) {
    if (indicator_row < indicator_last_row) {
        ++indicator_row;
    } else {
        indicator_row = indicator_first_row;
    }
    move_cursor(output, indicator_column, indicator_row);
    write_text(output, "|");
    ++indicator_row;
    move_cursor(output, indicator_column, indicator_row);
    write_text(output, "V");
}

void show_printer_status(HANDLE output, printer_status status) {
    char blanks[status_width];
    std::memset(blanks, ' ', sizeof blanks);
    move_cursor(output, status_column, status_row);
    write_bytes(output, blanks, sizeof blanks);
    move_cursor(output, status_column, status_row);
    write_text(output, status_texts[status]);
}
