// Console cells to terminal output: colours as SGR sequences, characters as UTF-8 or ASCII, and
// the console's grid lines as the one-eighth blocks that lie along a cell's edge.
#include "platform/posix/posix_backend.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace posix {

namespace {

// Windows colour bits (blue 1, green 2, red 4) to ANSI's (red 1, green 2, blue 4).
int ansi_colour(int windows_colour) {
    return ((windows_colour & 4) != 0 ? 1 : 0) | (windows_colour & 2) |
           ((windows_colour & 1) != 0 ? 4 : 0);
}

constexpr int bright = 8;

std::string utf8_of(unsigned code_point) {
    std::string text;
    if (code_point < 0x80) {
        text += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        text += static_cast<char>(0xC0 | (code_point >> 6));
        text += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
        text += static_cast<char>(0xE0 | (code_point >> 12));
        text += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code_point & 0x3F));
    }
    return text;
}

constexpr unsigned upper_one_eighth = 0x2594; // ▔
constexpr unsigned left_one_eighth = 0x258F;  // ▏
constexpr unsigned right_one_eighth = 0x2595; // ▕

} // namespace

std::string attribute_sgr(WORD attribute) {
    const int foreground = attribute & 0x0F;
    const int background = (attribute >> 4) & 0x0F;
    const int fg = ((foreground & bright) != 0 ? 90 : 30) + ansi_colour(foreground & 7);
    const int bg = ((background & bright) != 0 ? 100 : 40) + ansi_colour(background & 7);
    char sgr[32];
    std::snprintf(sgr, sizeof sgr, "\x1b[0;%d;%dm", fg, bg);
    return sgr;
}

std::string cell_glyph(char character, WORD attribute, bool utf8, bool latin1) {
    const unsigned char byte = static_cast<unsigned char>(character);
    const bool top = (attribute & COMMON_LVB_GRID_HORIZONTAL) != 0;
    const bool left = (attribute & COMMON_LVB_GRID_LVERTICAL) != 0;
    const bool right = (attribute & COMMON_LVB_GRID_RVERTICAL) != 0;
    if (byte == ' ' && (top || left || right)) {
        // A cell can show one edge line; at a corner the top line is drawn, and the side line
        // starts in the cell below.
        if (!utf8) {
            return (top && (left || right)) ? "+" : top ? "-" : "|";
        }
        return utf8_of(top ? upper_one_eighth : left ? left_one_eighth : right_one_eighth);
    }
    if (byte < 0x20 || byte == 0x7F) {
        // Control codes would act on the terminal: shown as a mark instead.
        return "?";
    }
    if (byte < 0x80) {
        return std::string(1, character);
    }
    if (latin1 && byte >= 0xA0) {
        return utf8 ? utf8_of(byte) : std::string(1, character);
    }
    return "?";
}

bool locale_is_utf8() {
    const char* names[] = {"LC_ALL", "LC_CTYPE", "LANG"};
    for (const char* name : names) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0') {
            continue;
        }
        std::string lower;
        for (const char* c = value; *c != '\0'; ++c) {
            lower += static_cast<char>(*c >= 'A' && *c <= 'Z' ? *c - 'A' + 'a' : *c);
        }
        return lower.find("utf-8") != std::string::npos || lower.find("utf8") != std::string::npos;
    }
    return false;
}

std::string size_warning(int columns, int rows) {
    if (columns >= needed_columns && rows >= needed_rows) {
        return "";
    }
    char text[160];
    std::snprintf(text, sizeof text,
                  "Terminal trop petit (%dx%d): il faut au moins %dx%d. Agrandissez la fenetre.",
                  columns, rows, needed_columns, needed_rows);
    return text;
}

} // namespace posix
