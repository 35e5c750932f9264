// Shared by the back ends that stand in for Windows: the parsing behind BuildCommDCBA.
#pragma once

#include "platform/platform.h"

// Fills the DCB from "baud,parity,data,stop" as the mode command reads it (parity n/o/e/m/s, 5..8
// data bits, 1, 1.5 or 2 stop bits), with DTR and RTS on and no flow control, as Windows fills it.
// False, with the DCB untouched, for a definition it cannot read.
bool parse_comm_definition(const char* definition, DCB* dcb);
