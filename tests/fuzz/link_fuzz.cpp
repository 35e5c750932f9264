// Fuzzes the settle and the reply read with arbitrary byte streams and arrival times.
//
// Input: three header bytes, then (gap, byte) pairs, the stream the printer sends.
//   start   the stream begins start x 10 ms after the port opens: before, across or after the
//           settle's 2222 ms wait;
//   repeat  the pairs are sent repeat + 1 times, so that a short input can flood the drain past
//           its bounds;
//   vanish  0: the printer vanishes before the settle; n from 1 to 254: before reply read n;
//           255: never;
//   gap     the time since the byte before: below 200, gap x 10 us (up to the 2 ms of silence
//           that end a read); from 200 on, (gap - 198) ms.
//
// After the settle the replies are read one after the other, 20 ms apart as the loop's passes
// after a step are, until the stream is used up.
#include "fuzz_check.h"

#include "common/tool_limits.h"
#include "link/printer_link.h"
#include "platform/sim/sim_platform.h"

#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr uint64_t settle_wait_us = 2222 * sim::us_per_ms;
constexpr uint64_t drain_limit_ms = 1000;
constexpr size_t drain_limit_bytes = 64 * 1024;
// Enough to run the drain into both of its bounds, few enough to keep an execution fast.
constexpr size_t stream_limit = drain_limit_bytes + 16 * 1024;
constexpr int read_limit = 2048;
constexpr size_t reply_bytes = 254;
constexpr int vanish_before_settle = 0;
constexpr int never_vanish = 255;

uint64_t gap_us(uint8_t gap) {
    return gap < 200 ? gap * 10u : (gap - 198u) * sim::us_per_ms;
}

// True when no byte is there to read now: the next one, if any, comes later.
bool silent(const sim::device& printer) {
    return printer.incoming.empty() || printer.incoming.front().arrival_us > sim::state().now_us;
}

// Queues the stream on the printer and returns its bytes in order.
std::vector<char> queue_stream(sim::device& printer, fuzz_input input) {
    std::vector<char> stream;
    uint64_t at = input.byte() * 10 * sim::us_per_ms;
    const int sends = input.byte() + 1;
    input.byte(); // when the printer vanishes: the caller's
    const fuzz_input pairs = input;
    for (int send = 0; send < sends && stream.size() < stream_limit; ++send) {
        for (fuzz_input pair = pairs; pair.left() >= 2 && stream.size() < stream_limit;) {
            at += gap_us(pair.byte());
            const char byte = static_cast<char>(pair.byte());
            printer.incoming.push_back({at, byte});
            stream.push_back(byte);
        }
    }
    return stream;
}

// The settle waits 2222 ms, then drains until 2 ms of silence, 1 s of draining or 64 KiB.
size_t check_settle(HANDLE port, sim::device& printer) {
    sim::machine& m = sim::state();
    const uint64_t opened_us = m.now_us;
    const size_t queued = printer.incoming.size();
    settle_printer_port(port);
    const size_t drained = queued - printer.incoming.size();
    const uint64_t drain_start_ms = (opened_us + settle_wait_us) / sim::us_per_ms;
    const uint64_t drained_ms = sim::now_ms() - drain_start_ms;

    FUZZ_CHECK(m.now_us - opened_us >= settle_wait_us, "the settle ended before its wait");
    FUZZ_CHECK(drained <= drain_limit_bytes, "the drain took more than 64 KiB");
    // The last read may begin just before the second is up and wait its 2 ms.
    FUZZ_CHECK(drained_ms <= drain_limit_ms + 3, "the drain went on past 1 s");
    FUZZ_CHECK(silent(printer) || printer.vanished || drained == drain_limit_bytes ||
                   drained_ms >= drain_limit_ms,
               "the drain stopped while bytes were still coming, inside its bounds");
    return drained;
}

// The model's own count of the printer's answers: the lines, ended by CR or LF, that are "ok" or
// "ok" followed by a blank and more. It reads on from where it stopped.
struct answer_model {
    size_t scanned = 0;
    size_t line_start = 0;
    int answers = 0;
};

