// The platform calls the ring needs, modelled on Windows named file mappings.
// One implementation per platform: named_mapping_win32.cpp and named_mapping_posix.cpp.
#pragma once

#include <cstdint>
#include <string>

namespace quorvane::platform {

// Opaque: a kernel32 HANDLE on Windows, a heap record on Linux. Null means "none".
using MappingHandle = void*;

// Creates the named object, zero-filled and `bytes` long, or returns the existing one of
// that name, whose size is left as it was. Null on failure.
MappingHandle create_mapping(const std::string& name, std::uint64_t bytes);

// Returns the existing named object; null if there is none or access is refused.
MappingHandle open_mapping(const std::string& name);

// Maps the first `bytes` bytes read/write. Null on failure, in particular when the object
// is smaller than `bytes`.
void* map_view(MappingHandle mapping, std::uint64_t bytes);

void unmap_view(void* view, std::uint64_t bytes);

// The object (and its name) lives until the last handle on it, in any process, is closed.
void close_mapping(MappingHandle mapping);

// Whether [p, p + bytes) overlaps a view of the object behind `mapping` that this process
// mapped, through this handle or any other: such memory aliases the object's own bytes.
bool overlaps_object_views(MappingHandle mapping, const void* p, std::uint64_t bytes);

}  // namespace quorvane::platform
