// Every way the ring fails, with its one fixed text. A failure is a std::runtime_error whose
// message is that text (RuntimeError in Python); RingError carries which one it is, so that
// the C interface's statuses and the companions' checks follow from this table, never from
// the text.
//
// The first three name the Win32 calls a ring is made of on its own platform; the Linux
// layer reproduces what those calls do, and so reports their names too.
#pragma once

#include <array>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorvane {

enum class Failure : std::size_t {
    create_failed,
    open_failed,
    map_failed,
    not_c_contiguous,
    not_whole_frames,
    window_wraps,
    sizes_not_positive,
    ring_too_large,
    negative_geometry,
    view_past_segment,
    header_not_valid,
};

// In the order of Failure; the names are its enumerators', for the Python companions.
struct FailureText {
    std::string_view name;
    std::string_view text;
};
inline constexpr std::array<FailureText, 11> failure_texts{{
    {"create_failed", "CreateFileMapping failed"},
    {"open_failed", "OpenFileMapping failed"},
    {"map_failed", "MapViewOfFile failed"},
    {"not_c_contiguous", "array must be C-contiguous"},
    {"not_whole_frames", "size not multiple of frame_bytes"},
    {"window_wraps", "window wraps ring; split into two calls"},
    {"sizes_not_positive", "capacity and frame_bytes must be positive"},
    {"ring_too_large", "ring size too large"},
    {"negative_geometry", "rows and cols must be non-negative"},
    {"view_past_segment", "view exceeds ring segment"},
    {"header_not_valid", "ring header not valid"},
}};

[[nodiscard]] constexpr std::string_view text_of(Failure failure) noexcept {
    return failure_texts[static_cast<std::size_t>(failure)].text;
}

struct RingError : std::runtime_error {
    explicit RingError(Failure failure)
        : std::runtime_error(std::string(text_of(failure))), failure(failure) {}
    Failure failure;
};

}  // namespace quorvane
