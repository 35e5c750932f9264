// The console's handles and the command interpreter's stand-in on a terminal. Each console call
// takes the terminal on first use; the drawing, the keyboard and the terminal's start and end
// are in files of their own (see posix_console.h).
#include "platform/posix/posix_console.h"
#include "platform/posix/posix_handles.h"

#include <cstdint>
#include <cstring>

namespace posix {

namespace {

const HANDLE output_handle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x10));
const HANDLE input_handle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x11));
bool output_open = true;
bool input_open = true;

} // namespace

bool console_output_open(HANDLE handle) {
    return handle == output_handle && output_open;
}

bool console_input_open(HANDLE handle) {
    return handle == input_handle && input_open;
}

bool input_handle_open() {
    return input_open;
}

bool close_console_handle(HANDLE handle) {
    if (handle == output_handle && output_open) {
        output_open = false;
        return true;
    }
    if (handle == input_handle && input_open) {
        input_open = false;
        return true;
    }
    return false;
}

} // namespace posix

HANDLE GetStdHandle(DWORD std_handle) {
    posix::take_terminal();
    if (std_handle == STD_OUTPUT_HANDLE) {
        return posix::output_handle;
    }
    if (std_handle == STD_INPUT_HANDLE) {
        return posix::input_handle;
    }
    return INVALID_HANDLE_VALUE;
}

BOOL CloseHandle(HANDLE handle) {
    return posix::close_port_handle(handle) || posix::close_console_handle(handle) ? 1 : 0;
}

// A terminal has no window of the tool's own to restyle.
HWND GetConsoleWindow() {
    return nullptr;
}

LONG GetWindowLongA(HWND, int) {
    return 0;
}

LONG SetWindowLongA(HWND, int, LONG) {
    return 0;
}

int run_console_command(const char* command) {
    if (command == nullptr) {
        return 1;
    }
    posix::take_terminal();
    if (std::strcmp(command, "chcp 28591") == 0) {
        // Single-byte texts are ISO 8859-1 from now on.
        posix::set_display_latin1();
        return 0;
    }
    if (std::strcmp(command, "cls") == 0) {
        posix::clear_display();
        return 0;
    }
    if (std::strcmp(command, "pause > NUL") == 0) {
        return posix::wait_for_key_press() ? 0 : 1;
    }
    return 1;
}
