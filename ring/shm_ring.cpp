#include <quorvane/shm_ring.hpp>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>
#include <stdexcept>
#include <string_view>
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
    // A companion: its magic, and a size of its page and the stamps it says it holds.
    static_assert(offsetof(Companion, stamp_slots) + sizeof(std::uint64_t) <=
                  platform::sweep_head_bytes);
    std::uint64_t magic = 0;
    std::uint64_t slots = 0;
    if (head.size() < offsetof(Companion, stamp_slots) + sizeof slots) return false;
    std::memcpy(&magic, head.data() + offsetof(Companion, magic), sizeof magic);
    std::memcpy(&slots, head.data() + offsetof(Companion, stamp_slots), sizeof slots);
    return magic == companion_magic && size >= companion_bytes &&
           (size - companion_bytes) / sizeof(Stamp) == slots &&
           (size - companion_bytes) % sizeof(Stamp) == 0;
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

FrameType FrameType::of(const std::string& typestr, const std::uint64_t* shape, std::size_t ndim) {
    FrameType type;
    if (ndim < 1 || ndim > type.shape.size() || typestr.size() < 3 ||
        typestr.size() >= type.typestr.size()) {
        throw RingError(Failure::bad_frame_type);
    }
    const char order = typestr[0];
    const char kind = typestr[1];
    const std::string digits = typestr.substr(2);
    const auto item = digits.find_first_not_of("0123456789") == std::string::npos
                          ? std::stoull(digits.substr(0, 3))
                          : 0;
    const bool number = std::string_view("biufc").find(kind) != std::string_view::npos;
    const bool sized = (kind == 'c' ? item == 8 || item == 16
                                    : item == 1 || item == 2 || item == 4 || item == 8) &&
                       (kind != 'b' || item == 1);
    // NumPy writes '|' for one byte, where order does not arise, and '<' or '>' otherwise.
    const bool ordered = item == 1 ? order == '|' : order == '<' || order == '>';
    if (!number || !sized || !ordered || digits.size() > 2)
        throw RingError(Failure::bad_frame_type);
    std::copy(typestr.begin(), typestr.end(), type.typestr.begin());
    type.ndim = static_cast<std::uint32_t>(ndim);
    std::uint64_t bytes = item;
    for (std::size_t i = 0; i < ndim; ++i) {
        if (shape[i] == 0) throw RingError(Failure::bad_frame_type);
        if (shape[i] > max_mappable_bytes / bytes) throw RingError(Failure::ring_too_large);
        bytes *= shape[i];
        type.shape[i] = shape[i];
    }
    return type;
}

std::uint64_t FrameType::item_bytes() const noexcept {
    return std::strtoull(typestr.data() + 2, nullptr, 10);
}

std::uint64_t FrameType::frame_bytes() const noexcept {
    std::uint64_t bytes = item_bytes();
    for (std::uint32_t i = 0; i < ndim; ++i) bytes *= shape[i];
    return bytes;
}

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
// one a create has not set up yet) is not used. Creating, `capacity` is the ring's: a new
// object gets a stamp per slot; a live one made for fewer slots cannot serve this ring
// and is retired, so that no one takes it for this ring's.
void ShmRing::open_companion(const std::string& name, bool create) {
    if (name.empty() || name.front() == '\0') return;  // Windows: a private section
    const std::string object = companion_name(name);
    const std::string bell_name = companion_name(name, "-bell");  // before anything is taken
    bool absent = false;
    platform::MappingHandle handle =
        create ? platform::create_mapping(object, companion_bytes + capacity * sizeof(Stamp))
               : platform::open_mapping(object, absent);
    if (handle == nullptr) return;
    void* page = map_or_close(handle, companion_bytes);
    if (page == nullptr) return;
    auto* found = static_cast<Companion*>(page);
    const bool set_up =
        std::atomic_ref<std::uint64_t>(found->magic).load(std::memory_order_acquire) ==
        companion_magic;
    // Bounded by what could be mapped: a bad count must not wrap the size below.
    const std::uint64_t slots = std::min(
        set_up ? std::atomic_ref<std::uint64_t>(found->stamp_slots).load(std::memory_order_acquire)
               : capacity,
        max_mappable_bytes / sizeof(Stamp));
    if (set_up && create && slots < capacity) {
        // Readers of the old ring see a restart, and no later open uses the object.
        std::atomic_ref<std::uint64_t>(found->generation).fetch_add(1, std::memory_order_acq_rel);
        std::atomic_ref<std::uint64_t>(found->magic).store(0, std::memory_order_release);
    }
    platform::unmap_view(page, companion_bytes);
    const std::uint64_t bytes = companion_bytes + slots * sizeof(Stamp);
    void* mapped = nullptr;
    platform::BellHandle doorbell = nullptr;
    if ((set_up || create) && slots >= capacity)
        mapped = map_or_close(handle, bytes);
    else
        platform::close_mapping(handle);
    if (mapped == nullptr) return;
    if (!platform::open_bell(bell_name, doorbell)) {
        platform::unmap_view(mapped, bytes);
        platform::close_mapping(handle);
        return;
    }
    companion_mapping = handle;
    companion = static_cast<Companion*>(mapped);
    stamps = reinterpret_cast<Stamp*>(static_cast<std::byte*>(mapped) + companion_bytes);
    stamp_slots = slots;
    bell = doorbell;
    if (!set_up) companion->stamp_slots = slots;  // a new object: create sets the magic
}

