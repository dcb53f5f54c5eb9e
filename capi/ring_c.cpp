// The C interface over the ring core: a handle is a heap ShmRing; every exception ends
// here as a status and a per-thread message.
#include <quorvane/quorvane.h>
#include <quorvane/shm_ring.hpp>

#include <array>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

struct quorvane_ring {
    explicit quorvane_ring(quorvane::ShmRing made) : ring(std::move(made)) {}
    quorvane::ShmRing ring;
};

namespace {

thread_local std::string last_error;

// The core's messages, as the system's own, and the status each one is.
constexpr std::array<std::pair<std::string_view, quorvane_status>, 6> statuses{{
    {"capacity and frame_bytes must be positive", QUORVANE_BAD_SIZE},
    {"ring size too large", QUORVANE_BAD_SIZE},
    {"size not multiple of frame_bytes", QUORVANE_BAD_SIZE},
    {"CreateFileMapping failed", QUORVANE_CREATE_FAILED},
    {"OpenFileMapping failed", QUORVANE_OPEN_FAILED},
    {"MapViewOfFile failed", QUORVANE_MAP_FAILED},
}};

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
    } catch (const std::bad_alloc&) {
        return fail(QUORVANE_OUT_OF_MEMORY, "out of memory");
    } catch (const std::exception& error) {
        const std::string_view message = error.what();
        for (const auto& [known, status] : statuses) {
            if (message == known) return fail(status, std::string(message));
        }
        return fail(QUORVANE_FAILED, std::string(message));
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

}  // namespace

extern "C" {

quorvane_status quorvane_create(const char* name, uint64_t capacity, uint64_t frame_bytes,
                                quorvane_ring** ring) {
    return make_ring(name, ring, [&](const std::string& n) {
        return quorvane::ShmRing::create(n, capacity, frame_bytes);
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
    return ring->ring.capacity;
}

uint64_t quorvane_frame_bytes(const quorvane_ring* ring) {
    return ring->ring.frame_bytes;
}

uint64_t quorvane_write_idx(const quorvane_ring* ring) {
    return ring->ring.write_idx();
}

quorvane_status quorvane_publish(quorvane_ring* ring, const void* src, uint64_t nbytes) {
    if (ring == nullptr || (src == nullptr && nbytes != 0)) {
        return fail(QUORVANE_INVALID_ARGUMENT, "ring and src must not be null");
    }
    return guarded([&] {
        ring->ring.publish(static_cast<const std::byte*>(src), ring->ring.frames_in(nbytes));
    });
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

const char* quorvane_last_error(void) {
    return last_error.c_str();
}

}  // extern "C"
