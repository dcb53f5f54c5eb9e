// A reader's place in a ring: which frames it may still take, which it missed, when the
// producer restarted, whether a frame it read stayed intact, and how to wait for the next
// one. Every reader of this project (Python's quorvane_reader, the C API) is this class.
//
// Waiting, whose bound fits in a sentence each:
// - a ring with a companion: sleep until the producer rings, looking at least every 250 ms;
// - a ring without (a producer that knows only the header): sleep 50 us, doubling up to
//   1 ms while nothing comes, so no frame is lost that polling every millisecond keeps;
// - either: spin up to 50 us first while the last two waits ended less than 50 us apart.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#elif defined(_M_ARM64)
#include <intrin.h>
#endif

#include <quorvane/shm_ring.hpp>

namespace quorvane {

// Tells the core it is in a spin-wait: saves power, and lets a hyperthread sibling run.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(_M_X64)
    _mm_pause();
#elif defined(_M_ARM64)
    __yield();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// The numbers a ring was made with, as its header says.
struct Geometry {
    std::uint64_t capacity = 0;
    std::uint64_t frame_bytes = 0;
    friend bool operator==(const Geometry&, const Geometry&) = default;
};

// The producer restarted with a geometry this handle's mapping cannot hold.
struct GeometryError : std::runtime_error {
    GeometryError(Geometry from, Geometry to)
        : std::runtime_error("the producer made the ring again with capacity " +
                             std::to_string(to.capacity) + " and frame_bytes " +
                             std::to_string(to.frame_bytes) + " (was capacity " +
                             std::to_string(from.capacity) + " and frame_bytes " +
                             std::to_string(from.frame_bytes) + "), more than this handle maps") {}
};

// Which frames a reader may take, and whether what it read of one stayed intact.
//
// The writer stores write_idx = n + 1 once frame n is complete, and stores n before the
// first byte of frame n goes into its slot (the index names the frame being written). So
// at index w the ring holds frames w - capacity + 1 .. w - 1: frame w - capacity shares
// its slot with frame w, which may be being written right now, and counts as gone.
//
// A frame read under index W is intact if, loaded after the reads, the companion still has
// the generation and the header the geometry it was read with, and its index W' satisfies
// W <= W' (no restart sent it down) and W' < seq + capacity (its overwriter has not begun).
// Without a companion (a ring made by a program that knows only the header), a producer
// that restarts with the same geometry and publishes past W before the re-check cannot be
// told.
class Cursor {
public:
    enum class Start { next, newest, oldest };

    struct Frame {
        std::uint64_t seq;         // its number since the producer's create
        std::uint64_t handed_at;   // write_idx when it was handed out
        Geometry geometry;         // of the ring when it was handed out
        std::uint64_t generation;  // the companion's, likewise (0 without one)
        const std::byte* slot;
        Stamp stamp;  // as the producer stamped it (zeros if it did not)
    };

    static constexpr std::int64_t spin_ns = 50'000;
    static constexpr std::int64_t first_poll_ns = 50'000;
    static constexpr std::int64_t longest_poll_ns = 1'000'000;

    // `ring` must outlive the cursor. It follows the ring's header from the handle's own
    // geometry on, and throws GeometryError once the header shows one the handle's
    // mapping cannot hold. A ring of one slot is refused (single_slot): the producer may
    // be overwriting its only frame at any moment.
    Cursor(const ShmRing& ring, Start start)
        : ring_(&ring), geometry_{ring.capacity, ring.frame_bytes}, generation_(ring.generation()) {
        if (ring.capacity < 2) throw RingError(Failure::single_slot);
        const std::uint64_t w = observe().value_or(0);
        switch (start) {
            case Start::next:
                next_ = w;
                break;
            case Start::newest:
                next_ = w > 0 ? w - 1 : 0;
                break;
            case Start::oldest:
                next_ = oldest_held(w);
                break;
        }
    }

    // The next frame in order, skipping (and counting) those already overwritten.
    std::optional<Frame> take() {
        const auto w = observe();
        if (!w || next_ >= *w) return std::nullopt;
        const std::uint64_t oldest = oldest_held(*w);
        if (next_ < oldest) {
            missed_ += oldest - next_;
            next_ = oldest;
        }
        if (next_ >= *w) return std::nullopt;  // a ring of one slot holds nothing safely
        return frame(next_++, *w);
    }

    // The newest frame; take() goes on after it.
    std::optional<Frame> latest() {
        const auto w = observe();
        if (!w || *w == 0 || oldest_held(*w) >= *w) return std::nullopt;
        next_ = *w;
        return frame(*w - 1, *w);
    }

    // Call after reading the frame's bytes (or computing from them): false means what was
    // read may mix it with a later frame.
    [[nodiscard]] bool intact(const Frame& frame) const noexcept {
        const std::uint64_t w = ring_->write_idx();  // fenced after the caller's reads
        return ring_->generation() == frame.generation && made_geometry() == frame.geometry &&
               frame.handed_at <= w && w < frame.seq + frame.geometry.capacity;
    }

    // Whether the producer ended its stream and every frame of it was handed out (or
    // missed): take() has nothing more until a create starts a new stream.
    [[nodiscard]] bool ended() {
        if (!ring_->stream_ended(generation_)) return false;
        const auto w = observe();  // loaded after the end: every frame is below it
        return w && next_ >= *w;
    }

