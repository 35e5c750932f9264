// How console cells look on a terminal: colours, characters, the frame's lines and the warning
// for a terminal too small for the screen.
#include "platform/posix/posix_backend.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

TEST(attribute_sgr, maps_the_colours_the_tool_uses_and_swaps_red_and_blue) {
    struct {
        WORD attribute;
        const char* sgr;
    } const cases[] = {
        {0x0006, "\x1b[0;33;40m"}, // dark yellow on black: the heading
        {0x0007, "\x1b[0;37;40m"}, // light grey
        {0x000F, "\x1b[0;97;40m"}, // bright white: the height
        {0x0001, "\x1b[0;34;40m"}, // Windows blue is ANSI 4
        {0x0004, "\x1b[0;31;40m"}, // Windows red is ANSI 1
        {0x001C, "\x1b[0;91;44m"}, // bright red on blue
        {0x0C07, "\x1b[0;37;40m"}, // the grid-line bits are no colour
    };
    for (const auto& c : cases) {
        EXPECT_EQ(posix::attribute_sgr(c.attribute), c.sgr) << std::hex << c.attribute;
    }
}

TEST(cell_glyph, grid_lines_become_edge_blocks_or_an_ascii_frame) {
    struct {
        WORD attribute;
        const char* utf8;
        const char* ascii;
    } const cases[] = {
        {0x0407, "\u2594", "-"}, // top edge
        {0x0807, "\u258f", "|"}, // left edge
        {0x1007, "\u2595", "|"}, // right edge
        {0x0C07, "\u2594", "+"}, // top-left corner
        {0x1407, "\u2594", "+"}, // top-right corner
    };
    for (const auto& c : cases) {
        EXPECT_EQ(posix::cell_glyph(' ', c.attribute, true, true), c.utf8)
            << std::hex << c.attribute;
        EXPECT_EQ(posix::cell_glyph(' ', c.attribute, false, true), c.ascii)
            << std::hex << c.attribute;
    }
    // A character in a grid-line cell shows itself.
    EXPECT_EQ(posix::cell_glyph('x', 0x0407, true, true), "x");
}

TEST(cell_glyph, bytes_show_as_latin1_once_the_code_page_is_set_and_controls_never_pass) {
    EXPECT_EQ(posix::cell_glyph('a', 0x0007, true, true), "a");
    EXPECT_EQ(posix::cell_glyph('\xe9', 0x0007, true, true), "\u00e9");
    EXPECT_EQ(posix::cell_glyph('\xe9', 0x0007, false, true), "\xe9");
    EXPECT_EQ(posix::cell_glyph('\xe9', 0x0007, true, false), "?");
    EXPECT_EQ(posix::cell_glyph('\x1b', 0x0007, true, true), "?");
    EXPECT_EQ(posix::cell_glyph('\x85', 0x0007, true, true), "?");
    EXPECT_EQ(posix::cell_glyph('\n', 0x0007, false, true), "?");
}

TEST(locale_is_utf8, first_variable_set_decides) {
    const char* names[] = {"LC_ALL", "LC_CTYPE", "LANG"};
    std::string saved[3];
    bool had[3];
    for (int i = 0; i < 3; ++i) {
        const char* value = std::getenv(names[i]);
        had[i] = value != nullptr;
        saved[i] = had[i] ? value : "";
        unsetenv(names[i]);
    }
    EXPECT_FALSE(posix::locale_is_utf8());
    setenv("LANG", "fr_FR.UTF-8", 1);
    EXPECT_TRUE(posix::locale_is_utf8());
    setenv("LC_CTYPE", "C", 1);
    EXPECT_FALSE(posix::locale_is_utf8());
    setenv("LC_ALL", "en_US.utf8", 1);
    EXPECT_TRUE(posix::locale_is_utf8());
    for (int i = 0; i < 3; ++i) {
        if (had[i]) {
            setenv(names[i], saved[i].c_str(), 1);
        } else {
            unsetenv(names[i]);
        }
    }
}

TEST(size_warning, only_below_119_by_25_and_names_both_sizes) {
    EXPECT_EQ(posix::size_warning(119, 25), "");
    EXPECT_EQ(posix::size_warning(200, 60), "");
    const std::string narrow = posix::size_warning(80, 30);
    EXPECT_NE(narrow.find("80x30"), std::string::npos) << narrow;
    EXPECT_NE(narrow.find("119x25"), std::string::npos) << narrow;
    EXPECT_NE(posix::size_warning(120, 24), "");
    EXPECT_LE(narrow.size(), 79u); // it fits an 80-column terminal
}

} // namespace
