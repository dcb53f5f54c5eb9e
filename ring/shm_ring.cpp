#include <quorvane/shm_ring.hpp>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <limits>
#include <span>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "named_mapping.hpp"

namespace quorvane {
namespace {

// User address space on x86-64 Linux and 64-bit Windows is 128 TiB; no larger ring can
// ever be mapped, so refuse it before any platform call.
constexpr std::uint64_t max_mappable_bytes = std::uint64_t{1} << 47;

std::uint64_t checked_total_bytes(std::uint64_t capacity, std::uint64_t frame_bytes) {
    if (capacity == 0 || frame_bytes == 0) {
        throw RingError(Failure::sizes_not_positive);
    }
    if (capacity > (max_mappable_bytes - ShmRing::header_bytes) / frame_bytes) {
        throw RingError(Failure::ring_too_large);
    }
    return capacity * frame_bytes + ShmRing::header_bytes;
}

// The failure of the platform call just made, with the system's account of its cause.
[[noreturn]] void platform_failed(Failure failure) {
    const int code = platform::last_error();
    if (code == 0) throw RingError(failure);
    throw RingError(failure, code, platform::error_text(code));
}

// What the Linux layer's sweep may remove once nobody holds it: an object whose first bytes
// and size are a ring's (a header whose geometry the object holds) or a companion's. A
// ring whose header is still zeros (its create never got that far) stays.
bool is_ring_or_companion(std::span<const std::byte> head, std::uint64_t size) {
    static_assert(sizeof(RingHeader) <= platform::sweep_head_bytes);
    if (head.size() >= sizeof(RingHeader)) {
        RingHeader ring{};
        std::memcpy(&ring, head.data(), sizeof ring);
        try {
            if (checked_total_bytes(ring.capacity, ring.frame_bytes) <= size) return true;
        } catch (...) {  // no ring's geometry (or no memory left to say why): maybe a companion
        }
    }
    constexpr std::size_t at = offsetof(Companion, magic);
    std::uint64_t magic = 0;
    if (size != companion_bytes || head.size() < at + sizeof magic) return false;
    std::memcpy(&magic, head.data() + at, sizeof magic);
    return magic == companion_magic;
}

// How long attach looks again at a ring being created, whatever its timeout: create
// writes the header right after making the segment.
constexpr std::int64_t creating_grace_ns = 100'000'000;

// A sleeper looks at the index at least this often, rung or not: a writer that never rings
// (a program that knows only the header, writing into a ring this project made) is still
// followed, within this.
constexpr std::int64_t unrung_look_ns = 250'000'000;

// The companion's name (and, with `also`, one more object's beside it), from the ring's
// name up to its first NUL, where both platforms end it.
std::string companion_name(const std::string& name, const char* also = "") {
    return name.substr(0, name.find('\0')) + companion_suffix + also;
}

[[noreturn]] void view_exceeds_segment() {
    throw RingError(Failure::view_past_segment);
}

// Bytes in each slot's rows x cols float32 block. The sizes must be representable the
// way NumPy counts them (empty dimensions as 1, `frames` blocks in all), so that every
// view handed out converts to an array.
std::int64_t block_bytes(std::uint64_t frames, std::int64_t rows, std::int64_t cols) {
    if (rows < 0 || cols < 0) throw RingError(Failure::negative_geometry);
    std::uint64_t extent = ShmRing::item_bytes;
    for (const std::uint64_t dim :
         {frames, static_cast<std::uint64_t>(rows), static_cast<std::uint64_t>(cols)}) {
        const std::uint64_t counted = std::max<std::uint64_t>(dim, 1);
        if (extent > std::numeric_limits<std::int64_t>::max() / counted) view_exceeds_segment();
        extent *= counted;
    }
    return rows * cols * ShmRing::item_bytes;
}

// Maps the first `bytes` of `mapping`. On any failure the mapping goes back: null, or what
// was thrown (out of memory) passed on.
void* map_or_close(platform::MappingHandle mapping, std::uint64_t bytes) {
    void* view = nullptr;
    try {
        view = platform::map_view(mapping, bytes);
    } catch (...) {
        platform::close_mapping(mapping);
        throw;
    }
    if (view == nullptr) platform::close_mapping(mapping);
    return view;
}

}  // namespace

ShmRing ShmRing::map(void* mapping, std::uint64_t capacity, std::uint64_t frame_bytes,
                     std::uint64_t total_bytes) {
    void* view = map_or_close(mapping, total_bytes);
    if (view == nullptr) platform_failed(Failure::map_failed);
    ShmRing ring;
    ring.mapping = mapping;
    ring.capacity = capacity;
    ring.frame_bytes = frame_bytes;
    ring.total_bytes = total_bytes;
    ring.view = view;
    ring.header = static_cast<RingHeader*>(view);
    ring.data = static_cast<std::byte*>(view) + header_bytes;
    return ring;
}

// The companion is best effort: without it the ring is a ring like any other program's,
// followed by polling. An object at its name that is not a whole companion (too small, or
// one a create has not set up yet) is not used.
void ShmRing::open_companion(const std::string& name, bool create) {
    if (name.empty() || name.front() == '\0') return;  // Windows: a private section
    const std::string object = companion_name(name);
    const std::string bell_name = companion_name(name, "-bell");
    bool absent = false;
    platform::MappingHandle handle = create ? platform::create_mapping(object, companion_bytes)
                                            : platform::open_mapping(object, absent);
    if (handle == nullptr) return;
    void* mapped = map_or_close(handle, companion_bytes);
    if (mapped == nullptr) return;
    auto* made = static_cast<Companion*>(mapped);
    auto magic = std::atomic_ref<std::uint64_t>(made->magic);
    platform::BellHandle doorbell = nullptr;
    if (!(create || magic.load(std::memory_order_acquire) == companion_magic) ||
        !platform::open_bell(bell_name, doorbell)) {
        platform::unmap_view(mapped, companion_bytes);
        platform::close_mapping(handle);
        return;
    }
    if (create) magic.store(companion_magic, std::memory_order_release);
    companion_mapping = handle;
    companion = made;
    bell = doorbell;
}

ShmRing ShmRing::create(const std::string& name, std::uint64_t capacity,
                        std::uint64_t frame_bytes) {
    const std::uint64_t total = checked_total_bytes(capacity, frame_bytes);
    platform::reclaim_dead_objects(is_ring_or_companion);
    platform::MappingHandle mapping = platform::create_mapping(name, total);
    if (mapping == nullptr) platform_failed(Failure::create_failed);
    ShmRing ring = map(mapping, capacity, frame_bytes, total);
    ring.open_companion(name, true);
    // The generation first: a reader that sees the reset index or the new geometry, or
    // reads a byte of a new frame, sees the new generation too.
    if (ring.companion != nullptr) {
        std::atomic_ref<std::uint64_t>(ring.companion->generation)
            .fetch_add(1, std::memory_order_acq_rel);
    }
    // write_idx next: readers of a reused segment must not see old frames as new.
    std::atomic_ref<std::uint64_t>(ring.header->write_idx).store(0, std::memory_order_release);
    // Release: a reader that sees the new geometry sees the reset index too.
    std::atomic_ref<std::uint64_t>(ring.header->capacity)
        .store(capacity, std::memory_order_release);
    std::atomic_ref<std::uint64_t>(ring.header->frame_bytes)
        .store(frame_bytes, std::memory_order_release);
    ring.wake_sleepers();  // readers asleep on the old ring learn of the restart at once
    return ring;
}

ShmRing ShmRing::open(const std::string& name, std::uint64_t capacity, std::uint64_t frame_bytes) {
    const std::uint64_t total = checked_total_bytes(capacity, frame_bytes);
    platform::reclaim_dead_objects(is_ring_or_companion);
    bool absent = false;
    platform::MappingHandle mapping = platform::open_mapping(name, absent);
    if (mapping == nullptr) platform_failed(Failure::open_failed);
    ShmRing ring = map(mapping, capacity, frame_bytes, total);
    ring.open_companion(name, false);
    return ring;
}

ShmRing ShmRing::open_as_made(const std::string& name) {
    // The header and one slot byte: every ring has them.
    platform::reclaim_dead_objects(is_ring_or_companion);
    bool absent = false;
    platform::MappingHandle mapping = platform::open_mapping(name, absent);
    if (mapping == nullptr) platform_failed(absent ? Failure::open_failed : Failure::name_refused);
    ShmRing probe;
    try {
        probe = map(mapping, 1, 1, header_bytes + 1);
    } catch (const RingError&) {
        throw RingError(Failure::segment_too_small);
    }
    const auto made = [](const ShmRing& ring) {
        const RingHeader h = ring.read_header();
        return std::pair{h.capacity, h.frame_bytes};
    };
    const auto geometry = made(probe);
    if (geometry.first == 0 || geometry.second == 0) {
        throw RingError(Failure::header_not_valid);
    }
    ShmRing ring;
    try {
        ring = open(name, geometry.first, geometry.second);
    } catch (const RingError& error) {
        // Gone since the probe: absent again. Too small for what its header says: no ring.
        if (error.failure != Failure::map_failed) throw;
        throw RingError(made(probe) == geometry ? Failure::header_past_segment
                                                : Failure::header_not_valid);
    }
    if (made(ring) != geometry) throw RingError(Failure::header_not_valid);
    return ring;
}

ShmRing ShmRing::attach(const std::string& name, std::int64_t timeout_ns,
                        bool (*interrupted)(void*), void* context) {
    const std::int64_t started = now_ns();
    auto pause = std::chrono::milliseconds(1);
    while (true) {
        try {
            return open_as_made(name);
        } catch (const RingError& error) {
            const std::int64_t waited = now_ns() - started;
            const bool worth_waiting =
                (error.failure == Failure::open_failed &&
                 (timeout_ns < 0 || waited < timeout_ns)) ||
                (error.failure == Failure::header_not_valid &&
                 (timeout_ns < 0 || waited < std::max(timeout_ns, creating_grace_ns)));
            if (!worth_waiting) throw;
        }
        if (interrupted != nullptr && interrupted(context)) throw Interrupted();
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

std::optional<bool> ShmRing::is_held(const std::string& name) {
    return platform::is_held(name);
}

ShmRing::ShmRing(ShmRing&& other) noexcept
    : mapping(std::exchange(other.mapping, nullptr)),
      capacity(std::exchange(other.capacity, 0)),
      frame_bytes(std::exchange(other.frame_bytes, 0)),
      total_bytes(std::exchange(other.total_bytes, 0)),
      view(std::exchange(other.view, nullptr)),
      header(std::exchange(other.header, nullptr)),
      data(std::exchange(other.data, nullptr)),
      companion_mapping(std::exchange(other.companion_mapping, nullptr)),
      companion(std::exchange(other.companion, nullptr)),
      bell(std::exchange(other.bell, nullptr)) {}

ShmRing& ShmRing::operator=(ShmRing&& other) noexcept {
    if (this != &other) {
        release();
        mapping = std::exchange(other.mapping, nullptr);
        capacity = std::exchange(other.capacity, 0);
        frame_bytes = std::exchange(other.frame_bytes, 0);
        total_bytes = std::exchange(other.total_bytes, 0);
        view = std::exchange(other.view, nullptr);
        header = std::exchange(other.header, nullptr);
        data = std::exchange(other.data, nullptr);
        companion_mapping = std::exchange(other.companion_mapping, nullptr);
        companion = std::exchange(other.companion, nullptr);
        bell = std::exchange(other.bell, nullptr);
    }
    return *this;
}

ShmRing::~ShmRing() {
    release();
}

void ShmRing::release() noexcept {
    // Failures to unmap or close cannot be acted on (this runs in destructors), so the
    // platform calls report none.
    if (view != nullptr) platform::unmap_view(view, total_bytes);
    if (mapping != nullptr) platform::close_mapping(mapping);
    if (companion != nullptr) {
        platform::close_bell(bell);
        platform::unmap_view(companion, companion_bytes);
        platform::close_mapping(companion_mapping);
    }
    mapping = nullptr;
    capacity = frame_bytes = total_bytes = 0;
    view = nullptr;
    header = nullptr;
    data = nullptr;
    companion_mapping = nullptr;
    companion = nullptr;
    bell = nullptr;
}

std::uint64_t ShmRing::frames_in(std::uint64_t nbytes) const {
    if (nbytes % frame_bytes != 0) throw RingError(Failure::not_whole_frames);
    return nbytes / frame_bytes;
}

void ShmRing::publish(const std::byte* src, std::uint64_t count) {
    const std::uint64_t nbytes = count * frame_bytes;
    std::vector<std::byte> snapshot;
    if (count != 0 && platform::overlaps_object_views(mapping, src, nbytes)) {
        // The source lies in this segment (an array made from a view, through any of this
        // process's handles): the frames we write could overwrite frames not yet read.
        snapshot.assign(src, src + nbytes);
        src = snapshot.data();
    }
    auto index = std::atomic_ref<std::uint64_t>(header->write_idx);
    const std::uint64_t w = index.load(std::memory_order_relaxed);  // only this writer stores it
    // One copy per frame, in order: with more frames than slots the later ones win. The
    // index is stored after every frame, so that while frame n is written it already says
    // n, and a reader's re-check (index < m + capacity) fails for the frame m being
    // overwritten. The fence keeps that store visible before any byte of the next frame.
    std::uint64_t slot = w % capacity;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::atomic_thread_fence(std::memory_order_release);
        std::memcpy(data + slot * frame_bytes, src + i * frame_bytes, frame_bytes);
        index.store(w + i + 1, std::memory_order_release);
        if (++slot == capacity) slot = 0;
    }
    if (count != 0) wake_sleepers();
}

void ShmRing::ring_bell() noexcept {
    auto rung = std::atomic_ref<std::uint32_t>(companion->bell);
    rung.fetch_add(1, std::memory_order_seq_cst);
    platform::wake_bell(
        bell, &companion->bell,
        std::atomic_ref<std::uint32_t>(companion->sleepers).load(std::memory_order_relaxed));
}

bool ShmRing::sleep_unless(std::uint64_t seen, std::int64_t timeout_ns) const noexcept {
    auto sleepers = std::atomic_ref<std::uint32_t>(companion->sleepers);
    sleepers.fetch_add(1, std::memory_order_seq_cst);
    // Pairs with the fence in wake_sleepers(): registered before the index is looked at.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    const std::uint32_t rung =
        std::atomic_ref<std::uint32_t>(companion->bell).load(std::memory_order_acquire);
    const bool signalled =
        write_idx() == seen &&
        platform::wait_bell(bell, &companion->bell, rung, std::min(timeout_ns, unrung_look_ns));
    sleepers.fetch_sub(1, std::memory_order_seq_cst);
    return signalled;
}

ViewGeometry ShmRing::frame_view(std::uint64_t idx, std::int64_t rows, std::int64_t cols) const {
    const std::int64_t bytes = block_bytes(1, rows, cols);
    const std::uint64_t offset = (idx % capacity) * frame_bytes;
    if (static_cast<std::uint64_t>(bytes) > total_bytes - header_bytes - offset) {
        view_exceeds_segment();
    }
    ViewGeometry g;
    g.first = data + offset;
    g.ndim = 2;
    g.shape = {rows, cols, 0};
    g.strides = {cols * item_bytes, item_bytes, 0};
    g.length = bytes;
    return g;
}

ViewGeometry ShmRing::window_view(std::uint64_t start, std::uint64_t count, std::int64_t rows,
                                  std::int64_t cols) const {
    const std::uint64_t slot = start % capacity;
    if (count > capacity - slot) throw RingError(Failure::window_wraps);
    const std::int64_t bytes = block_bytes(count, rows, cols);
    // The last slot's block must end inside the segment; an empty window reads nothing.
    if (count != 0) {
        const std::uint64_t last_offset = (slot + count - 1) * frame_bytes;
        if (static_cast<std::uint64_t>(bytes) > total_bytes - header_bytes - last_offset) {
            view_exceeds_segment();
        }
    }
    const auto frames = static_cast<std::int64_t>(count);  // count <= capacity < 2^47
    ViewGeometry g;
    g.first = data + slot * frame_bytes;
    g.ndim = 3;
    g.shape = {frames, rows, cols};
    g.strides = {static_cast<std::int64_t>(frame_bytes), cols * item_bytes, item_bytes};
    g.length = frames * bytes;
    return g;
}

}  // namespace quorvane
