// Tests of the ring core and of the named-mapping layer it is built on.
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "named_mapping.hpp"
#include "shm_ring.hpp"

using quorvane::ShmRing;
namespace platform = quorvane::platform;

namespace {

std::string unique_name(const char* what) {
    static int counter = 0;
    return std::string("qv_native_") + what + "_" + std::to_string(++counter);
}

std::vector<std::byte> frames(std::size_t count, std::size_t frame_bytes) {
    std::vector<std::byte> bytes(count * frame_bytes);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = std::byte(i / frame_bytes + 1);
    return bytes;
}

std::byte slot_byte(const ShmRing& ring, std::uint64_t slot) { return ring.data[slot * ring.frame_bytes]; }

}  // namespace

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
    platform::MappingHandle third = platform::open_mapping(name);  // `again` still holds it
    CHECK(third != nullptr);
    platform::close_mapping(third);
    platform::unmap_view(seen, 4096);
    platform::close_mapping(again);
}

TEST_CASE("named mapping: the object lives while any handle lives and is gone after the last") {
    const auto name = unique_name("life");
    platform::MappingHandle creator = platform::create_mapping(name, 64);
    platform::MappingHandle opener = platform::open_mapping(name);
    REQUIRE(creator != nullptr);
    REQUIRE(opener != nullptr);
    platform::close_mapping(creator);
    platform::MappingHandle still = platform::open_mapping(name);
    CHECK(still != nullptr);
    platform::close_mapping(still);
    platform::close_mapping(opener);
    CHECK(platform::open_mapping(name) == nullptr);
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
    CHECK_THROWS_WITH(ShmRing::open(name, 8, 16), "MapViewOfFile failed");
    CHECK_THROWS_WITH(ShmRing::open(unique_name("missing"), 4, 16), "OpenFileMapping failed");
}

TEST_CASE("sizes that cannot make a ring are refused") {
    const auto name = unique_name("sizes");
    CHECK_THROWS_WITH(ShmRing::create(name, 0, 16), "capacity and frame_bytes must be positive");
    CHECK_THROWS_WITH(ShmRing::create(name, 4, 0), "capacity and frame_bytes must be positive");
    CHECK_THROWS_WITH(ShmRing::create(name, ~0ull, ~0ull), "ring size too large");
    CHECK_THROWS_WITH(ShmRing::open(name, 1, ~0ull - 23), "ring size too large");
    CHECK(platform::open_mapping(name) == nullptr);
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
    CHECK_THROWS_WITH(ring.frames_in(24), "size not multiple of frame_bytes");
    ring.publish(nullptr, 0);
    CHECK(ring.write_idx() == 7);
}

TEST_CASE("publish from the ring's own slots reads them before writing") {
    ShmRing ring = ShmRing::create(unique_name("overlap"), 4, 16);
    const auto four = frames(4, 16);
    ring.publish(four.data(), 4);
    ring.publish(ring.data + 16, 3);  // slots 1..3 into slots 0..2
    CHECK(slot_byte(ring, 0) == std::byte{2});
    CHECK(slot_byte(ring, 1) == std::byte{3});
    CHECK(slot_byte(ring, 2) == std::byte{4});
    CHECK(ring.write_idx() == 7);
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

    CHECK_THROWS_WITH(ring.window_view(7, 2, 2, 2), "window wraps ring; split into two calls");
    CHECK_THROWS_WITH(ring.window_view(1, ~0ull, 1, 1), "window wraps ring; split into two calls");
    CHECK_THROWS_WITH(ring.frame_view(0, -1, 1), "rows and cols must be non-negative");
    CHECK_THROWS_WITH(ring.frame_view(3, 2, 4), "view exceeds ring segment");
    CHECK_THROWS_WITH(ring.frame_view(0, 1ll << 62, 1ll << 62), "view exceeds ring segment");
    CHECK_THROWS_WITH(ring.frame_view(0, 0, 1ll << 62), "view exceeds ring segment");
    CHECK_THROWS_WITH(ring.window_view(0, 4, 1, 5), "view exceeds ring segment");
}
