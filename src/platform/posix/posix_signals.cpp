// Signals, as careful terminal programs take them. The handlers only record what came and wake
// the one wait; the tool acts on it at its next wait or console call: it gives the terminal back
// and then dies by the same signal with its default action (SIGINT, SIGTERM, SIGHUP, SIGQUIT),
// so that the parent sees how it ended; it stops for SIGTSTP with the terminal given back, and
// takes it again and redraws the screen once continued. Only the crash signals act inside their
// handler, with async-signal-safe calls alone: the terminal back, then the same signal again.
#include "platform/posix/posix_console.h"
#include "platform/posix/posix_handles.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace posix {

namespace {

volatile std::sig_atomic_t ending_signal = 0;
volatile std::sig_atomic_t stop_asked = 0;
volatile std::sig_atomic_t continued = 0;
volatile std::sig_atomic_t window_changed = 0;
bool redraw_owed = false;

int wake_pipe[2] = {-1, -1};

// Room for a crash handler even when the stack itself has overflowed.
alignas(16) char crash_stack[64 * 1024];

void wake_the_wait() {
    const int saved_errno = errno;
    const char byte = 0;
    if (wake_pipe[1] >= 0 && write(wake_pipe[1], &byte, 1) < 0) {
        // Full: the wait will wake anyway.
    }
    errno = saved_errno;
}

void on_ending_signal(int signal_number) {
    ending_signal = signal_number;
    wake_the_wait();
}

void on_stop_signal(int) {
    stop_asked = 1;
    wake_the_wait();
}

void on_continue_signal(int) {
    continued = 1;
    wake_the_wait();
}

void on_window_change(int) {
    window_changed = 1;
    wake_the_wait();
}

void set_default_and_unblock(int signal_number) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal_number);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

// A crash: nothing of the tool's state can be trusted, so the terminal goes back from here
// (tcsetattr, write, ioctl, close), then the signal kills the process as if never caught,
// leaving a core where the system keeps them.
void on_crash_signal(int signal_number) {
    release_ports_for_exit();
    give_terminal_back();
    set_default_and_unblock(signal_number);
    raise(signal_number);
    _exit(128 + signal_number);
}

void install(int signal_number, void (*handler)(int), int flags) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a write to a terminal that blocks returns, and the signal is attended to.
    action.sa_flags = flags;
    sigaction(signal_number, &action, nullptr);
}

// A signal the tool was started with ignored stays ignored (nohup, a background job's SIGINT).
bool ignored_at_start(int signal_number) {
    struct sigaction current;
    return sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

void make_wake_pipe() {
    if (pipe(wake_pipe) != 0) {
        wake_pipe[0] = wake_pipe[1] = -1;
        return;
    }
    for (int fd : wake_pipe) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    if (!can_wait_on(wake_pipe[0])) {
        close(wake_pipe[0]);
        close(wake_pipe[1]);
        wake_pipe[0] = wake_pipe[1] = -1;
    }
}

// Ends the process by the signal, once the ports and the terminal are given back.
[[noreturn]] void end_by_signal(int signal_number) {
    release_ports_for_exit();
    give_terminal_back();
    set_default_and_unblock(signal_number);
    raise(signal_number);
    // Reached only if the signal did not end the process after all.
    _exit(128 + signal_number);
}

// Stops as the default action of SIGTSTP does, with the terminal given back meanwhile; the
// process goes on from here once continued (fg, kill -CONT). In a process group that no shell
// controls the system discards the stop, and the tool simply goes on.
void stop_for_job_control() {
    give_terminal_back();
    set_default_and_unblock(SIGTSTP);
    raise(SIGTSTP);
    install(SIGTSTP, on_stop_signal, 0);
    // The SIGCONT that ended this stop asks for what is done here: once is enough.
    continued = 0;
    take_terminal_again();
    redraw_owed = true;
}

} // namespace

void catch_signals() {
    make_wake_pipe();
    stack_t crash_stack_info;
    std::memset(&crash_stack_info, 0, sizeof crash_stack_info);
    crash_stack_info.ss_sp = crash_stack;
    crash_stack_info.ss_size = sizeof crash_stack;
    const bool have_stack = sigaltstack(&crash_stack_info, nullptr) == 0;

    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        if (!ignored_at_start(signal_number)) {
            install(signal_number, on_ending_signal, 0);
        }
    }
    for (int signal_number : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS}) {
        // The flags are unsigned bit masks on glibc; sa_flags is an int.
        install(signal_number, on_crash_signal,
                static_cast<int>(SA_RESETHAND | (have_stack ? SA_ONSTACK : 0u)));
    }
    if (!ignored_at_start(SIGTSTP)) {
        install(SIGTSTP, on_stop_signal, 0);
    }
    install(SIGCONT, on_continue_signal, 0);
    install(SIGWINCH, on_window_change, 0);
    // A terminal or pipe that has gone makes writes fail with EPIPE instead.
    install(SIGPIPE, SIG_IGN, 0);
}

int signal_wake_fd() {
    return wake_pipe[0];
}

void drain_signal_wake() {
    char bytes[64];
    while (wake_pipe[0] >= 0 && read(wake_pipe[0], bytes, sizeof bytes) > 0) {
    }
}

void attend_to_signals() {
    if (ending_signal != 0) {
        end_by_signal(ending_signal);
    }
    if (stop_asked != 0) {
        stop_asked = 0;
        stop_for_job_control();
    }
    if (continued != 0) {
        // Continued after a stop the tool did not see coming (SIGSTOP), or after its own.
        continued = 0;
        take_terminal_again();
        redraw_owed = true;
    }
    if (display_busy()) {
        return;
    }
    if (window_changed != 0) {
        window_changed = 0;
        read_terminal_size();
        queue_window_size(terminal.columns, terminal.rows);
        redraw_owed = true;
    }
    if (redraw_owed) {
        redraw_owed = false;
        repaint_display();
    }
}

void signal_from_keyboard(int signal_number) {
    // The whole foreground job, as the terminal's driver would: a script running the tool stops
    // or ends with it. This process is in that job, since it reads the terminal.
    if (!terminal.input_is_tty || kill(0, signal_number) != 0) {
        raise(signal_number);
    }
    if (signal_number == SIGINT && ignored_at_start(SIGINT)) {
        // Ctrl+C still ends the tool, as in a Windows console.
        ending_signal = SIGINT;
    }
}

} // namespace posix
