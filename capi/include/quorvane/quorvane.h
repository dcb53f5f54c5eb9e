/* quorvane's C interface: the ring of fixed-size frames in named shared memory, for
 * producers and consumers written in C or anything that calls C (C#, Rust, Go, ...).
 *
 * Segments are the same as the Python module's and interoperate with it. One producer
 * per ring; any number of readers, in any process. No function throws or aborts: those
 * that can fail return a status, and quorvane_last_error() gives the system's message.
 * Functions that take a ring need one that quorvane_create or quorvane_open returned and
 * quorvane_release has not yet freed. */
#ifndef QUORVANE_QUORVANE_H
#define QUORVANE_QUORVANE_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(QUORVANE_C_BUILDING)
#define QUORVANE_C_API __declspec(dllexport)
#else
#define QUORVANE_C_API __declspec(dllimport)
#endif
#else
#define QUORVANE_C_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct quorvane_ring quorvane_ring;

typedef enum quorvane_status {
    QUORVANE_OK = 0,
    QUORVANE_INVALID_ARGUMENT = 1, /* a null pointer where a value is needed */
    QUORVANE_BAD_SIZE = 2,         /* sizes zero, too large, or not whole frames */
    QUORVANE_CREATE_FAILED = 3,    /* the system refused to make (or reuse) the segment */
    QUORVANE_OPEN_FAILED = 4,      /* no segment of that name, or access refused */
    QUORVANE_MAP_FAILED = 5,       /* the segment is smaller than the geometry asked for */
    QUORVANE_OUT_OF_MEMORY = 6,
    QUORVANE_FAILED = 7 /* anything else; see quorvane_last_error() */
} quorvane_status;

/* Makes the named segment of `capacity` slots of `frame_bytes` bytes, or reuses a live
 * one of that name, and sets its write index to 0. */
QUORVANE_C_API quorvane_status quorvane_create(const char* name, uint64_t capacity,
                                               uint64_t frame_bytes, quorvane_ring** ring);
/* Attaches to a live segment, leaving its contents as they are. */
QUORVANE_C_API quorvane_status quorvane_open(const char* name, uint64_t capacity,
                                             uint64_t frame_bytes, quorvane_ring** ring);
/* Unmaps and frees the handle; the last handle in any process removes the name.
 * Null is allowed. Pointers into the ring's slots are invalid afterwards. */
QUORVANE_C_API void quorvane_release(quorvane_ring* ring);

QUORVANE_C_API uint64_t quorvane_capacity(const quorvane_ring* ring);
QUORVANE_C_API uint64_t quorvane_frame_bytes(const quorvane_ring* ring);

/* Frames published since the last create (acquire: the frames below it are complete).
 * Also a valid re-check: it is ordered after the caller's earlier reads of a slot, so a
 * frame n read before it is intact when the value returned is below n + capacity. */
QUORVANE_C_API uint64_t quorvane_write_idx(const quorvane_ring* ring);

/* Copies nbytes (whole frames) from src into the next slots and advances the index after
 * each frame. nbytes 0 publishes nothing. */
QUORVANE_C_API quorvane_status quorvane_publish(quorvane_ring* ring, const void* src,
                                                uint64_t nbytes);

/* Writing in place: build the frame in the slot quorvane_next_slot returns (frame_bytes
 * long), then quorvane_commit publishes it. One frame per commit. */
QUORVANE_C_API void* quorvane_next_slot(quorvane_ring* ring);
QUORVANE_C_API void quorvane_commit(quorvane_ring* ring);

/* The slot of frame `idx` (taken modulo capacity), for reading. */
QUORVANE_C_API const void* quorvane_slot(const quorvane_ring* ring, uint64_t idx);

/* The message of this thread's last failure ("OpenFileMapping failed", ...), or "" if
 * none. Valid until the thread's next failing call. */
QUORVANE_C_API const char* quorvane_last_error(void);

#ifdef __cplusplus
}
#endif

#endif
