// The screen as the console holds it: characters and attributes cell by cell.
#include "sim_fixture.h"

#include "screen/console_screen.h"

#include <cfloat>
#include <cstring>

namespace {

using screen_test = sim_test;

HANDLE out() {
    return sim::output_handle();
}

TEST_F(screen_test, prepare_console_sets_code_page_clears_fixes_window_and_titles) {
    sim::state().screen[3][3] = {'x', 0x0007};
    prepare_console();
    const sim::machine& m = sim::state();
    EXPECT_EQ(log_entries("command "),
              (std::vector<std::string>{"command chcp 28591", "command cls"}));
    EXPECT_EQ(m.code_page, 28591u);
    // The code page banner "chcp" prints is cleared with the rest.
    EXPECT_EQ(sim::row_text(0), std::string(sim::screen_columns, ' '));
    EXPECT_EQ(sim::row_text(3), std::string(sim::screen_columns, ' '));
    EXPECT_EQ(m.title, "Brunelvastoque | Sigma");
    // No maximise box and no sizing border; the rest of the style is kept.
    EXPECT_EQ(m.window_style, sim::default_window_style & ~(WS_MAXIMIZEBOX | WS_THICKFRAME));
}

TEST_F(screen_test, prepare_console_without_a_window_still_titles) {
    sim::state().has_window = false;
    prepare_console();
    EXPECT_EQ(sim::state().window_style, sim::default_window_style);
    EXPECT_EQ(sim::state().title, "Brunelvastoque | Sigma");
}

TEST_F(screen_test, frame_cells_carry_their_grid_lines) {
    draw_static_screen(out());
    struct expected_run {
        int first_column, last_column, first_row, last_row;
        WORD attribute;
    } runs[] = {
        {1, 1, 5, 5, 0x0C07},      // top-left corner: top and left lines
        {2, 117, 5, 5, 0x0407},    // top edge
        {118, 118, 5, 5, 0x1407},  // top-right corner: top and right lines
        {118, 118, 6, 23, 0x1007}, // right edge
        {1, 118, 24, 24, 0x0407},  // bottom row, its top line closes the frame
        {1, 1, 6, 23, 0x0807},     // left edge
    };
    for (const expected_run& run : runs) {
        for (int row = run.first_row; row <= run.last_row; ++row) {
            for (int column = run.first_column; column <= run.last_column; ++column) {
                SCOPED_TRACE("cell (" + std::to_string(column) + ", " + std::to_string(row) + ")");
                EXPECT_EQ(sim::attribute_at(column, row), run.attribute);
                EXPECT_EQ(sim::state().screen[row][column].character, ' ');
            }
        }
    }
    // Nothing outside the frame's edges carries a line.
    EXPECT_EQ(sim::attribute_at(0, 5) & 0xFF00, 0);
    EXPECT_EQ(sim::attribute_at(119, 5) & 0xFF00, 0);
    EXPECT_EQ(sim::attribute_at(2, 6) & 0xFF00, 0);
    EXPECT_EQ(sim::attribute_at(1, 25) & 0xFF00, 0);
}

TEST_F(screen_test, fixed_texts_stand_in_their_cells_and_colours) {
    draw_static_screen(out());
    struct expected_text {
        int column, row;
        const char* text;
        WORD attribute;
    } texts[] = {
        {37, 3, "Brunelvastoque - Darizuvu Zizir Dagoma", 0x0006},
        {3, 6, "Point de calibrage:        ", 0x0007},
        {3, 8, "Pressez 'a' pour monter cran (+1.000)", 0x0007},
        {3, 9, "Pressez 'z' pour descendre cran (-1.000)", 0x0007},
        {3, 10, "Pressez 'e' pour monter cran (+0.100)", 0x0007},
        {3, 11, "Pressez 'r' pour descendre cran (-0.100)", 0x0007},
        {3, 12, "Pressez 't' pour monter cran (+0.010)", 0x0007},
        {3, 13, "Pressez 'y' pour descendre cran (-0.010)", 0x0007},
        {60, 7, "_______", 0x0007},
    };
    for (const expected_text& t : texts) {
        const int length = static_cast<int>(std::strlen(t.text));
        SCOPED_TRACE(t.text);
        EXPECT_EQ(sim::text_at(t.column, t.row, length), t.text);
        for (int c = t.column; c < t.column + length; ++c) {
            EXPECT_EQ(sim::attribute_at(c, t.row), t.attribute);
        }
        // The cell after each text is untouched.
        EXPECT_EQ(sim::text_at(t.column + length, t.row, 1), " ");
    }
    // The bed line waits for the printer, and the height field for the first step.
    EXPECT_EQ(sim::text_at(2, 20, 116), std::string(116, ' '));
    EXPECT_EQ(sim::text_at(31, 6, height_field_width), std::string(height_field_width, ' '));
    EXPECT_EQ(sim::state().attribute, 0x0007);
}

TEST_F(screen_test, bed_line_stands_under_the_indicator) {
    draw_static_screen(out());
    draw_bed_line(out());
    EXPECT_EQ(sim::text_at(63, 20, 48), "_    (plateau lit ou support d'impression sigma)");
    EXPECT_EQ(sim::text_at(63, 7, 1), "_"); // the top bar's middle character
}

TEST_F(screen_test, port_error_replaces_the_help_line_and_waits_for_a_key) {
    draw_static_screen(out());
    sim::queue_press(500, 'Q', 'q');
    show_port_error(out());
    EXPECT_EQ(sim::text_at(3, 10, 41), "Erreur:    port comm serial introuvable. ");
    EXPECT_EQ(log_entries("command "), std::vector<std::string>{"command pause > NUL"});
    EXPECT_EQ(sim::now_ms(), 500u); // the wait ended with the key-down
}

TEST_F(screen_test, height_field_shows_three_decimals_in_bright_white) {
    struct shown {
        float value;
        const char* text;
    } cases[] = {
        {201.0f, "201.000"}, {199.99f, "199.990"},  {0.0f, "0.000"},
        {-0.01f, "-0.010"},  {1e6f, "1000000.000"}, {-FLT_MAX, nullptr},
    };
    char buffer[256];
    for (const shown& c : cases) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "%.3f", static_cast<double>(c.value));
        if (c.text != nullptr) {
            ASSERT_STREQ(expected, c.text);
        }
        show_height(out(), c.value, buffer);
        const int length = static_cast<int>(std::strlen(expected));
        SCOPED_TRACE(expected);
        EXPECT_EQ(height_field(), expected);
        EXPECT_STREQ(buffer, expected);
        for (int column = 31; column < 31 + length; ++column) {
            EXPECT_EQ(sim::attribute_at(column, 6), 0x000F);
        }
        EXPECT_EQ(sim::attribute_at(31 + length, 6), 0x0007);
        EXPECT_EQ(sim::state().attribute, 0x0007);
    }
}

