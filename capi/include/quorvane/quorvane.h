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
    QUORVANE_FAILED = 7,        /* anything else; see quorvane_last_error() */
    QUORVANE_NO_FRAME = 8,      /* a reader is up to date: no frame to hand out yet */
    QUORVANE_TIMEOUT = 9,       /* nothing came in time */
    QUORVANE_NOT_A_RING = 10,   /* the segment's header holds no ring's geometry */
    QUORVANE_RING_CHANGED = 11, /* made again with a geometry this handle does not map */
    QUORVANE_REFUSED = 12,      /* something is at the name that this user may not open */
    QUORVANE_END_OF_STREAM = 13 /* the producer ended its stream and every frame was taken */
} quorvane_status;

/* Makes the named segment of `capacity` slots of `frame_bytes` bytes, or reuses a live
 * one of that name, and sets its write index to 0. */
QUORVANE_C_API quorvane_status quorvane_create(const char* name, uint64_t capacity,
                                               uint64_t frame_bytes, quorvane_ring** ring);
/* Typed frames. A typed ring records what its frames are: a NumPy array-interface type
 * string (byte order, kind, item size: "|u1" for uint8, "<u2" for little-endian uint16,
 * "<f4" for float32; kinds b, i, u, f, c) and a C-ordered shape of 1 to 4 dimensions;
 * frame_bytes is the item size times every dimension. Python's quorvane_reader reads such
 * frames as arrays of that dtype and shape. */
#define QUORVANE_TYPESTR_BYTES 16
#define QUORVANE_MAX_DIMS 4

/* quorvane_create for a typed ring. QUORVANE_INVALID_ARGUMENT for a type string or shape
 * that is not one of the above. */
QUORVANE_C_API quorvane_status quorvane_create_typed(const char* name, uint64_t capacity,
                                                     const char* typestr, const uint64_t* shape,
                                                     uint32_t ndim, quorvane_ring** ring);
/* The ring's type, as its producer declared it: QUORVANE_OK with the type string
 * (NUL-terminated) and shape (*ndim dimensions), or *ndim 0 and "" for an untyped ring. */
QUORVANE_C_API quorvane_status quorvane_frame_type(const quorvane_ring* ring,
                                                   char typestr[QUORVANE_TYPESTR_BYTES],
                                                   uint64_t shape[QUORVANE_MAX_DIMS],
                                                   uint32_t* ndim);

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

/* Publishes one frame (frame_bytes from src) with its stamp: a timestamp (by convention
 * nanoseconds since the Unix epoch, which Python's time.time_ns() gives) and a word of the
 * producer's own, which readers get with the frame. */
QUORVANE_C_API quorvane_status quorvane_publish_stamped(quorvane_ring* ring, const void* src,
                                                        int64_t timestamp_ns, uint64_t user);

/* Writing in place: build the frame in the slot quorvane_next_slot returns (frame_bytes
 * long), then quorvane_commit (or quorvane_commit_stamped) publishes it. One frame per
 * commit. */
QUORVANE_C_API void* quorvane_next_slot(quorvane_ring* ring);
QUORVANE_C_API void quorvane_commit(quorvane_ring* ring);
QUORVANE_C_API void quorvane_commit_stamped(quorvane_ring* ring, int64_t timestamp_ns,
                                            uint64_t user);

/* The end of the producer's stream: readers that took every frame get
 * QUORVANE_END_OF_STREAM (Python: EOFError), until a create starts a new one. A producer
 * that ends without it (a crash) is told apart by quorvane_producer_alive. */
QUORVANE_C_API void quorvane_end_stream(quorvane_ring* ring);
/* 1 while a handle a create made is open in some process, 0 once none is (the producer
 * ended, cleanly or not), -1 if it cannot be told (a ring made by a program that knows only
 * the header). */
QUORVANE_C_API int quorvane_producer_alive(const quorvane_ring* ring);

/* The slot of frame `idx` (taken modulo capacity), for reading. */
QUORVANE_C_API const void* quorvane_slot(const quorvane_ring* ring, uint64_t idx);

/* Reading. A cursor follows a ring the way Python's quorvane_reader does, with the same
 * rule and the same waiting: it hands out frames in order, skips (and counts as missed)
 * those overwritten before it got to them, follows a producer that makes the ring again
 * (also with another geometry that the handle's mapping holds), and tells whether a frame
 * stayed intact while it was read. One cursor per thread; any number per ring. */
