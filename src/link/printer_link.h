// The tool's only connection to the printer: finds the first serial device among COM0..COM20
// that opens, sets it to 250000 baud 8N1, lets the printer settle, writes command lines and reads
// replies. It knows nothing of heights or keys. Results: 1 for success, -1 for failure.
#pragma once

#include "common/tool_limits.h"
#include "platform/platform.h"

int open_printer_port(HANDLE* port, const char* name);
int find_printer_port(HANDLE* port);
void settle_printer_port(HANDLE port);
void send_height_command(HANDLE port, const char* text);
void read_printer_reply(HANDLE port, char* buffer);
