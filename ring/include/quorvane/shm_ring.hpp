// A ring of fixed-size frames in one named shared-memory segment:
// a 24-byte header followed at once by `capacity` slots of `frame_bytes` bytes.
// The public C++ interface of the ring core (installed as <quorvane/shm_ring.hpp>).
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <quorvane/failure.hpp>

namespace quorvane {

// The clock of every deadline of the core and its readers.
inline std::int64_t now_ns() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

static_assert(std::endian::native == std::endian::little,
              "the segment layout is little-endian; other programs read it as such");

struct RingHeader {
    std::uint64_t write_idx;    // frames published since the last create; only the writer stores it
    std::uint64_t capacity;     // as passed to create, for other readers of the segment
    std::uint64_t frame_bytes;  // likewise
};
static_assert(sizeof(RingHeader) == 24);
static_assert(offsetof(RingHeader, write_idx) == 0);
static_assert(offsetof(RingHeader, capacity) == 8);
static_assert(offsetof(RingHeader, frame_bytes) == 16);
// Readers in other processes rely on write_idx being one indivisible word.
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free);
static_assert(alignof(RingHeader) >= std::atomic_ref<std::uint64_t>::required_alignment);

// What a typed producer declares of its frames: a NumPy array-interface type string
// ("|u1", "<u2", "<f4": byte order, kind, item size) and a C-ordered shape of 1 to 4
// dimensions. ndim 0: untyped, frames are bytes.
struct QUORVANE_RING_API FrameType {
    std::array<char, 16> typestr{};  // NUL-terminated
    std::uint32_t ndim = 0;
    std::uint32_t reserved = 0;
    std::array<std::uint64_t, 4> shape{};

    // The type of `typestr` and `shape`; throws bad_frame_type unless the string is one
    // NumPy gives for a fixed-size number (kinds b, i, u, f, c) and the shape has 1 to 4
    // dimensions, none zero.
    static FrameType of(const std::string& typestr, const std::uint64_t* shape, std::size_t ndim);
    [[nodiscard]] std::uint64_t item_bytes() const noexcept;
    // item_bytes times every dimension: what the ring's frame_bytes is.
    [[nodiscard]] std::uint64_t frame_bytes() const noexcept;
    friend bool operator==(const FrameType&, const FrameType&) = default;
};

// What a producer stamps each frame with, beside the frame in the companion: written
// before the index store that publishes the frame, so that the frame's intact rule covers
// it too.
struct Stamp {
    std::int64_t timestamp_ns = 0;  // the producer's (by default: nanoseconds since the epoch)
    std::uint64_t user = 0;         // the producer's own word
};

// What the 24-byte header cannot hold, in a second named object beside the ring (the
// ring's name, up to its first NUL, then companion_suffix): made by create, found by open.
// Programs that know only the header never see it, and the ring's own bytes are the same
// with or without it. It lives as the ring does: every handle holds both. One page, then
// a Stamp per slot (stamp_slots of them, fixed when the object is made).
struct Companion {
    std::uint64_t magic;       // companion_magic once a create has set it up
    std::uint64_t generation;  // bumped by every create, before it resets write_idx
    std::uint32_t bell;        // changed by the producer each time it wakes sleepers
    std::uint32_t sleepers;    // readers that registered to be woken
    std::uint64_t ended;       // the generation whose producer ended its stream (0: none)
    std::uint64_t stamp_slots;
    std::uint64_t producer;     // the platform's token for the producer (mark_writer)
    std::uint32_t type_writes;  // odd while a create rewrites `type`
    std::uint32_t producers;    // handles a create made, still open (not after a crash)
    FrameType type;
};
inline constexpr std::uint64_t companion_magic = 0x32'70'6d'6f'63'76'71'00;  // "\0qvcomp2"
inline constexpr std::uint64_t companion_bytes = 4096;  // the page before the stamps
inline constexpr const char* companion_suffix = ".quorvane";
static_assert(sizeof(Companion) <= companion_bytes);
static_assert(sizeof(Stamp) == 16 && sizeof(FrameType) == 56);

// Where a float32 view starts and how it is laid out. Up to three dimensions.
struct ViewGeometry {
    const std::byte* first = nullptr;
    int ndim = 0;
    std::array<std::int64_t, 3> shape{};
    std::array<std::int64_t, 3> strides{};  // in bytes
    std::int64_t length = 0;                // bytes covered by the elements: product(shape) * 4
};

struct QUORVANE_RING_API ShmRing {
    static constexpr std::uint64_t header_bytes = sizeof(RingHeader);
    static constexpr std::int64_t item_bytes = 4;  // views read float32

