// A reader's place in a ring: which frames it may still take, which it missed, when the
// producer restarted, whether a frame it read stayed intact, and how to wait for the next
// one. Every reader of this project (Python's quorvane_reader, the C API) is this class.
//
// Header only, on purpose: quorvane_reader's native module uses it without linking the
// core, so that a process keeps one record of its handles.
#pragma once

#include <algorithm>
#include <array>
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

// When to look at write_idx next, learnt from when frames came before.
//
// The one promise: no sleep is so long that a reader polling every millisecond would
// keep a frame this one loses. A frame is lost only once `capacity` frames come while the
// reader sleeps, so no sleep is longer than the time in which half the ring's room fills
// at the fastest rate seen lately (measured over spans of at least horizon_ns, so that a
// burst counts with the pause after it); until a rate is known, and while frames come
// unevenly, sleeps last at most a millisecond. Within that bound:
// - frames come fast (closer than fast_ns): spin for the next one, briefly;
// - frames come at a steady rate (the median interval of the last ones, their quartiles
//   within an eighth of it and a millisecond): sleep until `lead` before the next is due
//   (from the last frame timed, plus the period), then look every poll_ns (more when
//   frames scatter more) until late_ns after it;
// - otherwise: sleep, doubling from poll_ns up to backoff_ns, and up to idle_sleep_ns
//   once the producer has been quiet for idle_ns.
// A frame is timed as the middle of the last wait, the one that saw it come. A wake that
// finds several frames at once, a frame after the window, or frames already there when
// the sleep to their due time ends three times in a row: the rate is not the one learnt.
// It is forgotten and learnt again, never extrapolated.
//
// Near a due time it sleeps in short steps rather than spinning: a producer that paces
// itself with sleeps scatters its frames by hundreds of microseconds, which a spin would
// burn. A frame already there on the first look after the long sleep came at an unknown
// moment: it is not timed, the lead grows by a fifth (shrinking by 8 % when a frame comes
// later), and the phase is kept. Long sleeps end early by how late they have been waking.
class Pace {
public:
    static constexpr std::int64_t fast_ns = 200'000;
    static constexpr std::int64_t poll_ns = 100'000;
    static constexpr std::int64_t late_ns = 2'000'000;
    static constexpr std::int64_t lead_min_ns = 100'000;
    static constexpr std::int64_t backoff_ns = 1'000'000;  // the poll no reader may lose to
    static constexpr std::int64_t horizon_ns = 2'000'000;
    static constexpr std::int64_t idle_ns = 250'000'000;
    static constexpr std::int64_t idle_sleep_ns = 50'000'000;
    static constexpr std::int64_t steady_spread_max_ns = 1'000'000;

