// The simulated console: a screen buffer of cells that wraps and scrolls as the Windows console
// does (cursor moves outside it fail), the input queue with its records arriving at virtual times
// and repeated key-downs merged, the window's style and the command interpreter's stand-in.
#include "platform/sim/sim_internal.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

bool same_key_down(const INPUT_RECORD& a, const INPUT_RECORD& b) {
    return a.EventType == KEY_EVENT && b.EventType == KEY_EVENT && a.Event.KeyEvent.bKeyDown &&
           b.Event.KeyEvent.bKeyDown &&
           a.Event.KeyEvent.wVirtualKeyCode == b.Event.KeyEvent.wVirtualKeyCode &&
           a.Event.KeyEvent.dwControlKeyState == b.Event.KeyEvent.dwControlKeyState;
}

// As the console does: an auto-repeat key-down that arrives while the key-down before it is
// still unread adds its count to that record instead of queuing another.
void merge_repeats() {
    machine& m = state();
    size_t i = 1;
    while (i < m.input.size() && m.input[i].first <= m.now_us) {
        INPUT_RECORD& before = m.input[i - 1].second;
        const INPUT_RECORD& after = m.input[i].second;
        if (same_key_down(before, after)) {
            const unsigned count =
                unsigned{before.Event.KeyEvent.wRepeatCount} + after.Event.KeyEvent.wRepeatCount;
            before.Event.KeyEvent.wRepeatCount = static_cast<WORD>(std::min(count, 0xFFFFu));
            m.input.erase(m.input.begin() + static_cast<long>(i));
        } else {
            ++i;
        }
    }
}

} // namespace

void clear_screen(machine& m) {
    for (auto& row : m.screen) {
        for (cell& c : row) {
            c.character = ' ';
            c.attribute = m.attribute;
        }
    }
    m.cursor = {0, 0};
}

bool is_output(HANDLE handle) {
    return reinterpret_cast<uintptr_t>(handle) == output_value && state().output_open;
}

bool is_input(HANDLE handle) {
    return reinterpret_cast<uintptr_t>(handle) == input_value && state().input_open;
}

size_t pending_records() {
    merge_repeats();
    machine& m = state();
    size_t count = 0;
    for (const auto& queued : m.input) {
        if (queued.first > m.now_us) {
            break;
        }
        ++count;
    }
    return count;
}

// Waits for the next record to arrive, as a blocking console read does. False when none ever will.
bool wait_for_record() {
    machine& m = state();
    while (pending_records() == 0) {
        if (m.input.empty()) {
            m.timed_out = true;
            return false;
        }
        advance_to(m.input.front().first);
    }
    return true;
}

INPUT_RECORD take_record() {
    machine& m = state();
    INPUT_RECORD record = m.input.front().second;
    m.input.pop_front();
    return record;
}

HANDLE output_handle() {
    return reinterpret_cast<HANDLE>(output_value);
}

HANDLE input_handle() {
    return reinterpret_cast<HANDLE>(input_value);
}

void queue_record(uint64_t at_ms, const INPUT_RECORD& record) {
    machine& m = state();
    const uint64_t at_us = at_ms * us_per_ms;
    auto position =
        std::upper_bound(m.input.begin(), m.input.end(), at_us,
                         [](uint64_t t, const std::pair<uint64_t, INPUT_RECORD>& queued) {
                             return t < queued.first;
                         });
    m.input.insert(position, {at_us, record});
}

void queue_key(uint64_t at_ms, WORD virtual_key, bool down, char character, DWORD control_state) {
    INPUT_RECORD record{};
    record.EventType = KEY_EVENT;
    record.Event.KeyEvent.bKeyDown = down ? 1 : 0;
    record.Event.KeyEvent.wRepeatCount = 1;
    record.Event.KeyEvent.wVirtualKeyCode = virtual_key;
    record.Event.KeyEvent.uChar.AsciiChar = character;
    record.Event.KeyEvent.dwControlKeyState = control_state;
    queue_record(at_ms, record);
}

void queue_press(uint64_t at_ms, WORD virtual_key, char character, DWORD control_state) {
    queue_key(at_ms, virtual_key, true, character, control_state);
    queue_key(at_ms + 50, virtual_key, false, character, control_state);
}

void queue_event(uint64_t at_ms, WORD event_type) {
    INPUT_RECORD record{};
    record.EventType = event_type;
    queue_record(at_ms, record);
}

std::string row_text(int row) {
    return text_at(0, row, screen_columns);
}

std::string text_at(int column, int row, int length) {
    std::string text;
    for (int c = column; c < column + length && c < screen_columns; ++c) {
        text += state().screen[row][c].character;
    }
    return text;
}

WORD attribute_at(int column, int row) {
    return state().screen[row][column].attribute;
}

} // namespace sim

using sim::state;

