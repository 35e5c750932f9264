// The line speed on macOS through IOSSIOSPEED, which takes any rate; it must come after the
// termios settings, as tcsetattr would set the speed back to the one in the termios.
#include "platform/posix/posix_backend.h"

#include <IOKit/serial/ioss.h>
#include <termios.h>
#include <sys/ioctl.h>

namespace posix {

bool set_serial_speed(int fd, unsigned baud) {
    speed_t speed = baud;
    // Returns 0 on success, -1 on failure.
    return ioctl(fd, IOSSIOSPEED, &speed) == 0;
}

} // namespace posix
