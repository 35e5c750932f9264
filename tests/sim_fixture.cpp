#include "sim_fixture.h"

#include "control/calibration_control.h"
#include "screen/console_screen.h"

sim::device& plug_printer(const std::string& name) {
    sim::device& printer = sim::add_device(name);
    sim::answer_each_line(printer, "ok\n", 1000);
    return printer;
}

int run_tool() {
    sim::machine& m = sim::state();
    uint64_t last_input_ms = 0;
    for (const auto& queued : m.input) {
        last_input_ms = std::max(last_input_ms, queued.first / sim::us_per_ms);
    }
    sim::set_deadline_ms(std::max<uint64_t>(last_input_ms, loop_start_ms) + 60000);
    const int exit_code = run_calibration();
    EXPECT_FALSE(m.timed_out) << "the script did not end the tool";
    return exit_code;
}

std::vector<std::string> lines_sent(const sim::device& printer) {
    std::vector<std::string> lines;
    for (const sim::written_line& line : printer.written) {
        lines.push_back(line.bytes);
    }
    return lines;
}

std::string height_field() {
    std::string text = sim::text_at(31, 6, height_field_width);
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

std::vector<std::string> log_entries(const std::string& prefix) {
    std::vector<std::string> found;
    for (const sim::event& e : sim::state().log) {
        if (e.what.compare(0, prefix.size(), prefix) == 0) {
            found.push_back(e.what);
        }
    }
    return found;
}
