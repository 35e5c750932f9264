#include "link/printer_link.h"

#include "common/com_port.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char device_prefix[] = "\\\\.\\COM";
constexpr char line_definition[] = "250000,n,8,1";
// A printer that never pauses would hold the drain for ever; an ordinary start banner is about
// 900 bytes sent within 70 ms, far inside both bounds.
constexpr DWORD settle_drain_limit_ms = 1000;
constexpr DWORD settle_drain_limit_bytes = 64 * 1024;
// A command line is a few dozen bytes; a port that cannot take one in a second is not taking
// anything (a printer that stopped reading, a driver that hangs).
constexpr DWORD write_limit_ms = 1000;
// At 250000 baud about 25 bytes come per millisecond: a few pieces of a reply's size per call
// keep up with any printer, and a flood cannot hold the caller for long.
constexpr int reads_per_call = 8;
constexpr DWORD maxdword = 0xFFFFFFFFu;

// The system's list of serial devices: one value per device, named by its device object, whose
// data is its COM name.
constexpr char serial_devices_key[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr int serial_devices_limit = 256;
constexpr int port_count = printer_port_last - printer_port_first + 1;

// Reads at most one byte, waiting no longer than the port's time-outs allow (about 2 ms).
// Returns whether a byte came.
bool read_one_byte(HANDLE port, char* into) {
    DWORD count = 0;
    // ReadFile returns non-zero on success; a time-out is a success with no byte.
    return ReadFile(port, into, 1, &count, nullptr) != 0 && count == 1;
}

// The read time-outs asked, and the write time-out every write has. SetCommTimeouts' result is
// not looked at: a port that refuses them is still the only one there is.
void set_port_timeouts(HANDLE port, DWORD read_interval, DWORD read_per_byte, DWORD read_constant) {
    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0, sizeof timeouts);
    timeouts.ReadIntervalTimeout = read_interval;
    timeouts.ReadTotalTimeoutMultiplier = read_per_byte;
    timeouts.ReadTotalTimeoutConstant = read_constant;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = write_limit_ms;
    SetCommTimeouts(port, &timeouts);
}

bool starts_with(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// "\Device\Serial<n>" (a motherboard or PCI UART) or "\Device\BthModem<n>" (a Bluetooth link):
// ports that open but never have a printer behind them.
bool is_never_a_printer(const char* device_object) {
    static const char* const kinds[] = {"\\Device\\Serial", "\\Device\\BthModem"};
    for (const char* kind : kinds) {
        if (!starts_with(device_object, kind)) {
            continue;
        }
        const char* digits = device_object + std::strlen(kind);
        if (*digits == '\0') {
            return false;
        }
        for (; *digits != '\0'; ++digits) {
            if (*digits < '0' || *digits > '9') {
                return false;
            }
        }
        return true;
    }
    return false;
}

// Marks the ports the system lists as never a printer. Leaves every mark clear when the list
// cannot be read.
void mark_ports_never_a_printer(bool* never) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, serial_devices_key, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return;
    }
    for (DWORD index = 0; index < serial_devices_limit; ++index) {
        char device_object[128];
        BYTE com_name[16];
        std::memset(device_object, 0, sizeof device_object);
        std::memset(com_name, 0, sizeof com_name);
        DWORD object_length = sizeof device_object - 1;
        DWORD name_length = sizeof com_name - 1;
        DWORD type = 0;
        const LONG result = RegEnumValueA(key, index, device_object, &object_length, nullptr, &type,
                                          com_name, &name_length);
        if (result == ERROR_NO_MORE_ITEMS) {
            break;
        }
        // A value too long for the room is no COM port of the range; the zero fill ends the
        // data, which the registry does not promise to do.
        if (result != ERROR_SUCCESS || type != REG_SZ) {
            continue;
        }
        const int number = com_port_number(reinterpret_cast<const char*>(com_name));
        if (number >= 0 && is_never_a_printer(device_object)) {
            never[number - printer_port_first] = true;
        }
    }
    RegCloseKey(key);
}

