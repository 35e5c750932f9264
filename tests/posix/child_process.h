// Helpers for the tests that start real programs on pseudo-terminals: a child with its standard
// output on a pipe, reads with a deadline, and a private temporary directory.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <sys/types.h>

struct child_process {
    pid_t pid = -1;
    int output = -1; // the read end of the child's standard output
};

// Starts the program with its arguments; its standard output comes back through `output`, and
// its standard input is `input` when that is not -1.
child_process start_child(const std::vector<std::string>& argv, int input = -1);
// Sends the signal and waits (up to the time-out) for the child to end; the exit status as from
// waitpid, or -1 when it would not end (it is then killed).
int stop_child(child_process& child, int signal_number, int timeout_ms = 5000);
// Waits (up to the time-out) for the child to end by itself, keeping what it writes in `output`;
// the exit status as from waitpid, or -1 when it would not end (it is then killed).
int wait_child(child_process& child, std::string* output, int timeout_ms);

// The milliseconds left until the deadline, 0 once it has passed.
int ms_left(std::chrono::steady_clock::time_point deadline);

// A new pseudo-terminal's master side, raw (no echo, no line editing, no translation); -1 on
// failure. Its slave's name is ptsname(master).
int open_raw_pty_master();

// Reads one line (without its LF) within the time-out; false on time-out or end of file.
bool read_line(int fd, std::string* line, int timeout_ms);
// Reads until `wanted` has been seen (true) or the time-out passes (false); all bytes go to `got`.
bool read_until(int fd, const std::string& wanted, std::string* got, int timeout_ms);
// Reads whatever comes: waits up to `limit_ms` in all for the first byte, then reads until
// `quiet_ms` pass with nothing (or the limit).
std::string read_until_quiet(int fd, int quiet_ms, int limit_ms);

// A fresh directory under TMPDIR (or /tmp), removed with its files by remove_temporary_dir.
std::string make_temporary_dir();
void remove_temporary_dir(const std::string& path);

// The whole content of a file, or "" when it cannot be read.
std::string file_text(const std::string& path);
