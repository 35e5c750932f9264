// Fuzzes the input loop with arbitrary record streams, the whole tool running against a printer
// whose answer to each line is taken from the input too, arriving in arbitrary pieces and times.
//
// Input: the answer, then the records.
//   length          the printer answers each line with `length` bytes (0 to 255)...
//   bytes           ...these...
//   gaps            ...one gap byte each: byte i comes gap x 100 us after byte i - 1, the first
//                   after the line was written;
//   records         10 bytes each: delay (ms since the record before), EventType (2 bytes,
//                   little-endian), key-down flag (sign-extended: 0xFF is -1, and any non-zero
//                   value is down), repeat count (2; taken modulo 8), virtual-key code (2),
//                   control-key state (1) and character (1). Records of other types carry the
//                   same bytes in their union.
//
// The first records arrive while the printer settles and wait in the queue, where the console
// merges repeated key-downs. Each line written is checked as it goes out, against models of the
// fuzzer's own: the height in whole hundredths, moved by the step key-downs the loop has taken
// (100, 10 or 1 per press, times the record's repeat count); and the printer's "ok" lines, found
// in the bytes the tool has taken so far. Once the printer has answered "ok", a line goes out
// only when every line before it has been answered, or after 10 s without a line.
#include "fuzz_check.h"

#include "control/calibration_control.h"
#include "platform/sim/sim_platform.h"
#include "screen/console_screen.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t record_bytes = 10;
constexpr int repeat_modulo = 8;
// With at most this many records of at most 7 presses the height stays below 16384 mm, where a
// float still holds every hundredth closely enough for "%.3f" to print it exactly.
constexpr size_t record_limit = 2048;
constexpr long start_hundredths = 20000;
constexpr int field_column = 31;
constexpr int field_row = 6;
constexpr WORD space_key = 0x20;
constexpr uint64_t silence_us = 10000 * sim::us_per_ms;

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
    const long presses =
        record.Event.KeyEvent.wRepeatCount > 0 ? record.Event.KeyEvent.wRepeatCount : 1;
    for (const model_step& step : model_steps) {
        if (step.virtual_key == record.Event.KeyEvent.wVirtualKeyCode) {
            return step.hundredths * presses;
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
    std::string answer;
    std::vector<uint64_t> answer_gaps_us;
    std::string stream;       // every byte the printer was given to send, in order
    size_t consumed = 0;      // of which the tool has taken this many
    std::string line_so_far;  // the model's view of the printer's current line
    bool answered_ok = false; // an "ok" has been taken
    long unanswered = 0;
    uint64_t last_write_us = 0;
    size_t lines = 0;
    std::string last_height;
};

loop_run* current = nullptr;

// The model's own reading of the printer's lines: a line is an answer when it is "ok", or "ok"
// followed by a blank and more; lines end at CR or LF.
void model_takes(loop_run& run, char byte) {
    if (byte != '\r' && byte != '\n') {
        run.line_so_far += byte;
        return;
    }
    const std::string& line = run.line_so_far;
    if (line.compare(0, 2, "ok") == 0 && (line.size() == 2 || line[2] == ' ' || line[2] == '\t')) {
        run.answered_ok = true;
        run.unanswered = run.unanswered > 0 ? run.unanswered - 1 : 0;
    }
    run.line_so_far.clear();
}

long model_height() {
    long hundredths = start_hundredths;
    for (const INPUT_RECORD& record : sim::state().taken) {
        if (is_space_down(record)) {
            break;
        }
        hundredths += step_of(record);
    }
    return hundredths;
}

void check_line(sim::device& printer, const std::string& bytes) {
    loop_run& run = *current;
    const sim::machine& m = sim::state();
    // What the tool has read by now, in the order it came.
    const size_t consumed = run.stream.size() - printer.incoming.size();
    for (; run.consumed < consumed; ++run.consumed) {
        model_takes(run, run.stream[run.consumed]);
    }
    const bool silence_over = m.now_us - run.last_write_us >= silence_us;
    FUZZ_CHECK(!run.answered_ok || run.unanswered == 0 || silence_over,
               "a line went out while the line before waited for its answer");

    const std::string height = height_text(model_height());
    FUZZ_CHECK(bytes == "G1 F600 Z" + height + "\n",
               "the line written is not the height the keys made");
    FUZZ_CHECK(field_text() == height, "the field does not show the height written");
    run.last_height = height;
    run.last_write_us = m.now_us;
    ++run.unanswered;
    ++run.lines;

    uint64_t at = m.now_us;
    for (size_t i = 0; i < run.answer.size(); ++i) {
        at += run.answer_gaps_us[i];
        sim::printer_sends(printer, at, run.answer.substr(i, 1), 0);
    }
    run.stream += run.answer;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sim::reset();
    sim::machine& m = sim::state();
    m.logging = false;
    fuzz_input input{data, size};
    loop_run run;
    const size_t answer_length = input.byte();
    for (size_t i = 0; i < answer_length; ++i) {
        run.answer += static_cast<char>(input.byte());
    }
    for (size_t i = 0; i < answer_length; ++i) {
        run.answer_gaps_us.push_back(input.byte() * 100u);
    }

    uint64_t at_ms = 0;
    size_t records = 0;
    bool space_in_input = false;
    while (input.left() >= record_bytes && records < record_limit) {
        at_ms += input.byte();
        INPUT_RECORD record;
        std::memset(&record, 0, sizeof record);
        record.EventType = input.word();
        KEY_EVENT_RECORD& key = record.Event.KeyEvent;
        key.bKeyDown = static_cast<int8_t>(input.byte());
        key.wRepeatCount = static_cast<WORD>(input.word() % repeat_modulo);
        key.wVirtualKeyCode = input.word();
        key.dwControlKeyState = input.byte();
        key.uChar.AsciiChar = static_cast<char>(input.byte());
        sim::queue_record(at_ms, record);
        space_in_input = space_in_input || is_space_down(record);
        ++records;
    }
    // Past the last record, time enough for the settle, every record's step and an answer that
    // never comes; then the simulator's deadline presses the space bar.
    sim::set_deadline_ms(at_ms + 4000 + 40 * records + 2 * silence_us / sim::us_per_ms);

    sim::device& printer = sim::add_device("\\\\.\\COM3");
    printer.on_write = check_line;
    current = &run;
    const int exit_code = run_calibration();
    current = nullptr;

    bool space_taken = false;
    for (const INPUT_RECORD& record : m.taken) {
        space_taken = space_taken || is_space_down(record);
    }
    FUZZ_CHECK(exit_code == 0, "the tool did not end with exit code 0");
    FUZZ_CHECK(space_taken, "the space bar did not end the tool");
    FUZZ_CHECK(!space_in_input || !m.timed_out, "the tool did not end by its own space bar");
    const std::string shown = field_text();
    if (shown.empty()) {
        FUZZ_CHECK(run.lines == 0, "a line was written while the field stayed empty");
    } else {
        FUZZ_CHECK(run.lines > 0 && run.last_height == shown,
                   "the last line written does not carry the height the field shows");
    }
    FUZZ_CHECK(!printer.open && printer.closes == 1, "the port was not closed once at the end");
    return 0;
}
