// What the parts of the simulated machine share among themselves: the handle values, the log,
// the clock, and the look-ups from a handle to what it stands for.
#pragma once

#include "platform/sim/sim_platform.h"

#include <string>

namespace sim {

constexpr uintptr_t output_value = 0x100;
constexpr uintptr_t input_value = 0x101;
constexpr uintptr_t device_base = 0x200;
constexpr uintptr_t window_value = 0x300;
constexpr DWORD maxdword = 0xFFFFFFFFu;

// Adds an entry to the machine's log, when it keeps one.
void log_event(const std::string& what);
// Moves the clock on to the time, running what was scheduled up to it; past the deadline a
// space bar is queued.
void advance_to(uint64_t time_us);

void clear_screen(machine& m);
bool is_output(HANDLE handle);
bool is_input(HANDLE handle);
// Records that have arrived by now and wait to be read.
size_t pending_records();
// Waits for the next record to arrive, as a blocking console read does. False when none ever will.
bool wait_for_record();
INPUT_RECORD take_record();

// The open device behind a handle, or null.
device* device_of(HANDLE handle);

} // namespace sim
