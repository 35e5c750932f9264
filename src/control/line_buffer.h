// The one text buffer of the tool, owned by the calibration loop and lent in turn to the printer
// link (command line, reply) and the screen (height text). Texts in it end in a zero byte.
#pragma once

constexpr int line_buffer_size = 256;
