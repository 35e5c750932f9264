// The tool's only connection to the printer: finds the printer's serial device among
// COM0..COM20, sets it to 250000 baud 8N1, lets the printer settle, writes command lines and
// reads what the printer answers, counting its "ok" lines. It knows nothing of heights or keys.
// Results: 1 for success, -1 for failure, unless a function says otherwise.
#pragma once

#include "common/tool_limits.h"
#include "platform/platform.h"

// How long a printer takes to start once its port is opened: an Arduino-style board resets on
// the open, and its firmware speaks after its boot loader.
constexpr DWORD printer_start_ms = 2222;

// Room for a device name, "\\.\COM20" and its zero byte with room to spare.
constexpr int port_name_size = 20;

// What is known of the line the printer is sending, kept by the caller between reads so that an
// "ok" split across two reads still counts once.
struct printer_replies {
    char line_head[3]; // the first bytes of the line so far
    int head_length;
    int answers; // "ok" lines seen and not yet taken by the caller
};

// The order the search tries COM0..COM20 in: ports the system names as a motherboard or
// Bluetooth serial device last, since a printer is behind neither. `order` gets every number
// of the range once; without the system's list, the numbers in order.
void order_printer_ports(int* order);

int open_printer_port(HANDLE* port, const char* name);
// Opens the first port that opens, in the search order; its name goes to `name`
// (port_name_size bytes).
int find_printer_port(HANDLE* port, char* name);
// Waits for the printer to start, then drains its start banner.
void settle_printer_port(HANDLE port);
// Drops what the printer has sent, up to the first gap of about 2 ms (within 1 s and 64 KiB);
// from then on a read takes only what has come, without waiting.
void drain_printer_port(HANDLE port);
// Writes the whole zero-terminated line; -1 when the port fails or does not take it in time.
int send_height_command(HANDLE port, const char* text);
// Takes what the printer has sent so far into `buffer` (line_buffer_size bytes), piece by piece,
// and counts the "ok" lines in it. The number of bytes taken, or -1 when the device is gone.
int read_printer_reply(HANDLE port, char* buffer, printer_replies* replies);
// Resets what is known of the printer's line, for a freshly opened port.
void forget_printer_replies(printer_replies* replies);
