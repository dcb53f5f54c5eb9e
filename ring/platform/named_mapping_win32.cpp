// Windows: kernel32 named file mappings backed by the paging file; the kernel keeps the
// object alive while any handle or view on it exists, in any process.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "named_mapping.hpp"

namespace quorvane::platform {
namespace {

struct View {
    const std::byte* begin;
    std::uint64_t bytes;
    HANDLE mapping;  // the handle it was mapped through; the ring closes it after unmapping
};

std::mutex views_lock;
std::vector<View> views;  // every view this process mapped, for overlaps_object_views

// Whether two handles refer to one section. CompareObjectHandles needs Windows 10; without
// it, any two handles might: overlaps_object_views then errs on the safe side.
bool same_object(HANDLE a, HANDLE b) {
    using Compare = BOOL(WINAPI*)(HANDLE, HANDLE);
    static const auto compare = reinterpret_cast<Compare>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleA("kernelbase.dll"), "CompareObjectHandles")));
    return a == b || compare == nullptr || compare(a, b) != FALSE;
}

}  // namespace

int last_error() {
    return static_cast<int>(::GetLastError());
}

std::string error_text(int code) {
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string words(text != nullptr ? text : "", length);
    ::LocalFree(text);
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r')) words.pop_back();
    return (words.empty() ? std::string("unknown error") : words) + " (Windows error " +
           std::to_string(code) + ")";
}

MappingHandle create_mapping(const std::string& name, std::uint64_t bytes) {
    // An existing object of this name is returned as it is; its size stays what it was.
    return ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                static_cast<DWORD>(bytes >> 32),
                                static_cast<DWORD>(bytes & 0xFFFFFFFFu), name.c_str());
}

MappingHandle open_mapping(const std::string& name, bool& absent) {
    HANDLE mapping = ::OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
    absent = mapping == nullptr && ::GetLastError() == ERROR_FILE_NOT_FOUND;
    return mapping;
}

void* map_view(MappingHandle mapping, std::uint64_t bytes) {
    void* view = ::MapViewOfFile(static_cast<HANDLE>(mapping), FILE_MAP_ALL_ACCESS, 0, 0,
                                 static_cast<SIZE_T>(bytes));
    if (view == nullptr) return nullptr;
    try {
        const std::lock_guard guard(views_lock);
        views.push_back({static_cast<const std::byte*>(view), bytes, static_cast<HANDLE>(mapping)});
    } catch (...) {  // out of memory: the view goes back as on any failure
        ::UnmapViewOfFile(view);
        throw;
    }
    return view;
}

void unmap_view(void* view, std::uint64_t /*bytes: Windows unmaps the whole view*/) {
    {
        const std::lock_guard guard(views_lock);
        std::erase_if(views, [view](const View& v) { return v.begin == view; });
    }
    ::UnmapViewOfFile(view);
}

void close_mapping(MappingHandle mapping) {
    const DWORD cause = ::GetLastError();
    ::CloseHandle(static_cast<HANDLE>(mapping));
    ::SetLastError(cause);
}

void reclaim_dead_objects(Reclaimable /*reclaimable*/) {}

bool overlaps_object_views(MappingHandle mapping, const void* p, std::uint64_t bytes) {
    const auto* begin = static_cast<const std::byte*>(p);
    const std::lock_guard guard(views_lock);
    return std::ranges::any_of(views, [&](const View& v) {
        return begin < v.begin + v.bytes && v.begin < begin + bytes &&
               same_object(v.mapping, static_cast<HANDLE>(mapping));
    });
}

std::optional<bool> is_held(const std::string& name) {
    HANDLE mapping = ::OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
    if (mapping == nullptr) return std::nullopt;
    ::CloseHandle(mapping);
    return true;
}

std::uint64_t mark_writer(MappingHandle /*mapping*/) {
    return ::GetCurrentProcessId();
}

// A process id may be taken again by a later process; for a writer that crashed long ago,
// this can say alive.
std::optional<bool> writer_alive(MappingHandle /*mapping*/, std::uint64_t token,
                                 std::uint32_t open_writers) {
    if (open_writers == 0) return false;
    HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(token));
    if (process == nullptr) {
        if (::GetLastError() == ERROR_ACCESS_DENIED) return true;  // there, another user's
        return false;
    }
    const bool running = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    ::CloseHandle(process);
    return running;
}

// A process cannot wait on an address in another process's memory, so sleepers wait on a
// named semaphore and the writer releases one count per sleeper it counted. A count left
// by a sleeper that timed out first wakes a later one for nothing: it looks and sleeps again.
bool open_bell(const std::string& name, BellHandle& bell) {
    bell = ::CreateSemaphoreA(nullptr, 0, LONG_MAX, name.c_str());
    return bell != nullptr;
}

void close_bell(BellHandle bell) {
    ::CloseHandle(static_cast<HANDLE>(bell));
}

void wake_bell(BellHandle bell, std::uint32_t* /*word*/, std::uint32_t sleepers) {
    ::ReleaseSemaphore(static_cast<HANDLE>(bell),
                       static_cast<LONG>(std::min<std::uint32_t>(sleepers, LONG_MAX)), nullptr);
}

bool wait_bell(BellHandle bell, const std::uint32_t* word, std::uint32_t seen,
               std::int64_t timeout_ns) {
    if (timeout_ns <= 0 || std::atomic_ref(*const_cast<std::uint32_t*>(word)).load() != seen) {
        return false;
    }
    const auto ms = static_cast<DWORD>(
        std::min<std::int64_t>((timeout_ns + 999'999) / 1'000'000, INFINITE - 1));
    ::WaitForSingleObject(static_cast<HANDLE>(bell), ms);
    return false;
}

}  // namespace quorvane::platform
