// The platform calls the ring needs, modelled on Windows named file mappings.
// One implementation per platform: named_mapping_win32.cpp and named_mapping_posix.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace quorvane::platform {

// Opaque: a kernel32 HANDLE on Windows, a heap record on Linux. Null means "none".
using MappingHandle = void*;

// Why this thread's last failed call of this layer failed, as Windows keeps it: the system's
// code (errno on Linux, GetLastError() on Windows), to be read at once after that call.
int last_error();
// The system's words for such a code, and the code: "Permission denied (errno 13)".
std::string error_text(int code);

// Creates the named object, zero-filled and `bytes` long, or returns the existing one of
// that name, whose size is left as it was. Null on failure.
MappingHandle create_mapping(const std::string& name, std::uint64_t bytes);

// Returns the existing named object; null if there is none (`absent` set) or access is
// refused (`absent` cleared).
MappingHandle open_mapping(const std::string& name, bool& absent);

// Maps the first `bytes` bytes read/write. Null on failure, in particular when the object
// is smaller than `bytes`.
void* map_view(MappingHandle mapping, std::uint64_t bytes);

void unmap_view(void* view, std::uint64_t bytes);

// The object (and its name) lives until the last handle on it, in any process, is closed.
// Leaves last_error() as it was: the clean-up after a failure keeps the failure's cause.
void close_mapping(MappingHandle mapping);

// Whether a sweep may take a dead object for one of the ring core's own (a ring or a
// companion; the core decides), given its first bytes (sweep_head_bytes, or fewer for a
// shorter object) and its size.
inline constexpr std::size_t sweep_head_bytes = 64;
using Reclaimable = bool (*)(std::span<const std::byte> head, std::uint64_t size);

// Removes the names of this user's objects whose holders all ended without releasing them
// (killed, _exit, exec) and that `reclaimable` accepts. Windows frees a process's handles
// however it ends, so there is nothing to do there. Cheap to call often: on Linux it looks
// through /dev/shm only now and then (named_mapping_posix.cpp says when).
void reclaim_dead_objects(Reclaimable reclaimable);

// Whether [p, p + bytes) overlaps a view of the object behind `mapping` that this process
// mapped, through this handle or any other: such memory aliases the object's own bytes.
bool overlaps_object_views(MappingHandle mapping, const void* p, std::uint64_t bytes);

// Whether a live handle, in any process, holds the object named `name`, asked without
// taking any lock (which could make a last holder leaving at that moment skip removing the
// name) and without waiting. Nothing if it cannot be asked: absent, or not this user's to
// read. Windows keeps no object nobody holds, so there an object is held if it opens.
std::optional<bool> is_held(const std::string& name);

// A writer's mark, for telling a writer that ended without releasing (a crash, a kill)
// from one that is only quiet. mark_writer holds it for as long as `mapping` is open and
// returns a token to keep beside the object (Linux: a shared lock on the object's second
// byte, which only writers take; Windows: the process id). writer_alive tells, from the
// token and the count of writers' handles still open (which a crash leaves as it was),
// whether a writer is there: Linux asks the lock alone (a forked child's copies of a
// handle would miscount), Windows the count and then the process. Nothing if it cannot be
// told.
std::uint64_t mark_writer(MappingHandle mapping);
std::optional<bool> writer_alive(MappingHandle mapping, std::uint64_t token,
                                 std::uint32_t open_writers);

// A doorbell: readers sleep on a 32-bit word in shared memory, which the writer changes
// before it wakes them. Linux: a futex on the word itself, so there is nothing to open and
// the handle is null. Windows: a named semaphore of its own, the lifetime of a mapping's.
using BellHandle = void*;

// False on failure.
bool open_bell(const std::string& name, BellHandle& bell);
void close_bell(BellHandle bell);

// Wakes the `sleepers` sleepers on `word`, which the caller has just changed.
void wake_bell(BellHandle bell, std::uint32_t* word, std::uint32_t sleepers);

// Sleeps while *word == seen, at most timeout_ns; may return early, for no reason too.
// True if a signal handler ran meanwhile (Linux; on Windows, signals do not interrupt it).
bool wait_bell(BellHandle bell, const std::uint32_t* word, std::uint32_t seen,
               std::int64_t timeout_ns);

}  // namespace quorvane::platform
