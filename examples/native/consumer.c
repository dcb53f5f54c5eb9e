/* A native consumer in C of a uint8 RGB camera: attaches to a typed ring with the geometry
 * its producer made, checks its type, follows it with a cursor (which waits for frames,
 * skips and counts those overwritten before it got to them, and follows a producer that
 * makes the ring again), and checks every frame it reads, and the word it was stamped with,
 * against the moving pattern of the producer example: the first --rows x --cols pixels.
 *   consumer NAME [--rows 240] [--cols 320] [--frames N] [--timeout 10]
 * Waits up to --timeout seconds for the ring to appear and for each new frame; stops at
 * the end of the producer's stream, or after frame N-1 (of the producer then writing).
 * Exit status 0 when frames were read and none was wrong. */
#include <quorvane/quorvane.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "pattern.h"

/* Whether the first rows x cols pixels of a frame `cols_made` wide are frame n's pattern. */
static int matches(const uint8_t* pixels, uint64_t n, uint64_t rows, uint64_t cols,
                   uint64_t cols_made) {
    for (uint64_t r = 0; r < rows; ++r) {
        for (uint64_t c = 0; c < cols; ++c) {
            for (uint64_t k = 0; k < PATTERN_CHANNELS; ++k) {
                if (pixels[(r * cols_made + c) * PATTERN_CHANNELS + k] != pattern_value(n, r, c, k))
                    return 0;
            }
        }
    }
    return 1;
}

/* The ring's frames are uint8 RGB of at least rows x cols pixels; their width in *cols_made. */
static int is_camera(const quorvane_ring* ring, uint64_t rows, uint64_t cols, uint64_t* cols_made) {
    char typestr[QUORVANE_TYPESTR_BYTES];
    uint64_t shape[QUORVANE_MAX_DIMS];
    uint32_t ndim = 0;
    if (quorvane_frame_type(ring, typestr, shape, &ndim) != QUORVANE_OK) return 0;
    *cols_made = shape[1];
    return strcmp(typestr, "|u1") == 0 && ndim == 3 && shape[0] >= rows && shape[1] >= cols &&
           shape[2] == PATTERN_CHANNELS;
}

int main(int argc, char** argv) {
    uint64_t rows = 240, cols = 320, frames = 0;
    uint64_t timeout_ms = 10000;
    if (argc < 2 || argv[1][0] == '-') {
        fprintf(stderr, "usage: %s NAME [--rows R] [--cols C] [--frames N] [--timeout S]\n",
                argv[0]);
        return 2;
    }
    for (int i = 2; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--rows") == 0)
            rows = strtoull(argv[i + 1], NULL, 10);
        else if (strcmp(argv[i], "--cols") == 0)
            cols = strtoull(argv[i + 1], NULL, 10);
        else if (strcmp(argv[i], "--frames") == 0)
            frames = strtoull(argv[i + 1], NULL, 10);
        else if (strcmp(argv[i], "--timeout") == 0)
            timeout_ms = (uint64_t)(strtod(argv[i + 1], NULL) * 1000);
        else {
            fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }

    quorvane_ring* ring = NULL;
    quorvane_cursor* cursor = NULL;
    if (quorvane_attach(argv[1], timeout_ms, &ring) != QUORVANE_OK ||
        quorvane_cursor_new(ring, QUORVANE_START_OLDEST, &cursor) != QUORVANE_OK) {
        fprintf(stderr, "consumer: ring '%s': %s\n", argv[1], quorvane_last_error());
        quorvane_release(ring);
        return 1;
    }
    uint64_t cols_made = 0;
    if (!is_camera(ring, rows, cols, &cols_made)) {
        fprintf(stderr, "consumer: ring '%s' holds no RGB uint8 frames of %llu x %llu\n", argv[1],
                (unsigned long long)rows, (unsigned long long)cols);
        quorvane_cursor_free(cursor);
        quorvane_release(ring);
        return 1;
    }
    /* Said at once, also into a pipe: whoever started us may wait for it. */
    printf("following ring '%s': %llu slots of %llu bytes\n", argv[1],
           (unsigned long long)quorvane_capacity(ring),
           (unsigned long long)quorvane_frame_bytes(ring));
    fflush(stdout);

    uint64_t read = 0, torn = 0, wrong = 0;
    quorvane_status status = QUORVANE_OK;
    quorvane_frame frame;
    uint64_t generation = 0;
    do {
        status = quorvane_next(cursor, timeout_ms, &frame);
        if (status != QUORVANE_OK) break;
        if (frame.generation != generation) { /* made again: its frames may be wider */
            generation = frame.generation;
            if (!is_camera(ring, rows, cols, &cols_made)) {
                status = QUORVANE_RING_CHANGED;
                break;
            }
        }
        const int ok =
            matches(frame.data, frame.seq, rows, cols, cols_made) && frame.user == frame.seq;
        if (!quorvane_intact(cursor, &frame)) {
            ++torn; /* overwritten while we read it: whatever we saw does not count */
        } else if (ok) {
            ++read;
        } else {
            ++wrong;
            fprintf(stderr, "consumer: frame %llu does not hold its pattern\n",
                    (unsigned long long)frame.seq);
        }
    } while (frames == 0 || frame.seq + 1 < frames);
    if (status == QUORVANE_END_OF_STREAM) {
        printf("the producer ended its stream\n");
    } else if (status != QUORVANE_OK && status != QUORVANE_TIMEOUT) {
        fprintf(stderr, "consumer: ring '%s': %s\n", argv[1], quorvane_last_error());
    }
    printf("read %llu frames, missed %llu, torn %llu, wrong %llu, restarts %llu\n",
           (unsigned long long)read, (unsigned long long)quorvane_missed(cursor),
           (unsigned long long)torn, (unsigned long long)wrong,
           (unsigned long long)quorvane_restarts(cursor));
    quorvane_cursor_free(cursor);
    quorvane_release(ring);
    return read > 0 && wrong == 0 ? 0 : 1;
}
