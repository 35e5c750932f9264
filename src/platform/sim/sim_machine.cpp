// The simulated machine itself: its one state, the virtual clock that Sleep and the time-outs
// advance, what is scheduled on it, the registry's list of serial devices, and CloseHandle for
// every kind of handle.
#include "platform/sim/sim_internal.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace sim {

namespace {

std::unique_ptr<machine> current;

const HKEY serial_devices_handle = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x400));

} // namespace

void log_event(const std::string& what) {
    machine& m = state();
    if (m.logging) {
        m.log.push_back({m.now_us, what});
    }
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

void set_deadline_ms(uint64_t at_ms) {
    state().deadline_us = at_ms * us_per_ms;
}

} // namespace sim

using sim::state;

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

LONG RegOpenKeyExA(HKEY key, const char* sub_key, DWORD, DWORD, HKEY* result) {
    *result = nullptr;
    if (key != HKEY_LOCAL_MACHINE || std::string(sub_key) != "HARDWARE\\DEVICEMAP\\SERIALCOMM" ||
        !state().serial_devices_listed) {
        return ERROR_FILE_NOT_FOUND;
    }
    *result = sim::serial_devices_handle;
    return ERROR_SUCCESS;
}

LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* name_length, DWORD*, DWORD* type,
                   BYTE* data, DWORD* data_length) {
    const auto& values = state().serial_devices;
    if (key != sim::serial_devices_handle) {
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
    return key == sim::serial_devices_handle ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

void Sleep(DWORD milliseconds) {
    sim::log_event("Sleep " + std::to_string(milliseconds));
    sim::advance_to(state().now_us + milliseconds * sim::us_per_ms);
}

DWORD GetTickCount() {
    return static_cast<DWORD>(state().now_us / sim::us_per_ms);
}
