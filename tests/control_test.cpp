// The whole tool on the simulated machine: start-up order, keys to steps, the loop's pauses, the
// wire and the field, and the end.
#include "sim_fixture.h"

#include "control/calibration_control.h"
#include "screen/console_screen.h"

#include <cstdlib>
#include <random>

namespace {

using control_test = sim_test;

constexpr uint64_t t0 = 3000; // a moment after the settle, in ms

// The number a command line carries, as its text.
std::string height_of(const std::string& line) {
    EXPECT_EQ(line.compare(0, 9, "G1 F600 Z"), 0) << line;
    EXPECT_EQ(line.back(), '\n');
    return line.substr(9, line.size() - 10);
}

TEST_F(control_test, starts_up_in_order_and_waits_for_the_printer_before_the_bed_line) {
    plug_printer();
    sim::queue_press(t0, VK_SPACE, ' ');
    EXPECT_EQ(run_tool(), 0);
    std::vector<std::string> order;
    for (const sim::event& e : sim::state().log) {
        const std::string& w = e.what;
        if (w.rfind("command", 0) == 0 || w.rfind("SetWindowLongA", 0) == 0 ||
            w.rfind("SetConsoleTitleA", 0) == 0 || w.rfind("GetStdHandle", 0) == 0 ||
            w == "WriteConsoleA Brunelvastoque - Darizuvu Zizir Dagoma" ||
            w.rfind("CreateFileA", 0) == 0 || w == "Sleep 2222" ||
            w.rfind("WriteConsoleA _    (plateau", 0) == 0 || w.rfind("CloseHandle", 0) == 0) {
            order.push_back(w);
        }
    }
    const std::vector<std::string> expected = {
        "command chcp 28591",
        "command cls",
        "SetWindowLongA",
        "SetConsoleTitleA Brunelvastoque | Sigma",
        "GetStdHandle output",
        "GetStdHandle input",
        "WriteConsoleA Brunelvastoque - Darizuvu Zizir Dagoma",
        "CreateFileA \\\\.\\COM0",
        "CreateFileA \\\\.\\COM1",
        "CreateFileA \\\\.\\COM2",
        "CreateFileA \\\\.\\COM3",
        "Sleep 2222",
        "WriteConsoleA _    (plateau lit ou support d'impression sigma)",
        "CloseHandle input",
        "CloseHandle output",
        "CloseHandle \\\\.\\COM3",
    };
    EXPECT_EQ(order, expected);
    // The space bar before any step: nothing was sent, nothing shown.
    EXPECT_TRUE(sim::find_device("\\\\.\\COM3")->written.empty());
    EXPECT_EQ(height_field(), "");
    EXPECT_EQ(sim::text_at(63, 8, 1), " ");
}

TEST_F(control_test, each_step_key_sends_one_line_and_shows_the_same_height) {
    struct key_case {
        WORD key;
        const char* height;
    } cases[] = {{'A', "201.000"}, {'Z', "199.000"}, {'E', "200.100"},
                 {'R', "199.900"}, {'T', "200.010"}, {'Y', "199.990"}};
    for (const key_case& c : cases) {
        SCOPED_TRACE(std::string(1, static_cast<char>(c.key)));
        sim::reset();
        sim::device& printer = plug_printer();
        sim::queue_press(t0, c.key, static_cast<char>(c.key + 32));
        sim::queue_press(t0 + 500, VK_SPACE, ' ');
        EXPECT_EQ(run_tool(), 0);
        EXPECT_EQ(lines_sent(printer),
                  std::vector<std::string>{"G1 F600 Z" + std::string(c.height) + "\n"});
        EXPECT_EQ(height_field(), c.height);
        EXPECT_EQ(sim::text_at(63, 8, 1), "|");
        EXPECT_EQ(sim::text_at(63, 9, 1), "V");
    }
}

TEST_F(control_test, the_key_counts_not_the_character_or_modifiers) {
    struct typed {
        char character;
        DWORD state;
    } variants[] = {
        {'a', 0},
        {'A', SHIFT_PRESSED},
        {'A', CAPSLOCK_ON},
        {0x01, LEFT_CTRL_PRESSED},
        {'a', LEFT_ALT_PRESSED},
        {'q', 0}, // the letter a French layout's A key types on a QWERTY layout
    };
    sim::device& printer = plug_printer();
    uint64_t at = t0;
    for (const typed& v : variants) {
        sim::queue_press(at, 'A', v.character, v.state);
        at += 200;
    }
    sim::queue_press(at, VK_SPACE, ' ');
    run_tool();
    ASSERT_EQ(printer.written.size(), 6u);
    EXPECT_EQ(printer.written.back().bytes, "G1 F600 Z206.000\n");
}

TEST_F(control_test, other_keys_send_and_draw_nothing) {
    const WORD others[] = {'B',       'Q',       'W',     'X',      '0',      '9',
                           VK_RETURN, VK_ESCAPE, VK_BACK, VK_TAB,   VK_SHIFT, VK_CONTROL,
                           VK_MENU,   VK_LEFT,   VK_UP,   VK_RIGHT, VK_DOWN,  VK_F1,
                           VK_F12,    0x60,      0xBA,    0x00,     0xFF};
    sim::device& printer = plug_printer();
    uint64_t at = t0;
    for (WORD key : others) {
        sim::queue_press(at, key);
        at += 100;
    }
    sim::queue_press(at, VK_SPACE, ' ');
    run_tool();
    EXPECT_TRUE(printer.written.empty());
    EXPECT_EQ(height_field(), "");
    EXPECT_EQ(sim::text_at(63, 8, 1) + sim::text_at(63, 9, 1), "  ");
}

TEST_F(control_test, one_press_is_one_step_and_held_keys_repeat) {
    sim::device& printer = plug_printer();
    sim::queue_press(t0, 'A', 'a'); // down and up
    // Held: the first key-down and two auto-repeat key-downs, then one release.
    sim::queue_key(t0 + 200, 'T', true, 't');
    sim::queue_key(t0 + 700, 'T', true, 't');
    sim::queue_key(t0 + 733, 'T', true, 't');
    sim::queue_key(t0 + 760, 'T', false, 't');
    // A lone key-down is acted on at once, without waiting for its release; so is the space bar.
    sim::queue_key(t0 + 1000, 'E', true, 'e');
    sim::queue_key(t0 + 1100, VK_SPACE, true, ' ');
    run_tool();
    const std::vector<std::string> expected = {"G1 F600 Z201.000\n", "G1 F600 Z201.010\n",
                                               "G1 F600 Z201.020\n", "G1 F600 Z201.030\n",
                                               "G1 F600 Z201.130\n"};
    EXPECT_EQ(lines_sent(printer), expected);
    EXPECT_LT(printer.written.back().time_us, (t0 + 1011) * sim::us_per_ms);
}

TEST_F(control_test, a_released_space_bar_does_not_quit) {
    sim::device& printer = plug_printer();
    sim::queue_key(t0, VK_SPACE, false, ' ');
    sim::queue_press(t0 + 100, 'Z', 'z');
    sim::queue_press(t0 + 300, VK_SPACE, ' ');
    run_tool();
    EXPECT_EQ(lines_sent(printer), std::vector<std::string>{"G1 F600 Z199.000\n"});
}

TEST_F(control_test, keys_pressed_during_the_settle_act_once_it_is_over) {
    sim::device& printer = plug_printer();
    sim::queue_press(500, 'A', 'a');
    sim::queue_press(1500, 'R', 'r');
    sim::queue_press(t0, VK_SPACE, ' ');
    run_tool();
    ASSERT_EQ(lines_sent(printer),
              (std::vector<std::string>{"G1 F600 Z201.000\n", "G1 F600 Z200.900\n"}));
    EXPECT_GE(printer.written.front().time_us, loop_start_ms * sim::us_per_ms);
}

TEST_F(control_test, steps_add_exact_hundredths) {
    struct run_case {
        WORD key;
        int steps;
        const char* height;
    } cases[] = {
        {'T', 92, "200.920"}, {'T', 100, "201.000"}, {'T', 1000, "210.000"},
        {'Y', 92, "199.080"}, {'E', 10, "201.000"},  {'R', 2000, "0.000"},
        {'Z', 200, "0.000"},  {'Z', 201, "-1.000"},  {'A', 100000, "100200.000"},
    };
    for (const run_case& c : cases) {
        float height = start_height;
        const step_key* entry = find_step_key(c.key);
        ASSERT_NE(entry, nullptr);
        for (int i = 0; i < c.steps; ++i) {
            height = apply_step(height, entry->step);
        }
        char line[256];
        format_height_command(line, height);
        EXPECT_EQ(std::string(line), "G1 F600 Z" + std::string(c.height) + "\n")
            << c.steps << " x " << static_cast<char>(c.key);
    }
}

TEST_F(control_test, heights_cross_zero_without_a_negative_zero) {
    float height = start_height;
    for (int i = 0; i < 200; ++i) {
        height = apply_step(height, -1.0);
    }
    const std::pair<double, const char*> path[] = {
        {-0.01, "G1 F600 Z-0.010\n"}, {+0.01, "G1 F600 Z0.000\n"}, {+0.01, "G1 F600 Z0.010\n"},
        {-0.01, "G1 F600 Z0.000\n"},  {-0.1, "G1 F600 Z-0.100\n"}, {+0.1, "G1 F600 Z0.000\n"}};
    char line[256];
    for (const auto& step : path) {
        height = apply_step(height, step.first);
        format_height_command(line, height);
        EXPECT_STREQ(line, step.second);
    }
}

TEST_F(control_test, every_line_carries_the_height_the_field_shows_and_the_last_is_the_field) {
    const WORD keys[] = {'A', 'Z', 'E', 'R', 'T', 'Y', 'B', VK_RETURN, VK_UP};
    // A quick printer, one slower than the keys, and one that never answers.
    const uint64_t answer_delays_us[] = {1000, 45000, 0};
    for (uint64_t delay_us : answer_delays_us) {
        for (unsigned seed = 1; seed <= 4; ++seed) {
            SCOPED_TRACE("answer after " + std::to_string(delay_us) + " us, seed " +
                         std::to_string(seed));
            sim::reset();
            sim::device& printer = plug_printer();
            std::vector<std::string> shown_at_each_write;
            printer.on_write = [&](sim::device& d, const std::string&) {
                shown_at_each_write.push_back(height_field());
                if (delay_us > 0) {
                    sim::printer_sends(d, sim::state().now_us + delay_us, "ok\n");
                }
            };
            std::mt19937 random(seed);
            uint64_t at = t0;
            for (int i = 0; i < 300; ++i) {
                const WORD key = keys[random() % (sizeof keys / sizeof keys[0])];
                sim::queue_press(at, key);
                at += 1 + random() % 80;
            }
            sim::queue_press(at + 100, VK_SPACE, ' ');
            run_tool();
            ASSERT_FALSE(printer.written.empty());
            for (size_t i = 0; i < printer.written.size(); ++i) {
                ASSERT_EQ(shown_at_each_write[i], height_of(printer.written[i].bytes))
                    << "line " << i;
            }
            EXPECT_EQ(height_field(), height_of(printer.written.back().bytes));
        }
    }
}

// One pass of the loop as the log shows it: what it took, and how long it then paused.
std::vector<std::string> loop_passes() {
    std::vector<std::string> passes;
    const std::vector<sim::event>& log = sim::state().log;
    size_t i = 0;
    while (i < log.size() && log[i].what != "Sleep 2222") {
        ++i;
    }
    for (; i < log.size(); ++i) {
        if (log[i].what != "poll") {
            continue;
        }
        std::string taken = "idle";
        int paused = 0;
        for (size_t j = i + 1; j < log.size() && log[j].what != "poll"; ++j) {
            const std::string& w = log[j].what;
            if (w.rfind("ReadConsoleInputA ", 0) == 0) {
                taken = w.substr(18);
            } else if (w.rfind("WriteFile", 0) == 0) {
                taken += " +line";
            } else if (w.rfind("Sleep ", 0) == 0) {
                paused += std::atoi(w.c_str() + 6);
            }
        }
        std::string pass = taken + " " + std::to_string(paused);
        if (pass == "idle 10" && !passes.empty() && passes.back() == "idle 10") {
            continue; // idle passes in a row count as one
        }
        passes.push_back(pass);
    }
    return passes;
}

TEST_F(control_test, the_loop_pauses_10_ms_idle_20_after_a_step_or_other_record_none_after_a_key) {
    plug_printer();
    sim::queue_event(t0, FOCUS_EVENT);
    sim::queue_event(t0 + 100, MOUSE_EVENT);
    sim::queue_press(t0 + 200, 'B');
    sim::queue_press(t0 + 400, 'A', 'a');
    sim::queue_event(t0 + 600, WINDOW_BUFFER_SIZE_EVENT);
    sim::queue_event(t0 + 700, MENU_EVENT);
    sim::queue_key(t0 + 800, VK_SPACE, true, ' ');
    run_tool();
    const std::vector<std::string> expected = {
        "idle 10", "event 16 20", "idle 10", "event 2 20",           "idle 10", "key 66 down 0",
        "idle 10", "key 66 up 0", "idle 10", "key 65 down +line 20", "idle 10", "key 65 up 0",
        "idle 10", "event 4 20",  "idle 10", "event 8 20",           "idle 10", "key 32 down 0"};
    EXPECT_EQ(loop_passes(), expected);
}

TEST_F(control_test, back_to_back_records_pass_without_idle_pauses_between_keys) {
    plug_printer();
    sim::queue_key(t0, 'B', true);
    sim::queue_key(t0, 'B', false);
    sim::queue_key(t0, 'C', true);
    sim::queue_key(t0, VK_SPACE, true);
    run_tool();
    const std::vector<std::string> passes = loop_passes();
    const std::vector<std::string> tail(passes.end() - 4, passes.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"key 66 down 0", "key 66 up 0", "key 67 down 0",
                                              "key 32 down 0"}));
}

