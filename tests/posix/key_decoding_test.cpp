// Terminal bytes to key records: what the keyboard loop sees of each key a person presses.
#include "platform/posix/posix_backend.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using posix::decode_key;
using posix::decode_result;
using posix::decoded_key;

// Decodes all the bytes (quiet after them) into the keys they make.
std::vector<decoded_key> keys_of(const std::string& bytes) {
    std::vector<decoded_key> keys;
    const unsigned char* data = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t offset = 0;
    while (offset < bytes.size()) {
        decoded_key key{};
        size_t used = 0;
        const decode_result result =
            decode_key(data + offset, bytes.size() - offset, true, &key, &used);
        EXPECT_NE(result, decode_result::need_more);
        EXPECT_GT(used, 0u);
        if (used == 0) {
            break;
        }
        offset += used;
        if (result == decode_result::key) {
            keys.push_back(key);
        }
    }
    return keys;
}

struct key_case {
    const char* name;
    std::string bytes;
    WORD virtual_key;
    char character;
    DWORD control_state; // the modifier bits that must be set (ENHANCED_KEY is not compared)
};

void PrintTo(const key_case& c, std::ostream* out) {
    *out << c.name;
}

class one_key_test : public ::testing::TestWithParam<key_case> {};

TEST_P(one_key_test, bytes_make_one_key_record) {
    const key_case& c = GetParam();
    const std::vector<decoded_key> keys = keys_of(c.bytes);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].virtual_key, c.virtual_key);
    EXPECT_EQ(keys[0].character, c.character);
    const DWORD modifiers = SHIFT_PRESSED | LEFT_CTRL_PRESSED | LEFT_ALT_PRESSED;
    EXPECT_EQ(keys[0].control_state & modifiers, c.control_state);
}

INSTANTIATE_TEST_SUITE_P(
    keys, one_key_test,
    ::testing::Values(
        key_case{"lower_a", "a", 0x41, 'a', 0}, key_case{"upper_a", "A", 0x41, 'A', SHIFT_PRESSED},
        key_case{"lower_z", "z", 0x5A, 'z', 0}, key_case{"upper_y", "Y", 0x59, 'Y', SHIFT_PRESSED},
        key_case{"ctrl_e", "\x05", 0x45, '\x05', LEFT_CTRL_PRESSED},
        key_case{"ctrl_c_is_c_with_ctrl", "\x03", 0x43, '\x03', LEFT_CTRL_PRESSED},
        key_case{"alt_t", "\x1bt", 0x54, 't', LEFT_ALT_PRESSED},
        key_case{"space", " ", VK_SPACE, ' ', 0}, key_case{"digit_0", "0", 0x30, '0', 0},
        key_case{"digit_9", "9", 0x39, '9', 0}, key_case{"enter", "\r", VK_RETURN, '\r', 0},
        key_case{"escape_alone", "\x1b", VK_ESCAPE, '\x1b', 0},
        key_case{"backspace", "\x7f", VK_BACK, '\x08', 0},
        key_case{"punctuation_has_no_code", ";", 0, ';', 0},
        key_case{"utf8_letter_is_one_key", "\xc3\xa9", 0, 0, 0},
        key_case{"up", "\x1b[A", VK_UP, 0, 0}, key_case{"down", "\x1b[B", VK_DOWN, 0, 0},
        key_case{"right_application_mode", "\x1bOC", VK_RIGHT, 0, 0},
        key_case{"left", "\x1b[D", VK_LEFT, 0, 0},
        key_case{"ctrl_up", "\x1b[1;5A", VK_UP, 0, LEFT_CTRL_PRESSED},
        key_case{"shift_right", "\x1b[1;2C", VK_RIGHT, 0, SHIFT_PRESSED},
        key_case{"f1_ss3", "\x1bOP", VK_F1, 0, 0}, key_case{"f4_ss3", "\x1bOS", VK_F1 + 3, 0, 0},
        key_case{"f5", "\x1b[15~", VK_F1 + 4, 0, 0}, key_case{"f6", "\x1b[17~", VK_F1 + 5, 0, 0},
        key_case{"f12", "\x1b[24~", VK_F12, 0, 0},
        key_case{"f2_linux_console", "\x1b[[B", VK_F1 + 1, 0, 0},
        key_case{"delete", "\x1b[3~", 0x2E, 0, 0}),
    [](const ::testing::TestParamInfo<key_case>& param_info) {
        return std::string(param_info.param.name);
    });

// The letters of a sequence must never reach the loop as letters: "\x1b[A" is not an A, and
// F1's "\x1bOP" not a P, whatever the step table says of them.
TEST(key_decoding, sequences_and_keys_in_one_read_come_apart) {
    const std::vector<decoded_key> keys = keys_of("a\x1b[Az\x1bOPE\x1b[1;5D ");
    const WORD expected[] = {0x41, VK_UP, 0x5A, VK_F1, 0x45, VK_LEFT, VK_SPACE};
    ASSERT_EQ(keys.size(), 7u);
    for (size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(keys[i].virtual_key, expected[i]) << "key " << i;
    }
}

TEST(key_decoding, unknown_sequences_make_no_key) {
    EXPECT_TRUE(keys_of("\x1b[200~").empty());
    EXPECT_TRUE(keys_of("\x1b[?1;2c").empty());
    EXPECT_TRUE(keys_of("\x1bOZ").empty());
}

