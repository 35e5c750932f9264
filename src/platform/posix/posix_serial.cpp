// The serial calls on POSIX terminals: "\\.\COMn" opens the device of the COMn table, exclusively,
// and the line is set raw 8N1 at the exact speed asked; COMMTIMEOUTS are carried out in the one
// wait, which keeps the keyboard live meanwhile. A device that goes away (the USB cable pulled)
// makes reads and writes fail at once, never spin.
#include "common/com_port.h"
#include "platform/comm_definition.h"
#include "platform/posix/posix_backend.h"
#include "platform/posix/posix_handles.h"
#include "platform/posix/posix_wait.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace posix {

namespace {

constexpr DWORD maxdword = 0xFFFFFFFFu;
constexpr int port_slots = 8;

struct serial_port {
    bool in_use;
    int fd;
    bool vanished; // the device went away: every later read and write fails
    COMMTIMEOUTS timeouts;
};

serial_port ports[port_slots];

serial_port* port_of(HANDLE handle) {
    for (serial_port& port : ports) {
        if (port.in_use && handle == static_cast<void*>(&port)) {
            return &port;
        }
    }
    return nullptr;
}

// Whether an error means the device is gone (unplugged, or its other side closed).
bool is_gone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EBADF;
}

// Waits in the one wait until the port is ready to read or write, or the deadline passes (max:
// none). False on time-out.
bool wait_ready(serial_port* port, bool for_write, clock_type::time_point deadline) {
    wait_request request;
    request.fd = port->fd;
    request.for_write = for_write;
    request.deadline = deadline;
    return wait_for(request) == wait_end::ready;
}

tcflag_t data_bits_flag(BYTE size) {
    switch (size) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

} // namespace

int com_number(const char* name) {
    static const char device_prefix[] = "\\\\.\\";
    if (std::strncmp(name, device_prefix, sizeof device_prefix - 1) == 0) {
        name += sizeof device_prefix - 1;
    }
    return com_port_number(name);
}

bool resolve_com_device(const char* name, std::string* path) {
    const int number = com_number(name);
    if (number < 0) {
        return false;
    }
    const char* ports_dir = std::getenv("SIGMA_PORTS");
    struct stat info;
    if (ports_dir != nullptr && *ports_dir != '\0' && stat(ports_dir, &info) == 0 &&
        S_ISDIR(info.st_mode)) {
        *path = std::string(ports_dir) + "/COM" + std::to_string(number);
        return true;
    }
    return system_com_device(number, path);
}

bool close_port_handle(HANDLE handle) {
    serial_port* port = port_of(handle);
    if (port == nullptr) {
        return false;
    }
    // The exclusive mode outlives the descriptor on a terminal that stays open elsewhere (a
    // pseudo-terminal's master): lift it, so that the next program can open the device.
    ioctl(port->fd, TIOCNXCL);
    close(port->fd);
    port->in_use = false;
    port->fd = -1;
    return true;
}

void release_ports_for_exit() {
    // Called from signal handlers too: tcflush, ioctl and close only. What is still waiting to go
    // out is dropped, or the close would wait for a printer that does not read.
    for (serial_port& port : ports) {
        if (port.in_use && port.fd >= 0) {
            tcflush(port.fd, TCOFLUSH);
            ioctl(port.fd, TIOCNXCL);
            close(port.fd);
            port.fd = -1;
            port.in_use = false;
        }
    }
}

} // namespace posix

using posix::serial_port;

HANDLE CreateFileA(const char* name, DWORD access, DWORD share_mode, void*, DWORD creation, DWORD,
                   HANDLE) {
    std::string path;
    if (name == nullptr || creation != OPEN_EXISTING || !posix::resolve_com_device(name, &path)) {
        return INVALID_HANDLE_VALUE;
    }
    serial_port* slot = nullptr;
    for (serial_port& port : posix::ports) {
        if (!port.in_use) {
            slot = &port;
            break;
        }
    }
    if (slot == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    const bool reads = (access & GENERIC_READ) != 0;
    const bool writes = (access & GENERIC_WRITE) != 0;
    const int mode = reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
    // Non-blocking: the open must not wait for a carrier, and the reads wait in poll().
    const int fd = open(path.c_str(), mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return INVALID_HANDLE_VALUE;
    }
    // Only terminals are serial ports: a SIGMA_PORTS entry pointing elsewhere does not open. The
    // waits watch the port with select(), which cannot take a descriptor past FD_SETSIZE.
    termios settings;
    if (tcgetattr(fd, &settings) != 0 || !posix::can_wait_on(fd)) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    if (share_mode == 0) {
        // In use, as Windows' exclusive open refuses it: held open by any other descriptor (most
        // programs open a port without a lock), or locked by another program (flock returns 0 on
        // success). TIOCEXCL then refuses any later open of the device, except by root, whom the
        // lock and the look at the holders still stop.
        if (posix::device_held_elsewhere(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
            ioctl(fd, TIOCEXCL) != 0) {
            close(fd);
            return INVALID_HANDLE_VALUE;
        }
    }
    slot->in_use = true;
    slot->fd = fd;
    slot->vanished = false;
    std::memset(&slot->timeouts, 0, sizeof slot->timeouts);
    return static_cast<HANDLE>(slot);
}

BOOL BuildCommDCBA(const char* definition, DCB* dcb) {
    return definition != nullptr && parse_comm_definition(definition, dcb) ? 1 : 0;
}

BOOL SetCommState(HANDLE handle, DCB* dcb) {
    serial_port* port = posix::port_of(handle);
    if (port == nullptr || dcb == nullptr) {
        return 0;
    }
    termios settings;
    if (tcgetattr(port->fd, &settings) != 0) {
        return 0;
    }
    // Raw: no line editing, no echo, no translation of CR and LF, no flow control.
    settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                               ICRNL | IXON | IXOFF | IXANY | INPCK);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    settings.c_cflag |= posix::data_bits_flag(dcb->ByteSize) | CREAD | CLOCAL;
    if (dcb->Parity == 1 || dcb->Parity == 2) {
        settings.c_cflag |= PARENB | (dcb->Parity == 1 ? PARODD : 0);
        settings.c_iflag |= INPCK;
    }
    if (dcb->StopBits != 0) {
        settings.c_cflag |= CSTOPB;
    }
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    // The exact speed is set after, by the system's own call; this one only has to be valid.
    cfsetispeed(&settings, B38400);
    cfsetospeed(&settings, B38400);
    if (tcsetattr(port->fd, TCSANOW, &settings) != 0 ||
        !posix::set_serial_speed(port->fd, dcb->BaudRate)) {
        return 0;
    }
    // DTR and RTS as asked: raised, as Windows raises them, so an Arduino-style board resets on
    // the open. Terminals without modem lines (pseudo-terminals) refuse this, which is harmless.
    int lines = 0;
    if (dcb->fDtrControl == DTR_CONTROL_ENABLE) {
        lines |= TIOCM_DTR;
    }
    if (dcb->fRtsControl == RTS_CONTROL_ENABLE) {
        lines |= TIOCM_RTS;
    }
    if (lines != 0) {
        ioctl(port->fd, TIOCMBIS, &lines);
    }
    return 1;
}

BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
    serial_port* port = posix::port_of(handle);
    if (port == nullptr || timeouts == nullptr) {
        return 0;
    }
    port->timeouts = *timeouts;
    return 1;
}

