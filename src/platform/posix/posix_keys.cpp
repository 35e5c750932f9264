// Terminal bytes to Windows key records. In raw mode a terminal sends a letter as its character,
// Ctrl+letter as a control code, and the keys with no character (arrows, function keys) as escape
// sequences: CSI ("ESC [" parameters, a final byte) or SS3 ("ESC O" and one byte). ESC alone is
// the Escape key, told apart from a sequence's start by the quiet that follows it. Other
// characters come as UTF-8, checked strictly: an invalid byte is one key with no code, and never
// takes the bytes after it along.
#include "platform/posix/posix_backend.h"

namespace posix {

namespace {

constexpr unsigned char escape = 0x1B;
constexpr unsigned char delete_character = 0x7F;

constexpr WORD vk_prior = 0x21;
constexpr WORD vk_next = 0x22;
constexpr WORD vk_end = 0x23;
constexpr WORD vk_home = 0x24;
constexpr WORD vk_insert = 0x2D;
constexpr WORD vk_delete = 0x2E;

decode_result give(decoded_key* key, WORD virtual_key, char character, DWORD control_state) {
    key->virtual_key = virtual_key;
    key->character = character;
    key->control_state = control_state;
    return decode_result::key;
}

// The xterm modifier parameter ("1;5A": 5 = 1 + Ctrl) as control-key state.
DWORD modifier_state(int parameter) {
    if (parameter < 2) {
        return 0;
    }
    const int bits = parameter - 1;
    DWORD state = 0;
    if ((bits & 1) != 0) {
        state |= SHIFT_PRESSED;
    }
    if ((bits & 2) != 0) {
        state |= LEFT_ALT_PRESSED;
    }
    if ((bits & 4) != 0) {
        state |= LEFT_CTRL_PRESSED;
    }
    return state;
}

// The key a final byte names in "ESC [ ... x" or "ESC O x", or 0.
WORD letter_final_key(unsigned char final) {
    switch (final) {
    case 'A':
        return VK_UP;
    case 'B':
        return VK_DOWN;
    case 'C':
        return VK_RIGHT;
    case 'D':
        return VK_LEFT;
    case 'H':
        return vk_home;
    case 'F':
        return vk_end;
    case 'P':
        return VK_F1;
    case 'Q':
        return VK_F1 + 1;
    case 'R':
        return VK_F1 + 2;
    case 'S':
        return VK_F1 + 3;
    default:
        return 0;
    }
}

// The key of "ESC [ n ~", or 0.
WORD tilde_key(int number) {
    switch (number) {
    case 1:
    case 7:
        return vk_home;
    case 2:
        return vk_insert;
    case 3:
        return vk_delete;
    case 4:
    case 8:
        return vk_end;
    case 5:
        return vk_prior;
    case 6:
        return vk_next;
    default:
        break;
    }
    // F1..F5 are 11..15, F6..F10 17..21, F11 and F12 23 and 24: the gaps are historical.
    if (number >= 11 && number <= 15) {
        return static_cast<WORD>(VK_F1 + number - 11);
    }
    if (number >= 17 && number <= 21) {
        return static_cast<WORD>(VK_F1 + 5 + number - 17);
    }
    if (number == 23 || number == 24) {
        return static_cast<WORD>(VK_F1 + 10 + number - 23);
    }
    return 0;
}

bool is_final_byte(unsigned char byte) {
    return byte >= 0x40 && byte <= 0x7E;
}

// "ESC [" then parameter bytes 0x30..0x3F, intermediate bytes 0x20..0x2F, one final byte
// 0x40..0x7E.
decode_result decode_csi(const unsigned char* bytes, size_t count, bool timed_out, decoded_key* key,
                         size_t* consumed) {
    int parameters[4] = {0, 0, 0, 0};
    int parameter_count = 1;
    size_t i = 2;
    // The Linux console's F1..F5: "ESC [ [ A".."ESC [ [ E". Any other byte after "ESC [ [" is
    // not part of it: "[" ends a sequence of its own.
    if (i < count && bytes[i] == '[') {
        if (i + 1 >= count && !timed_out) {
            return decode_result::need_more;
        }
        if (i + 1 < count && bytes[i + 1] >= 'A' && bytes[i + 1] <= 'E') {
            *consumed = i + 2;
            return give(key, static_cast<WORD>(VK_F1 + bytes[i + 1] - 'A'), 0, 0);
        }
        *consumed = i + 1;
        return decode_result::ignored;
    }
    for (; i < count && bytes[i] >= 0x20 && bytes[i] <= 0x3F; ++i) {
        if (bytes[i] >= '0' && bytes[i] <= '9') {
            int& p = parameters[parameter_count - 1];
            if (p < 1000) {
                p = p * 10 + (bytes[i] - '0');
            }
        } else if (bytes[i] == ';' && parameter_count < 4) {
            ++parameter_count;
        }
    }
    if (i >= count) {
        // The final byte has not come yet.
        *consumed = timed_out ? count : 0;
        return timed_out ? decode_result::ignored : decode_result::need_more;
    }
    const unsigned char final = bytes[i];
    *consumed = i + 1;
    if (!is_final_byte(final)) {
        // Not a sequence after all: drop what was read of it.
        *consumed = i;
        return decode_result::ignored;
    }
    const DWORD state = modifier_state(parameters[1]) | ENHANCED_KEY;
    const WORD virtual_key = final == '~' ? tilde_key(parameters[0]) : letter_final_key(final);
    if (virtual_key == 0) {
        return decode_result::ignored;
    }
    return give(key, virtual_key, 0, state);
}

decode_result decode_plain(unsigned char byte, decoded_key* key) {
    const char character = static_cast<char>(byte);
    if (byte >= 'a' && byte <= 'z') {
        return give(key, static_cast<WORD>(byte - 'a' + 'A'), character, 0);
    }
    if (byte >= 'A' && byte <= 'Z') {
        return give(key, byte, character, SHIFT_PRESSED);
    }
    if (byte >= '0' && byte <= '9') {
        return give(key, byte, character, 0);
    }
    switch (byte) {
    case ' ':
        return give(key, VK_SPACE, character, 0);
    case '\r':
    case '\n':
        return give(key, VK_RETURN, '\r', 0);
    case '\t':
        return give(key, VK_TAB, character, 0);
    case 0x08:
    case delete_character:
        return give(key, VK_BACK, 0x08, 0);
    case 0x00:
        // Ctrl+Space (and Ctrl+@) send NUL.
        return give(key, VK_SPACE, 0, LEFT_CTRL_PRESSED);
    default:
        break;
    }
    if (byte >= 0x01 && byte <= 0x1A) {
        // Ctrl+letter: the key keeps its code, the character is the control code.
        return give(key, static_cast<WORD>('A' + byte - 1), character, LEFT_CTRL_PRESSED);
    }
    // Punctuation and the remaining control codes: a key with no virtual-key code of its own here.
    return give(key, 0, character, 0);
}

constexpr int utf8_incomplete = -1;

// The length of the well-formed UTF-8 sequence the bytes start with; 0 when the first byte starts
// none (a continuation byte, 0xC0, 0xC1, 0xF5..0xFF) or a byte after it breaks the sequence
// (overlong forms and surrogates included), or utf8_incomplete when the bytes end inside a
// sequence well formed so far.
int utf8_sequence(const unsigned char* bytes, size_t count) {
    const unsigned char lead = bytes[0];
    size_t length = 0;
    // The range of the second byte; those after it are always 0x80..0xBF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;  // below: overlong
        high = lead == 0xED ? 0x9F : 0xBF; // above: a surrogate
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;  // below: overlong
        high = lead == 0xF4 ? 0x8F : 0xBF; // above: past U+10FFFF
    } else {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if (i >= count) {
            return utf8_incomplete;
        }
        if (bytes[i] < (i == 1 ? low : 0x80) || bytes[i] > (i == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return static_cast<int>(length);
}

// One non-ASCII character: a key with no virtual-key code. An invalid byte is a key of its own,
// so that the bytes after it are read as what they are.
decode_result decode_non_ascii(const unsigned char* bytes, size_t count, bool timed_out,
                               decoded_key* key, size_t* consumed) {
    const int length = utf8_sequence(bytes, count);
    if (length == utf8_incomplete && !timed_out) {
        return decode_result::need_more;
    }
    *consumed = length > 0 ? static_cast<size_t>(length) : 1;
    return give(key, 0, 0, 0);
}

} // namespace

decode_result decode_key(const unsigned char* bytes, size_t count, bool escape_timed_out,
                         decoded_key* key, size_t* consumed) {
    *consumed = 0;
    if (count == 0) {
        return decode_result::need_more;
    }
    const unsigned char first = bytes[0];
    if (first >= 0x80) {
        return decode_non_ascii(bytes, count, escape_timed_out, key, consumed);
    }
    if (first != escape) {
        *consumed = 1;
        return decode_plain(first, key);
    }
    if (count == 1) {
        if (!escape_timed_out) {
            return decode_result::need_more;
        }
        *consumed = 1;
        return give(key, VK_ESCAPE, static_cast<char>(escape), 0);
    }
    const unsigned char second = bytes[1];
    if (second == '[') {
        return decode_csi(bytes, count, escape_timed_out, key, consumed);
    }
    if (second == 'O') {
        if (count == 2 && !escape_timed_out) {
            return decode_result::need_more;
        }
        if (count > 2 && is_final_byte(bytes[2])) {
            *consumed = 3;
            const WORD virtual_key = letter_final_key(bytes[2]);
            return virtual_key != 0 ? give(key, virtual_key, 0, ENHANCED_KEY)
                                    : decode_result::ignored;
        }
        // Alone, or before a byte no sequence ends with: Alt+Shift+O.
        *consumed = 2;
        return give(key, 'O', 'O', SHIFT_PRESSED | LEFT_ALT_PRESSED);
    }
    if (second == escape) {
        // Escape pressed twice: the first one stands alone.
        *consumed = 1;
        return give(key, VK_ESCAPE, static_cast<char>(escape), 0);
    }
    if (second >= 0x80) {
        // Alt with a non-ASCII character.
        const decode_result result =
            decode_non_ascii(bytes + 1, count - 1, escape_timed_out, key, consumed);
        if (result == decode_result::key) {
            *consumed += 1;
            key->control_state |= LEFT_ALT_PRESSED;
        }
        return result;
    }
    // ESC before a character is how terminals send Alt with that key.
    *consumed = 2;
    const decode_result result = decode_plain(second, key);
    key->control_state |= LEFT_ALT_PRESSED;
    return result;
}

} // namespace posix
