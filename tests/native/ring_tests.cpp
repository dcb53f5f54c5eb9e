// One conformance suite for the ring core and the named-mapping layer under it, built
// against each platform layer: natively on Linux, and for Windows to run under Wine.
// Cross-process cases relaunch this binary as the child (`--child ROLE NAME`).
#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest/doctest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <quorvane/quorvane.h>
#include <quorvane/cursor.hpp>
#include <quorvane/shm_ring.hpp>

#include "child_process.hpp"
#include "named_mapping.hpp"

using quorvane::ShmRing;
namespace platform = quorvane::platform;

// Allocation failure on demand: while positive, counts allocations down, and the one that
// brings it to zero fails.
std::atomic<long> allocations_before_failure{0};

void* operator new(std::size_t bytes) {
    if (allocations_before_failure.load() > 0 && allocations_before_failure.fetch_sub(1) == 1) {
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(bytes == 0 ? 1 : bytes)) return p;
    throw std::bad_alloc();
}

// GCC sees free() meet memory from new once these are inlined; here new is malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
    std::free(p);
}

void operator delete(void* p, std::size_t /*bytes*/) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop

namespace {

using quorvane::Failure;

// A failure's message, as the core's one table has it.
std::string text(Failure failure) {
    return std::string(quorvane::text_of(failure));
}

std::string unique_name(const char* what) {
    static const auto run = std::to_string(std::random_device{}());
    static int counter = 0;
    return std::string("qv_native_") + what + "_" + run + "_" + std::to_string(++counter);
}

// Word `i` of a ring's slots, shared between processes.
std::atomic_ref<std::uint64_t> word(const ShmRing& ring, std::size_t i) {
    return std::atomic_ref<std::uint64_t>(reinterpret_cast<std::uint64_t*>(ring.data)[i]);
}

bool wait_for(const ShmRing& ring, std::size_t i, std::uint64_t value) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (word(ring, i).load() != value) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<std::byte> frames(std::size_t count, std::size_t frame_bytes) {
    std::vector<std::byte> bytes(count * frame_bytes);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = std::byte(i / frame_bytes + 1);
    return bytes;
}

std::byte slot_byte(const ShmRing& ring, std::uint64_t slot) {
    return ring.data[slot * ring.frame_bytes];
}

platform::MappingHandle open_existing(const std::string& name) {
    bool absent = false;
    return platform::open_mapping(name, absent);
}

// Whether the object of that name is there, as another process would find it.
bool exists(const std::string& name) {
    bool absent = false;
    platform::MappingHandle handle = platform::open_mapping(name, absent);
    if (handle != nullptr) platform::close_mapping(handle);
    return handle != nullptr;
}

std::string companion_of(const std::string& name) {
    return name + quorvane::companion_suffix;
}

}  // namespace

// What a child process does; its exit code tells the parent whether it saw what it should.
int run_child(const std::string& role, const std::string& name) {
    if (role == "reader") {  // sees the creator's header and frame, publishes one back
        ShmRing ring = ShmRing::open(name, 4, 16);
        const bool saw =
            ring.header->capacity == 4 && ring.write_idx() == 1 && ring.data[0] == std::byte{7};
        const std::vector<std::byte> frame(16, std::byte{9});
        ring.publish(frame.data(), 1);
        return saw ? 0 : 1;
    }
    if (role == "holder") {  // holds the segment until the parent says go
        ShmRing ring = ShmRing::open(name, 4, 16);
        word(ring, 0).store(1);
        return wait_for(ring, 1, 1) ? 0 : 1;
    }
    if (role == "dies") {  // creates a segment and ends without releasing anything
        ShmRing ring = ShmRing::create(name, 4, 16);
        word(ring, 0).store(5);
        std::_Exit(0);
    }
    return 2;
}

