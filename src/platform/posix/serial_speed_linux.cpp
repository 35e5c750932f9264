// The line speed on Linux through termios2 and BOTHER, which takes any rate (250000 has no Bnnn
// constant). This file is on its own because the kernel's <asm/termbits.h> cannot be included
// alongside glibc's <termios.h>: both define struct termios.
#include "platform/posix/posix_backend.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace posix {

bool set_serial_speed(int fd, unsigned baud) {
    struct termios2 settings;
    // Both ioctls return 0 on success, -1 on failure.
    if (ioctl(fd, TCGETS2, &settings) != 0) {
        return false;
    }
    settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = baud;
    settings.c_ospeed = baud;
    if (ioctl(fd, TCSETS2, &settings) != 0) {
        return false;
    }
    // The driver may round to what its clock can make; read back what it took.
    if (ioctl(fd, TCGETS2, &settings) != 0) {
        return false;
    }
    return settings.c_ospeed == baud;
}

} // namespace posix