// Counts each line that begins with "ok" and then ends or goes on after a blank: "ok",
// "ok T:21.0 /0.0", "ok N12 P15 B3". A line ends at a line feed or a carriage return, so LF and
// CR LF endings count once; "o" in one read and "k\n" in the next count too.
void take_reply_byte(printer_replies* replies, char received) {
    if (received == '\n' || received == '\r') {
        const char* head = replies->line_head;
        if (replies->head_length >= 2 && head[0] == 'o' && head[1] == 'k' &&
            (replies->head_length == 2 || head[2] == ' ' || head[2] == '\t')) {
            ++replies->answers;
        }
        replies->head_length = 0;
        return;
    }
    if (replies->head_length < static_cast<int>(sizeof replies->line_head)) {
        replies->line_head[replies->head_length++] = received;
    }
}

} // namespace

void order_printer_ports(int* order) {
    bool never[port_count];
    std::memset(never, 0, sizeof never);
    mark_ports_never_a_printer(never);
    int next = 0;
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < port_count; ++i) {
            if (never[i] == (pass == 1)) {
                order[next++] = printer_port_first + i;
            }
        }
    }
}

int open_printer_port(HANDLE* port, const char* name) {
    *port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (*port == INVALID_HANDLE_VALUE) {
        return -1;
    }
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    // Both return zero on failure. A device that cannot take the line settings (a UART whose
    // top speed is below 250000 baud) is no printer's port: it is closed, so that it is not left
    // held while the search moves on.
    if (BuildCommDCBA(line_definition, &dcb) == 0 || SetCommState(*port, &dcb) == 0) {
        CloseHandle(*port);
        *port = INVALID_HANDLE_VALUE;
        return -1;
    }
    // A one-byte read waits about 2 ms for a byte: the settle's drain ends at such a gap.
    set_port_timeouts(*port, 1, 1, 1);
    return 1;
}

int find_printer_port(HANDLE* port, char* name) {
    int order[port_count];
    order_printer_ports(order);
    for (int number : order) {
        std::memset(name, 0, port_name_size);
        std::snprintf(name, port_name_size, "%s%hu", device_prefix,
                      static_cast<unsigned short>(number));
        if (open_printer_port(port, name) > 0) {
            return 1;
        }
    }
    return -1;
}

void settle_printer_port(HANDLE port) {
    Sleep(printer_start_ms);
    drain_printer_port(port);
}

void drain_printer_port(HANDLE port) {
    // The start banner is dropped, so that the first answer read belongs to the first line.
    const DWORD drain_start = GetTickCount();
    char received = 0;
    for (DWORD drained = 0; drained < settle_drain_limit_bytes; ++drained) {
        if (GetTickCount() - drain_start >= settle_drain_limit_ms ||
            !read_one_byte(port, &received)) {
            break;
        }
    }
    // From now on the loop looks at the port on every pass: a read returns at once with what
    // has come, so that looking costs the loop none of its pauses.
    set_port_timeouts(port, maxdword, 0, 0);
}

int send_height_command(HANDLE port, const char* text) {
    const DWORD length = static_cast<DWORD>(std::strlen(text));
    DWORD written = 0;
    // WriteFile returns zero on failure; a write that runs out of time either fails or writes
    // less, depending on the driver: both mean the printer did not take the line.
    if (WriteFile(port, text, length, &written, nullptr) == 0 || written != length) {
        return -1;
    }
    return 1;
}

int read_printer_reply(HANDLE port, char* buffer, printer_replies* replies) {
    int taken = 0;
    for (int read = 0; read < reads_per_call; ++read) {
        std::memset(buffer, 0, line_buffer_size);
        DWORD count = 0;
        if (ReadFile(port, buffer, reply_limit, &count, nullptr) == 0) {
            return -1;
        }
        for (DWORD i = 0; i < count; ++i) {
            take_reply_byte(replies, buffer[i]);
        }
        taken += static_cast<int>(count);
        if (count < static_cast<DWORD>(reply_limit)) {
            break;
        }
    }
    return taken;
}

void forget_printer_replies(printer_replies* replies) {
    std::memset(replies, 0, sizeof *replies);
}
