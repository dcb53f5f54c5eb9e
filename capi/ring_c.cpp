// The C interface over the ring core: a handle is a heap ShmRing; every exception ends
// here as a status and a per-thread message.
#include <quorvane/quorvane.h>
#include <quorvane/cursor.hpp>
#include <quorvane/shm_ring.hpp>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

struct quorvane_ring {
    explicit quorvane_ring(quorvane::ShmRing made) : ring(std::move(made)) {}
    quorvane::ShmRing ring;
};

struct quorvane_cursor {
    explicit quorvane_cursor(quorvane::Cursor made) : cursor(made) {}
    quorvane::Cursor cursor;
};

namespace {

thread_local std::string last_error;

// The status each of the core's failures is; the compiler checks that none is left out.
constexpr quorvane_status status_of(quorvane::Failure failure) {
    using quorvane::Failure;
    switch (failure) {
        case Failure::create_failed:
            return QUORVANE_CREATE_FAILED;
        case Failure::open_failed:
            return QUORVANE_OPEN_FAILED;
        case Failure::map_failed:
            return QUORVANE_MAP_FAILED;
        case Failure::not_whole_frames:
        case Failure::sizes_not_positive:
        case Failure::ring_too_large:
        case Failure::single_slot:
            return QUORVANE_BAD_SIZE;
        case Failure::header_not_valid:
        case Failure::segment_too_small:
        case Failure::header_past_segment:
            return QUORVANE_NOT_A_RING;
        case Failure::name_refused:
            return QUORVANE_REFUSED;
        case Failure::bad_frame_type:
            return QUORVANE_INVALID_ARGUMENT;
        case Failure::no_companion:
            return QUORVANE_CREATE_FAILED;
        case Failure::not_c_contiguous:  // C takes bytes
        case Failure::window_wraps:      // views are not in the C interface
        case Failure::negative_geometry:
        case Failure::view_past_segment:
            return QUORVANE_FAILED;
    }
    return QUORVANE_FAILED;
}

// Milliseconds as a span in nanoseconds; past what that holds, for ever (-1).
constexpr std::int64_t span_ns(uint64_t timeout_ms) {
    return timeout_ms > std::uint64_t(INT64_MAX / 1'000'000) ? -1
                                                             : std::int64_t(timeout_ms) * 1'000'000;
}

quorvane_status fail(quorvane_status status, std::string message) {
    last_error = std::move(message);
    return status;
}

// Runs `body`, turning whatever it throws into a status.
template <typename Body>
quorvane_status guarded(Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
        return QUORVANE_OK;
    } catch (const quorvane::GeometryError& error) {
        return fail(QUORVANE_RING_CHANGED, error.what());
    } catch (const quorvane::RingError& error) {
        // The fixed text, then the system's cause where a system call failed.
        return fail(status_of(error.failure), error.system_error == 0
                                                  ? std::string(error.what())
                                                  : error.what() + (": " + error.system_text));
    } catch (const std::bad_alloc&) {
        return fail(QUORVANE_OUT_OF_MEMORY, "out of memory");
    } catch (const std::exception& error) {
        return fail(QUORVANE_FAILED, error.what());
    } catch (...) {
        return fail(QUORVANE_FAILED, "unknown error");
    }
}

template <typename Factory>
quorvane_status make_ring(const char* name, quorvane_ring** ring, Factory factory) noexcept {
    if (name == nullptr || ring == nullptr) {
        return fail(QUORVANE_INVALID_ARGUMENT, "name and ring must not be null");
    }
    *ring = nullptr;
    return guarded(
        [&] { *ring = std::make_unique<quorvane_ring>(factory(std::string(name))).release(); });
}

quorvane_frame to_c(const quorvane::Cursor::Frame& f) {
    return {f.seq,       f.slot,       f.geometry.frame_bytes, f.geometry.capacity,
            f.handed_at, f.generation, f.stamp.timestamp_ns,   f.stamp.user};
}

