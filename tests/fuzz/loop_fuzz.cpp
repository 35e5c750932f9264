// Fuzzes the input loop with arbitrary record streams, the whole tool running against a printer
// whose reply is taken from the input too.
//
// Input: the reply, then the records.
//   length, bytes   the printer answers each line with these bytes (length from 0 to 255)...
//   delay           ...delay x 100 us after the line, one byte every 40 us;
//   records         10 bytes each: delay (ms since the record before), EventType (2 bytes,
//                   little-endian), key-down flag (sign-extended: 0xFF is -1, and any non-zero
//                   value is down), repeat count (2), virtual-key code (2), control-key
//                   state (1) and character (1). Records of other types carry the same bytes in
//                   their union.
//
// The first records arrive while the printer settles and wait in the queue. A line written to
// the printer is checked as it is written, against a model of its own: the height in whole
// hundredths, which one key-down of A, Z, E, R, T or Y moves by 100, 10 or 1.
#include "fuzz_check.h"

#include "control/calibration_control.h"
#include "platform/sim/sim_platform.h"
#include "screen/console_screen.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t record_bytes = 10;
// With at most this many records the height stays far below 16384 mm, where a float still
// holds every hundredth closely enough for "%.3f" to print it exactly.
constexpr size_t record_limit = 4096;
constexpr long start_hundredths = 20000;
constexpr int field_column = 31;
constexpr int field_row = 6;
constexpr WORD space_key = 0x20;

struct model_step {
    WORD virtual_key;
    long hundredths;
};

constexpr model_step model_steps[] = {{0x41, +100}, {0x5A, -100}, {0x45, +10},
                                      {0x52, -10},  {0x54, +1},   {0x59, -1}};

bool is_key_down(const INPUT_RECORD& record) {
    return record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown != 0;
}

// The hundredths a record moves the height by, 0 for a record that makes no step.
long step_of(const INPUT_RECORD& record) {
    if (!is_key_down(record)) {
        return 0;
    }
    for (const model_step& step : model_steps) {
        if (step.virtual_key == record.Event.KeyEvent.wVirtualKeyCode) {
            return step.hundredths;
        }
    }
    return 0;
}

bool is_space_down(const INPUT_RECORD& record) {
    return is_key_down(record) && record.Event.KeyEvent.wVirtualKeyCode == space_key;
}

std::string height_text(long hundredths) {
    const long magnitude = hundredths < 0 ? -hundredths : hundredths;
    char text[32];
    std::snprintf(text, sizeof text, "%s%ld.%02ld0", hundredths < 0 ? "-" : "", magnitude / 100,
                  magnitude % 100);
    return text;
}

std::string field_text() {
    std::string text = sim::text_at(field_column, field_row, height_field_width);
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

struct loop_run {
    std::vector<INPUT_RECORD> records;
    std::string reply;
    uint64_t reply_delay_us = 0;
    long hundredths = start_hundredths;
    std::string last_sent; // the number of the last line written
    size_t lines = 0;
};

loop_run* current = nullptr;

// Each line written must come from the step key-down the loop took last, be the next such
// record in the stream, and carry the model's height; the field still shows the line before.
void check_line(sim::device& printer, const std::string& bytes) {
    loop_run& run = *current;
    const sim::machine& m = sim::state();
    FUZZ_CHECK(!m.timed_out, "a line was written after the space bar of the deadline");
    const size_t taken = run.records.size() - m.input.size();
    FUZZ_CHECK(taken > 0, "a line was written before any record was taken");
    const INPUT_RECORD& record = run.records[taken - 1];
    const long step = step_of(record);
    FUZZ_CHECK(step != 0, "a line was written for a record that is not a step key's key-down");
    size_t steps_before = 0;
    for (size_t i = 0; i + 1 < taken; ++i) {
        FUZZ_CHECK(!is_space_down(run.records[i]), "a line was written after the space bar");
        steps_before += step_of(run.records[i]) != 0;
    }
    FUZZ_CHECK(run.lines == steps_before, "a step key-down was missed or acted on twice");
    FUZZ_CHECK(field_text() == run.last_sent, "the field does not show the last line's number");

    run.hundredths += step;
    run.last_sent = height_text(run.hundredths);
    FUZZ_CHECK(bytes == "G1 F600 Z" + run.last_sent + "\n",
               "the line written is not the height the keys make");
    ++run.lines;
    if (!run.reply.empty()) {
        sim::printer_sends(printer, m.now_us + run.reply_delay_us, run.reply);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sim::reset();
    sim::machine& m = sim::state();
    m.logging = false;
    fuzz_input input{data, size};
    loop_run run;
    const size_t reply_length = input.byte();
    for (size_t i = 0; i < reply_length && !input.empty(); ++i) {
        run.reply += static_cast<char>(input.byte());
    }
    run.reply_delay_us = input.byte() * 100u;

    uint64_t at_ms = 0;
    while (input.left() >= record_bytes && run.records.size() < record_limit) {
        at_ms += input.byte();
        INPUT_RECORD record;
        std::memset(&record, 0, sizeof record);
        record.EventType = input.word();
        KEY_EVENT_RECORD& key = record.Event.KeyEvent;
        key.bKeyDown = static_cast<int8_t>(input.byte());
        key.wRepeatCount = input.word();
        key.wVirtualKeyCode = input.word();
        key.dwControlKeyState = input.byte();
        key.uChar.AsciiChar = static_cast<char>(input.byte());
        sim::queue_record(at_ms, record);
        run.records.push_back(record);
    }
    // Past the last record, time enough for the settle and every record's step; then the
    // simulator's deadline presses the space bar.
    sim::set_deadline_ms(at_ms + 4000 + 40 * run.records.size());

    sim::device& printer = sim::add_device("\\\\.\\COM3");
    printer.on_write = check_line;
    current = &run;
    const int exit_code = run_calibration();
    current = nullptr;

    size_t expected_lines = 0;
    bool space_pressed = false;
    for (const INPUT_RECORD& record : run.records) {
        if (is_space_down(record)) {
            space_pressed = true;
            break;
        }
        expected_lines += step_of(record) != 0;
    }
    FUZZ_CHECK(exit_code == 0, "the tool did not end with exit code 0");
    FUZZ_CHECK(space_pressed != m.timed_out, "the space bar did not end the tool");
    FUZZ_CHECK(run.lines == expected_lines, "not every step key-down wrote its line");
    FUZZ_CHECK(field_text() == run.last_sent, "the field does not show the last line's number");
    FUZZ_CHECK(!printer.open && printer.closes == 1, "the port was not closed once at the end");
    return 0;
}
