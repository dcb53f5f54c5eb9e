/* The moving pattern both examples (and the tests) agree on: pixel (row, col) of frame n
 * is (row + col + n) % 256, a diagonal ramp that moves one pixel a frame. A reader can
 * check any frame against the number it read it under. */
#ifndef QUORVANE_EXAMPLE_PATTERN_H
#define QUORVANE_EXAMPLE_PATTERN_H

#include <stdint.h>

static inline float pattern_value(uint64_t n, uint64_t row, uint64_t col) {
    return (float)((row + col + n) % 256);
}

#endif
