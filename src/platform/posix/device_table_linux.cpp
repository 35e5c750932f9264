// COMn on Linux. Printer boards show up as USB serial devices: boards with a native USB port
// (ATmega16U2/32U4, as on the Sigma's board) as /dev/ttyACM*, those with a USB-serial chip (FTDI,
// CH340) as /dev/ttyUSB*. The table:
//   COM0..COM9   /dev/ttyACM0..9
//   COM10..COM20 /dev/ttyUSB0..10
// /dev/ttyS* is never used: those ports exist and open on most PCs with nothing behind them, and
// the first one that opens would be taken for the printer.
#include "platform/posix/posix_backend.h"

namespace posix {

namespace {
constexpr int acm_count = 10;
}

bool system_com_device(int number, std::string* path) {
    if (number < first_com || number > last_com) {
        return false;
    }
    *path = number < acm_count ? "/dev/ttyACM" + std::to_string(number)
                               : "/dev/ttyUSB" + std::to_string(number - acm_count);
    return true;
}

} // namespace posix
