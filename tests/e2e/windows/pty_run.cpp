// Runs a command on a pseudo-terminal of a given size, the way a terminal window would, and copies
// what it draws there to a file. Wine's console needs a tty to run on; a fixed size gives the
// tool's screen (119 x 25 cells) room whatever terminal, or none, the tests run from.
//
// Usage: pty_run COLUMNS ROWS TRANSCRIPT COMMAND [ARGUMENTS...]
// The exit status is the command's (128 + signal when a signal ended it).
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: pty_run COLUMNS ROWS TRANSCRIPT COMMAND [ARGUMENTS...]\n");
        return 2;
    }
    winsize size = {};
    size.ws_col = static_cast<unsigned short>(std::atoi(argv[1]));
    size.ws_row = static_cast<unsigned short>(std::atoi(argv[2]));
    FILE* transcript = std::fopen(argv[3], "wb");
    if (transcript == nullptr) {
        std::perror("pty_run: transcript");
        return 2;
    }
    int master = -1;
    const pid_t child = forkpty(&master, nullptr, nullptr, &size);
    if (child < 0) {
        std::perror("pty_run: forkpty");
        return 2;
    }
    if (child == 0) {
        execvp(argv[4], argv + 4);
        std::perror("pty_run: exec");
        _exit(127);
    }
    // Copy the terminal's output until the command has ended. Processes it left behind (Wine's
    // services) may keep the terminal open, so its end, not the terminal's, ends the copy.
    char buffer[4096];
    int status = 0;
    bool ended = false;
    for (;;) {
        pollfd ready = {master, POLLIN, 0};
        const int events = poll(&ready, 1, 50);
        if (events > 0) {
            const ssize_t got = read(master, buffer, sizeof buffer);
            if (got > 0) {
                std::fwrite(buffer, 1, static_cast<size_t>(got), transcript);
                continue;
            }
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (!ended) {
                // Nobody holds the terminal any more; the command is ending.
                while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
                }
            }
            break;
        }
        if (ended) {
            break; // ended, and nothing more came within one poll
        }
        if (waitpid(child, &status, WNOHANG) == child) {
            ended = true;
        }
    }
    std::fclose(transcript);
    close(master);
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
