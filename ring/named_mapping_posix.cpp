// Linux: named mappings as files in /dev/shm, with the lifetime of Windows named objects.
//
// Every live handle holds a shared OFD lock on byte 0 of its own descriptor, so the
// holder count lives in the kernel and dies with a crashed process. One of our objects
// that nobody holds is dead: whoever can lock it exclusively removes its name. Every
// release drops its own lock first and then looks, so of several last holders leaving
// at once the one that looks last finds none left; an object whose holders crashed is
// removed by the next create or open of its name.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>

#include "named_mapping.hpp"

namespace quorvane::platform {
namespace {

constexpr const char* shm_dir = "/dev/shm";
constexpr mode_t owner_only = 0600;
// Set on every object this layer creates, before it gets its name, so it survives a crash.
// Objects without it belong to other programs: we attach to them but never remove them.
constexpr mode_t made_by_us = S_ISVTX;
// A name can be caught between its last holder and its removal; such races last
// microseconds, so a few retries with a short pause settle them.
constexpr int max_attempts = 1000;
constexpr useconds_t retry_pause_us = 100;

struct Mapping {
    int fd;
    bool ours;
    std::string path;
};

// Like Windows, the name ends at its first NUL. POSIX cannot hold an empty name or one
// with '/', and "." or ".." would name directories.
std::optional<std::string> path_for(const std::string& name) {
    const std::string base = name.substr(0, name.find('\0'));
    if (base.empty() || base.size() > 254 || base == "." || base == ".." ||
        base.find('/') != std::string::npos) {
        return std::nullopt;
    }
    return std::string(shm_dir) + "/" + base;
}

bool try_lock(int fd, short type) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 1;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

bool names_same_file(int fd, const std::string& path) {
    struct stat by_fd = {};
    struct stat by_name = {};
    return ::fstat(fd, &by_fd) == 0 && ::stat(path.c_str(), &by_name) == 0 &&
           by_fd.st_dev == by_name.st_dev && by_fd.st_ino == by_name.st_ino;
}

// Removes the name of one of our objects that nobody holds. Holding its lock exclusively
// proves that no holder is left in any process (a forked child's inherited lock counts).
// Returns whether the object was dead.
bool remove_if_dead(int fd, const std::string& path) {
    if (!try_lock(fd, F_WRLCK)) return false;
    if (names_same_file(fd, path)) ::unlink(path.c_str());
    return true;
}

bool is_ours(const struct stat& st) {
    return S_ISREG(st.st_mode) && (st.st_mode & made_by_us) != 0;
}

enum class Found { live, absent, failed };

// Opens the live object behind `path` with a shared lock held, removing a dead one of ours.
Found open_live(const std::string& path, Mapping*& result) {
    for (int attempt = 0; attempt < max_attempts; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return errno == ENOENT ? Found::absent : Found::failed;
        struct stat st = {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            return Found::failed;
        }
        const bool ours = is_ours(st);
        // A shared lock fails while a remover holds it exclusively, and the object may die
        // between our open and our lock: either way, look again.
        if (!(ours && remove_if_dead(fd, path)) && try_lock(fd, F_RDLCK) &&
            names_same_file(fd, path)) {
            result = new Mapping{fd, ours, path};
            return Found::live;
        }
        ::close(fd);
        ::usleep(retry_pause_us);
    }
    return Found::failed;
}

// A new object appears atomically: made unnamed, sized, committed, marked and locked,
// and only then linked to its name.
int make_unnamed(std::uint64_t bytes) {
    const int fd = ::open(shm_dir, O_TMPFILE | O_RDWR | O_CLOEXEC, owner_only);
    if (fd < 0) return -1;
    // fallocate, not ftruncate: a ring /dev/shm cannot back must fail here, not raise
    // SIGBUS at the first write into an unbacked page.
    if (::fchmod(fd, owner_only | made_by_us) != 0 ||
        ::fallocate(fd, 0, 0, static_cast<off_t>(bytes)) != 0 || !try_lock(fd, F_RDLCK)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool link_to_name(int fd, const std::string& path) {
    char fd_path[32];
    std::snprintf(fd_path, sizeof fd_path, "/proc/self/fd/%d", fd);
    return ::linkat(AT_FDCWD, fd_path, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

}  // namespace

MappingHandle create_mapping(const std::string& name, std::uint64_t bytes) {
    const auto path = path_for(name);
    if (!path) return nullptr;
    for (int attempt = 0; attempt < max_attempts; ++attempt) {
        Mapping* existing = nullptr;
        switch (open_live(*path, existing)) {
            case Found::live:
                return existing;
            case Found::failed:
                return nullptr;
            case Found::absent:
                break;
        }
        const int fd = make_unnamed(bytes);
        if (fd < 0) return nullptr;
        if (link_to_name(fd, *path)) return new Mapping{fd, true, *path};
        const int link_error = errno;
        ::close(fd);
        if (link_error != EEXIST) return nullptr;
        // Someone else created it first: attach to theirs.
    }
    return nullptr;
}

MappingHandle open_mapping(const std::string& name) {
    const auto path = path_for(name);
    Mapping* existing = nullptr;
    if (!path || open_live(*path, existing) != Found::live) return nullptr;
    return existing;
}

void* map_view(MappingHandle mapping, std::uint64_t bytes) {
    const int fd = static_cast<Mapping*>(mapping)->fd;
    struct stat st = {};
    // Mapping past the end of the object would turn reads into SIGBUS.
    if (::fstat(fd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) < bytes) return nullptr;
    void* view = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return view == MAP_FAILED ? nullptr : view;
}

void unmap_view(void* view, std::uint64_t bytes) {
    ::munmap(view, bytes);
}

void close_mapping(MappingHandle mapping) {
    const auto* held = static_cast<Mapping*>(mapping);
    ::close(held->fd);  // drops our lock (in a forked child the parent's copy keeps it)
    if (held->ours) {
        const int fd = ::open(held->path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        struct stat st = {};
        if (fd >= 0 && ::fstat(fd, &st) == 0 && is_ours(st)) remove_if_dead(fd, held->path);
        if (fd >= 0) ::close(fd);
    }
    delete held;
}

}  // namespace quorvane::platform
