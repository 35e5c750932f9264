// A Marlin-style firmware in real time, behind printer_sim --firmware: the receive ring that drops
// what does not fit, the command queue, the planner that runs Z at the axis' top speed, "ok" once a
// command is taken and "echo:busy: processing" while one waits. printer_sim hands it the host's
// bytes and the time and carries its answers back; the model writes its own log (format in
// printer_sim.cpp's header).
#pragma once

#include <cstddef>
#include <cstdio>
#include <deque>
#include <string>

// Sizes and speeds of a stock Marlin 1.1 build. The two rings keep one slot free to tell full
// from empty, as Marlin's do: the receive ring holds 127 bytes, the planner 15 moves.
constexpr size_t receive_ring_size = 128;
constexpr size_t command_queue_size = 4;
constexpr size_t planner_ring_size = 16;
constexpr size_t max_command_size = 96; // a longer line keeps only its first 95 bytes
constexpr double z_max_speed = 5.0;     // mm/s: what F600 (10 mm/s) gets on the Z axis
constexpr double z_steps_per_mm = 2560.0;
constexpr double busy_interval_s = 2.0;
constexpr double sample_interval_s = 0.05; // the position in the log while moving

struct z_move {
    double from_z;
    double to_z;
    double speed; // mm/s
};

struct firmware {
    FILE* log = nullptr;
    const char* line_end = "\n"; // of its answers
    std::string to_host;         // answers not yet sent; the caller takes them

    // The session: from the port's opening until the moves taken before the close are done.
    bool session = false;
    double opened_at = 0; // s, on the steady clock like every time here

    char ring[receive_ring_size] = {};
    size_t ring_head = 0; // where the next byte goes
    size_t ring_tail = 0; // the next byte to take
    std::string line;     // the line being assembled from the ring
    bool in_comment = false;
    std::deque<std::string> queue;
    bool waiting = false; // the front command is a move waiting for room in the planner
    double next_busy_at = 0;

    std::deque<z_move> planner;
    double move_started_at = 0; // of the planner's front move
    double z = 200.0;           // where the head is
    double planned_z = 200.0;   // where the last planned move ends: what M114 calls Z
    double feed_rate = z_max_speed;
    double next_sample_at = 0;

    long lines_taken = 0;
    long bytes_dropped = 0;
    long mangled_lines = 0;
    long unknown_lines = 0;
};

// The head at its start height, powered, no host yet.
void firmware_power_on(firmware& f, FILE* log, const char* line_end, double start_z);
// The host opened the port: the board resets (moves stop, buffers empty) and a session starts.
void firmware_reset(firmware& f, double now);
// Bytes as the line delivers them, into the receive ring; what does not fit is dropped.
void firmware_receive(firmware& f, const char* bytes, size_t count, double now);
// The firmware's main loop up to `now`: the head moves, commands are taken and answered.
void firmware_run(firmware& f, double now);
// The host closed the port; the firmware goes on with what it has.
void firmware_hang_up(firmware& f, double now);
// Nothing left to do: every byte received has been dealt with and the head is still.
bool firmware_idle(const firmware& f);
// Writes the session's summary (once) and ends it.
void firmware_end_session(firmware& f, double now);
// How long the caller may wait before the model needs to run again; -1: until bytes come.
int firmware_wait_ms(const firmware& f, double now);
// A record in the model's log, at the session's time.
void firmware_log(const firmware& f, double now, const char* text);
