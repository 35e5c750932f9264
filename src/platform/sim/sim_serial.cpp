// The simulated serial devices: present, held by another program, too slow for the line's speed,
// or unplugged; reads follow COMMTIMEOUTS on the virtual clock, writes can be taken, stall or
// fail, and scripted printers answer what is written.
#include "platform/sim/sim_internal.h"

#include "platform/comm_definition.h"

#include <algorithm>

namespace sim {

device* device_of(HANDLE handle) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    machine& m = state();
    if (value < device_base || value >= device_base + m.devices.size()) {
        return nullptr;
    }
    device& d = m.devices[value - device_base];
    return d.open ? &d : nullptr;
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

std::string wire(const device& printer) {
    std::string all;
    for (const written_line& line : printer.written) {
        all += line.bytes;
    }
    return all;
}

} // namespace sim

using sim::state;

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