// COMMTIMEOUTS as Windows applies them: the total time-out (multiplier x bytes asked + constant)
// bounds the whole read, the interval time-out the gap between two bytes once one has come; all
// zero waits until every byte asked has come; an interval of MAXDWORD with no total returns at
// once with what is there. A time-out is a success with fewer bytes.
BOOL ReadFile(HANDLE handle, void* buffer, DWORD length, DWORD* count, void*) {
    if (count != nullptr) {
        *count = 0;
    }
    serial_port* port = posix::port_of(handle);
    if (port == nullptr || port->vanished || buffer == nullptr) {
        return 0;
    }
    const COMMTIMEOUTS& t = port->timeouts;
    const bool immediate = t.ReadIntervalTimeout == posix::maxdword &&
                           t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
    const uint64_t total_ms =
        static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * length + t.ReadTotalTimeoutConstant;
    const bool has_interval =
        t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != posix::maxdword;
    const posix::clock_type::time_point start = posix::clock_type::now();
    const posix::clock_type::time_point deadline = start + std::chrono::milliseconds(total_ms);
    posix::clock_type::time_point last_byte = start;
    char* out = static_cast<char*>(buffer);
    DWORD got = 0;
    while (got < length) {
        posix::clock_type::time_point until = posix::clock_type::time_point::max();
        if (immediate) {
            until = start;
        } else {
            if (total_ms != 0) {
                until = deadline;
            }
            if (has_interval && got > 0) {
                until =
                    std::min(until, last_byte + std::chrono::milliseconds(t.ReadIntervalTimeout));
            }
        }
        if (!posix::wait_ready(port, false, until)) {
            break;
        }
        const ssize_t n = read(port->fd, out + got, length - got);
        if (n > 0) {
            got += static_cast<DWORD>(n);
            last_byte = posix::clock_type::now();
        } else if (n == 0 || posix::is_gone(errno)) {
            // End of file on a terminal: its other side is gone.
            port->vanished = true;
            break;
        } else if (errno != EAGAIN && errno != EINTR) {
            break;
        }
    }
    if (count != nullptr) {
        *count = got;
    }
    return port->vanished ? 0 : 1;
}

// A write of 0/0 time-outs waits until every byte is out; with a total time-out it gives up then.
BOOL WriteFile(HANDLE handle, const void* buffer, DWORD length, DWORD* count, void*) {
    if (count != nullptr) {
        *count = 0;
    }
    serial_port* port = posix::port_of(handle);
    if (port == nullptr || port->vanished || buffer == nullptr) {
        return 0;
    }
    const COMMTIMEOUTS& t = port->timeouts;
    const uint64_t total_ms =
        static_cast<uint64_t>(t.WriteTotalTimeoutMultiplier) * length + t.WriteTotalTimeoutConstant;
    const posix::clock_type::time_point deadline =
        posix::clock_type::now() + std::chrono::milliseconds(total_ms);
    const char* bytes = static_cast<const char*>(buffer);
    DWORD done = 0;
    while (done < length) {
        const ssize_t n = write(port->fd, bytes + done, length - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            // The printer is not taking bytes. With no time-out the write waits as long as it
            // must, but in the one wait: Ctrl+C and the signals still end the tool.
            const posix::clock_type::time_point until =
                total_ms != 0 ? deadline : posix::clock_type::time_point::max();
            if (!posix::wait_ready(port, true, until)) {
                break;
            }
            continue;
        }
        if (n < 0 && posix::is_gone(errno)) {
            port->vanished = true;
        }
        break;
    }
    if (count != nullptr) {
        *count = done;
    }
    return done == length ? 1 : 0;
}