    // Waits until take() may have a frame (write_idx moved, a restart, the stream ended) or until
    // `deadline_ns` (now_ns's clock) passes; returns whether it did. Also returns (false)
    // when a signal handler ran, for the caller to act on it (Linux, a ring with a companion).
    bool wait(std::int64_t deadline_ns) noexcept {
        if (next_ < seen_) return true;
        std::int64_t now = now_ns();
        if (fast_) {
            const std::int64_t until = std::min(now + spin_ns, deadline_ns);
            while (!moved() && (now = now_ns()) < until) cpu_relax();
        }
        std::int64_t poll = first_poll_ns;
        while (!moved()) {
            if (now >= deadline_ns) return false;
            if (ring_->companion != nullptr) {
                if (ring_->sleep_unless(seen_, deadline_ns - now) && !moved()) return false;
            } else {
                std::this_thread::sleep_for(
                    std::chrono::nanoseconds(std::min(poll, deadline_ns - now)));
                poll = std::min(2 * poll, longest_poll_ns);
            }
            now = now_ns();
        }
        fast_ = now - last_wake_ns_ < spin_ns;
        last_wake_ns_ = now;
        return true;
    }

    [[nodiscard]] Geometry geometry() const noexcept { return geometry_; }
    [[nodiscard]] std::uint64_t next() const noexcept { return next_; }
    [[nodiscard]] std::uint64_t missed() const noexcept { return missed_; }
    [[nodiscard]] std::uint64_t restarts() const noexcept { return restarts_; }
    // Bumped each time the cursor takes up a new geometry.
    [[nodiscard]] std::uint64_t geometry_changes() const noexcept { return geometry_changes_; }

private:
    [[nodiscard]] Geometry made_geometry() const noexcept {
        const RingHeader h = ring_->read_header();
        return {h.capacity, h.frame_bytes};
    }

    [[nodiscard]] std::uint64_t oldest_held(std::uint64_t w) const noexcept {
        const std::uint64_t held = geometry_.capacity - 1;
        return w > held ? w - held : 0;
    }

    struct Reading {
        std::uint64_t index;
        Geometry geometry;
        std::uint64_t generation;
    };

    // write_idx and the geometry and generation it belongs to, or nothing while a create is
    // rewriting the header. create bumps the generation, then stores the index, then the
    // geometry, each with release: what reads the same on both sides of the index load
    // belongs to it, or to a create in the middle of writing, which only a producer's first
    // frame settles (write_idx > 0).
    [[nodiscard]] std::optional<Reading> observe_header() const noexcept {
        const std::uint64_t generation = ring_->generation();
        const Geometry before = made_geometry();
        const std::uint64_t w = ring_->write_idx();
        const Geometry after = made_geometry();
        if (before != after || ring_->generation() != generation) return std::nullopt;
        return Reading{w, after, generation};
    }

    // Whether take() may have something new: the index moved, a create happened, or the
    // stream ended.
    [[nodiscard]] bool moved() const noexcept {
        return ring_->write_idx() != seen_ || ring_->generation() != generation_ ||
               ring_->stream_ended(generation_);
    }

    void check_fits(Geometry g) const {
        const std::uint64_t room = ring_->total_bytes - ShmRing::header_bytes;
        if (g.capacity == 0 || g.frame_bytes == 0 || g.capacity > room / g.frame_bytes) {
            throw GeometryError(geometry_, g);
        }
    }

    // The index to act on, following a restart; nothing while the ring is being made again.
    std::optional<std::uint64_t> observe() {
        const auto reading = observe_header();
        if (!reading) return std::nullopt;
        const auto [w, made, generation] = *reading;
        if (made != geometry_) {
            restarted(generation);
            if (w == 0) return std::nullopt;  // its header may not be whole yet
            check_fits(made);
            geometry_ = made;
            ++geometry_changes_;
        } else if (generation != generation_ || w < seen_) {
            restarted(generation);
        }
        seen_ = w;
        return w;
    }

    // A new producer counts from 0 again. With a companion every create is counted;
    // without, once, and only if this cursor saw the old one publish.
    void restarted(std::uint64_t generation) noexcept {
        if (generation != generation_) {
            restarts_ += generation - generation_;
        } else if (seen_ != 0) {
            ++restarts_;
        }
        generation_ = generation;
        seen_ = 0;
        next_ = 0;
    }

    [[nodiscard]] Frame frame(std::uint64_t seq, std::uint64_t w) const noexcept {
        const std::uint64_t slot = seq % geometry_.capacity;
        return {seq,
                w,
                geometry_,
                generation_,
                ring_->data + slot * geometry_.frame_bytes,
                ring_->stamp_at(slot)};
    }

    const ShmRing* ring_;
    Geometry geometry_;
    std::uint64_t generation_;  // the companion's, as this cursor last followed it
    std::uint64_t next_ = 0;
    std::uint64_t seen_ = 0;  // the newest write_idx seen
    std::uint64_t missed_ = 0;
    std::uint64_t restarts_ = 0;
    std::uint64_t geometry_changes_ = 0;
    bool fast_ = false;  // the last two waits ended less than spin_ns apart
    std::int64_t last_wake_ns_ = 0;
};

}  // namespace quorvane