TEST_F(screen_test, a_shorter_height_leaves_no_digit_of_the_longest) {
    char buffer[256];
    show_height(out(), -FLT_MAX, buffer);
    EXPECT_EQ(std::strlen(buffer), static_cast<size_t>(height_field_width));
    show_height(out(), 1.0f, buffer);
    EXPECT_EQ(sim::text_at(31, 6, 89), "1.000" + std::string(84, ' '));
}

TEST_F(screen_test, indicator_draws_pairs_down_column_63_and_starts_over_after_six) {
    reset_indicator();
    const std::pair<int, int> pairs[] = {{8, 9},   {10, 11}, {12, 13}, {14, 15},
                                         {16, 17}, {18, 19}, {8, 9},   {10, 11}};
    std::string column_after_six;
    int step = 0;
    for (const auto& rows : pairs) {
        advance_indicator(out());
        ++step;
        SCOPED_TRACE("step " + std::to_string(step));
        EXPECT_EQ(sim::text_at(63, rows.first, 1), "|");
        EXPECT_EQ(sim::text_at(63, rows.second, 1), "V");
        std::string column;
        for (int row = 0; row < sim::screen_rows; ++row) {
            column += sim::text_at(63, row, 1);
        }
        if (step == 6) {
            column_after_six = column;
            EXPECT_EQ(column.substr(8, 12), "|V|V|V|V|V|V");
        } else if (step > 6) {
            EXPECT_EQ(column, column_after_six);
        }
    }
    EXPECT_EQ(sim::text_at(63, 7, 1), " ");
    EXPECT_EQ(sim::text_at(63, 20, 1), " ");
}

} // namespace
