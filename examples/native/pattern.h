/* The moving picture both examples (and the tests) agree on, a uint8 RGB camera: channel k
 * of pixel (row, col) of frame n is (row + col + n + 85 k) % 256, diagonal ramps that move
 * one pixel a frame. A reader can check any frame against the number it read it under. */
#ifndef QUORVANE_EXAMPLE_PATTERN_H
#define QUORVANE_EXAMPLE_PATTERN_H

#include <stdint.h>

#define PATTERN_CHANNELS 3

static inline uint8_t pattern_value(uint64_t n, uint64_t row, uint64_t col, uint64_t channel) {
    return (uint8_t)((row + col + n + 85 * channel) % 256);
}

#endif