// A sequence split across two reads waits for its end, unless the terminal has gone quiet.
TEST(key_decoding, split_sequence_waits_for_the_rest) {
    const unsigned char first_part[] = {0x1b, '['};
    decoded_key key{};
    size_t used = 99;
    EXPECT_EQ(decode_key(first_part, 1, false, &key, &used), decode_result::need_more);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(decode_key(first_part, 2, false, &key, &used), decode_result::need_more);
    const unsigned char partial_parameters[] = {0x1b, '[', '1', ';'};
    EXPECT_EQ(decode_key(partial_parameters, 4, false, &key, &used), decode_result::need_more);
    const unsigned char whole[] = {0x1b, '[', '1', ';', '5', 'B'};
    ASSERT_EQ(decode_key(whole, 6, false, &key, &used), decode_result::key);
    EXPECT_EQ(used, 6u);
    EXPECT_EQ(key.virtual_key, VK_DOWN);
    const unsigned char split_utf8[] = {0xc3};
    EXPECT_EQ(decode_key(split_utf8, 1, false, &key, &used), decode_result::need_more);
}

TEST(key_decoding, escape_then_quiet_is_the_escape_key_and_the_rest_stays) {
    const unsigned char two_escapes[] = {0x1b, 0x1b, '[', 'A'};
    decoded_key key{};
    size_t used = 0;
    ASSERT_EQ(decode_key(two_escapes, 4, false, &key, &used), decode_result::key);
    EXPECT_EQ(key.virtual_key, VK_ESCAPE);
    EXPECT_EQ(used, 1u);
    ASSERT_EQ(decode_key(two_escapes + 1, 3, false, &key, &used), decode_result::key);
    EXPECT_EQ(key.virtual_key, VK_UP);
    // A lone "ESC [" that stays alone is dropped as a whole, not read as a "[" key.
    ASSERT_EQ(decode_key(two_escapes + 1, 2, true, &key, &used), decode_result::ignored);
    EXPECT_EQ(used, 2u);
}

// What a run of bytes decodes to, key by key: 0 for a key with no code.
struct bytes_case {
    const char* name;
    std::string bytes;
    std::vector<WORD> keys;
};

std::vector<WORD> codes_of(const std::string& bytes) {
    std::vector<WORD> codes;
    for (const decoded_key& key : keys_of(bytes)) {
        codes.push_back(key.virtual_key);
    }
    return codes;
}

// Invalid or cut-short UTF-8 takes only its own bytes: each invalid byte is one key with no code,
// and what follows comes out as itself. "\xE9az" is é typed on a Latin-1 terminal, then a and z.
TEST(key_decoding, invalid_utf8_never_takes_the_keys_after_it) {
    const bytes_case cases[] = {
        {"latin1_e_acute",
         "\xE9"
         "az",
         {0, 'A', 'Z'}},
        {"lone_continuation",
         "\x80"
         "a",
         {0, 'A'}},
        {"c0_c1_never_lead",
         "\xC0\x80"
         "a"
         "\xC1\xBF",
         {0, 0, 'A', 0, 0}},
        {"f5_to_ff_never_lead",
         "\xF5\x80\x80\x80\xFF"
         "z",
         {0, 0, 0, 0, 0, 'Z'}},
        {"overlong_three_bytes",
         "\xE0\x80\xAF"
         "e",
         {0, 0, 0, 'E'}},
        {"overlong_four_bytes", "\xF0\x8F\xBF\xBF", {0, 0, 0, 0}},
        {"surrogate", "\xED\xA0\x80", {0, 0, 0}},
        {"past_u10ffff", "\xF4\x90\x80\x80", {0, 0, 0, 0}},
        {"cut_short_before_a_letter",
         "\xE2\x82"
         "t",
         {0, 0, 'T'}},
        {"cut_short_at_the_end", "\xF0\x9F\x98", {0, 0, 0}},
        {"valid_of_each_length",
         "\xC3\xA9"
         "\xE2\x82\xAC"
         "\xF0\x9F\x98\x80"
         "y",
         {0, 0, 0, 'Y'}},
        {"valid_at_the_edges",
         "\xF4\x8F\xBF\xBF"
         "\xED\x9F\xBF"
         "\xEE\x80\x80",
         {0, 0, 0}},
        {"alt_with_an_invalid_byte",
         "\x1b\xE9"
         "a",
         {0, 'A'}},
    };
    for (const bytes_case& c : cases) {
        EXPECT_EQ(codes_of(c.bytes), c.keys) << c.name;
    }
}

// A sequence ends at its final byte and takes nothing that cannot belong to it.
TEST(key_decoding, sequences_take_only_their_own_bytes) {
    const bytes_case cases[] = {
        {"ss3_before_a_control_code", "\x1bO\x05", {'O', 'E'}},
        {"ss3_before_escape", "\x1bO\x1b[A", {'O', VK_UP}},
        {"linux_console_form_then_a_letter", "\x1b[[z", {'Z'}},
        {"csi_broken_by_a_control_code",
         "\x1b[1\x01"
         "a",
         {'A', 'A'}},
    };
    for (const bytes_case& c : cases) {
        EXPECT_EQ(codes_of(c.bytes), c.keys) << c.name;
    }
}

} // namespace
