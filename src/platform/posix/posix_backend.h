// The POSIX back end's own pieces behind the platform calls: key decoding, the mapping of console
// attributes to terminal colours and glyphs, the COMn device table, the look for a port's other
// holders and the serial line speed. They are kept free of terminal state so that the tests can
// reach them directly.
#pragma once

#include "common/tool_limits.h"
#include "platform/platform.h"

#include <cstddef>
#include <string>

namespace posix {

// --- keyboard ----------------------------------------------------------------------------------

// One key as a Windows console reports it: virtual-key code 0 for a key that has none here (a
// punctuation character, a non-ASCII letter).
struct decoded_key {
    WORD virtual_key;
    char character;
    DWORD control_state;
};

constexpr char interrupt_character = 0x03; // Ctrl+C

enum class decode_result {
    key,       // `key` holds one key
    ignored,   // a sequence with no key behind it (an unknown escape sequence)
    need_more, // an escape sequence that may not be complete yet
};

// Decodes the first key of the bytes a terminal sent in raw mode. `consumed` is the number of
// bytes taken: never 0 unless more bytes are needed, and an invalid UTF-8 byte is taken alone. An
// ESC that could start a sequence, or a UTF-8 sequence cut short, waits for more bytes unless
// `escape_timed_out` says the terminal has been quiet long enough for them not to come.
decode_result decode_key(const unsigned char* bytes, size_t count, bool escape_timed_out,
                         decoded_key* key, size_t* consumed);

// --- screen ------------------------------------------------------------------------------------

// "\x1b[0;<fg>;<bg>m" for the colour bits of an attribute (Windows: bit 0 blue, 1 green, 2 red,
// 3 bright; ANSI: bit 0 red, 1 green, 2 blue).
std::string attribute_sgr(WORD attribute);

// What a cell shows: its character as UTF-8 (ISO 8859-1 once the code page is 28591) or ASCII,
// or the frame's line along the cell edge its grid-line flags name when the cell is blank.
std::string cell_glyph(char character, WORD attribute, bool utf8, bool latin1);

// Whether the locale's environment (LC_ALL, LC_CTYPE, LANG, first set wins) names UTF-8.
bool locale_is_utf8();

constexpr int needed_columns = 119;
constexpr int needed_rows = 25;

// The warning shown when the terminal is smaller than the screen, or "" when it is big enough.
std::string size_warning(int columns, int rows);

// --- serial ------------------------------------------------------------------------------------

constexpr int first_com = printer_port_first;
constexpr int last_com = printer_port_last;

// The COM number of "\\.\COMn" (or "COMn"), or -1 when the name is not one of COM0..COM20.
int com_number(const char* name);

// The device behind COMn on this system, from the table of device_table_<os>.cpp; false when the
// number has no device there.
bool system_com_device(int number, std::string* path);

// The device "\\.\COMn" opens: the SIGMA_PORTS directory's COMn entry when that variable names a
// directory, else the system table's. False when the name is none of COM0..COM20.
bool resolve_com_device(const char* name, std::string* path);

// Whether a descriptor other than `fd` has the same device open: in this process or another, as
// far as the system lets this process see (port_holders_<os>.cpp).
bool device_held_elsewhere(int fd);

// Sets input and output speed to exactly `baud` on an open terminal; false when the driver
// refuses it. One definition per system (serial_speed_<os>.cpp).
bool set_serial_speed(int fd, unsigned baud);

} // namespace posix
