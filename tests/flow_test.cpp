// What goes over the line to a printer that answers as a real one does: one unanswered line at
// most once it has said "ok", the latest height kept while a line waits, a silent printer, a
// printer that goes away and comes back, and the end.
#include "sim_fixture.h"

#include "control/calibration_control.h"

#include <random>

namespace {

using flow_test = sim_test;

constexpr uint64_t t0 = 3000; // a moment after the settle, in ms
constexpr int status_row = 22;
const std::string silent_text = "Attention: l'imprimante ne repond pas.";
const std::string gone_text = "Erreur:    imprimante deconnectee.";

std::string status_line() {
    std::string text = sim::text_at(3, status_row, 60);
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

std::string line_for(const std::string& height) {
    return "G1 F600 Z" + height + "\n";
}

uint64_t written_ms(const sim::device& printer, size_t line) {
    return printer.written.at(line).time_us / sim::us_per_ms;
}

// Presses the key `count` times, `spacing_ms` apart, from `at_ms` on.
void press_many(uint64_t at_ms, WORD key, uint64_t count, uint64_t spacing_ms) {
    for (uint64_t i = 0; i < count; ++i) {
        sim::queue_key(at_ms + i * spacing_ms, key, true);
        sim::queue_key(at_ms + i * spacing_ms + spacing_ms / 2, key, false);
    }
}

TEST_F(flow_test, steps_while_a_line_waits_for_its_answer_send_only_the_latest_height) {
    sim::device& printer = plug_printer();
    sim::answer_each_line(printer, "ok\n", 300 * sim::us_per_ms);
    // The first line shows that the printer answers; the second waits for its answer until
    // t0 + 700, and ten steps meanwhile make one line.
    sim::queue_press(t0, 'A');
    sim::queue_press(t0 + 400, 'A');
    press_many(t0 + 420, 'T', 10, 20);
    sim::queue_press(t0 + 1500, VK_SPACE);
    EXPECT_EQ(run_tool(), 0);
    EXPECT_EQ(
        lines_sent(printer),
        (std::vector<std::string>{line_for("201.000"), line_for("202.000"), line_for("202.100")}));
    // The latest height goes within one pause of the answer.
    const uint64_t answer_ms = written_ms(printer, 1) + 300;
    EXPECT_GE(written_ms(printer, 2), answer_ms);
    EXPECT_LE(written_ms(printer, 2), answer_ms + 10);
    EXPECT_EQ(height_field(), "202.100");
    EXPECT_EQ(status_line(), "");
}

TEST_F(flow_test, a_printer_that_answers_never_has_two_lines_unanswered) {
    const WORD keys[] = {'A', 'Z', 'E', 'R', 'T', 'Y'};
    for (unsigned seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        sim::reset();
        sim::device& printer = plug_printer();
        std::mt19937 random(seed);
        std::vector<uint64_t> answer_times_us;
        printer.on_write = [&](sim::device& d, const std::string&) {
            const uint64_t now = sim::state().now_us;
            // Once an "ok" has come, every line before this one has been answered.
            if (!answer_times_us.empty() && answer_times_us.front() <= now) {
                for (uint64_t answered : answer_times_us) {
                    ASSERT_LE(answered, now)
                        << "a line went out before the one before was answered";
                }
            }
            sim::printer_sends(d, now + (random() % 200) * sim::us_per_ms, "ok\n");
            answer_times_us.push_back(d.incoming.back().arrival_us);
        };
        uint64_t at = t0;
        for (int i = 0; i < 200; ++i) {
            sim::queue_press(at, keys[random() % 6]);
            at += 1 + random() % 60;
        }
        sim::queue_press(at + 100, VK_SPACE);
        run_tool();
        ASSERT_FALSE(printer.written.empty());
        EXPECT_LT(printer.written.size(), 200u);
        EXPECT_EQ(height_field() + "\n", printer.written.back().bytes.substr(9));
    }
}

TEST_F(flow_test, a_printer_that_never_answers_gets_one_line_per_step) {
    sim::device& printer = sim::add_device("\\\\.\\COM3");
    press_many(t0, 'E', 5, 100);
    sim::queue_press(t0 + 15000, 'E');
    sim::queue_press(t0 + 16000, VK_SPACE);
    run_tool();
    EXPECT_EQ(lines_sent(printer).size(), 6u);
    EXPECT_EQ(printer.written.back().bytes, line_for("200.600"));
    // It was never waited for, so its silence is no news.
    EXPECT_EQ(status_line(), "");
    EXPECT_LE(sim::now_ms(), t0 + 16000 + 10);
}

TEST_F(flow_test, a_silence_of_10_s_shows_the_warning_and_lets_the_latest_height_out) {
    sim::device& printer = plug_printer();
    int lines = 0;
    printer.on_write = [&](sim::device& d, const std::string&) {
        if (++lines == 1) {
            sim::printer_sends(d, sim::state().now_us + 1000, "ok\n");
        }
    };
    sim::queue_press(t0, 'A');        // answered
    sim::queue_press(t0 + 100, 'A');  // never answered
    press_many(t0 + 200, 'T', 3, 50); // pending
    press_many(t0 + 12000, 'T', 2, 50);
    // The printer speaks again: its answers to the three lines it owes.
    sim::schedule(t0 + 25000,
                  [&] { sim::printer_sends(printer, sim::state().now_us, "ok\nok\nok\n"); });
    sim::queue_press(t0 + 26000, 'Y');
    sim::queue_press(t0 + 27000, VK_SPACE);

    std::string status_before_answer;
    sim::schedule(t0 + 24900, [&] { status_before_answer = status_line(); });
    std::string status_before_silence;
    sim::schedule(t0 + 10000, [&] { status_before_silence = status_line(); });
    run_tool();

    EXPECT_EQ(
        lines_sent(printer),
        (std::vector<std::string>{line_for("201.000"), line_for("202.000"), line_for("202.030"),
                                  line_for("202.050"), line_for("202.040")}));
    // One line per 10 s of silence, counted from the last line written.
    EXPECT_GE(written_ms(printer, 2), t0 + 10100);
    EXPECT_LE(written_ms(printer, 2), t0 + 10100 + 10);
    EXPECT_GE(written_ms(printer, 3), written_ms(printer, 2) + 10000);
    EXPECT_LE(written_ms(printer, 3), written_ms(printer, 2) + 10000 + 10);
    // The answered printer gets its next line at once.
    EXPECT_LE(written_ms(printer, 4), t0 + 26000 + 10);
    EXPECT_EQ(status_before_silence, "");
    EXPECT_EQ(status_before_answer, silent_text);
    EXPECT_EQ(status_line(), "");
    EXPECT_EQ(sim::attribute_at(3, status_row), 0x0007);
}

TEST_F(flow_test, a_busy_printer_is_not_silent_and_gets_the_latest_height_after_its_answer) {
    sim::device& printer = plug_printer();
    int lines = 0;
    printer.on_write = [&](sim::device& d, const std::string&) {
        const uint64_t now = sim::state().now_us;
        if (++lines == 1) {
            sim::printer_sends(d, now + 1000, "ok\n");
            return;
        }
        // A move that waits 30 s for room in the planner: busy every 2 s, then "ok".
        for (uint64_t s = 2; s < 30; s += 2) {
            sim::printer_sends(d, now + s * 1000 * sim::us_per_ms, "echo:busy: processing\n");
        }
        sim::printer_sends(d, now + 30000 * sim::us_per_ms, "ok\n");
    };
    sim::queue_press(t0, 'A');
    sim::queue_press(t0 + 100, 'A');
    press_many(t0 + 200, 'R', 4, 50);
    std::string status_while_busy;
    sim::schedule(t0 + 20000, [&] { status_while_busy = status_line(); });
    sim::queue_press(t0 + 31000, VK_SPACE);
    run_tool();
    EXPECT_EQ(
        lines_sent(printer),
        (std::vector<std::string>{line_for("201.000"), line_for("202.000"), line_for("201.600")}));
    EXPECT_GE(written_ms(printer, 2), t0 + 100 + 30000);
    EXPECT_EQ(status_while_busy, "");
}

TEST_F(flow_test, the_space_bar_waits_for_the_last_answer_then_writes_the_height_shown) {
    struct end_case {
        const char* name;
        bool answers_second;
        uint64_t wait_ms; // from the second line to the last
    } cases[] = {
        {"the answer comes", true, 500},
        {"the answer never comes: the silence bounds the wait", false, 10000},
    };
    for (const end_case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::reset();
        sim::device& printer = plug_printer();
        int lines = 0;
        printer.on_write = [&](sim::device& d, const std::string&) {
            if (++lines == 1 || c.answers_second) {
                sim::printer_sends(d, sim::state().now_us + 500 * sim::us_per_ms, "ok\n");
            }
        };
        sim::queue_press(t0, 'A');
        sim::queue_press(t0 + 600, 'A');
        press_many(t0 + 700, 'T', 2, 20);
        sim::queue_key(t0 + 750, VK_SPACE, true);
        EXPECT_EQ(run_tool(), 0);
        ASSERT_EQ(lines_sent(printer),
                  (std::vector<std::string>{line_for("201.000"), line_for("202.000"),
                                            line_for("202.020")}));
        const uint64_t last_line_from_ms = written_ms(printer, 1) + c.wait_ms;
        EXPECT_GE(written_ms(printer, 2), last_line_from_ms);
        EXPECT_LE(written_ms(printer, 2), last_line_from_ms + 10);
        // The port is closed right after the last line.
        EXPECT_EQ(log_entries("CloseHandle").back(), "CloseHandle \\\\.\\COM3");
        EXPECT_EQ(sim::now_ms(), written_ms(printer, 2));
    }
}

TEST_F(flow_test, a_port_that_fails_shows_the_error_and_steps_still_show_and_quit) {
    struct failure_case {
        const char* name;
        sim::write_behaviour writes;
        bool pulled;
    } cases[] = {
        {"a printer that stops reading", sim::write_behaviour::stalls, false},
        {"a failing driver", sim::write_behaviour::fails, false},
        {"the cable pulled", sim::write_behaviour::takes, true},
    };
    for (const failure_case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::reset();
        sim::device& printer = plug_printer();
        sim::schedule(t0 + 500, [&] {
            printer.writes = c.writes;
            if (c.pulled) {
                sim::pull_cable(printer);
            }
        });
        sim::queue_press(t0, 'A');
        sim::queue_press(t0 + 1000, 'A');
        std::string status_after_failure;
        sim::schedule(t0 + 2500, [&] { status_after_failure = status_line(); });
        press_many(t0 + 3000, 'Y', 3, 100);
        sim::queue_key(t0 + 8000, VK_SPACE, true);
        EXPECT_EQ(run_tool(), 0);
        EXPECT_EQ(lines_sent(printer), std::vector<std::string>{line_for("201.000")});
        EXPECT_EQ(status_after_failure, gone_text);
        EXPECT_EQ(height_field(), "201.970");
        // The loop kept its pace: the space bar ends the tool at once.
        EXPECT_LE(sim::now_ms(), t0 + 8000 + 10);
        // Nothing is left open.
        EXPECT_FALSE(printer.open);
        EXPECT_EQ(printer.opens, printer.closes);
    }
}

TEST_F(flow_test, a_printer_plugged_back_is_settled_and_gets_the_next_height) {
    sim::device& printer = plug_printer();
    sim::schedule(t0 + 500, [&] { sim::pull_cable(printer); });
    sim::schedule(t0 + 3500, [&] { sim::plug_back(printer); });
    sim::queue_press(t0, 'A');
    sim::queue_press(t0 + 1000, 'T'); // the write fails: gone
    sim::queue_press(t0 + 2000, 'T'); // only the screen
    // Tried about once a second from t0 + 500: the try at t0 + 3500 opens it, and the printer
    // then has its start-up time, to t0 + 5722, before the line clears.
    std::vector<std::string> status_at;
    for (uint64_t at : {t0 + 3400, t0 + 5600, t0 + 5800}) {
        sim::schedule(at, [&] { status_at.push_back(status_line()); });
    }
    sim::queue_press(t0 + 9000, 'T');
    sim::queue_press(t0 + 9500, VK_SPACE);
    EXPECT_EQ(run_tool(), 0);
    EXPECT_EQ(status_at, (std::vector<std::string>{gone_text, gone_text, ""}));
    EXPECT_EQ(printer.opens, 2);
    EXPECT_EQ(sim::state().open_attempts.size(), 4u + 3u);
    // Nothing is sent on the reopen itself; the next step sends the latest height.
    EXPECT_EQ(lines_sent(printer),
              (std::vector<std::string>{line_for("201.000"), line_for("201.030")}));
    EXPECT_GE(written_ms(printer, 1), t0 + 9000);
}

TEST_F(flow_test, a_record_standing_for_several_presses_makes_as_many_steps_and_one_line) {
    sim::device& printer = plug_printer();
    INPUT_RECORD record{};
    record.EventType = KEY_EVENT;
    record.Event.KeyEvent.bKeyDown = 1;
    record.Event.KeyEvent.wRepeatCount = 5;
    record.Event.KeyEvent.wVirtualKeyCode = 'T';
    sim::queue_record(t0, record);
    // E held through the settle, 32 key-downs: the console merges its auto-repeats into one
    // record, which the loop takes first.
    sim::queue_key(500, 'E', true);
    for (uint64_t at = 1000; at < 2000; at += 33) {
        sim::queue_key(at, 'E', true);
    }
    sim::queue_key(2000, 'E', false);
    sim::queue_press(t0 + 500, VK_SPACE);
    run_tool();
    EXPECT_EQ(lines_sent(printer),
              (std::vector<std::string>{line_for("203.200"), line_for("203.250")}));
    EXPECT_EQ(height_field(), "203.250");
}

} // namespace