TEST_CASE("named mapping: new objects are zero-filled and keep their size") {
    const auto name = unique_name("map");
    platform::MappingHandle first = platform::create_mapping(name, 4096);
    REQUIRE(first != nullptr);
    auto* bytes = static_cast<unsigned char*>(platform::map_view(first, 4096));
    REQUIRE(bytes != nullptr);
    CHECK(std::all_of(bytes, bytes + 4096, [](unsigned char b) { return b == 0; }));
    bytes[100] = 42;

    platform::MappingHandle again = platform::create_mapping(name, 8192);  // exists: size stays
    REQUIRE(again != nullptr);
    CHECK(platform::map_view(again, 8192 + 4096) == nullptr);
    auto* seen = static_cast<unsigned char*>(platform::map_view(again, 4096));
    REQUIRE(seen != nullptr);
    CHECK(seen[100] == 42);

    platform::unmap_view(bytes, 4096);
    platform::close_mapping(first);
    platform::MappingHandle third = open_existing(name);  // `again` still holds it
    CHECK(third != nullptr);
    platform::close_mapping(third);
    platform::unmap_view(seen, 4096);
    platform::close_mapping(again);
}

TEST_CASE("named mapping: the object lives while any handle lives and is gone after the last") {
    const auto name = unique_name("life");
    platform::MappingHandle creator = platform::create_mapping(name, 64);
    platform::MappingHandle opener = open_existing(name);
    REQUIRE(creator != nullptr);
    REQUIRE(opener != nullptr);
    platform::close_mapping(creator);
    platform::MappingHandle still = open_existing(name);
    CHECK(still != nullptr);
    platform::close_mapping(still);
    platform::close_mapping(opener);
    CHECK(open_existing(name) == nullptr);
}

TEST_CASE("create writes the header; open reads nothing back from it") {
    const auto name = unique_name("header");
    ShmRing ring = ShmRing::create(name, 4, 16);
    CHECK(ring.total_bytes == 88);
    CHECK(ring.header == ring.view);
    CHECK(ring.data == static_cast<std::byte*>(ring.view) + 24);
    CHECK(ring.write_idx() == 0);
    CHECK(ring.header->capacity == 4);
    CHECK(ring.header->frame_bytes == 16);

    ShmRing smaller = ShmRing::open(name, 2, 16);
    CHECK(smaller.capacity == 2);
    CHECK(smaller.total_bytes == 56);
    CHECK(smaller.header->capacity == 4);
    CHECK_THROWS_WITH(ShmRing::open(unique_name("missing"), 4, 16),
                      text(Failure::open_failed).c_str());
}

TEST_CASE("sizes that cannot make a ring are refused") {
    const auto name = unique_name("sizes");
    CHECK_THROWS_WITH(ShmRing::create(name, 0, 16), text(Failure::sizes_not_positive).c_str());
    CHECK_THROWS_WITH(ShmRing::create(name, 4, 0), text(Failure::sizes_not_positive).c_str());
    CHECK_THROWS_WITH(ShmRing::create(name, ~0ull, ~0ull), text(Failure::ring_too_large).c_str());
    CHECK_THROWS_WITH(ShmRing::open(name, 1, ~0ull - 23), text(Failure::ring_too_large).c_str());
    CHECK(open_existing(name) == nullptr);
}

TEST_CASE("moving a handle transfers everything and empties the source") {
    ShmRing ring = ShmRing::create(unique_name("move"), 4, 16);
    void* view = ring.view;
    ShmRing moved = std::move(ring);
    CHECK(moved.view == view);
    CHECK(moved.capacity == 4);
    CHECK(ring.mapping == nullptr);
    CHECK(ring.view == nullptr);
    CHECK(ring.data == nullptr);
    CHECK(ring.total_bytes == 0);
    ring.release();  // an empty handle releases nothing
    ShmRing target = ShmRing::create(unique_name("move_target"), 1, 8);
    target = std::move(moved);
    CHECK(target.view == view);
    CHECK(moved.view == nullptr);
}

TEST_CASE("publish fills consecutive slots, wraps, and advances write_idx") {
    ShmRing ring = ShmRing::create(unique_name("publish"), 4, 16);
    const auto two = frames(2, 16);
    ring.publish(two.data(), ring.frames_in(two.size()));
    CHECK(ring.write_idx() == 2);
    const auto five = frames(5, 16);  // frame values 1..5 go to slots 2, 3, 0, 1, 2
    ring.publish(five.data(), ring.frames_in(five.size()));
    CHECK(ring.write_idx() == 7);
    CHECK(slot_byte(ring, 0) == std::byte{3});
    CHECK(slot_byte(ring, 1) == std::byte{4});
    CHECK(slot_byte(ring, 2) == std::byte{5});
    CHECK(slot_byte(ring, 3) == std::byte{2});
    CHECK_THROWS_WITH((void)ring.frames_in(24), text(Failure::not_whole_frames).c_str());
    ring.publish(nullptr, 0);
    CHECK(ring.write_idx() == 7);
}

