// The COM names the tool and the back ends read: "COM<n>" for a port of the searched range, in
// decimal without leading zeros, as the tool formats them and the system lists them.
#pragma once

#include "common/tool_limits.h"

// The port number of "COM<n>" within COM0..COM20, or -1 for any other text.
inline int com_port_number(const char* name) {
    if (name[0] != 'C' || name[1] != 'O' || name[2] != 'M') {
        return -1;
    }
    const char* digits = name + 3;
    int length = 0;
    int number = 0;
    for (; digits[length] != '\0'; ++length) {
        if (length == 2 || digits[length] < '0' || digits[length] > '9') {
            return -1;
        }
        number = number * 10 + (digits[length] - '0');
    }
    if (length == 0 || (length == 2 && digits[0] == '0')) {
        return -1;
    }
    return number >= printer_port_first && number <= printer_port_last ? number : -1;
}