    static std::int64_t now_ns() noexcept {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    explicit Pace(std::uint64_t capacity) noexcept : capacity_(capacity) {}

    // Waits once, a sleep or a spin, never past `deadline_ns`, for write_idx to differ
    // from `seen`; returns what it read last.
    std::uint64_t wait_once(const ShmRing& ring, std::uint64_t seen,
                            std::int64_t deadline_ns) noexcept {
        const std::int64_t start = now_ns();
        auto [kind, until] = plan(start);
        until = std::min(until, deadline_ns);
        std::uint64_t w = seen;
        if (kind == Kind::spin) {
            spun_ns_ += std::max<std::int64_t>(until - start, 0);
            while ((w = ring.write_idx()) == seen && now_ns() < until) cpu_relax();
        } else {
            std::this_thread::sleep_for(std::chrono::nanoseconds(until - start));
            if (kind == Kind::sleep_to_due) {  // long sleeps end later than short ones
                const std::int64_t late = std::max<std::int64_t>(now_ns() - until, 0);
                oversleep_ns_ += (late - oversleep_ns_) / 4;
            }
            w = ring.write_idx();
        }
        window_ = {start, now_ns(), kind == Kind::sleep_to_due};
        return w;
    }

    // The last wait saw write_idx go from `before` up to `index`.
    void arrived(std::uint64_t before, std::uint64_t index) noexcept {
        const auto [start, end, first_look] = window_;
        backoff_ = poll_ns;
        spun_ns_ = 0;
        note_rate(end, index);
        if (index - before > 1) {  // several at once: not the rhythm learnt, whatever it was
            forget_period();
            return;
        }
        if (first_look && period_ns_ != 0) {
            if (++early_in_row_ == 3) {  // again and again: the period learnt is off
                forget_period();
                return;
            }
            due_ns_ += period_ns_ - lead_ns_;
            lead_ns_ = std::min(lead_ns_ * 6 / 5, period_ns_ / 4);
            return;
        }
        early_in_row_ = 0;
        lead_ns_ = std::max(lead_min_ns, lead_ns_ * 23 / 25);
        const std::int64_t came = (start + end) / 2;
        if (period_ns_ != 0 && came > due_ns_ + late_ns) {
            forget_period();  // past the window: not the beat learnt
        }
        if (timed_ && index <= last_timed_.index) forget_period();  // as in note_rate
        if (timed_) {
            intervals_[interval_count_++ % intervals_.size()] =
                (came - last_timed_.ns) / std::int64_t(index - last_timed_.index);
        }
        timed_ = true;
        last_timed_ = {came, index};
        slack_ns_ += ((end - start) / 2 - slack_ns_) / 4;
        learn_period(came);
    }

private:
    enum class Kind { spin, sleep, sleep_to_due };
    struct Arrival {
        std::int64_t ns = 0;
        std::uint64_t index = 0;
    };
    struct Window {
        std::int64_t start = 0;
        std::int64_t end = 0;
        bool first_look = false;
    };

    void forget_period() noexcept {
        period_ns_ = 0;
        interval_count_ = 0;
        timed_ = false;
        early_in_row_ = 0;
    }

    // One sample of the time per frame, over the shortest span of recent looks that found
    // frames reaching back at least horizon_ns (or as far as they go).
    void note_rate(std::int64_t end, std::uint64_t index) noexcept {
        // An index that went back without a restart showing (two writers, which nothing
        // prevents) leaves nothing to measure against.
        if (look_count_ != 0 && looks_[(look_count_ - 1) % looks_.size()].index >= index) {
            look_count_ = 0;
        }
        const std::size_t n = std::min(look_count_, looks_.size());
        for (std::size_t back = 1; back <= n; ++back) {
            const Arrival& then = looks_[(look_count_ - back) % looks_.size()];
            if (end - then.ns >= horizon_ns || back == n) {
                gaps_[gap_count_++ % gaps_.size()] =
                    (end - then.ns) / std::int64_t(index - then.index);
                break;
            }
        }
        looks_[look_count_++ % looks_.size()] = {end, index};
    }

    void learn_period(std::int64_t came) noexcept {
        const std::size_t n = std::min(interval_count_, intervals_.size());
        period_ns_ = 0;
        if (n < intervals_.size() / 4) return;
        std::array<std::int64_t, 16> ordered{};
        std::copy_n(intervals_.begin(), n, ordered.begin());
        std::sort(ordered.begin(), ordered.begin() + std::ptrdiff_t(n));
        const std::int64_t period = ordered[n / 2];
        const std::int64_t spread = (ordered[3 * n / 4] - ordered[n / 4]) / 2;
        if (period >= fast_ns && spread > std::min(period / 8, steady_spread_max_ns) + slack_ns_) {
            return;
        }
        period_ns_ = period;
        spread_ns_ = spread;
        // From the newest arrival alone: the period's own error adds up over older ones.
        due_ns_ = came + period;
    }

    // The longest sleep in which at most half the ring's room can fill at the fastest rate
    // seen lately; a millisecond while no rate is known.
    [[nodiscard]] std::int64_t room_ns() const noexcept {
        if (gap_count_ == 0) return backoff_ns;
        const std::size_t n = std::min(gap_count_, gaps_.size());
        const std::int64_t fastest = *std::min_element(gaps_.begin(), gaps_.begin() + n);
        const auto room = std::int64_t(capacity_ > 1 ? capacity_ - 1 : 0);
        return std::max<std::int64_t>(fastest * room / 2, poll_ns);
    }

    std::pair<Kind, std::int64_t> plan(std::int64_t now) noexcept {
        const std::int64_t room = room_ns();
        if (period_ns_ != 0 && period_ns_ < fast_ns) {
            const std::int64_t budget = std::min(4 * period_ns_, fast_ns);
            if (spun_ns_ < budget) return {Kind::spin, now + budget - spun_ns_};
        } else if (period_ns_ != 0) {
            // Early enough for the frames' scatter and for how blurred their timing was;
            // looks as far apart as the scatter allows for the latency wanted.
            const std::int64_t lead = std::max(lead_ns_, spread_ns_ + slack_ns_);
            const std::int64_t wake = due_ns_ - lead - oversleep_ns_;
            const std::int64_t step = std::clamp(spread_ns_, poll_ns, 5 * poll_ns / 2);
            if (now < wake) return {Kind::sleep_to_due, now + std::min(wake - now, room)};
            if (now < due_ns_ + late_ns) return {Kind::sleep, now + std::min(step, room)};
        }
        const bool idle =
            look_count_ != 0 && now - looks_[(look_count_ - 1) % looks_.size()].ns > idle_ns;
        const std::int64_t most = std::min(idle ? idle_sleep_ns : backoff_ns, room);
        const std::int64_t sleep = std::min(backoff_, most);
        backoff_ = std::min(backoff_ * 2, std::max(most, poll_ns));
        return {Kind::sleep, now + sleep};
    }

    std::uint64_t capacity_;
    std::array<Arrival, 16> looks_{};  // the last looks that found frames: when, and the index
    std::size_t look_count_ = 0;
    std::array<std::int64_t, 16> gaps_{};  // time per frame, from note_rate
    std::size_t gap_count_ = 0;
    bool timed_ = false;
    Arrival last_timed_;  // the last arrival timed closely enough to learn a period from
    std::array<std::int64_t, 16> intervals_{};  // between such arrivals, per frame
    std::size_t interval_count_ = 0;
    std::int64_t slack_ns_ = 0;   // half the width of the windows arrivals were seen in
    std::int64_t period_ns_ = 0;  // the producer's, while a steady one shows; 0 otherwise
    std::int64_t spread_ns_ = 0;  // how far its frames scatter about it
    std::int64_t due_ns_ = 0;     // when the next frame is due
    std::int64_t lead_ns_ = lead_min_ns;
    int early_in_row_ = 0;  // frames already there when a sleep to their due time ended
    std::int64_t backoff_ = poll_ns;
    std::int64_t spun_ns_ = 0;  // spun for the frame awaited
    std::int64_t oversleep_ns_ = 0;
    Window window_;
};

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
// A frame read under index W is intact if, loaded after the reads, the header still has
// the geometry it was read with, and its index W' satisfies W <= W' (no restart sent it
// down) and W' < seq + capacity (its overwriter has not begun). A producer that restarts
// with the same geometry and publishes past W before the re-check cannot be told by the
// header alone.
class Cursor {
public:
    enum class Start { next, newest, oldest };

