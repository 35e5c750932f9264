// A simulated Windows-like machine for the tests: a console screen buffer of cells, a scripted
// input queue, serial devices with scripted printers, and a virtual clock that Sleep and the read
// time-outs advance. Nothing here sleeps for real, so timing, order and the bytes on the wire can
// be checked exactly.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace sim {

constexpr int screen_columns = 120;
constexpr int screen_rows = 30;
constexpr WORD default_attribute = 0x0007;
constexpr LONG default_window_style = 0x00CF0000; // an overlapped, resizable window
constexpr uint64_t us_per_ms = 1000;
constexpr uint64_t byte_time_us = 40; // one byte at 250000 baud, 8N1

struct cell {
    char character;
    WORD attribute;
};

enum class device_kind {
    present,       // opens and takes its line settings
    held,          // held by another program: the exclusive open is refused
    refuses_speed, // opens, but cannot run at the speed asked (a slow UART)
};

enum class write_behaviour {
    takes,  // every byte written is taken at once
    stalls, // takes nothing: a write waits for its time-out, or for ever without one
    fails,  // the driver fails every write
};

struct written_line {
    uint64_t time_us;
    std::string bytes;
};

struct incoming_byte {
    uint64_t arrival_us;
    char byte;
};

struct device {
    std::string name;
    device_kind kind = device_kind::present;
    bool open = false;
    bool vanished = false; // the cable is pulled: reads and writes fail
    bool plugged = true;   // whether the device is there to be opened
    write_behaviour writes = write_behaviour::takes;
    int opens = 0;
    int closes = 0;
    DWORD access = 0;
    DWORD share_mode = 0xFFFFFFFFu;
    DWORD creation = 0;
    DWORD flags = 0;
    bool dcb_set = false;
    DCB dcb{};
    bool timeouts_set = false;
    COMMTIMEOUTS timeouts{};
    std::deque<incoming_byte> incoming;
    std::vector<written_line> written;
    // Called after each write with the bytes written, to script the printer's answer.
    std::function<void(device&, const std::string&)> on_write;
};

struct event {
    uint64_t time_us;
    std::string what;
};

struct machine {
    uint64_t now_us = 0;
    cell screen[screen_rows][screen_columns];
    COORD cursor{0, 0};
    WORD attribute = default_attribute;
    std::string title;
    bool has_window = true;
    LONG window_style = default_window_style;
    UINT code_page = 437;
    bool output_open = true;
    bool input_open = true;
    std::deque<std::pair<uint64_t, INPUT_RECORD>> input;
    int input_failures = 0;          // the next console input calls that fail
    std::vector<INPUT_RECORD> taken; // every record ReadConsoleInputA gave, in order
    std::vector<device> devices;
    // The system's list of serial devices, as (device object, COM name) values; missing when
    // serial_devices_listed is false.
    bool serial_devices_listed = false;
    std::vector<std::pair<std::string, std::string>> serial_devices;
    std::vector<std::string> open_attempts;
    std::vector<event> log;
    bool logging = true;
    // Things that happen to the machine at a virtual time (a cable pulled, a device back),
    // in time order.
    std::deque<std::pair<uint64_t, std::function<void()>>> scheduled;
    uint64_t deadline_us = 0;
    bool timed_out = false;
};

// The one simulated machine; reset() gives a fresh one.
machine& state();
void reset();

uint64_t now_ms();
device& add_device(const std::string& name, device_kind kind = device_kind::present);
device* find_device(const std::string& name);
HANDLE output_handle();
HANDLE input_handle();

// Input records arrive at the given virtual time (in ms) and queue in arrival order.
void queue_record(uint64_t at_ms, const INPUT_RECORD& record);
void queue_key(uint64_t at_ms, WORD virtual_key, bool down, char character = 0,
               DWORD control_state = 0);
// A press: key-down at the given time, key-up 50 ms later.
void queue_press(uint64_t at_ms, WORD virtual_key, char character = 0, DWORD control_state = 0);
void queue_event(uint64_t at_ms, WORD event_type);

// Runs the action once the clock reaches the time (in ms).
void schedule(uint64_t at_ms, std::function<void()> action);

// The USB cable is pulled: reads and writes of the open handle fail, and the device no longer
// opens until plug_back.
void pull_cable(device& printer);
void plug_back(device& printer);

// The printer sends bytes from the given time (in µs) on, one byte every byte_time_us.
void printer_sends(device& printer, uint64_t from_us, const std::string& bytes,
                   uint64_t spacing_us = byte_time_us);
// The printer answers every line written to it with the reply, after the delay.
void answer_each_line(device& printer, const std::string& reply, uint64_t delay_us);

// The whole run is cut short once the clock passes the deadline: a space bar is queued so that
// the loop ends, and timed_out tells the test that its script did not end the tool.
void set_deadline_ms(uint64_t at_ms);

std::string row_text(int row);
std::string text_at(int column, int row, int length);
WORD attribute_at(int column, int row);
// Every written line of a device, joined.
std::string wire(const device& printer);

} // namespace sim
