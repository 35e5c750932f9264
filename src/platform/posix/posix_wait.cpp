// The one wait (see posix_wait.h), and the two timing calls built on it: Sleep watches the
// keyboard while it sleeps, so that Ctrl+C ends the tool at once even during the printer's
// settle and keys typed then are queued in order.
#include "platform/posix/posix_wait.h"
#include "platform/posix/posix_console.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

namespace posix {

namespace {

// The select() time-out for a wait until `until`; nullptr for none.
timeval* time_left(clock_type::time_point until, timeval* room) {
    if (until == clock_type::time_point::max()) {
        return nullptr;
    }
    const long long ns = std::max<long long>(
        0, std::chrono::duration_cast<std::chrono::nanoseconds>(until - clock_type::now()).count());
    // Rounded up, so that a wait never ends before its deadline.
    const long long us = (ns + 999) / 1000;
    room->tv_sec = static_cast<time_t>(us / 1000000);
    room->tv_usec = static_cast<suseconds_t>(us % 1000000);
    return room;
}

void watch(int fd, fd_set* set, int* top) {
    if (fd >= 0 && can_wait_on(fd)) {
        FD_SET(fd, set);
        *top = std::max(*top, fd);
    }
}

} // namespace

bool can_wait_on(int fd) {
    return fd >= 0 && fd < FD_SETSIZE;
}

wait_end wait_for(const wait_request& request) {
    for (;;) {
        attend_to_signals();
        decode_held_keys();
        if (request.until_key && records_queued()) {
            return wait_end::key_queued;
        }
        const int key_fd = keyboard_fd();
        const int wake_fd = signal_wake_fd();
        fd_set readable;
        fd_set writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        int top = -1;
        watch(key_fd, &readable, &top);
        watch(wake_fd, &readable, &top);
        watch(request.fd, request.for_write ? &writable : &readable, &top);
        timeval room;
        const clock_type::time_point until = std::min(request.deadline, held_keys_deadline());
        const int ready = select(top + 1, &readable, &writable, nullptr, time_left(until, &room));
        if (ready < 0) {
            if (errno == EINTR) {
                continue; // a signal: attended to at the top
            }
            if (key_fd >= 0 && fcntl(key_fd, F_GETFL) < 0) {
                // Standard input was closed under us: the same as its end.
                take_keyboard_bytes();
                continue;
            }
            // The descriptor waited for is bad: the caller's read or write reports it.
            return request.fd >= 0 ? wait_end::ready : wait_end::timed_out;
        }
        if (wake_fd >= 0 && FD_ISSET(wake_fd, &readable)) {
            drain_signal_wake();
        }
        if (key_fd >= 0 && FD_ISSET(key_fd, &readable)) {
            take_keyboard_bytes();
        }
        // A Ctrl+C just read ends the tool here, before the caller goes on.
        attend_to_signals();
        if (request.fd >= 0 && FD_ISSET(request.fd, request.for_write ? &writable : &readable)) {
            return wait_end::ready;
        }
        if (request.until_key && records_queued()) {
            return wait_end::key_queued;
        }
        if (clock_type::now() >= request.deadline) {
            return wait_end::timed_out;
        }
    }
}

} // namespace posix

void Sleep(DWORD milliseconds) {
    posix::wait_request request;
    request.deadline = posix::clock_type::now() + std::chrono::milliseconds(milliseconds);
    posix::wait_for(request);
}

DWORD GetTickCount() {
    const auto since_start = posix::clock_type::now().time_since_epoch();
    return static_cast<DWORD>(
        std::chrono::duration_cast<std::chrono::milliseconds>(since_start).count());
}
