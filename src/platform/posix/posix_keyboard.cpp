// The keyboard of a terminal as a console's input records. The bytes typed come in raw mode and
// are decoded into key records (a press, then at once its release: a terminal reports no
// release); a resize queues a window-size record. Ctrl+C and Ctrl+Z act as the terminal's driver
// would with its signals on: Ctrl+C ends the tool, Ctrl+Z stops it. At the end of input (end of
// file, a terminal hung up) one space bar is queued after what came before, so the tool ends as
// the space bar ends it.
#include "platform/posix/posix_backend.h"
#include "platform/posix/posix_console.h"
#include "platform/posix/posix_wait.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <deque>

#include <fcntl.h>
#include <unistd.h>

namespace posix {

namespace {

constexpr auto escape_quiet = std::chrono::milliseconds(25); // an ESC then quiet: the Escape key
constexpr char stop_character = 0x1A;                        // Ctrl+Z

struct keyboard_state {
    bool ended = false; // end of input: nothing more will come
    std::deque<INPUT_RECORD> records;
    unsigned char held[64]; // bytes not yet decoded: the start of an escape or UTF-8 sequence
    size_t held_count = 0;
    clock_type::time_point last_byte_time;
};

keyboard_state keyboard;

void queue_key(WORD virtual_key, char character, DWORD control_state) {
    INPUT_RECORD record;
    std::memset(&record, 0, sizeof record);
    record.EventType = KEY_EVENT;
    KEY_EVENT_RECORD& k = record.Event.KeyEvent;
    k.bKeyDown = 1;
    k.wRepeatCount = 1;
    k.wVirtualKeyCode = virtual_key;
    k.uChar.AsciiChar = character;
    k.dwControlKeyState = control_state;
    keyboard.records.push_back(record);
    // A terminal reports no release: it follows the press at once.
    k.bKeyDown = 0;
    keyboard.records.push_back(record);
}

// The signal a key raises on a terminal, or 0.
int signal_of(const decoded_key& key) {
    if ((key.control_state & LEFT_CTRL_PRESSED) == 0 || (key.control_state & LEFT_ALT_PRESSED)) {
        return 0;
    }
    if (key.character == interrupt_character) {
        return SIGINT;
    }
    // Piped input has no terminal to give back: there Ctrl+Z stays a key, as in a console.
    if (key.character == stop_character && terminal.input_is_tty) {
        return SIGTSTP;
    }
    return 0;
}

// Decodes the held bytes into records; `quiet` when the terminal has sent nothing for long enough
// that a sequence begun is all there is. Stops after a key that raises a signal, so that what was
// typed after it waits until the signal has been attended to.
void decode_held(bool quiet) {
    while (keyboard.held_count > 0) {
        decoded_key key;
        size_t used = 0;
        const decode_result result =
            decode_key(keyboard.held, keyboard.held_count, quiet, &key, &used);
        if (result == decode_result::need_more || used == 0) {
            return;
        }
        std::memmove(keyboard.held, keyboard.held + used, keyboard.held_count - used);
        keyboard.held_count -= used;
        if (result != decode_result::key) {
            continue;
        }
        const int signal_number = signal_of(key);
        if (signal_number != 0) {
            signal_from_keyboard(signal_number);
            return;
        }
        queue_key(key.virtual_key, key.character, key.control_state);
    }
}

void end_of_input() {
    if (keyboard.ended) {
        return;
    }
    decode_held(true);
    keyboard.ended = true;
    queue_key(VK_SPACE, ' ', 0);
}

} // namespace

int keyboard_fd() {
    return terminal.started && !keyboard.ended && input_handle_open() ? STDIN_FILENO : -1;
}

void take_keyboard_bytes() {
    if (keyboard.held_count == sizeof keyboard.held) {
        // No sequence is this long: what is held is decoded as it stands.
        decode_held(true);
    }
    const size_t room = sizeof keyboard.held - keyboard.held_count;
    const ssize_t n = read(STDIN_FILENO, keyboard.held + keyboard.held_count, room);
    if (n > 0) {
        keyboard.held_count += static_cast<size_t>(n);
        keyboard.last_byte_time = clock_type::now();
        decode_held(false);
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        // End of file, or a terminal hung up (EIO).
        end_of_input();
    }
}

void decode_held_keys() {
    if (keyboard.held_count > 0 && clock_type::now() >= held_keys_deadline()) {
        decode_held(true);
    }
}

clock_type::time_point held_keys_deadline() {
    return keyboard.held_count > 0 ? keyboard.last_byte_time + escape_quiet
                                   : clock_type::time_point::max();
}

bool records_queued() {
    return !keyboard.records.empty();
}

void queue_window_size(int columns, int rows) {
    INPUT_RECORD record;
    std::memset(&record, 0, sizeof record);
    record.EventType = WINDOW_BUFFER_SIZE_EVENT;
    record.Event.WindowBufferSizeEvent.dwSize.X = static_cast<SHORT>(columns);
    record.Event.WindowBufferSizeEvent.dwSize.Y = static_cast<SHORT>(rows);
    keyboard.records.push_back(record);
}

bool wait_for_key_press() {
    for (;;) {
        while (!keyboard.records.empty()) {
            const INPUT_RECORD record = keyboard.records.front();
            keyboard.records.pop_front();
            if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown != 0) {
                // Its release goes with it.
                if (!keyboard.records.empty() && keyboard.records.front().EventType == KEY_EVENT &&
                    keyboard.records.front().Event.KeyEvent.bKeyDown == 0) {
                    keyboard.records.pop_front();
                }
                return true;
            }
        }
        if (keyboard_fd() < 0) {
            return false;
        }
        wait_request request;
        request.until_key = true;
        wait_for(request);
    }
}

} // namespace posix

using posix::keyboard;

BOOL GetNumberOfConsoleInputEvents(HANDLE input, DWORD* count) {
    if (!posix::console_input_open(input) || count == nullptr) {
        return 0;
    }
    posix::take_terminal();
    // A look at the keyboard that does not wait.
    posix::wait_request request;
    request.deadline = posix::clock_type::now();
    posix::wait_for(request);
    *count = static_cast<DWORD>(keyboard.records.size());
    return 1;
}

BOOL ReadConsoleInputA(HANDLE input, INPUT_RECORD* records, DWORD length, DWORD* count) {
    if (count != nullptr) {
        *count = 0;
    }
    if (!posix::console_input_open(input) || records == nullptr || length == 0) {
        return 0;
    }
    posix::take_terminal();
    // With nothing queued it waits, as the console's read does, unless nothing can come any more.
    while (keyboard.records.empty()) {
        if (posix::keyboard_fd() < 0) {
            return 0;
        }
        posix::wait_request request;
        request.until_key = true;
        posix::wait_for(request);
    }
    records[0] = keyboard.records.front();
    keyboard.records.pop_front();
    if (count != nullptr) {
        *count = 1;
    }
    return 1;
}
