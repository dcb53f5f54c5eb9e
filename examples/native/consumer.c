/* A native consumer in C: follows a ring with the reader pattern (poll the index, skip
 * what was overwritten, read a frame, re-check the index) and checks every frame it reads
 * against the moving pattern of the producer example.
 *   consumer NAME [--rows 240] [--cols 320] [--capacity 16] [--frames N] [--timeout 10]
 * Waits up to --timeout seconds for the ring to appear and for each new frame; stops after
 * frame N-1. Exit status 0 when frames were read and none was wrong. */
#include <quorvane/quorvane.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "pattern.h"

#ifdef _WIN32
#include <windows.h>
static void nap(void) {
    Sleep(1);
}
static double now_seconds(void) {
    return (double)GetTickCount64() / 1e3;
}
#else
static void nap(void) {
    const struct timespec pause = {0, 100 * 1000};
    nanosleep(&pause, NULL);
}
static double now_seconds(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}
#endif

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
    uint64_t rows = 240, cols = 320, capacity = 16, frames = 0;
    double timeout = 10;
    if (argc < 2 || argv[1][0] == '-') {
        fprintf(stderr,
                "usage: %s NAME [--rows R] [--cols C] [--capacity K] [--frames N] "
                "[--timeout S]\n",
                argv[0]);
        return 2;
    }
    for (int i = 2; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--rows") == 0)
            rows = strtoull(argv[i + 1], NULL, 10);
        else if (strcmp(argv[i], "--cols") == 0)
            cols = strtoull(argv[i + 1], NULL, 10);
        else if (strcmp(argv[i], "--capacity") == 0)
            capacity = strtoull(argv[i + 1], NULL, 10);
        else if (strcmp(argv[i], "--frames") == 0)
            frames = strtoull(argv[i + 1], NULL, 10);
        else if (strcmp(argv[i], "--timeout") == 0)
            timeout = strtod(argv[i + 1], NULL);
        else {
            fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }

    quorvane_ring* ring = NULL;
    double deadline = now_seconds() + timeout;
    quorvane_status status;
    while ((status = quorvane_open(argv[1], capacity, rows * cols * 4, &ring)) ==
               QUORVANE_OPEN_FAILED &&
           now_seconds() < deadline) {
        nap(); /* the producer has not made it yet */
    }
    if (status != QUORVANE_OK) {
        fprintf(stderr, "consumer: ring '%s': %s\n", argv[1], quorvane_last_error());
        return 1;
    }

    uint64_t seen = 0, read = 0, missed = 0, torn = 0, wrong = 0, restarts = 0;
    deadline = now_seconds() + timeout;
    while (frames == 0 || seen < frames) {
        const uint64_t w = quorvane_write_idx(ring);
        if (w < seen) { /* the index went down: the producer made the ring again */
            ++restarts;
            seen = 0;
            continue;
        }
        if (w == seen) { /* nothing new */
            if (now_seconds() > deadline) break;
            nap();
            continue;
        }
        if (w - seen > capacity) { /* fell behind: those frames are overwritten */
            missed += w - capacity - seen;
            seen = w - capacity;
        }
        const int ok = matches(quorvane_slot(ring, seen), seen, rows, cols);
        if (quorvane_write_idx(ring) >= seen + capacity) {
            ++torn; /* overwritten while we read it: whatever we saw does not count */
        } else if (ok) {
            ++read;
        } else {
            ++wrong;
            fprintf(stderr, "consumer: frame %llu does not hold its pattern\n",
                    (unsigned long long)seen);
        }
        ++seen;
        deadline = now_seconds() + timeout;
    }
    printf("read %llu frames, missed %llu, torn %llu, wrong %llu, restarts %llu\n",
           (unsigned long long)read, (unsigned long long)missed, (unsigned long long)torn,
           (unsigned long long)wrong, (unsigned long long)restarts);
    quorvane_release(ring);
    return read > 0 && wrong == 0 ? 0 : 1;
}
