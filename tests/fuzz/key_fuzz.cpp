// Fuzzes the terminal's key decoder with arbitrary bytes arriving in arbitrary pieces, decoded as
// the keyboard decodes them: held until a sequence is whole, and at the end (or when the 64 bytes
// held are all one unfinished sequence) as if the terminal had gone quiet.
//
// Input: one byte for the size of the pieces (1 to 16 bytes), then the bytes typed.
//
// Each decode is checked against the shapes a key can have, independently of how the decoder
// finds them: a plain byte alone; a well-formed UTF-8 sequence (no overlong forms, no surrogates,
// nothing past U+10FFFF) or else a single byte; ESC alone; ESC and one key (Alt); a CSI
// ("ESC [", parameter and intermediate bytes, one final byte); an SS3 ("ESC O" and a final
// byte). So a letter outside a sequence always comes out as its own key, in order, and an
// invalid byte never takes the bytes after it. The bytes taken always advance and sum to the
// input.
#include "fuzz_check.h"

#include "platform/posix/posix_backend.h"

#include <cstring>
#include <vector>

namespace {

constexpr unsigned char escape = 0x1B;
constexpr size_t held_size = 64; // as the keyboard holds them

bool is_letter(unsigned char byte) {
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z');
}

WORD letter_key(unsigned char byte) {
    return static_cast<WORD>(byte >= 'a' ? byte - 'a' + 'A' : byte);
}

bool is_parameter(unsigned char byte) {
    return byte >= 0x20 && byte <= 0x3F;
}

bool is_final(unsigned char byte) {
    return byte >= 0x40 && byte <= 0x7E;
}

// The length of the well-formed UTF-8 sequence at `bytes`, from the code point it gives; 0 when
// there is none.
size_t valid_utf8_length(const unsigned char* bytes, size_t count) {
    size_t length = 0;
    unsigned long code_point = 0;
    if (bytes[0] >= 0xC0 && bytes[0] < 0xE0) {
        length = 2;
        code_point = bytes[0] & 0x1F;
    } else if (bytes[0] >= 0xE0 && bytes[0] < 0xF0) {
        length = 3;
        code_point = bytes[0] & 0x0F;
    } else if (bytes[0] >= 0xF0 && bytes[0] < 0xF8) {
        length = 4;
        code_point = bytes[0] & 0x07;
    } else {
        return 0;
    }
    if (count < length) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((bytes[i] & 0xC0) != 0x80) {
            return 0;
        }
        code_point = code_point << 6 | (bytes[i] & 0x3F);
    }
    const unsigned long smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code_point < smallest[length] || code_point > 0x10FFFF ||
        (code_point >= 0xD800 && code_point <= 0xDFFF)) {
        return 0;
    }
    return length;
}

// A character after nothing or after ESC: a plain byte alone, or UTF-8. `whole` says all bytes
// that could follow were there when it was decoded, so a valid sequence must be taken whole.
void check_character(const unsigned char* bytes, size_t length, size_t available, bool whole,
                     posix::decode_result result, const posix::decoded_key& key) {
    FUZZ_CHECK(result == posix::decode_result::key, "a character makes a key");
    if (bytes[0] < 0x80) {
        FUZZ_CHECK(length == 1, "a plain byte is taken alone");
        if (is_letter(bytes[0])) {
            FUZZ_CHECK(key.virtual_key == letter_key(bytes[0]), "a letter comes out as its key");
        }
        return;
    }
    FUZZ_CHECK(key.virtual_key == 0, "a non-ASCII character has no key code");
    const size_t valid = valid_utf8_length(bytes, available);
    if (length == 1) {
        FUZZ_CHECK(!whole || valid == 0, "a well-formed sequence is taken whole");
    } else {
        FUZZ_CHECK(length == valid, "only a well-formed sequence is taken as one character");
    }
}

// One decode took bytes[0, length): check that it has the shape of one key.
void check_decode(const unsigned char* bytes, size_t length, size_t available, bool whole,
                  posix::decode_result result, const posix::decoded_key& key) {
    if (bytes[0] != escape) {
        check_character(bytes, length, available, whole, result, key);
        return;
    }
    if (length == 1) {
        FUZZ_CHECK(result == posix::decode_result::key && key.virtual_key == 0x1B,
                   "ESC alone is the Escape key");
        return;
    }
    const unsigned char second = bytes[1];
    if (second == '[') {
        // Parameters and intermediates, then a final byte; or cut short, all parameters; or the
        // Linux console's "ESC [ [ A".."ESC [ [ E".
        const bool linux_form =
            length == 4 && bytes[2] == '[' && bytes[3] >= 'A' && bytes[3] <= 'E';
        if (!linux_form) {
            for (size_t i = 2; i + 1 < length; ++i) {
                FUZZ_CHECK(is_parameter(bytes[i]), "a CSI holds parameter bytes only");
            }
            FUZZ_CHECK(length == 2 || is_final(bytes[length - 1]) ||
                           is_parameter(bytes[length - 1]),
                       "a CSI ends at its final byte");
        }
        return;
    }
    if (second == 'O' && length == 3) {
        FUZZ_CHECK(is_final(bytes[2]), "an SS3 ends with a final byte");
        return;
    }
    // Alt and one character.
    FUZZ_CHECK(second != escape, "ESC ESC is two keys");
    FUZZ_CHECK((key.control_state & LEFT_ALT_PRESSED) != 0, "ESC and a key is Alt with it");
    check_character(bytes + 1, length - 1, available - 1, whole, result, key);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const size_t piece = 1 + data[0] % 16;
    const unsigned char* typed = data + 1;
    const size_t typed_size = size - 1;

    unsigned char held[held_size];
    size_t held_count = 0;
    size_t arrived = 0; // bytes of `typed` moved into `held`
    size_t taken = 0;   // bytes of `typed` decoded
    // Decodes what is held; `quiet` as the keyboard passes it.
    auto decode_held = [&](bool quiet) {
        while (held_count > 0) {
            // An exact copy, so that a read past the bytes given is caught.
            std::vector<unsigned char> bytes(held, held + held_count);
            posix::decoded_key key;
            std::memset(&key, 0, sizeof key);
            size_t used = 0;
            const posix::decode_result result =
                posix::decode_key(bytes.data(), bytes.size(), quiet, &key, &used);
            if (result == posix::decode_result::need_more) {
                FUZZ_CHECK(!quiet, "no waiting for more once the terminal is quiet");
                FUZZ_CHECK(used == 0, "a key not yet whole takes no bytes");
                return;
            }
            FUZZ_CHECK(used > 0 && used <= held_count, "a decode takes some of the bytes given");
            const bool whole = arrived == typed_size || !quiet;
            check_decode(held, used, held_count, whole, result, key);
            std::memmove(held, held + used, held_count - used);
            held_count -= used;
            taken += used;
        }
    };
    while (arrived < typed_size) {
        if (held_count == held_size) {
            decode_held(true);
        }
        size_t n = std::min(piece, typed_size - arrived);
        n = std::min(n, held_size - held_count);
        std::memcpy(held + held_count, typed + arrived, n);
        held_count += n;
        arrived += n;
        decode_held(false);
    }
    decode_held(true);
    FUZZ_CHECK(held_count == 0 && taken == typed_size, "every byte typed is taken once");
    return 0;
}
