// A native producer, a uint8 RGB camera: renders a moving pattern straight into the ring's
// next slot, with no copy, at a chosen rate, stamps each frame with the time and its number,
// and ends its stream when done. The ring is typed: any reader (Python, C, C++) learns
// dtype and shape from it.
//   producer NAME [--rows 240] [--cols 320] [--capacity 16] [--fps 100] [--frames 0 = until Ctrl-C]
#include <quorvane/shm_ring.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "pattern.h"

namespace {

std::atomic<bool> stop{false};

struct Options {
    std::string name;
    std::uint64_t rows = 240, cols = 320, capacity = 16, frames = 0;
    double fps = 100;
};

Options parse(int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-') {
        std::fprintf(stderr,
                     "usage: %s NAME [--rows R] [--cols C] [--capacity K] [--fps F] "
                     "[--frames N]\n",
                     argv[0]);
        std::exit(2);
    }
    Options o{argv[1]};
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const char* value = argv[i + 1];
        if (key == "--rows")
            o.rows = std::strtoull(value, nullptr, 10);
        else if (key == "--cols")
            o.cols = std::strtoull(value, nullptr, 10);
        else if (key == "--capacity")
            o.capacity = std::strtoull(value, nullptr, 10);
        else if (key == "--frames")
            o.frames = std::strtoull(value, nullptr, 10);
        else if (key == "--fps")
            o.fps = std::strtod(value, nullptr);
        else {
            std::fprintf(stderr, "unknown option %s\n", key.c_str());
            std::exit(2);
        }
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    std::signal(SIGINT, [](int) { stop = true; });
    std::signal(SIGTERM, [](int) { stop = true; });
    try {
        const std::uint64_t shape[] = {o.rows, o.cols, PATTERN_CHANNELS};
        quorvane::ShmRing ring =
            quorvane::ShmRing::create(o.name, o.capacity, quorvane::FrameType::of("|u1", shape, 3));
        std::printf("producer: ring '%s', %llu slots of %llu x %llu RGB uint8, %g fps\n",
                    o.name.c_str(), static_cast<unsigned long long>(o.capacity),
                    static_cast<unsigned long long>(o.rows),
                    static_cast<unsigned long long>(o.cols), o.fps);
        std::fflush(stdout);
        const auto period = std::chrono::duration<double>(o.fps > 0 ? 1.0 / o.fps : 0.0);
        auto due = std::chrono::steady_clock::now();
        std::uint64_t n = 0;
        for (; !stop && (o.frames == 0 || n < o.frames); ++n) {
            auto* pixel = reinterpret_cast<std::uint8_t*>(ring.next_slot());
            for (std::uint64_t r = 0; r < o.rows; ++r) {
                for (std::uint64_t c = 0; c < o.cols; ++c) {
                    for (std::uint64_t k = 0; k < PATTERN_CHANNELS; ++k) {
                        *pixel++ = pattern_value(n, r, c, k);
                    }
                }
            }
            const auto now = std::chrono::system_clock::now().time_since_epoch();
            ring.commit({std::chrono::duration_cast<std::chrono::nanoseconds>(now).count(), n});
            due += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
            std::this_thread::sleep_until(due);
        }
        ring.end_stream();  // readers stop once they have read what is left
        std::printf("published %llu frames\n", static_cast<unsigned long long>(n));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "producer: %s\n", error.what());
        return 1;
    }
    return 0;
}