TEST_CASE("publish from the segment's own slots reads them all before writing") {
    const auto name = unique_name("overlap");
    ShmRing ring = ShmRing::create(name, 4, 16);
    ShmRing other = ShmRing::open(name, 4, 16);  // the same pages at another address
    const auto five = frames(5, 16);
    ring.publish(five.data(), 5);  // slots hold 5, 2, 3, 4; the next frame goes to slot 1
    SUBCASE("through its own view") {
        ring.publish(ring.data, 3);  // slots 0..2 into slots 1..3
    }
    SUBCASE("through another handle's view") {
        ring.publish(other.data, 3);
    }
    CHECK(slot_byte(ring, 1) == std::byte{5});
    CHECK(slot_byte(ring, 2) == std::byte{2});
    CHECK(slot_byte(ring, 3) == std::byte{3});
    CHECK(ring.write_idx() == 8);
    // Another segment's slots are no alias: a relay from one ring into another copies once.
    ShmRing unrelated = ShmRing::create(unique_name("unrelated"), 4, 16);
    CHECK(platform::overlaps_object_views(ring.mapping, other.data, 16));
    CHECK_FALSE(platform::overlaps_object_views(unrelated.mapping, other.data, 16));
}

TEST_CASE("a factory that runs out of memory gives back everything it took") {
    const auto name = unique_name("no_memory");
    // Fails the factory's first allocation, then its second, ... until it needs no more; all
    // that with 0, 1, 2, ... other rings mapped, so that some round finds the lists of handles
    // and views it adds to full (they keep their room once grown).
    const auto fail_each_allocation = [](const auto& factory) {
        std::vector<ShmRing> others;
        for (int round = 0; round < 32; ++round) {
            for (long n = 1;; ++n) {
                allocations_before_failure = n;
                try {
                    ShmRing ring = factory();
                    allocations_before_failure = 0;
                    break;
                } catch (const std::bad_alloc&) {
                    allocations_before_failure = 0;
                }
            }
            others.push_back(ShmRing::create(unique_name("other"), 1, 8));
        }
    };
    fail_each_allocation([&] { return ShmRing::create(name, 4, 16); });
    CHECK_FALSE(exists(name));  // a leaked handle would hold it
    CHECK_FALSE(exists(companion_of(name)));
    ShmRing holder = ShmRing::create(name, 4, 16);
    fail_each_allocation([&] { return ShmRing::open(name, 4, 16); });
    holder.release();
    CHECK_FALSE(exists(name));
    CHECK_FALSE(exists(companion_of(name)));
}

