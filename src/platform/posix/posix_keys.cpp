// Terminal bytes to Windows key records. In raw mode a terminal sends a letter as its character,
// Ctrl+letter as a control code, and the keys with no character (arrows, function keys) as escape
// sequences: CSI ("ESC [" parameters, a final byte) or SS3 ("ESC O" and one byte). ESC alone is
// the Escape key, told apart from a sequence's start by the quiet that follows it.
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

// "ESC [" then parameter bytes 0x30..0x3F, intermediate bytes 0x20..0x2F, one final byte
// 0x40..0x7E.
decode_result decode_csi(const unsigned char* bytes, size_t count, bool timed_out, decoded_key* key,
                         size_t* consumed) {
    int parameters[4] = {0, 0, 0, 0};
    int parameter_count = 1;
    size_t i = 2;
    // The Linux console's F1..F5: "ESC [ [ A".."ESC [ [ E".
    if (i < count && bytes[i] == '[') {
        if (i + 1 >= count) {
            *consumed = timed_out ? count : 0;
            return timed_out ? decode_result::ignored : decode_result::need_more;
        }
        *consumed = i + 2;
        const unsigned char final = bytes[i + 1];
        if (final >= 'A' && final <= 'E') {
            return give(key, static_cast<WORD>(VK_F1 + final - 'A'), 0, 0);
        }
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
    if (final < 0x40 || final > 0x7E) {
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

// The length of the UTF-8 sequence a lead byte starts, 1 for a byte that starts none.
size_t utf8_length(unsigned char lead) {
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    if (lead >= 0xE0) {
        return 3;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    return 1;
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
        // A non-ASCII character (UTF-8): one key with no virtual-key code.
        const size_t length = utf8_length(first);
        if (count < length && !escape_timed_out) {
            return decode_result::need_more;
        }
        *consumed = length <= count ? length : count;
        return give(key, 0, 0, 0);
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
        if (count == 2) {
            *consumed = escape_timed_out ? 2 : 0;
            return escape_timed_out ? give(key, 'O', 'O', SHIFT_PRESSED | LEFT_ALT_PRESSED)
                                    : decode_result::need_more;
        }
        *consumed = 3;
        const WORD virtual_key = letter_final_key(bytes[2]);
        return virtual_key != 0 ? give(key, virtual_key, 0, ENHANCED_KEY) : decode_result::ignored;
    }
    if (second == escape) {
        // Escape pressed twice: the first one stands alone.
        *consumed = 1;
        return give(key, VK_ESCAPE, static_cast<char>(escape), 0);
    }
    // ESC before a character is how terminals send Alt with that key.
    *consumed = 2;
    const decode_result result = decode_plain(second, key);
    key->control_state |= LEFT_ALT_PRESSED;
    return result;
}

} // namespace posix
