// The tool run as a job on a pseudo-terminal of its own, as an interactive shell runs it: in a
// process group of its own, in the terminal's foreground, its parent (standing where the shell
// would) in the same session but another group, so that Ctrl+Z and SIGTSTP really stop it. The
// parent does not take the terminal back while the job is stopped, so kill -CONT resumes it in
// the foreground. The test holds the terminal's master side: it types, reads what is drawn, and
// reads the terminal's settings.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>
#include <termios.h>

struct terminal_job {
    pid_t tool = -1;
    pid_t parent = -1;
    int master = -1;
    int report = -1;    // the parent's report: "status N" once the tool has ended
    termios found;      // the terminal's settings before the tool started
    std::string screen; // what the tool has drawn so far
};

struct job_options {
    std::vector<std::string> argv;
    std::vector<std::string> environment; // NAME=value, added to this process's environment
    std::string directory;                // where the tool runs ("" to stay here)
    bool core_dumps = false;              // let a crash leave a core file in `directory`
};

// Starts the job; false (with the job cleaned up) when it could not be started.
bool start_terminal_job(terminal_job* job, const job_options& options);
// Reads what the tool draws until `text` has come (true) or the time-out passes (false): text
// drawn from now on, or from offset `from` of what has been read (job->screen).
bool screen_shows(terminal_job* job, const std::string& text, int timeout_ms,
                  size_t from = std::string::npos);
// Keeps reading the screen until the time-out passes; returns what came meanwhile.
std::string drain_screen(terminal_job* job, int timeout_ms);
void type_keys(terminal_job* job, const std::string& bytes);
// The tool's wait status once it has ended, reading the screen meanwhile; -1 on time-out.
int wait_for_job_end(terminal_job* job, int timeout_ms);
// Polls until the tool's state (from /proc/<pid>/stat) is `state` or the time-out passes.
bool job_state_becomes(terminal_job* job, char state, int timeout_ms);
// The terminal's settings as they are now.
termios terminal_settings(const terminal_job& job);
bool same_settings(const termios& a, const termios& b);
bool is_raw(const termios& settings);
// Polls until the terminal's settings are raw (or, with `raw` false, as found).
bool settings_become(terminal_job* job, bool raw, int timeout_ms);
// Ends whatever is left of the job and closes the terminal.
void end_terminal_job(terminal_job* job);