HANDLE GetStdHandle(DWORD std_handle) {
    if (std_handle == STD_OUTPUT_HANDLE) {
        sim::log_event("GetStdHandle output");
        return sim::output_handle();
    }
    if (std_handle == STD_INPUT_HANDLE) {
        sim::log_event("GetStdHandle input");
        return sim::input_handle();
    }
    return INVALID_HANDLE_VALUE;
}

BOOL SetConsoleCursorPosition(HANDLE output, COORD cell) {
    if (!sim::is_output(output) || cell.X < 0 || cell.Y < 0 || cell.X >= sim::screen_columns ||
        cell.Y >= sim::screen_rows) {
        return 0;
    }
    state().cursor = cell;
    return 1;
}

BOOL SetConsoleTextAttribute(HANDLE output, WORD attribute) {
    if (!sim::is_output(output)) {
        return 0;
    }
    state().attribute = attribute;
    return 1;
}

BOOL WriteConsoleA(HANDLE output, const void* bytes, DWORD count, DWORD* written, void*) {
    if (written != nullptr) {
        *written = 0;
    }
    if (!sim::is_output(output)) {
        return 0;
    }
    sim::machine& m = state();
    const char* text = static_cast<const char*>(bytes);
    if (m.logging) {
        sim::log_event("WriteConsoleA " + std::string(text, count));
    }
    for (DWORD i = 0; i < count; ++i) {
        m.screen[m.cursor.Y][m.cursor.X] = {text[i], m.attribute};
        if (++m.cursor.X == sim::screen_columns) {
            m.cursor.X = 0;
            if (++m.cursor.Y == sim::screen_rows) {
                // The buffer scrolls up by one row when the cursor leaves its last row.
                std::memmove(&m.screen[0], &m.screen[1], sizeof m.screen - sizeof m.screen[0]);
                for (sim::cell& c : m.screen[sim::screen_rows - 1]) {
                    c = {' ', m.attribute};
                }
                m.cursor.Y = sim::screen_rows - 1;
            }
        }
    }
    if (written != nullptr) {
        *written = count;
    }
    return 1;
}

BOOL SetConsoleTitleA(const char* title) {
    state().title = title;
    sim::log_event(std::string("SetConsoleTitleA ") + title);
    return 1;
}

HWND GetConsoleWindow() {
    return state().has_window ? reinterpret_cast<HWND>(sim::window_value) : nullptr;
}

LONG GetWindowLongA(HWND window, int index) {
    if (window != reinterpret_cast<HWND>(sim::window_value) || index != GWL_STYLE) {
        return 0;
    }
    return state().window_style;
}

LONG SetWindowLongA(HWND window, int index, LONG value) {
    if (window != reinterpret_cast<HWND>(sim::window_value) || index != GWL_STYLE) {
        return 0;
    }
    const LONG previous = state().window_style;
    state().window_style = value;
    sim::log_event("SetWindowLongA");
    return previous;
}

BOOL GetNumberOfConsoleInputEvents(HANDLE input, DWORD* count) {
    sim::machine& m = state();
    if (!sim::is_input(input) || m.input_failures > 0) {
        if (m.input_failures > 0) {
            --m.input_failures;
        }
        return 0;
    }
    *count = static_cast<DWORD>(sim::pending_records());
    sim::log_event("poll");
    return 1;
}

BOOL ReadConsoleInputA(HANDLE input, INPUT_RECORD* records, DWORD length, DWORD* count) {
    *count = 0;
    if (!sim::is_input(input) || length == 0 || !sim::wait_for_record()) {
        return 0;
    }
    records[0] = sim::take_record();
    state().taken.push_back(records[0]);
    *count = 1;
    const KEY_EVENT_RECORD& key = records[0].Event.KeyEvent;
    sim::log_event(records[0].EventType == KEY_EVENT
                       ? std::string("ReadConsoleInputA key ") +
                             std::to_string(key.wVirtualKeyCode) + (key.bKeyDown ? " down" : " up")
                       : "ReadConsoleInputA event " + std::to_string(records[0].EventType));
    return 1;
}

int run_console_command(const char* command) {
    sim::machine& m = state();
    const std::string line = command;
    sim::log_event("command " + line);
    if (line == "chcp 28591") {
        m.code_page = 28591;
        static const char banner[] = "Active code page: 28591";
        DWORD written = 0;
        WriteConsoleA(sim::output_handle(), banner, sizeof banner - 1, &written, nullptr);
        m.cursor = {0, static_cast<SHORT>(std::min(m.cursor.Y + 1, sim::screen_rows - 1))};
        return 0;
    }
    if (line == "cls") {
        sim::clear_screen(m);
        return 0;
    }
    if (line == "pause > NUL") {
        // Waits for one key press and consumes it; other records before it are consumed too.
        while (sim::wait_for_record()) {
            const INPUT_RECORD record = sim::take_record();
            if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) {
                return 0;
            }
        }
        return 1;
    }
    return 1;
}