TEST_F(control_test, a_key_reaches_the_wire_within_one_idle_pause) {
    sim::device& printer = plug_printer();
    // Arrivals at every offset within a poll period, each after the previous step's pause.
    std::vector<uint64_t> arrivals;
    for (uint64_t offset = 0; offset < 10; ++offset) {
        arrivals.push_back(t0 + offset * 101);
        sim::queue_key(arrivals.back(), 'T', true, 't');
    }
    sim::queue_key(t0 + 2000, VK_SPACE, true, ' ');
    run_tool();
    ASSERT_EQ(printer.written.size(), arrivals.size());
    for (size_t i = 0; i < arrivals.size(); ++i) {
        const uint64_t latency_us = printer.written[i].time_us - arrivals[i] * sim::us_per_ms;
        EXPECT_LE(latency_us, 10 * sim::us_per_ms) << "key " << i;
    }
}

TEST_F(control_test, a_failing_console_counts_as_nothing_to_read) {
    sim::device& printer = plug_printer();
    sim::state().input_failures = 50;
    sim::queue_press(t0, 'A', 'a');
    sim::queue_press(t0 + 300, VK_SPACE, ' ');
    EXPECT_EQ(run_tool(), 0);
    EXPECT_EQ(lines_sent(printer), std::vector<std::string>{"G1 F600 Z201.000\n"});
    EXPECT_EQ(sim::state().input_failures, 0);
}