void count_answers(answer_model* model, const std::vector<char>& stream, size_t length) {
    for (; model->scanned < length; ++model->scanned) {
        const size_t i = model->scanned;
        if (stream[i] != '\r' && stream[i] != '\n') {
            continue;
        }
        const size_t line_length = i - model->line_start;
        const char* line = stream.data() + model->line_start;
        if (line_length >= 2 && line[0] == 'o' && line[1] == 'k' &&
            (line_length == 2 || line[2] == ' ' || line[2] == '\t')) {
            ++model->answers;
        }
        model->line_start = i + 1;
    }
}

// One reply read: the bytes that have come, in order, at most eight pieces of 254; the buffer
// holds the last piece and zero bytes to its end; the answers counted so far are the model's.
void check_reply(HANDLE port, sim::device& printer, printer_replies* replies, answer_model* model,
                 const std::vector<char>& stream, size_t* next) {
    // Exactly the tool's buffer size on the heap, so that the sanitizers see any access past it.
    std::unique_ptr<char[]> buffer(new char[line_buffer_size]);
    std::memset(buffer.get(), 0x5A, line_buffer_size);
    const size_t queued = printer.incoming.size();
    const uint64_t before_us = sim::state().now_us;
    const int result = read_printer_reply(port, buffer.get(), replies);
    const size_t taken = queued - printer.incoming.size();

    FUZZ_CHECK(sim::state().now_us == before_us, "a reply read waited");
    if (printer.vanished) {
        FUZZ_CHECK(result == -1 && taken == 0, "a vanished printer gave a reply");
        return;
    }
    FUZZ_CHECK(result >= 0 && static_cast<size_t>(result) == taken,
               "the reply read did not say how many bytes it took");
    FUZZ_CHECK(taken <= 8 * reply_bytes, "the reply read took more than eight pieces");
    FUZZ_CHECK(taken == 8 * reply_bytes || silent(printer),
               "the reply read left bytes that had come");
    // Pieces before the last are whole; after a whole piece inside the limit one more read finds
    // nothing, and leaves the buffer empty.
    const bool ended_by_empty_read = taken % reply_bytes == 0 && taken < 8 * reply_bytes;
    const size_t last_piece = ended_by_empty_read ? 0 : (taken - 1) % reply_bytes + 1;
    FUZZ_CHECK(std::memcmp(buffer.get(), stream.data() + *next + taken - last_piece, last_piece) ==
                   0,
               "the buffer holds other bytes than the last piece that came");
    for (size_t i = last_piece; i < line_buffer_size; ++i) {
        FUZZ_CHECK(buffer[i] == 0, "the piece is not followed by zero bytes to the buffer's end");
    }
    *next += taken;
    count_answers(model, stream, *next);
    FUZZ_CHECK(replies->answers == model->answers,
               "the answers counted are not the ok lines that came");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    sim::reset();
    sim::state().logging = false;
    sim::device& printer = sim::add_device("\\\\.\\COM0");
    const std::vector<char> stream = queue_stream(printer, fuzz_input{data, size});
    const int vanish = data[2];

    HANDLE port = INVALID_HANDLE_VALUE;
    char name[port_name_size];
    FUZZ_CHECK(find_printer_port(&port, name) == 1, "the printer's port did not open");
    printer.vanished = vanish == vanish_before_settle;
    size_t next = check_settle(port, printer);
    // The answers are counted from the first byte after the drain.
    const std::vector<char> after_drain(stream.begin() + static_cast<long>(next), stream.end());
    size_t next_after_drain = 0;
    printer_replies replies;
    forget_printer_replies(&replies);
    answer_model model;
    for (int read = 1; read <= read_limit && !printer.incoming.empty(); ++read) {
        printer.vanished = printer.vanished || (vanish != never_vanish && read >= vanish);
        check_reply(port, printer, &replies, &model, after_drain, &next_after_drain);
        if (printer.vanished) {
            break;
        }
        Sleep(20);
    }
    CloseHandle(port);
    return 0;
}