typedef struct quorvane_cursor quorvane_cursor;

typedef enum quorvane_start {
    QUORVANE_START_NEXT = 0,   /* the first frame published after the cursor is made */
    QUORVANE_START_NEWEST = 1, /* the newest frame already there */
    QUORVANE_START_OLDEST = 2  /* the oldest frame still held */
} quorvane_start;

/* A frame handed out: its number since the producer's create, its slot, frame_bytes
 * long (the geometry may change when a producer makes the ring again), and its stamp
 * (zeros where the producer gave none). quorvane_intact covers the stamp too. The rest is
 * for quorvane_intact. */
typedef struct quorvane_frame {
    uint64_t seq;
    const void* data;
    uint64_t frame_bytes;
    uint64_t capacity;
    uint64_t handed_at;  /* write_idx when it was handed out */
    uint64_t generation; /* which create made the ring it was handed out from */
    int64_t timestamp_ns;
    uint64_t user;
} quorvane_frame;

#define QUORVANE_FOREVER UINT64_MAX

/* Opens the live ring `name` with the capacity and frame_bytes its producer made it with.
 * Waits up to timeout_ms for a producer to make it (QUORVANE_FOREVER: for ever); a ring
 * caught while being created is waited for briefly even with 0. QUORVANE_OPEN_FAILED if
 * there is none, QUORVANE_REFUSED if something this user may not open is at the name,
 * QUORVANE_NOT_A_RING if the segment is no ring. Python's quorvane_reader.attach is the
 * same call. */
QUORVANE_C_API quorvane_status quorvane_attach(const char* name, uint64_t timeout_ms,
                                               quorvane_ring** ring);

/* A cursor on `ring`, which must outlive it. QUORVANE_RING_CHANGED if the ring's header
 * has a geometry the handle does not map (open it with quorvane_attach); QUORVANE_BAD_SIZE
 * for a ring of one slot, whose only frame the producer may be overwriting at any moment. */
QUORVANE_C_API quorvane_status quorvane_cursor_new(const quorvane_ring* ring, quorvane_start start,
                                                   quorvane_cursor** cursor);
QUORVANE_C_API void quorvane_cursor_free(quorvane_cursor* cursor);

/* The next frame in order: QUORVANE_OK, or QUORVANE_NO_FRAME if the cursor is up to date
 * (QUORVANE_END_OF_STREAM once the producer ended its stream and every frame was taken).
 * QUORVANE_RING_CHANGED once the producer made the ring again with a geometry this handle
 * does not map: attach again. */
QUORVANE_C_API quorvane_status quorvane_take(quorvane_cursor* cursor, quorvane_frame* frame);
/* The newest frame (QUORVANE_NO_FRAME before the first); quorvane_take goes on after it. */
QUORVANE_C_API quorvane_status quorvane_latest(quorvane_cursor* cursor, quorvane_frame* frame);
/* quorvane_take, waiting up to timeout_ms for a frame (QUORVANE_TIMEOUT after; at once
 * QUORVANE_END_OF_STREAM at the end of the stream), without
 * burning a core: asleep until the producer rings, or polling at most every millisecond a
 * ring whose producer knows only the header. */
QUORVANE_C_API quorvane_status quorvane_next(quorvane_cursor* cursor, uint64_t timeout_ms,
                                             quorvane_frame* frame);
/* Call after reading the frame (or computing from it): 1 if it stayed intact, 0 if what
 * was read may mix it with another frame. */
QUORVANE_C_API int quorvane_intact(const quorvane_cursor* cursor, const quorvane_frame* frame);
/* Frames overwritten before the cursor got to them; times a producer made the ring again. */
QUORVANE_C_API uint64_t quorvane_missed(const quorvane_cursor* cursor);
QUORVANE_C_API uint64_t quorvane_restarts(const quorvane_cursor* cursor);

/* The message of this thread's last failure (the ring's own texts are listed in
 * <quorvane/failure.hpp>), or "" if none. Valid until the thread's next failing call. */
QUORVANE_C_API const char* quorvane_last_error(void);

#ifdef __cplusplus
}
#endif

#endif