    void* mapping = nullptr;  // the platform layer's handle on the named object
    std::uint64_t capacity = 0;
    std::uint64_t frame_bytes = 0;
    std::uint64_t total_bytes = 0;
    void* view = nullptr;
    RingHeader* header = nullptr;
    std::byte* data = nullptr;
    // Null for a ring made by a program that knows only the header (a foreign producer).
    void* companion_mapping = nullptr;
    Companion* companion = nullptr;
    Stamp* stamps = nullptr;  // stamp_slots of them, right after the companion's page
    std::uint64_t stamp_slots = 0;
    void* bell = nullptr;    // the platform's doorbell object, where it needs one
    bool producing = false;  // made by create: this handle marks the producer alive

    // Makes the named segment, or reuses a live one and initialises its header again; and
    // beside it the companion, whose generation it bumps first. Where the companion cannot
    // be had (a name too long for its suffix, say), the ring is made without it.
    static ShmRing create(const std::string& name, std::uint64_t capacity,
                          std::uint64_t frame_bytes);
    // A typed ring: frame_bytes from the type, which the companion records (no_companion
    // if it cannot be had).
    static ShmRing create(const std::string& name, std::uint64_t capacity, const FrameType& type);
    // Attaches to a live segment (and its companion, if it has one) without touching them.
    static ShmRing open(const std::string& name, std::uint64_t capacity, std::uint64_t frame_bytes);
    // Attaches to a live ring with the capacity and frame_bytes its header holds, once:
    // open_failed while there is no segment of that name, name_refused when something this
    // user may not open is there, segment_too_small and header_past_segment for a segment
    // that cannot be the ring its header says, and header_not_valid while the header holds
    // no ring's geometry (zeros while a create is making it) or changes under the call.
    static ShmRing open_as_made(const std::string& name);
    // open_as_made, looking again every few milliseconds while there is no ring yet (until
    // `timeout_ns`; negative: for ever) or one is being made (briefly, whatever the timeout).
    // `interrupted`, called between looks, ends the wait by returning true.
    static ShmRing attach(const std::string& name, std::int64_t timeout_ns,
                          bool (*interrupted)(void*) = nullptr, void* context = nullptr);

    // Whether a handle in any process holds the ring `name` (on Linux a ring whose holders
    // all ended without releasing it is held by none: stale). Takes no lock and never
    // waits; nothing if it cannot be told (no such ring, or not this user's).
    static std::optional<bool> is_held(const std::string& name);

    ShmRing() = default;
    ShmRing(const ShmRing&) = delete;
    ShmRing& operator=(const ShmRing&) = delete;
    ShmRing(ShmRing&& other) noexcept;
    ShmRing& operator=(ShmRing&& other) noexcept;
    ~ShmRing();

    // Unmaps and closes; leaves the handle empty. Safe on an empty handle.
    void release() noexcept;

    // Acquire: the frames below it are complete. The fence before the load also orders it
    // after the caller's earlier reads of a frame, which makes it a valid re-check.
    [[nodiscard]] std::uint64_t write_idx() const noexcept {
        std::atomic_thread_fence(std::memory_order_acquire);
        return std::atomic_ref<std::uint64_t>(header->write_idx).load(std::memory_order_acquire);
    }

    // The segment's header as any program reading it sees it: the creator's numbers, which
    // may differ from this handle's own. A create may be rewriting it: each field is read
    // as one word, and a header being made reads as capacity or frame_bytes 0. create
    // stores the geometry with release after the index, so once a new geometry shows, the
    // index loads after it show that create's reset too.
    [[nodiscard]] RingHeader read_header() const noexcept {
        return {
            write_idx(),
            std::atomic_ref<std::uint64_t>(header->capacity).load(std::memory_order_acquire),
            std::atomic_ref<std::uint64_t>(header->frame_bytes).load(std::memory_order_acquire)};
    }

    // The companion's generation: which create made the ring as it is now (0 without one).
    [[nodiscard]] std::uint64_t generation() const noexcept {
        if (companion == nullptr) return 0;
        return std::atomic_ref<std::uint64_t>(companion->generation)
            .load(std::memory_order_acquire);
    }

    // The type the producer declared; nothing for an untyped ring. Read whole, never torn
    // by a create rewriting it.
    [[nodiscard]] std::optional<FrameType> frame_type() const;

    // The stamp in slot `slot` (of the ring as made when the frame was handed out: its
    // seq modulo that capacity); zeros without a companion, or past its stamps. Read it
    // before the frame's intact check, as the frame's bytes.
    [[nodiscard]] Stamp stamp_at(std::uint64_t slot) const noexcept {
        if (slot >= stamp_slots) return {};
        const Stamp& s = stamps[slot];
        return {std::atomic_ref<const std::int64_t>(s.timestamp_ns).load(std::memory_order_relaxed),
                std::atomic_ref<const std::uint64_t>(s.user).load(std::memory_order_relaxed)};
    }

