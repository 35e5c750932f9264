// The one wait of the POSIX back end. Every wait (Sleep, a console read with nothing queued, a
// serial read or write that has to wait, a terminal slow to take its output) is this select()
// over the keyboard, the signals' wake-up pipe and at most one more descriptor, so that keys,
// Ctrl+C and signals are attended to whatever the tool waits for. select(), not poll(): macOS
// does not poll terminal devices.
#pragma once

#include <chrono>

namespace posix {

using clock_type = std::chrono::steady_clock;

enum class wait_end {
    ready,      // the descriptor is ready (or in error: the caller's read or write says which)
    timed_out,  // the deadline passed
    key_queued, // an input record is queued (only when asked for)
};

struct wait_request {
    int fd = -1;            // a descriptor to wait for, or -1 for none
    bool for_write = false; // wait until it takes bytes, rather than until it has some
    clock_type::time_point deadline = clock_type::time_point::max(); // max: no deadline
    bool until_key = false; // also end as soon as an input record is queued
};

wait_end wait_for(const wait_request& request);

// Whether select() can watch the descriptor (it must lie below FD_SETSIZE).
bool can_wait_on(int fd);

} // namespace posix
