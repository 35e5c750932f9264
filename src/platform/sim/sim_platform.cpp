// The simulated machine behind the platform calls. Its console and serial behaviour follows what
// the Windows calls do: cursor moves outside the buffer fail, writes wrap at the right edge, read
// time-outs follow COMMTIMEOUTS, an exclusive open of an open device fails.
#include "platform/sim/sim_platform.h"

#include "platform/comm_definition.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace sim {

namespace {

constexpr uintptr_t output_value = 0x100;
constexpr uintptr_t input_value = 0x101;
constexpr uintptr_t device_base = 0x200;
constexpr uintptr_t window_value = 0x300;
constexpr DWORD maxdword = 0xFFFFFFFFu;

std::unique_ptr<machine> current;

void log_event(const std::string& what) {
    machine& m = state();
    if (m.logging) {
        m.log.push_back({m.now_us, what});
    }
}

void clear_screen(machine& m) {
    for (auto& row : m.screen) {
        for (cell& c : row) {
            c.character = ' ';
            c.attribute = m.attribute;
        }
    }
    m.cursor = {0, 0};
}

device* device_of(HANDLE handle) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    machine& m = state();
    if (value < device_base || value >= device_base + m.devices.size()) {
        return nullptr;
    }
    device& d = m.devices[value - device_base];
    return d.open ? &d : nullptr;
}

bool is_output(HANDLE handle) {
    return reinterpret_cast<uintptr_t>(handle) == output_value && state().output_open;
}

bool is_input(HANDLE handle) {
    return reinterpret_cast<uintptr_t>(handle) == input_value && state().input_open;
}

void check_deadline() {
    machine& m = state();
    if (m.deadline_us != 0 && m.now_us > m.deadline_us && !m.timed_out) {
        m.timed_out = true;
        INPUT_RECORD space{};
        space.EventType = KEY_EVENT;
        space.Event.KeyEvent.bKeyDown = 1;
        space.Event.KeyEvent.wVirtualKeyCode = VK_SPACE;
        space.Event.KeyEvent.uChar.AsciiChar = ' ';
        m.input.push_front({m.now_us, space});
    }
}

void advance_to(uint64_t time_us) {
    machine& m = state();
    while (!m.scheduled.empty() && m.scheduled.front().first <= time_us) {
        m.now_us = std::max(m.now_us, m.scheduled.front().first);
        const std::function<void()> action = m.scheduled.front().second;
        m.scheduled.pop_front();
        action();
    }
    m.now_us = std::max(m.now_us, time_us);
    check_deadline();
}

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

} // namespace

machine& state() {
    if (!current) {
        reset();
    }
    return *current;
}

void reset() {
    current = std::make_unique<machine>();
    // Tests hold references to their devices: keep the entries in place as devices are added.
    current->devices.reserve(64);
    clear_screen(*current);
}

uint64_t now_ms() {
    return state().now_us / us_per_ms;
}

device& add_device(const std::string& name, device_kind kind) {
    machine& m = state();
    m.devices.push_back(device{});
    m.devices.back().name = name;
    m.devices.back().kind = kind;
    return m.devices.back();
}