    struct Frame {
        std::uint64_t seq;        // its number since the producer's create
        std::uint64_t handed_at;  // write_idx when it was handed out
        Geometry geometry;        // of the ring when it was handed out
        const std::byte* slot;
    };

    // `ring` must outlive the cursor. It follows the ring's header from the handle's own
    // geometry on, and throws GeometryError once the header shows one the handle's
    // mapping cannot hold.
    Cursor(const ShmRing& ring, Start start)
        : ring_(&ring), geometry_{ring.capacity, ring.frame_bytes}, pace_(ring.capacity) {
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
        return made_geometry() == frame.geometry && frame.handed_at <= w &&
               w < frame.seq + frame.geometry.capacity;
    }

    // Waits until take() may have a frame (write_idx moved, or a restart) or until
    // `deadline_ns` (Pace::now_ns's clock) passes; returns whether it did.
    bool wait(std::int64_t deadline_ns) noexcept {
        if (next_ < seen_) return true;
        const std::uint64_t seen = seen_;
        while (Pace::now_ns() < deadline_ns) {
            const std::uint64_t w = pace_.wait_once(*ring_, seen, deadline_ns);
            if (w > seen) pace_.arrived(seen, w);
            if (w != seen) return true;
        }
        return false;
    }

    [[nodiscard]] Geometry geometry() const noexcept { return geometry_; }
    [[nodiscard]] std::uint64_t next() const noexcept { return next_; }
    [[nodiscard]] std::uint64_t missed() const noexcept { return missed_; }
    [[nodiscard]] std::uint64_t restarts() const noexcept { return restarts_; }
    // Bumped each time the cursor takes up a new geometry.
    [[nodiscard]] std::uint64_t generation() const noexcept { return generation_; }

private:
    [[nodiscard]] Geometry made_geometry() const noexcept {
        const RingHeader h = ring_->read_header();
        return {h.capacity, h.frame_bytes};
    }

    [[nodiscard]] std::uint64_t oldest_held(std::uint64_t w) const noexcept {
        const std::uint64_t held = geometry_.capacity - 1;
        return w > held ? w - held : 0;
    }

    // write_idx and the geometry it belongs to, or nothing while a create is rewriting the
    // header. create stores the index first, then the geometry with release: a geometry
    // read the same on both sides of the index load belongs to it, or to a create in the
    // middle of writing, which only a producer's first frame settles (write_idx > 0).
    [[nodiscard]] std::optional<std::pair<std::uint64_t, Geometry>> observe_header()
        const noexcept {
        const Geometry before = made_geometry();
        const std::uint64_t w = ring_->write_idx();
        const Geometry after = made_geometry();
        if (before != after) return std::nullopt;
        return std::pair{w, after};
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
        const auto [w, made] = *reading;
        if (made != geometry_) {
            restarted();
            if (w == 0) return std::nullopt;  // its header may not be whole yet
            check_fits(made);
            geometry_ = made;
            ++generation_;
            pace_ = Pace(made.capacity);
        } else if (w < seen_) {
            restarted();
        }
        seen_ = w;
        return w;
    }

    // A new producer counts from 0 again. Counted once, and only if this cursor saw the
    // old one publish.
    void restarted() noexcept {
        if (seen_ != 0) ++restarts_;
        seen_ = 0;
        next_ = 0;
        pace_ = Pace(geometry_.capacity);
    }

    [[nodiscard]] Frame frame(std::uint64_t seq, std::uint64_t w) const noexcept {
        return {seq, w, geometry_,
                ring_->data + (seq % geometry_.capacity) * geometry_.frame_bytes};
    }

    const ShmRing* ring_;
    Geometry geometry_;
    Pace pace_;
    std::uint64_t next_ = 0;
    std::uint64_t seen_ = 0;  // the newest write_idx seen
    std::uint64_t missed_ = 0;
    std::uint64_t restarts_ = 0;
    std::uint64_t generation_ = 0;
};

}  // namespace quorvane
