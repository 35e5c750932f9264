// How the console and serial halves of the POSIX back end share CloseHandle and the way out.
#pragma once

#include "platform/platform.h"

namespace posix {

// Closes a serial port handle; false when the handle is not one.
bool close_port_handle(HANDLE handle);
// Closes a console handle; false when the handle is not one.
bool close_console_handle(HANDLE handle);
// Lifts the exclusive mode of the open ports and closes them; safe in a signal handler.
void release_ports_for_exit();

} // namespace posix