ShmRing ShmRing::create(const std::string& name, std::uint64_t capacity,
                        std::uint64_t frame_bytes) {
    return make(name, capacity, frame_bytes, FrameType{});
}

ShmRing ShmRing::create(const std::string& name, std::uint64_t capacity, const FrameType& type) {
    if (type.ndim == 0) throw RingError(Failure::bad_frame_type);
    return make(name, capacity, type.frame_bytes(), type);
}

ShmRing ShmRing::make(const std::string& name, std::uint64_t capacity, std::uint64_t frame_bytes,
                      const FrameType& type) {
    const std::uint64_t total = checked_total_bytes(capacity, frame_bytes);
    platform::reclaim_dead_objects(is_ring_or_companion);
    platform::MappingHandle mapping = platform::create_mapping(name, total);
    if (mapping == nullptr) platform_failed(Failure::create_failed);
    ShmRing ring = map(mapping, capacity, frame_bytes, total);
    ring.producing = true;
    ring.open_companion(name, true);
    // A typed ring's type lives there: without it, leave the ring as it was.
    if (type.ndim != 0 && ring.companion == nullptr) throw RingError(Failure::no_companion);
    if (Companion* c = ring.companion; c != nullptr) {
        auto writes = std::atomic_ref<std::uint32_t>(c->type_writes);
        writes.fetch_add(1, std::memory_order_acq_rel);  // odd: frame_type() waits
        std::atomic_thread_fence(std::memory_order_release);
        std::memcpy(&c->type, &type, sizeof type);
        writes.fetch_add(1, std::memory_order_release);
        // Stamps of the old stream are no stamps of this one's frames.
        for (std::uint64_t slot = 0; slot < capacity; ++slot) ring.write_stamp(slot, {});
        std::atomic_ref<std::uint64_t>(c->producer)
            .store(platform::mark_writer(ring.companion_mapping), std::memory_order_relaxed);
        std::atomic_ref<std::uint32_t>(c->producers).fetch_add(1, std::memory_order_relaxed);
        std::atomic_ref<std::uint64_t>(c->magic).store(companion_magic, std::memory_order_release);
        // The generation next: a reader that sees the reset index or the new geometry, or
        // reads a byte of a new frame, sees the new generation (and type) too.
        std::atomic_ref<std::uint64_t>(c->generation).fetch_add(1, std::memory_order_acq_rel);
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
      stamps(std::exchange(other.stamps, nullptr)),
      stamp_slots(std::exchange(other.stamp_slots, 0)),
      bell(std::exchange(other.bell, nullptr)),
      producing(std::exchange(other.producing, false)) {}

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
        stamps = std::exchange(other.stamps, nullptr);
        stamp_slots = std::exchange(other.stamp_slots, 0);
        bell = std::exchange(other.bell, nullptr);
        producing = std::exchange(other.producing, false);
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
        if (producing) {
            std::atomic_ref<std::uint32_t>(companion->producers)
                .fetch_sub(1, std::memory_order_relaxed);
        }
        platform::close_bell(bell);
        platform::unmap_view(companion, companion_bytes + stamp_slots * sizeof(Stamp));
        platform::close_mapping(companion_mapping);
    }
    mapping = nullptr;
    capacity = frame_bytes = total_bytes = 0;
    view = nullptr;
    header = nullptr;
    data = nullptr;
    companion_mapping = nullptr;
    companion = nullptr;
    stamps = nullptr;
    stamp_slots = 0;
    bell = nullptr;
    producing = false;
}

std::uint64_t ShmRing::frames_in(std::uint64_t nbytes) const {
    if (nbytes % frame_bytes != 0) throw RingError(Failure::not_whole_frames);
    return nbytes / frame_bytes;
}

void ShmRing::publish(const std::byte* src, std::uint64_t count, const Stamp* stamps_of) {
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
        if (stamps_of != nullptr) write_stamp(slot, stamps_of[i]);
        index.store(w + i + 1, std::memory_order_release);
        if (++slot == capacity) slot = 0;
    }
    if (count != 0) wake_sleepers();
}

std::optional<FrameType> ShmRing::frame_type() const {
    if (companion == nullptr) return std::nullopt;
    auto writes = std::atomic_ref<std::uint32_t>(companion->type_writes);
    FrameType type;
    while (true) {
        const std::uint32_t before = writes.load(std::memory_order_acquire);
        if (before % 2 == 0) {
            std::memcpy(&type, &companion->type, sizeof type);
            std::atomic_thread_fence(std::memory_order_acquire);
            if (writes.load(std::memory_order_relaxed) == before) break;
        }
        std::this_thread::yield();  // a create is rewriting it: for nanoseconds
    }
    if (type.ndim == 0) return std::nullopt;
    // Another program of this user may have written anything there: only a valid one.
    try {
        type.typestr.back() = '\0';
        return FrameType::of(type.typestr.data(), type.shape.data(), type.ndim);
    } catch (const RingError&) {
        return std::nullopt;
    }
}

void ShmRing::end_stream() noexcept {
    if (companion == nullptr) return;
    std::atomic_ref<std::uint64_t>(companion->ended).store(generation(), std::memory_order_release);
    wake_sleepers();
}

std::optional<bool> ShmRing::producer_alive() const {
    if (companion == nullptr) return std::nullopt;
    if (producing) return true;
    return platform::writer_alive(
        companion_mapping,
        std::atomic_ref<std::uint64_t>(companion->producer).load(std::memory_order_relaxed),
        std::atomic_ref<std::uint32_t>(companion->producers).load(std::memory_order_relaxed));
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
