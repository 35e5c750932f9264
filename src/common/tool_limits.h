// What the tool's modules and the platform back ends agree on: the one text buffer the
// calibration loop owns and lends to the printer link (command line, reply) and the screen
// (height text), and the range of serial port numbers the printer is looked for on.
#pragma once

constexpr int line_buffer_size = 256;
// The longest reply kept in the line buffer; texts in it end in a zero byte, which must fit.
constexpr int reply_limit = line_buffer_size - 2;
static_assert(reply_limit < line_buffer_size, "a kept reply leaves room for its zero byte");

// COM0..COM20: the port numbers tried, in this order.
constexpr int printer_port_first = 0;
constexpr int printer_port_last = 20;