    // The producer says its stream is over: readers that have taken every frame are told
    // so (and woken), until a create starts a new stream. No effect without a companion.
    void end_stream() noexcept;
    // Whether the producer of `generation` ended its stream.
    [[nodiscard]] bool stream_ended(std::uint64_t generation) const noexcept {
        return companion != nullptr &&
               std::atomic_ref<std::uint64_t>(companion->ended).load(std::memory_order_acquire) ==
                   generation;
    }
    // Whether a handle that a create made (a producer) is still open in some process:
    // false once every producer ended, with or without releasing; nothing if it cannot be
    // told (no companion).
    [[nodiscard]] std::optional<bool> producer_alive() const;

    // How many frames `nbytes` of source make; throws unless it is a whole number.
    [[nodiscard]] std::uint64_t frames_in(std::uint64_t nbytes) const;

    // Copies `count` frames from `src` into the slots after write_idx, storing the advanced
    // index with release ordering after each, then wakes the readers asleep on the ring.
    // With none asleep it makes no system call and, unless `src` lies in this segment
    // itself, allocates nothing. With `stamps` (one per frame, a ring with a companion),
    // each frame's stamp is written with it.
    void publish(const std::byte* src, std::uint64_t count, const Stamp* stamps = nullptr);

    // The slot of frame `idx` (modulo capacity).
    [[nodiscard]] std::byte* slot(std::uint64_t idx) const noexcept {
        return data + (idx % capacity) * frame_bytes;
    }

    // Writing in place, one frame at a time: build the frame in next_slot(), then commit().
    // The slot is the one of frame write_idx; readers may still be reading the frame it
    // held, and their re-check tells them so, because the index already names the frame
    // being written. (A batch of frames written before one commit would break that: the
    // index cannot name several frames being written without publishing them.)
    [[nodiscard]] std::byte* next_slot() noexcept {
        // As in publish: the last stored index is visible before any byte of this frame.
        std::atomic_thread_fence(std::memory_order_release);
        // Only this writer stores the index: its own last store needs no ordering.
        return slot(
            std::atomic_ref<std::uint64_t>(header->write_idx).load(std::memory_order_relaxed));
    }
    // Publishes the frame written in next_slot(): its bytes are visible before the index.
    void commit() noexcept {
        auto index = std::atomic_ref<std::uint64_t>(header->write_idx);
        index.store(index.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        wake_sleepers();
    }
    // commit(), with the frame's stamp.
    void commit(const Stamp& stamp) noexcept {
        write_stamp(
            std::atomic_ref<std::uint64_t>(header->write_idx).load(std::memory_order_relaxed),
            stamp);
        commit();
    }

    // After storing write_idx: rings the bell if a reader registered to sleep on it.
    void wake_sleepers() noexcept {
        if (companion == nullptr) return;
        // Pairs with the fence in sleep_unless(): a sleeper either sees the new index
        // before it sleeps, or is counted here.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (std::atomic_ref<std::uint32_t>(companion->sleepers).load(std::memory_order_relaxed) !=
            0) {
            ring_bell();
        }
    }

    // Sleeps until the producer rings (after publishing, or making the ring again), at
    // most timeout_ns, unless write_idx already differs from `seen`. Only for a ring with a
    // companion; may return early. True if a signal handler ran meanwhile (Linux).
    [[nodiscard]] bool sleep_unless(std::uint64_t seen, std::int64_t timeout_ns) const noexcept;

    // Float32 views onto slots; slot numbers are taken modulo capacity.
    [[nodiscard]] ViewGeometry frame_view(std::uint64_t idx, std::int64_t rows,
                                          std::int64_t cols) const;
    [[nodiscard]] ViewGeometry window_view(std::uint64_t start, std::uint64_t count,
                                           std::int64_t rows, std::int64_t cols) const;

private:
    void write_stamp(std::uint64_t idx, const Stamp& stamp) noexcept {
        if (stamp_slots == 0) return;
        Stamp& s = stamps[idx % capacity];  // create made stamp_slots >= capacity
        std::atomic_ref<std::int64_t>(s.timestamp_ns)
            .store(stamp.timestamp_ns, std::memory_order_relaxed);
        std::atomic_ref<std::uint64_t>(s.user).store(stamp.user, std::memory_order_relaxed);
    }
    static ShmRing map(void* mapping, std::uint64_t capacity, std::uint64_t frame_bytes,
                       std::uint64_t total_bytes);
    static ShmRing make(const std::string& name, std::uint64_t capacity, std::uint64_t frame_bytes,
                        const FrameType& type);
    void open_companion(const std::string& name, bool create);
    void ring_bell() noexcept;
};

}  // namespace quorvane
