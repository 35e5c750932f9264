// What the fuzz targets share: a check that aborts with the broken invariant, so that libFuzzer
// keeps the input as a crash and the corpus replay fails, and a reader that takes the input's
// bytes in turn, giving zeros once they run out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, what)                                                                \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, what);       \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

struct fuzz_input {
    const uint8_t* data;
    size_t size;
    size_t at = 0;

    bool empty() const {
        return at >= size;
    }
    size_t left() const {
        return empty() ? 0 : size - at;
    }
    uint8_t byte() {
        return empty() ? 0 : data[at++];
    }
    uint16_t word() {
        const uint16_t low = byte();
        return static_cast<uint16_t>(low | byte() << 8);
    }
};