template <typename Operation>
quorvane_status hand_out(quorvane_cursor* cursor, quorvane_frame* frame, Operation operation) {
    if (cursor == nullptr || frame == nullptr) {
        return fail(QUORVANE_INVALID_ARGUMENT, "cursor and frame must not be null");
    }
    bool found = false;
    bool ended = false;
    const quorvane_status status = guarded([&] {
        if (const auto taken = operation(cursor->cursor)) {
            *frame = to_c(*taken);
            found = true;
        } else {
            ended = cursor->cursor.ended();
        }
    });
    if (status != QUORVANE_OK || found) return status;
    return ended ? fail(QUORVANE_END_OF_STREAM, "the producer ended its stream")
                 : QUORVANE_NO_FRAME;
}

}  // namespace

extern "C" {

quorvane_status quorvane_create(const char* name, uint64_t capacity, uint64_t frame_bytes,
                                quorvane_ring** ring) {
    return make_ring(name, ring, [&](const std::string& n) {
        return quorvane::ShmRing::create(n, capacity, frame_bytes);
    });
}

quorvane_status quorvane_create_typed(const char* name, uint64_t capacity, const char* typestr,
                                      const uint64_t* shape, uint32_t ndim, quorvane_ring** ring) {
    if (typestr == nullptr || shape == nullptr) {
        return fail(QUORVANE_INVALID_ARGUMENT, "typestr and shape must not be null");
    }
    return make_ring(name, ring, [&](const std::string& n) {
        return quorvane::ShmRing::create(n, capacity,
                                         quorvane::FrameType::of(typestr, shape, ndim));
    });
}

quorvane_status quorvane_frame_type(const quorvane_ring* ring, char typestr[QUORVANE_TYPESTR_BYTES],
                                    uint64_t shape[QUORVANE_MAX_DIMS], uint32_t* ndim) {
    if (ring == nullptr || typestr == nullptr || shape == nullptr || ndim == nullptr) {
        return fail(QUORVANE_INVALID_ARGUMENT, "ring, typestr, shape and ndim must not be null");
    }
    return guarded([&] {
        const quorvane::FrameType type = ring->ring.frame_type().value_or(quorvane::FrameType{});
        std::copy(type.typestr.begin(), type.typestr.end(), typestr);
        std::copy(type.shape.begin(), type.shape.end(), shape);
        *ndim = type.ndim;
    });
}

quorvane_status quorvane_open(const char* name, uint64_t capacity, uint64_t frame_bytes,
                              quorvane_ring** ring) {
    return make_ring(name, ring, [&](const std::string& n) {
        return quorvane::ShmRing::open(n, capacity, frame_bytes);
    });
}

void quorvane_release(quorvane_ring* ring) {
    delete ring;
}

uint64_t quorvane_capacity(const quorvane_ring* ring) {
    return ring == nullptr ? 0 : ring->ring.capacity;
}

uint64_t quorvane_frame_bytes(const quorvane_ring* ring) {
    return ring == nullptr ? 0 : ring->ring.frame_bytes;
}

uint64_t quorvane_write_idx(const quorvane_ring* ring) {
    return ring == nullptr ? 0 : ring->ring.write_idx();
}

quorvane_status quorvane_publish(quorvane_ring* ring, const void* src, uint64_t nbytes) {
    if (ring == nullptr || (src == nullptr && nbytes != 0)) {
        return fail(QUORVANE_INVALID_ARGUMENT, "ring and src must not be null");
    }
    return guarded([&] {
        ring->ring.publish(static_cast<const std::byte*>(src), ring->ring.frames_in(nbytes));
    });
}

quorvane_status quorvane_publish_stamped(quorvane_ring* ring, const void* src, int64_t timestamp_ns,
                                         uint64_t user) {
    if (ring == nullptr || src == nullptr) {
        return fail(QUORVANE_INVALID_ARGUMENT, "ring and src must not be null");
    }
    const quorvane::Stamp stamp{timestamp_ns, user};
    return guarded([&] { ring->ring.publish(static_cast<const std::byte*>(src), 1, &stamp); });
}

void quorvane_commit_stamped(quorvane_ring* ring, int64_t timestamp_ns, uint64_t user) {
    ring->ring.commit({timestamp_ns, user});
}

void quorvane_end_stream(quorvane_ring* ring) {
    if (ring != nullptr) ring->ring.end_stream();
}

int quorvane_producer_alive(const quorvane_ring* ring) {
    if (ring == nullptr) return -1;
    try {
        const auto alive = ring->ring.producer_alive();
        return alive ? int(*alive) : -1;
    } catch (...) {
        return -1;
    }
}

void* quorvane_next_slot(quorvane_ring* ring) {
    return ring->ring.next_slot();
}

void quorvane_commit(quorvane_ring* ring) {
    ring->ring.commit();
}

const void* quorvane_slot(const quorvane_ring* ring, uint64_t idx) {
    return ring->ring.slot(idx);
}

quorvane_status quorvane_attach(const char* name, uint64_t timeout_ms, quorvane_ring** ring) {
    return make_ring(name, ring, [&](const std::string& n) {
        return quorvane::ShmRing::attach(n, span_ns(timeout_ms));
    });
}

quorvane_status quorvane_cursor_new(const quorvane_ring* ring, quorvane_start start,
                                    quorvane_cursor** cursor) {
    if (ring == nullptr || cursor == nullptr || start < QUORVANE_START_NEXT ||
        start > QUORVANE_START_OLDEST) {
        return fail(QUORVANE_INVALID_ARGUMENT, "ring and cursor must not be null; start known");
    }
    *cursor = nullptr;
    return guarded([&] {
        *cursor = std::make_unique<quorvane_cursor>(
                      quorvane::Cursor(ring->ring, static_cast<quorvane::Cursor::Start>(start)))
                      .release();
    });
}

void quorvane_cursor_free(quorvane_cursor* cursor) {
    delete cursor;
}

quorvane_status quorvane_take(quorvane_cursor* cursor, quorvane_frame* frame) {
    return hand_out(cursor, frame, [](quorvane::Cursor& c) { return c.take(); });
}

quorvane_status quorvane_latest(quorvane_cursor* cursor, quorvane_frame* frame) {
    return hand_out(cursor, frame, [](quorvane::Cursor& c) { return c.latest(); });
}

quorvane_status quorvane_next(quorvane_cursor* cursor, uint64_t timeout_ms, quorvane_frame* frame) {
    const std::int64_t span = span_ns(timeout_ms);
    const std::int64_t deadline = span < 0 ? INT64_MAX : quorvane::now_ns() + span;
    while (true) {
        const quorvane_status status = quorvane_take(cursor, frame);
        if (status != QUORVANE_NO_FRAME) return status;
        if (!cursor->cursor.wait(deadline) && quorvane::now_ns() >= deadline) {
            return fail(QUORVANE_TIMEOUT, "no new frame in time");
        }
    }
}

int quorvane_intact(const quorvane_cursor* cursor, const quorvane_frame* frame) {
    if (cursor == nullptr || frame == nullptr) return 0;
    return cursor->cursor.intact({frame->seq,
                                  frame->handed_at,
                                  {frame->capacity, frame->frame_bytes},
                                  frame->generation,
                                  static_cast<const std::byte*>(frame->data),
                                  {frame->timestamp_ns, frame->user}});
}

uint64_t quorvane_missed(const quorvane_cursor* cursor) {
    return cursor == nullptr ? 0 : cursor->cursor.missed();
}

uint64_t quorvane_restarts(const quorvane_cursor* cursor) {
    return cursor == nullptr ? 0 : cursor->cursor.restarts();
}

const char* quorvane_last_error(void) {
    return last_error.c_str();
}

}  // extern "C"
