/* A native consumer in C: attaches to a ring with the geometry its producer made, follows
 * it with a cursor (which waits for frames, skips and counts those overwritten before it
 * got to them, and follows a producer that makes the ring again), and checks every frame
 * it reads against the moving pattern of the producer example.
 *   consumer NAME [--rows 240] [--cols 320] [--frames N] [--timeout 10]
 * Waits up to --timeout seconds for the ring to appear and for each new frame; stops after
 * frame N-1 (of the producer then writing). Exit status 0 when frames were read and none
 * was wrong. */
#include <quorvane/quorvane.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "pattern.h"

/* Whether the pixels are frame n's pattern. */
static int matches(const float* pixels, uint64_t n, uint64_t rows, uint64_t cols) {
    for (uint64_t r = 0; r < rows; ++r) {
        for (uint64_t c = 0; c < cols; ++c) {
            if (pixels[r * cols + c] != pattern_value(n, r, c)) return 0;
        }
    }
    return 1;
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
    /* Said at once, also into a pipe: whoever started us may wait for it. */
    printf("following ring '%s': %llu slots of %llu bytes\n", argv[1],
           (unsigned long long)quorvane_capacity(ring),
           (unsigned long long)quorvane_frame_bytes(ring));
    fflush(stdout);

    uint64_t read = 0, torn = 0, wrong = 0;
    quorvane_status status = QUORVANE_OK;
    quorvane_frame frame;
    do {
        status = quorvane_next(cursor, timeout_ms, &frame);
        if (status != QUORVANE_OK) break;
        if (frame.frame_bytes < rows * cols * sizeof(float)) {
            status = QUORVANE_RING_CHANGED; /* made again with frames too small to check */
            break;
        }
        const int ok = matches(frame.data, frame.seq, rows, cols);
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
    if (status != QUORVANE_OK && status != QUORVANE_TIMEOUT) {
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
