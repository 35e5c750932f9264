// The tool's only connection to the printer: finds the first serial device among COM0..COM20
// that opens, sets it to 250000 baud 8N1, lets the printer settle, writes command lines and reads
// replies. It knows nothing of heights or keys. Results: 1 for success, -1 for failure.
#pragma once

#include "platform/platform.h"

constexpr int printer_port_first = 0;
constexpr int printer_port_last = 20;
constexpr int reply_limit = 254;

int open_printer_port(HANDLE* port, const char* name);
int find_printer_port(HANDLE* port);
void settle_printer_port(HANDLE port);
void send_height_command(HANDLE port, const char* text);
void read_printer_reply(HANDLE port, char* buffer);
