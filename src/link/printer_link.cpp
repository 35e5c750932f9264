#include "link/printer_link.h"

#include "common/tool_limits.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char device_prefix[] = "\\\\.\\COM";
constexpr int device_name_size = 20;
constexpr char line_definition[] = "250000,n,8,1";
constexpr DWORD settle_wait_ms = 2222;
// A printer that never pauses would hold the drain for ever; an ordinary start banner is about
// 900 bytes sent within 70 ms, far inside both bounds.
constexpr DWORD settle_drain_limit_ms = 1000;
constexpr DWORD settle_drain_limit_bytes = 64 * 1024;
constexpr char carriage_return = '\r';

// Reads at most one byte, waiting no longer than the port's time-outs allow (about 2 ms).
// Returns whether a byte came.
bool read_one_byte(HANDLE port, char* into) {
    DWORD count = 0;
    // ReadFile returns non-zero on success; a time-out is a success with no byte.
    return ReadFile(port, into, 1, &count, nullptr) != 0 && count == 1;
}

} // namespace

int open_printer_port(HANDLE* port, const char* name) {
    *port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (*port == INVALID_HANDLE_VALUE) {
        return -1;
    }
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    // BuildCommDCBA returns zero when it cannot parse the definition. The device is closed then,
    // so a refused device is not left held while the search moves on.
    if (BuildCommDCBA(line_definition, &dcb) == 0) {
        CloseHandle(*port);
        *port = INVALID_HANDLE_VALUE;
        return -1;
    }
    SetCommState(*port, &dcb);
    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0, sizeof timeouts);
    timeouts.ReadIntervalTimeout = 1;
    timeouts.ReadTotalTimeoutMultiplier = 1;
    timeouts.ReadTotalTimeoutConstant = 1;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    SetCommTimeouts(*port, &timeouts);
    return 1;
}

int find_printer_port(HANDLE* port) {
    char name[device_name_size];
    for (int number = printer_port_first; number <= printer_port_last; ++number) {
        std::memset(name, 0, sizeof name);
        std::snprintf(name, sizeof name, "%s%hu", device_prefix,
                      static_cast<unsigned short>(number));
        if (open_printer_port(port, name) > 0) {
            return 1;
        }
    }
    return -1;
}

void settle_printer_port(HANDLE port) {
    // The printer may reset when the port opens; the wait lets it start, and the drain drops its
    // start banner so that the first reply read belongs to the first command.
    Sleep(settle_wait_ms);
    const DWORD drain_start = GetTickCount();
    char received = 0;
    for (DWORD drained = 0; drained < settle_drain_limit_bytes; ++drained) {
        if (GetTickCount() - drain_start >= settle_drain_limit_ms ||
            !read_one_byte(port, &received)) {
            return;
        }
    }
}

void send_height_command(HANDLE port, const char* text) {
    DWORD written = 0;
    WriteFile(port, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

void read_printer_reply(HANDLE port, char* buffer) {
    std::memset(buffer, 0, line_buffer_size);
    char received = 0;
    for (int stored = 0; stored < reply_limit && read_one_byte(port, &received);) {
        buffer[stored++] = received;
        if (received == carriage_return) {
            return;
        }
    }
}