device* find_device(const std::string& name) {
    for (device& d : state().devices) {
        if (d.name == name) {
            return &d;
        }
    }
    return nullptr;
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

void printer_sends(device& printer, uint64_t from_us, const std::string& bytes,
                   uint64_t spacing_us) {
    uint64_t at = from_us;
    if (!printer.incoming.empty()) {
        at = std::max(at, printer.incoming.back().arrival_us + spacing_us);
    }
    for (char byte : bytes) {
        printer.incoming.push_back({at, byte});
        at += spacing_us;
    }
}

void schedule(uint64_t at_ms, std::function<void()> action) {
    auto& scheduled = state().scheduled;
    const uint64_t at_us = at_ms * us_per_ms;
    auto position =
        std::upper_bound(scheduled.begin(), scheduled.end(), at_us,
                         [](uint64_t t, const std::pair<uint64_t, std::function<void()>>& s) {
                             return t < s.first;
                         });
    scheduled.insert(position, {at_us, std::move(action)});
}

void pull_cable(device& printer) {
    printer.vanished = true;
    printer.plugged = false;
}

void plug_back(device& printer) {
    printer.plugged = true;
}

void answer_each_line(device& printer, const std::string& reply, uint64_t delay_us) {
    printer.on_write = [reply, delay_us](device& d, const std::string& bytes) {
        if (!bytes.empty() && bytes.back() == '\n') {
            printer_sends(d, state().now_us + delay_us, reply);
        }
    };
}

void set_deadline_ms(uint64_t at_ms) {
    state().deadline_us = at_ms * us_per_ms;
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

std::string wire(const device& printer) {
    std::string all;
    for (const written_line& line : printer.written) {
        all += line.bytes;
    }
    return all;
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

HANDLE CreateFileA(const char* name, DWORD access, DWORD share_mode, void*, DWORD creation,
                   DWORD flags, HANDLE) {
    sim::machine& m = state();
    m.open_attempts.push_back(name);
    sim::log_event(std::string("CreateFileA ") + name);
    for (size_t i = 0; i < m.devices.size(); ++i) {
        sim::device& d = m.devices[i];
        if (d.name != name) {
            continue;
        }
        // A device another program holds, or one already open, refuses an exclusive open.
        if (!d.plugged || d.kind == sim::device_kind::held || (d.open && share_mode == 0)) {
            return INVALID_HANDLE_VALUE;
        }
        d.open = true;
        d.vanished = false;
        ++d.opens;
        d.access = access;
        d.share_mode = share_mode;
        d.creation = creation;
        d.flags = flags;
        return reinterpret_cast<HANDLE>(sim::device_base + i);
    }
    return INVALID_HANDLE_VALUE;
}

BOOL BuildCommDCBA(const char* definition, DCB* dcb) {
    sim::log_event(std::string("BuildCommDCBA ") + definition);
    return parse_comm_definition(definition, dcb) ? 1 : 0;
}

BOOL SetCommState(HANDLE port, DCB* dcb) {
    sim::device* d = sim::device_of(port);
    sim::log_event("SetCommState");
    if (d == nullptr || (d->kind == sim::device_kind::refuses_speed && dcb->BaudRate > 115200)) {
        return 0;
    }
    d->dcb = *dcb;
    d->dcb_set = true;
    return 1;
}

BOOL SetCommTimeouts(HANDLE port, COMMTIMEOUTS* timeouts) {
    sim::device* d = sim::device_of(port);
    sim::log_event("SetCommTimeouts");
    if (d == nullptr) {
        return 0;
    }
    d->timeouts = *timeouts;
    d->timeouts_set = true;
    return 1;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD length, DWORD* count, void*) {
    *count = 0;
    sim::device* d = sim::device_of(file);
    if (d == nullptr || d->vanished) {
        return 0;
    }
    sim::machine& m = state();
    const COMMTIMEOUTS& t = d->timeouts;
    char* out = static_cast<char*>(buffer);
    // Interval MAXDWORD with no total time-out: return at once with what is there.
    const bool immediate = t.ReadIntervalTimeout == sim::maxdword &&
                           t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
    const uint64_t total_ms =
        static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * length + t.ReadTotalTimeoutConstant;
    const bool has_total = total_ms != 0;
    const bool has_interval = t.ReadIntervalTimeout != 0 && !immediate;
    const uint64_t deadline = m.now_us + total_ms * sim::us_per_ms;
    uint64_t last_byte = 0;
    while (*count < length) {
        if (d->incoming.empty() && (immediate || has_total || (has_interval && *count > 0))) {
            // Nothing more will come: the read ends at its time-out.
            if (!immediate) {
                uint64_t end = has_total ? deadline : UINT64_MAX;
                if (has_interval && *count > 0) {
                    end = std::min(end, last_byte + t.ReadIntervalTimeout * sim::us_per_ms);
                }
                sim::advance_to(end);
            }
            break;
        }
        if (d->incoming.empty()) {
            m.timed_out = true; // a read with no time-out would wait for ever
            break;
        }
        const uint64_t arrival = std::max(d->incoming.front().arrival_us, m.now_us);
        if (immediate && arrival > m.now_us) {
            break;
        }
        uint64_t limit = has_total ? deadline : UINT64_MAX;
        if (has_interval && *count > 0) {
            limit = std::min(limit, last_byte + t.ReadIntervalTimeout * sim::us_per_ms);
        }
        if (arrival > limit) {
            sim::advance_to(limit);
            break;
        }
        sim::advance_to(arrival);
        out[(*count)++] = d->incoming.front().byte;
        d->incoming.pop_front();
        last_byte = arrival;
    }
    return 1;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD length, DWORD* count, void*) {
    *count = 0;
    sim::device* d = sim::device_of(file);
    if (d == nullptr || d->vanished) {
        return 0;
    }
    if (d->writes == sim::write_behaviour::fails) {
        sim::log_event("WriteFile failed");
        return 0;
    }
    if (d->writes == sim::write_behaviour::stalls) {
        const uint64_t limit_ms =
            static_cast<uint64_t>(d->timeouts.WriteTotalTimeoutMultiplier) * length +
            d->timeouts.WriteTotalTimeoutConstant;
        if (limit_ms == 0) {
            state().timed_out = true; // a write with no time-out would wait for ever
        }
        sim::advance_to(state().now_us + limit_ms * sim::us_per_ms);
        sim::log_event("WriteFile timed out");
        return 0;
    }
    const std::string bytes(static_cast<const char*>(buffer), length);
    d->written.push_back({state().now_us, bytes});
    sim::log_event("WriteFile " + bytes);
    *count = length;
    if (d->on_write) {
        d->on_write(*d, bytes);
    }
    return 1;
}

BOOL CloseHandle(HANDLE handle) {
    sim::machine& m = state();
    if (sim::is_output(handle)) {
        m.output_open = false;
        sim::log_event("CloseHandle output");
        return 1;
    }
    if (sim::is_input(handle)) {
        m.input_open = false;
        sim::log_event("CloseHandle input");
        return 1;
    }
    sim::device* d = sim::device_of(handle);
    if (d == nullptr) {
        sim::log_event("CloseHandle invalid");
        return 0;
    }
    d->open = false;
    ++d->closes;
    sim::log_event("CloseHandle " + d->name);
    return 1;
}

namespace {

const HKEY serial_devices_handle = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x400));

} // namespace

LONG RegOpenKeyExA(HKEY key, const char* sub_key, DWORD, DWORD, HKEY* result) {
    *result = nullptr;
    if (key != HKEY_LOCAL_MACHINE || std::string(sub_key) != "HARDWARE\\DEVICEMAP\\SERIALCOMM" ||
        !state().serial_devices_listed) {
        return ERROR_FILE_NOT_FOUND;
    }
    *result = serial_devices_handle;
    return ERROR_SUCCESS;
}

LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* name_length, DWORD*, DWORD* type,
                   BYTE* data, DWORD* data_length) {
    const auto& values = state().serial_devices;
    if (key != serial_devices_handle) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (index >= values.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    const std::string& object = values[index].first;
    const std::string& com = values[index].second;
    // The name's room counts its zero; the data's length counts the zero the string data has.
    if (object.size() + 1 > *name_length || com.size() + 1 > *data_length) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(name, object.c_str(), object.size() + 1);
    *name_length = static_cast<DWORD>(object.size());
    std::memcpy(data, com.c_str(), com.size() + 1);
    *data_length = static_cast<DWORD>(com.size() + 1);
    *type = REG_SZ;
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
    return key == serial_devices_handle ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

void Sleep(DWORD milliseconds) {
    sim::log_event("Sleep " + std::to_string(milliseconds));
    sim::advance_to(state().now_us + milliseconds * sim::us_per_ms);
}

DWORD GetTickCount() {
    return static_cast<DWORD>(state().now_us / sim::us_per_ms);
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
