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
#include <utility>

// The core is one shared library in a process that loads both Python extensions, so that
// the process keeps one record of its handles; elsewhere it is a static library. Its classes
// are exported from it, and the exceptions thrown from it visible to their catchers.
#if defined(QUORVANE_RING_SHARED) && defined(_WIN32)
#if defined(QUORVANE_RING_BUILDING)
#define QUORVANE_RING_API __declspec(dllexport)
#else
#define QUORVANE_RING_API __declspec(dllimport)
#endif
#define QUORVANE_RING_THROWN
#elif defined(QUORVANE_RING_SHARED)
#define QUORVANE_RING_API __attribute__((visibility("default")))
#define QUORVANE_RING_THROWN QUORVANE_RING_API
#else
#define QUORVANE_RING_API
#define QUORVANE_RING_THROWN
#endif

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
    name_refused,
    segment_too_small,
    header_past_segment,
    single_slot,
    bad_frame_type,
    no_companion,
};

// In the order of Failure; the names are its enumerators', for the Python companions.
struct FailureText {
    std::string_view name;
    std::string_view text;
};
inline constexpr std::array<FailureText, 17> failure_texts{{
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
    {"name_refused", "something is at the name, but not a ring this user may open"},
    {"segment_too_small", "the segment is too small to hold a ring header and a slot"},
    {"header_past_segment", "the ring header says more than the segment holds"},
    {"single_slot", "a reader needs a ring of at least 2 slots"},
    {"bad_frame_type",
     "a frame type is a NumPy type string of a fixed-size number (such as '|u1' or '<f4') and "
     "1 to 4 positive dimensions"},
    {"no_companion", "a typed ring needs the object beside it, which could not be made"},
}};

[[nodiscard]] constexpr std::string_view text_of(Failure failure) noexcept {
    return failure_texts[static_cast<std::size_t>(failure)].text;
}

// The message stays the fixed text; where a system call failed, its code and the system's
// words for it come with it (the C interface appends them, Python chains an OSError).
struct QUORVANE_RING_THROWN RingError : std::runtime_error {
    explicit RingError(Failure failure, int system_error = 0, std::string system_text = {})
        : std::runtime_error(std::string(text_of(failure))),
          failure(failure),
          system_error(system_error),
          system_text(std::move(system_text)) {}
    Failure failure;
    int system_error;         // errno on Linux, GetLastError() on Windows; 0: none
    std::string system_text;  // "Permission denied (errno 13)"
};

// A wait ended by its caller (a signal handler's exception is pending in Python, say).
struct QUORVANE_RING_THROWN Interrupted : std::exception {
    [[nodiscard]] const char* what() const noexcept override { return "interrupted"; }
};

}  // namespace quorvane
