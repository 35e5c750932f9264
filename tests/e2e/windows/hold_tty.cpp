// Holds a terminal device the way another serial program would: opened and marked exclusive
// (TIOCEXCL), so that opens by processes without CAP_SYS_ADMIN fail with EBUSY. Wine does not
// enforce the share mode of serial ports itself, so this is how a port "in use" is made for it.
//
// Usage: hold_tty PATH
// Prints "held PATH" once the device is held, and lets go on SIGTERM or SIGINT.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace {

volatile std::sig_atomic_t stop_signal = 0;

void on_stop_signal(int signal_number) {
    stop_signal = signal_number;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: hold_tty PATH\n");
        return 2;
    }
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        std::perror("hold_tty: open");
        return 1;
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        std::perror("hold_tty: TIOCEXCL");
        return 1;
    }
    std::printf("held %s\n", argv[1]);
    std::fflush(stdout);
    while (stop_signal == 0) {
        pause();
    }
    close(fd);
    return 0;
}
