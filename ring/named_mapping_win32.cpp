// Windows: kernel32 named file mappings backed by the paging file; the kernel keeps the
// object alive while any handle or view on it exists, in any process.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "named_mapping.hpp"

namespace quorvane::platform {

MappingHandle create_mapping(const std::string& name, std::uint64_t bytes) {
    // An existing object of this name is returned as it is; its size stays what it was.
    return ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                static_cast<DWORD>(bytes >> 32),
                                static_cast<DWORD>(bytes & 0xFFFFFFFFu), name.c_str());
}

MappingHandle open_mapping(const std::string& name) {
    return ::OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
}

void* map_view(MappingHandle mapping, std::uint64_t bytes) {
    return ::MapViewOfFile(static_cast<HANDLE>(mapping), FILE_MAP_ALL_ACCESS, 0, 0,
                           static_cast<SIZE_T>(bytes));
}

void unmap_view(void* view, std::uint64_t /*bytes: Windows unmaps the whole view*/) {
    ::UnmapViewOfFile(view);
}

void close_mapping(MappingHandle mapping) {
    ::CloseHandle(static_cast<HANDLE>(mapping));
}

}  // namespace quorvane::platform