TEST_F(control_test, no_port_shows_the_error_waits_for_a_key_and_fails) {
    sim::queue_press(4000, 'X', 'x');
    EXPECT_EQ(run_tool(), 1);
    EXPECT_EQ(sim::text_at(3, 10, 40), "Erreur:    port comm serial introuvable.");
    EXPECT_EQ(sim::text_at(2, 20, 116), std::string(116, ' '));
    EXPECT_EQ(sim::now_ms(), 4000u);
    EXPECT_EQ(sim::state().open_attempts.size(), 21u);
    // Both console handles are closed, and no port handle, since none is open.
    EXPECT_EQ(log_entries("CloseHandle"),
              (std::vector<std::string>{"CloseHandle input", "CloseHandle output"}));
}

TEST_F(control_test, a_device_whose_line_settings_are_refused_is_closed_and_not_closed_again) {
    sim::device& refused = sim::add_device("\\\\.\\COM2", sim::device_kind::refuses_speed);
    sim::queue_press(4000, 'X', 'x');
    EXPECT_EQ(run_tool(), 1);
    EXPECT_EQ(refused.opens, 1);
    EXPECT_EQ(refused.closes, 1);
    EXPECT_FALSE(refused.open);
    EXPECT_TRUE(log_entries("CloseHandle invalid").empty());
}

} // namespace
