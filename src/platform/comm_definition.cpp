// The line definition BuildCommDCBA takes, for the back ends that stand in for Windows.
#include "platform/comm_definition.h"

#include <cstdlib>
#include <cstring>

// Parses "baud,parity,data,stop" as the mode command does: parity n/o/e/m/s, 5..8 data bits,
// 1, 1.5 or 2 stop bits.
bool parse_comm_definition(const char* definition, DCB* dcb) {
    char* end = nullptr;
    const unsigned long baud = std::strtoul(definition, &end, 10);
    if (end == definition || baud == 0 || baud > 4000000 || *end != ',') {
        return false;
    }
    static const char parities[] = "noems";
    const char parity = static_cast<char>(end[1] | 0x20);
    const char* found = end[1] != '\0' ? std::strchr(parities, parity) : nullptr;
    if (found == nullptr || end[2] != ',') {
        return false;
    }
    const char data = end[3];
    if (data < '5' || data > '8' || end[4] != ',') {
        return false;
    }
    const char* stop = end + 5;
    BYTE stop_bits = 0;
    if (std::strcmp(stop, "1") == 0) {
        stop_bits = 0;
    } else if (std::strcmp(stop, "1.5") == 0) {
        stop_bits = 1;
    } else if (std::strcmp(stop, "2") == 0) {
        stop_bits = 2;
    } else {
        return false;
    }
    dcb->BaudRate = static_cast<DWORD>(baud);
    dcb->Parity = static_cast<BYTE>(found - parities);
    dcb->ByteSize = static_cast<BYTE>(data - '0');
    dcb->StopBits = stop_bits;
    // As Windows fills it in: DTR and RTS on, no flow control.
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
    dcb->fOutX = 0;
    dcb->fInX = 0;
    dcb->fOutxCtsFlow = 0;
    dcb->fOutxDsrFlow = 0;
    return true;
}