#ifndef _WIN32
TEST_CASE("publish never waits for a create that is busy in another thread") {
    // One of our files that someone locks exclusively, as a remover would: every create of
    // its name retries for a while, then gives up.
    const auto busy = unique_name("busy");
    const std::string path = "/dev/shm/" + busy;
    const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
    REQUIRE(fd >= 0);
    struct flock exclusive = {};
    exclusive.l_type = F_WRLCK;
    exclusive.l_len = 1;
    REQUIRE(::fchmod(fd, 01600) == 0);
    REQUIRE(::ftruncate(fd, 88) == 0);
    REQUIRE(::fcntl(fd, F_OFD_SETLK, &exclusive) == 0);

    ShmRing ring = ShmRing::create(unique_name("not_busy"), 4, 16);
    std::atomic<bool> create_done{false};
    std::thread creator([&] {
        CHECK_THROWS_WITH(ShmRing::create(busy, 4, 16), text(Failure::create_failed).c_str());
        create_done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the creator is retrying
    const auto frame = frames(1, 16);
    ring.publish(frame.data(), 1);
    CHECK_FALSE(create_done.load());
    creator.join();
    ::unlink(path.c_str());
    ::close(fd);
}
#endif

TEST_CASE("frames written in place go where publish would put them, one commit each") {
    ShmRing ring = ShmRing::create(unique_name("in_place"), 3, 16);
    for (std::uint64_t n = 0; n < 5; ++n) {
        std::byte* slot = ring.next_slot();
        CHECK(slot == ring.slot(n));
        // While frame n is being written the index still says n, so a reader of frame
        // n - 3, the one this slot held, fails its re-check (n < n - 3 + 3 is false).
        std::memset(slot, static_cast<int>(n + 1), 16);
        CHECK(ring.write_idx() == n);
        ring.commit();
        CHECK(ring.write_idx() == n + 1);
    }
    CHECK(slot_byte(ring, 0) == std::byte{4});
    CHECK(slot_byte(ring, 1) == std::byte{5});
    CHECK(slot_byte(ring, 2) == std::byte{3});
    const auto one = frames(1, 16);
    ring.publish(one.data(), 1);  // publish and in-place writes mix: the index is the same
    CHECK(ring.next_slot() == ring.slot(0));
}

TEST_CASE("the C interface: statuses, messages, and the same segments") {
    const auto name = unique_name("c_api");
    quorvane_ring* ring = nullptr;
    CHECK(quorvane_open(name.c_str(), 4, 16, &ring) == QUORVANE_OPEN_FAILED);
    CHECK(ring == nullptr);
    // The fixed text, then the system's own words for the cause and its code.
    const std::string absent = quorvane_last_error();
#ifdef _WIN32
    CHECK(absent.starts_with(text(Failure::open_failed) + ": "));
    CHECK(absent.ends_with(" (Windows error 2)"));  // ERROR_FILE_NOT_FOUND
#else
    CHECK(absent == text(Failure::open_failed) + ": No such file or directory (errno 2)");
#endif
    CHECK(quorvane_create(name.c_str(), 0, 16, &ring) == QUORVANE_BAD_SIZE);
    CHECK(quorvane_last_error() == text(Failure::sizes_not_positive));
    CHECK(quorvane_create(name.c_str(), ~0ull, 2, &ring) == QUORVANE_BAD_SIZE);
    CHECK(quorvane_create(nullptr, 4, 16, &ring) == QUORVANE_INVALID_ARGUMENT);
    CHECK(quorvane_create(name.c_str(), 4, 16, nullptr) == QUORVANE_INVALID_ARGUMENT);

    REQUIRE(quorvane_create(name.c_str(), 4, 16, &ring) == QUORVANE_OK);
    CHECK(quorvane_capacity(ring) == 4);
    CHECK(quorvane_frame_bytes(ring) == 16);
    quorvane_ring* too_big = nullptr;
    CHECK(quorvane_open(name.c_str(), 4, 8192, &too_big) == QUORVANE_MAP_FAILED);
    CHECK(std::string(quorvane_last_error()).starts_with(text(Failure::map_failed) + ": "));

    const auto two = frames(2, 16);
    CHECK(quorvane_publish(ring, two.data(), 24) == QUORVANE_BAD_SIZE);
    CHECK(quorvane_last_error() == text(Failure::not_whole_frames));
    CHECK(quorvane_publish(ring, nullptr, 16) == QUORVANE_INVALID_ARGUMENT);
    CHECK(quorvane_publish(ring, two.data(), 32) == QUORVANE_OK);
    std::memset(quorvane_next_slot(ring), 9, 16);
    quorvane_commit(ring);

    ShmRing reader = ShmRing::open(name, 4, 16);  // what C writes, C++ (and Python) reads
    CHECK(reader.write_idx() == 3);
    CHECK(slot_byte(reader, 1) == std::byte{2});
    CHECK(slot_byte(reader, 2) == std::byte{9});
    const auto* first = static_cast<const std::byte*>(quorvane_slot(ring, 0));
    CHECK(static_cast<const std::byte*>(quorvane_slot(ring, 6)) == first + 2 * 16);
    quorvane_release(ring);
    quorvane_release(nullptr);
    reader.release();
    CHECK(quorvane_open(name.c_str(), 4, 16, &ring) == QUORVANE_OPEN_FAILED);  // name gone
}

TEST_CASE("the C interface's reader: attach, take, wait, intact, and what is not a ring") {
    const auto name = unique_name("c_reader");
    quorvane_ring* ring = nullptr;
    CHECK(quorvane_attach(name.c_str(), 0, &ring) == QUORVANE_OPEN_FAILED);
    ShmRing producer = ShmRing::create(name, 4, 16);
    REQUIRE(quorvane_attach(name.c_str(), 0, &ring) == QUORVANE_OK);
    CHECK((quorvane_capacity(ring) == 4 && quorvane_frame_bytes(ring) == 16));
    quorvane_cursor* cursor = nullptr;
    REQUIRE(quorvane_cursor_new(ring, QUORVANE_START_NEXT, &cursor) == QUORVANE_OK);
    quorvane_frame frame{};
    CHECK(quorvane_take(cursor, &frame) == QUORVANE_NO_FRAME);
    CHECK(quorvane_next(cursor, 20, &frame) == QUORVANE_TIMEOUT);

    const auto six = frames(6, 16);
    producer.publish(six.data(), 6);  // frames 0..5: at index 6, 3..5 are held
    REQUIRE(quorvane_next(cursor, 0, &frame) == QUORVANE_OK);
    CHECK((frame.seq == 3 && frame.frame_bytes == 16 && quorvane_missed(cursor) == 3));
    CHECK(static_cast<const std::byte*>(frame.data)[0] == std::byte{4});  // frame n holds n + 1
    CHECK(quorvane_intact(cursor, &frame) == 1);
    producer.publish(six.data(), 3);  // frame 7 goes into frame 3's slot
    CHECK(quorvane_intact(cursor, &frame) == 0);
    REQUIRE(quorvane_latest(cursor, &frame) == QUORVANE_OK);
    CHECK(frame.seq == 8);

    // A new producer with another geometry of the same size: followed from its frame 0.
    producer = ShmRing::create(name, 2, 32);
    CHECK(quorvane_intact(cursor, &frame) == 0);
    CHECK(quorvane_take(cursor, &frame) == QUORVANE_NO_FRAME);
    const auto two = frames(2, 32);
    producer.publish(two.data(), 2);
    REQUIRE(quorvane_take(cursor, &frame) == QUORVANE_OK);
    CHECK((frame.seq == 1 && frame.capacity == 2 && frame.frame_bytes == 32));
    CHECK(quorvane_restarts(cursor) == 1);
    quorvane_cursor_free(cursor);
    quorvane_release(ring);
    producer.release();

    // Typed, through C: the type back, a stamped frame, the end of the stream.
    const std::uint64_t shape[] = {4, 2, 2};
    CHECK(quorvane_create_typed(name.c_str(), 4, "<u5", shape, 3, &ring) ==
          QUORVANE_INVALID_ARGUMENT);
    REQUIRE(quorvane_create_typed(name.c_str(), 4, "<i2", shape, 3, &ring) == QUORVANE_OK);
    char typestr[QUORVANE_TYPESTR_BYTES];
    std::uint64_t dims[QUORVANE_MAX_DIMS];
    std::uint32_t ndim = 0;
    REQUIRE(quorvane_frame_type(ring, typestr, dims, &ndim) == QUORVANE_OK);
    CHECK((std::string(typestr) == "<i2" && ndim == 3 && dims[0] == 4 && dims[2] == 2));
    REQUIRE(quorvane_cursor_new(ring, QUORVANE_START_NEXT, &cursor) == QUORVANE_OK);
    CHECK(quorvane_producer_alive(ring) == 1);
    const auto typed = frames(1, 32);
    REQUIRE(quorvane_publish_stamped(ring, typed.data(), 11, 12) == QUORVANE_OK);
    quorvane_end_stream(ring);
    REQUIRE(quorvane_next(cursor, 0, &frame) == QUORVANE_OK);
    CHECK((frame.timestamp_ns == 11 && frame.user == 12 && quorvane_intact(cursor, &frame)));
    CHECK(quorvane_next(cursor, QUORVANE_FOREVER, &frame) == QUORVANE_END_OF_STREAM);
    quorvane_cursor_free(cursor);
    quorvane_release(ring);

    // A segment whose header holds no geometry: not a ring, after a short grace.
    producer = ShmRing::create(name, 4, 16);
    std::memset(producer.header, 0, sizeof(quorvane::RingHeader));
    CHECK(quorvane_attach(name.c_str(), 0, &ring) == QUORVANE_NOT_A_RING);
    CHECK(quorvane_last_error() == text(Failure::header_not_valid));
}

TEST_CASE("a restart with the same geometry is counted, and no frame of the old run stays intact") {
    const auto name = unique_name("same_geometry");
    ShmRing producer = ShmRing::create(name, 4, 16);
    ShmRing reader_ring = ShmRing::open(name, 4, 16);
    quorvane::Cursor cursor(reader_ring, quorvane::Cursor::Start::next);
    const auto three = frames(3, 16);
    producer.publish(three.data(), 3);
    const auto frame = cursor.take();  // frame 0, handed out at index 3
    REQUIRE((frame && frame->seq == 0));
    // A new producer of the same geometry publishes back into the window the old frame
    // was handed out in: by the header alone it would still look intact.
    producer = ShmRing::create(name, 4, 16);
    producer = ShmRing::create(name, 4, 16);
    producer.publish(three.data(), 3);
    CHECK(reader_ring.write_idx() == 3);
    CHECK_FALSE(cursor.intact(*frame));
    const auto next = cursor.take();
    REQUIRE(next);
    CHECK((next->seq == 0 && cursor.restarts() == 2 && cursor.intact(*next)));
}

TEST_CASE("a typed ring: its type, each frame's stamp, the end of its stream, its producer") {
    const auto name = unique_name("typed");
    const std::uint64_t shape[] = {2, 3};
    CHECK_THROWS_WITH(quorvane::FrameType::of("<u1", shape, 2),
                      text(Failure::bad_frame_type).c_str());
    CHECK_THROWS_WITH(quorvane::FrameType::of("|O8", shape, 2),
                      text(Failure::bad_frame_type).c_str());
    CHECK_THROWS_WITH(quorvane::FrameType::of("<f4", shape, 0),
                      text(Failure::bad_frame_type).c_str());
    const auto type = quorvane::FrameType::of(">u2", shape, 2);
    ShmRing producer = ShmRing::create(name, 4, type);
    CHECK(producer.frame_bytes == 12);
    ShmRing reader_ring = ShmRing::open_as_made(name);
    CHECK(reader_ring.frame_type() == type);
    CHECK(reader_ring.producer_alive() == true);
    quorvane::Cursor cursor(reader_ring, quorvane::Cursor::Start::next);
    const auto frame = frames(1, 12);
    const quorvane::Stamp stamps[] = {{-5, 7}};
    producer.publish(frame.data(), 1, stamps);
    std::memcpy(producer.next_slot(), frame.data(), 12);  // 12-byte slots: no aligned words
    producer.commit({8, 9});
    const auto first = cursor.take();
    const auto second = cursor.take();
    REQUIRE((first && second));
    CHECK((first->stamp.timestamp_ns == -5 && first->stamp.user == 7));
    CHECK((second->stamp.timestamp_ns == 8 && second->stamp.user == 9));
    CHECK_FALSE(cursor.ended());
    producer.end_stream();
    CHECK(cursor.ended());
    CHECK(cursor.wait(quorvane::now_ns()));  // a sleeper wakes at the end too
    producer.release();
    CHECK(reader_ring.producer_alive() == false);
    // Made again untyped: no type, no stamps of the old stream, no end.
    producer = ShmRing::create(name, 4, 12);
    CHECK_FALSE(reader_ring.frame_type());
    const auto again = cursor.take();
    CHECK_FALSE(again);
    producer.publish(frame.data(), 1);
    const auto untyped = cursor.take();
    REQUIRE(untyped);
    CHECK((untyped->stamp.timestamp_ns == 0 && !cursor.ended()));
    // A live companion with fewer stamps than a new capacity needs is no longer used.
    CHECK_THROWS_WITH(ShmRing::create(name, 8, quorvane::FrameType::of("|u1", shape, 1)),
                      text(Failure::no_companion).c_str());
    const ShmRing left = ShmRing::open_as_made(name);
    CHECK((left.companion == nullptr && left.frame_bytes == 12));  // the ring left as it was
}

TEST_CASE("a sleeping reader is woken by the producer; a ring without a companion is polled") {
    const auto name = unique_name("bell");
    ShmRing producer = ShmRing::create(name, 8, 16);
    ShmRing reader_ring = ShmRing::open(name, 8, 16);
    REQUIRE(reader_ring.companion != nullptr);
    quorvane::Cursor cursor(reader_ring, quorvane::Cursor::Start::next);
    const auto frame = frames(1, 16);
    const auto sleepers = [&] { return std::atomic_ref(producer.companion->sleepers).load(); };
    for (int round = 0; round < 3; ++round) {
        const std::uint32_t bell = std::atomic_ref(producer.companion->bell).load();
        std::thread publisher([&] {
            // Publish only once the reader sleeps, so the wake is the bell's, not a look's.
            while (sleepers() == 0) std::this_thread::yield();
            producer.publish(frame.data(), 1);
        });
        const auto started = std::chrono::steady_clock::now();
        CHECK(cursor.wait(quorvane::now_ns() + 5'000'000'000));
        CHECK(std::chrono::steady_clock::now() - started < std::chrono::milliseconds(40));
        publisher.join();
        CHECK(std::atomic_ref(producer.companion->bell).load() != bell);
        CHECK(cursor.take());
    }
    CHECK(sleepers() == 0);
    const std::uint32_t quiet = std::atomic_ref(producer.companion->bell).load();
    producer.publish(frame.data(), 1);  // nobody asleep: no ring
    CHECK(std::atomic_ref(producer.companion->bell).load() == quiet);

    // A program that knows only the header makes its ring without a companion.
    const auto foreign_name = unique_name("foreign");
    platform::MappingHandle made = platform::create_mapping(foreign_name, 24 + 4 * 16);
    auto* header = static_cast<quorvane::RingHeader*>(platform::map_view(made, 24 + 4 * 16));
    *header = {0, 4, 16};
    ShmRing foreign = ShmRing::open(foreign_name, 4, 16);
    CHECK(foreign.companion == nullptr);
    quorvane::Cursor poller(foreign, quorvane::Cursor::Start::next);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::atomic_ref(header->write_idx).store(1);
    });
    const auto started = std::chrono::steady_clock::now();
    CHECK(poller.wait(quorvane::now_ns() + 5'000'000'000));
    CHECK(std::chrono::steady_clock::now() - started < std::chrono::milliseconds(45));
    writer.join();
    platform::unmap_view(header, 24 + 4 * 16);
    platform::close_mapping(made);
}

TEST_CASE("a reader waits through an index that a second writer sends back") {
    const auto name = unique_name("two_writers");
    ShmRing ring = ShmRing::create(name, 8, 16);
    quorvane::Cursor cursor(ring, quorvane::Cursor::Start::next);
    const auto index = std::atomic_ref<std::uint64_t>(ring.header->write_idx);
    const auto store_soon = [&](std::uint64_t value) {
        return std::thread([&index, value] {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            index.store(value);
        });
    };
    const auto deadline = [] { return quorvane::now_ns() + 2'000'000'000; };
    index.store(5);
    while (cursor.take()) {
    }
    for (const std::uint64_t value : {7, 7}) {  // 5 -> 7, back to 6 unseen, then 7 again
        std::thread writer = store_soon(value);
        CHECK(cursor.wait(deadline()));
        writer.join();
        index.store(6);
        while (cursor.take()) {
        }
    }
    CHECK(cursor.restarts() == 0);
}

TEST_CASE("view geometry") {
    ShmRing ring = ShmRing::create(unique_name("views"), 4, 16);
    auto frame = ring.frame_view(5, 2, 2);
    CHECK(frame.first == ring.data + 16);
    CHECK(frame.ndim == 2);
    CHECK(frame.shape[0] == 2);
    CHECK(frame.strides[0] == 8);
    CHECK(frame.strides[1] == 4);
    CHECK(frame.length == 16);

    auto window = ring.window_view(6, 2, 2, 2);
    CHECK(window.first == ring.data + 32);
    CHECK(window.shape == std::array<std::int64_t, 3>{2, 2, 2});
    CHECK(window.strides == std::array<std::int64_t, 3>{16, 8, 4});
    CHECK(ring.window_view(3, 0, 2, 2).length == 0);
    CHECK(ring.frame_view(2, 2, 4).length == 32);  // runs into slot 3: still inside

    CHECK_THROWS_WITH((void)ring.window_view(7, 2, 2, 2), text(Failure::window_wraps).c_str());
    CHECK_THROWS_WITH((void)ring.window_view(1, ~0ull, 1, 1), text(Failure::window_wraps).c_str());
    CHECK_THROWS_WITH((void)ring.frame_view(0, -1, 1), text(Failure::negative_geometry).c_str());
    CHECK_THROWS_WITH((void)ring.frame_view(3, 2, 4), text(Failure::view_past_segment).c_str());
    CHECK_THROWS_WITH((void)ring.frame_view(0, 1ll << 62, 1ll << 62),
                      text(Failure::view_past_segment).c_str());
    CHECK_THROWS_WITH((void)ring.frame_view(0, 0, 1ll << 62),
                      text(Failure::view_past_segment).c_str());
    CHECK_THROWS_WITH((void)ring.window_view(0, 4, 1, 5), text(Failure::view_past_segment).c_str());
}

TEST_CASE("another process opens the segment and sees published frames") {
    const auto name = unique_name("reader");
    ShmRing ring = ShmRing::create(name, 4, 16);
    const std::vector<std::byte> frame(16, std::byte{7});
    ring.publish(frame.data(), 1);
    CHECK(test_support::wait_child(test_support::start_child("reader", name)) == 0);
    CHECK(ring.write_idx() == 2);
    CHECK(ring.data[16] == std::byte{9});
}

TEST_CASE(
    "a segment and its companion live while another process holds them, and go after the last") {
    const auto name = unique_name("holder");
    auto creator = ShmRing::create(name, 4, 16);
    auto* child = test_support::start_child("holder", name);
    REQUIRE(wait_for(creator, 0, 1));
    creator.release();
    ShmRing again = ShmRing::open(name, 4, 16);  // the child's handle keeps it alive
    CHECK(word(again, 0).load() == 1);
    CHECK(again.generation() == 1);  // the same companion
    word(again, 1).store(1);
    CHECK(test_support::wait_child(child) == 0);
    again.release();
    CHECK_THROWS_WITH(ShmRing::open(name, 4, 16), text(Failure::open_failed).c_str());
    CHECK_FALSE(exists(companion_of(name)));
}

TEST_CASE("a segment whose creator died without releasing is gone, its companion too") {
    const auto name = unique_name("dies");
    CHECK(test_support::wait_child(test_support::start_child("dies", name)) == 0);
    CHECK_THROWS_WITH(ShmRing::open(name, 4, 16), text(Failure::open_failed).c_str());
    CHECK_FALSE(exists(companion_of(name)));
    ShmRing fresh = ShmRing::create(name, 4, 16);
    CHECK((word(fresh, 0).load() == 0 && fresh.generation() == 1));
}

TEST_CASE("opening with a geometry bigger than the segment") {
    const auto name = unique_name("bigger");
    ShmRing ring = ShmRing::create(name, 4, 16);  // 88 bytes
#ifdef _WIN32
    // Windows sections are whole pages: 152 bytes still fit in the first one.
    CHECK(ShmRing::open(name, 8, 16).total_bytes == 152);
#else
    // The Linux layer keeps exact sizes, as other programs see them in /dev/shm.
    CHECK_THROWS_WITH(ShmRing::open(name, 8, 16), text(Failure::map_failed).c_str());
#endif
    CHECK_THROWS_WITH(ShmRing::open(name, 512, 16),
                      text(Failure::map_failed).c_str());  // past the page
}

TEST_CASE("names the layers treat differently: empty, and with '/'") {
    const auto slashed = unique_name("dir/name");
#ifdef _WIN32
    // kernel32 takes an empty name as no name: a private section nobody else can open.
    ShmRing ring = ShmRing::create("", 4, 16);
    CHECK(ring.write_idx() == 0);
    // '/' is an ordinary character in a section's name.
    ShmRing with_slash = ShmRing::create(slashed, 4, 16);
    CHECK(ShmRing::open(slashed, 4, 16).capacity == 4);
#else
    // A file in /dev/shm needs a name, and '/' would make it a path.
    CHECK_THROWS_WITH(ShmRing::create("", 4, 16), text(Failure::create_failed).c_str());
    CHECK_THROWS_WITH(ShmRing::create(slashed, 4, 16), text(Failure::create_failed).c_str());
#endif
    CHECK_THROWS_WITH(ShmRing::open("", 4, 16), text(Failure::open_failed).c_str());
}

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--child") return run_child(argv[2], argv[3]);
    doctest::Context context(argc, argv);
    return context.run();
}
