// Linux: named mappings as files in /dev/shm, with the lifetime of Windows named objects.
//
// Every live handle holds a shared OFD lock on byte 0 of its own descriptor, so the
// holder count lives in the kernel and dies with a crashed process. One of our objects
// that nobody holds is dead: whoever can lock it exclusively removes its name. Every
// release drops its own lock first and then looks, so of several last holders leaving
// at once the one that looks last finds none left; an object whose holders crashed is
// removed by the next open of its name, or by its owner's next sweep (reclaim_dead_objects).
//
// Windows has no fork and frees a process's handles however it ends. Here a forked child
// would share its parent's locks (they belong to the open file description), so the child
// gives up its copies of the descriptors at once; and a process that exits normally
// releases the handles its program never closed. Both need the list of live handles.
#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

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

// The sweep for dead objects reads every entry of /dev/shm, other users' too: about 0.2 s
// beside 100k of them. So a process sweeps at its first create or open (a producer started
// again after a crash finds what the crashed one left at once), and after that only once a
// second has passed since its last sweep and 100 times what that sweep took: sweeping takes
// at most 1% of its time whatever /dev/shm holds, and a dead object of its owner's lingers
// a second or so (longer beside very many entries). The name a call asks for is never left
// to the sweep: open_live removes a dead object there at once.
constexpr std::chrono::seconds sweep_spacing{1};
constexpr int sweep_share = 100;

struct Mapping {
    int fd;  // -1 once it holds nothing: released at exit, or inherited through fork
    std::string path;
    dev_t device;
    ino_t inode;
};

struct View {
    const std::byte* begin;
    std::uint64_t bytes;
    dev_t device;
    ino_t inode;
};

// The process's live handles and views. Every change to the handles, and every descriptor
// not yet recorded, happens under `lock`, so that fork never copies a half-made handle;
// create and open hold it across slow work (reserving memory, retrying). The views have a
// lock of their own, held only to change or scan their list: publish consults it, and must
// never wait behind create, open or release. Whoever takes both takes `lock` first.
struct Registry {
    std::mutex lock;
    std::vector<Mapping*> handles;
    std::mutex views_lock;
    std::vector<View> views;
    std::chrono::steady_clock::time_point next_sweep{};  // under `lock`
};

void forget_inherited_holds();
void release_all_at_exit();

Registry& registry() {
    // Never destroyed: handles may be released during exit, after static destructors ran.
    static auto* const instance = new Registry;
    static const bool hooked = [] {
        ::pthread_atfork(
            [] {
                registry().lock.lock();
                registry().views_lock.lock();
            },
            [] {
                registry().views_lock.unlock();
                registry().lock.unlock();
            },
            [] {
                forget_inherited_holds();
                registry().views_lock.unlock();
                registry().lock.unlock();
            });
        return std::atexit(release_all_at_exit) == 0;
    }();
    (void)hooked;
    return *instance;
}

// Sets errno (a failure's cause, read by last_error()) and returns `result`.
template <typename Result>
Result failing(int cause, Result result) {
    errno = cause;
    return result;
}

// Like Windows, the name ends at its first NUL. POSIX cannot hold an empty name or one
// with '/', and "." or ".." would name directories.
std::optional<std::string> path_for(const std::string& name) {
    const std::string base = name.substr(0, name.find('\0'));
    if (base.size() > 254) return failing(ENAMETOOLONG, std::nullopt);
    if (base.empty() || base == "." || base == ".." || base.find('/') != std::string::npos) {
        return failing(EINVAL, std::nullopt);
    }
    return std::string(shm_dir) + "/" + base;
}

// Takes (F_RDLCK, F_WRLCK) or drops (F_UNLCK) this descriptor's lock without waiting.
bool set_lock(int fd, short type) {
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
    if (!set_lock(fd, F_WRLCK)) return false;
    if (names_same_file(fd, path)) ::unlink(path.c_str());
    return true;
}

bool is_ours(const struct stat& st) {
    return S_ISREG(st.st_mode) && (st.st_mode & made_by_us) != 0;
}

// Whether the object behind `fd`, `size` bytes long, is one `reclaimable` takes for the
// core's own: a file of the caller's that merely carries the mark is not removed.
bool holds_reclaimable(int fd, std::uint64_t size, Reclaimable reclaimable) {
    std::array<std::byte, sweep_head_bytes> head{};
    const ssize_t got = ::pread(fd, head.data(), head.size(), 0);
    return got >= 0 && reclaimable(std::span(head).first(static_cast<std::size_t>(got)), size);
}

// Removes the names of the caller's own objects whose holders are all gone without
// releasing (killed, _exit, exec, a fatal signal, forked children ending with _exit).
// Only the caller's marked files are opened, and only the core's own objects removed.
void sweep_dead_objects(Reclaimable reclaimable) {
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(shm_dir), ::closedir);
    if (!dir) return;
    const uid_t caller = ::geteuid();
    const auto callers_own = [caller](const struct stat& st) {
        return st.st_uid == caller && is_ours(st);
    };
    // readdir is unsafe only across threads sharing one stream; this one is ours alone.
    while (const dirent* entry = ::readdir(dir.get())) {  // NOLINT(concurrency-mt-unsafe)
        struct stat st = {};
        if (::fstatat(::dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !callers_own(st)) {
            continue;
        }
        const std::string path = std::string(shm_dir) + "/" + entry->d_name;
        const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) continue;
        // The name may have been given to another file since the look above.
        if (::fstat(fd, &st) == 0 && callers_own(st) &&
            holds_reclaimable(fd, static_cast<std::uint64_t>(st.st_size), reclaimable)) {
            remove_if_dead(fd, path);
        }
        ::close(fd);
    }
}

// Like a section's default security: the segment is its owner's alone. A file another user
// put at the name (however open its mode) could be read, written and truncated by them, so
// it is never attached to, by root neither: root's frames would go into a file its squatter
// reads, and publish would fault once they truncate it.
bool may_attach(const struct stat& st) {
    return st.st_uid == ::geteuid();
}

// A handle's record is made, and room for it in the registry taken, before anything is
// acquired: running out of memory then leaves nothing behind. Called under the lock, which
// is held until `record` fills it in and adds it without allocating.
std::unique_ptr<Mapping> new_record(const std::string& path) {
    auto made = std::make_unique<Mapping>(Mapping{-1, path, 0, 0});
    auto& handles = registry().handles;
    if (handles.size() == handles.capacity()) handles.reserve(2 * handles.size() + 1);
    return made;
}

Mapping* record(std::unique_ptr<Mapping> made, int fd, const struct stat& st) {
    made->fd = fd;
    made->device = st.st_dev;
    made->inode = st.st_ino;
    registry().handles.push_back(made.get());
    return made.release();
}

// Drops this handle's hold, then removes the name if no holder is left. It works on the
// handle's own descriptor, opened read-write when the handle was made: the process may no
// longer be allowed to open the file (it may have dropped privileges since). Whether the
// object is ours is read now: the mark is what every process, and every reclaim of dead
// objects, goes by, so the last release must too (its owner may have changed it since).
void release_hold(int fd, const std::string& path) {
    struct stat st = {};
    if (::fstat(fd, &st) == 0 && is_ours(st)) {
        set_lock(fd, F_UNLCK);
        remove_if_dead(fd, path);
    }
    ::close(fd);  // drops our lock, if it was not dropped above
}

// In a forked child: the inherited descriptors share the parent's locks, so holding them
// would keep the parent's segments alive after the parent is done with them. Closing our
// copies leaves the parent's holds as they were; the child's mappings stay valid.
void forget_inherited_holds() {
    for (Mapping* held : registry().handles) {
        if (held->fd >= 0) ::close(held->fd);
        held->fd = -1;
    }
}

// At a normal exit: segments the program still held (a Ring in a daemon thread, say) go
// as they would on Windows. Views stay mapped: code may still run until the process ends.
void release_all_at_exit() {
    const std::lock_guard guard(registry().lock);
    for (Mapping* held : registry().handles) {
        if (held->fd >= 0) release_hold(held->fd, held->path);
        held->fd = -1;
    }
}

enum class Found { live, absent, failed };

// Opens the live object behind `path` with a shared lock held, removing a dead one of ours.
Found open_live(const std::string& path, int& result, struct stat& st) {
    for (int attempt = 0; attempt < max_attempts; ++attempt) {
        // Never waiting: another user's lease on a file at the name would hold the open (and
        // the registry's lock) until the lease breaks; such a file is refused anyway.
        const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return errno == ENOENT ? Found::absent : Found::failed;
        // Refused: not a file (a FIFO, say), or another user's.
        const int refused = ::fstat(fd, &st) != 0  ? errno
                            : !S_ISREG(st.st_mode) ? EINVAL
                            : !may_attach(st)      ? EACCES
                                                   : 0;
        if (refused != 0) {
            ::close(fd);
            return failing(refused, Found::failed);
        }
        // A shared lock fails while a remover holds it exclusively, and the object may die
        // between our open and our lock: either way, look again.
        if (!(is_ours(st) && remove_if_dead(fd, path)) && set_lock(fd, F_RDLCK) &&
            names_same_file(fd, path)) {
            result = fd;
            return Found::live;
        }
        ::close(fd);
        ::usleep(retry_pause_us);
    }
    return failing(EAGAIN, Found::failed);
}

// A new object appears atomically: made unnamed, sized, committed, marked and locked,
// and only then linked to its name.
int make_unnamed(std::uint64_t bytes) {
    const int fd = ::open(shm_dir, O_TMPFILE | O_RDWR | O_CLOEXEC, owner_only);
    if (fd < 0) return -1;
    // fallocate, not ftruncate: a ring /dev/shm cannot back must fail here, not raise
    // SIGBUS at the first write into an unbacked page.
    if (::fchmod(fd, owner_only | made_by_us) != 0 ||
        ::fallocate(fd, 0, 0, static_cast<off_t>(bytes)) != 0 || !set_lock(fd, F_RDLCK)) {
        const int cause = errno;
        ::close(fd);
        return failing(cause, -1);
    }
    return fd;
}

// What create takes over is reserved as what it makes is: a file sized by ftruncate alone
// (as other programs make them) has no pages yet, and on a full /dev/shm the first publish
// into one would raise SIGBUS. A file smaller than `bytes` is left for map_view to refuse;
// the size never changes here.
bool reserve_taken_over(int fd, std::uint64_t bytes) {
    struct stat st = {};
    if (::fstat(fd, &st) != 0) return false;
    if (static_cast<std::uint64_t>(st.st_size) < bytes) return true;
    return ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes)) == 0;
}

bool link_to_name(int fd, const std::string& path) {
    char fd_path[32];
    std::snprintf(fd_path, sizeof fd_path, "/proc/self/fd/%d", fd);
    return ::linkat(AT_FDCWD, fd_path, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

}  // namespace

int last_error() {
    return errno;
}

std::string error_text(int code) {
    std::array<char, 256> buffer{};
    // GNU strerror_r: the text, in the buffer or a static string; thread-safe, unlike strerror.
    return std::string(::strerror_r(code, buffer.data(), buffer.size())) + " (errno " +
           std::to_string(code) + ")";
}

MappingHandle create_mapping(const std::string& name, std::uint64_t bytes) {
    const auto path = path_for(name);
    if (!path) return nullptr;
    const std::lock_guard guard(registry().lock);
    auto made = new_record(*path);
    for (int attempt = 0; attempt < max_attempts; ++attempt) {
        int fd = -1;
        struct stat st = {};
        switch (open_live(*path, fd, st)) {
            case Found::live:
                if (!reserve_taken_over(fd, bytes)) {
                    const int cause = errno;
                    release_hold(fd, *path);
                    return failing(cause, nullptr);
                }
                return record(std::move(made), fd, st);
            case Found::failed:
                return nullptr;
            case Found::absent:
                break;
        }
        fd = make_unnamed(bytes);
        if (fd < 0) return nullptr;
        if (::fstat(fd, &st) == 0 && link_to_name(fd, *path)) {
            return record(std::move(made), fd, st);
        }
        const int link_error = errno;
        ::close(fd);
        if (link_error != EEXIST) return failing(link_error, nullptr);
        // Someone else created it first: attach to theirs.
    }
    return failing(EAGAIN, nullptr);
}

MappingHandle open_mapping(const std::string& name, bool& absent) {
    absent = false;
    const auto path = path_for(name);
    if (!path) return nullptr;
    const std::lock_guard guard(registry().lock);
    auto made = new_record(*path);
    int fd = -1;
    struct stat st = {};
    const Found found = open_live(*path, fd, st);
    absent = found == Found::absent;
    if (found != Found::live) return nullptr;
    return record(std::move(made), fd, st);
}

void* map_view(MappingHandle mapping, std::uint64_t bytes) {
    const auto* held = static_cast<Mapping*>(mapping);
    void* view = nullptr;
    {
        const std::lock_guard guard(registry().lock);
        struct stat st = {};
        // A handle inherited through fork has no descriptor left to map. Mapping past the
        // end of the object would turn reads into SIGBUS: refused as mmap's ENXIO.
        if (held->fd < 0) return failing(EBADF, nullptr);
        if (::fstat(held->fd, &st) != 0) return nullptr;
        if (static_cast<std::uint64_t>(st.st_size) < bytes) return failing(ENXIO, nullptr);
        view = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, held->fd, 0);
        if (view == MAP_FAILED) return nullptr;
    }
    try {
        const std::lock_guard guard(registry().views_lock);
        registry().views.push_back(
            {static_cast<const std::byte*>(view), bytes, held->device, held->inode});
    } catch (...) {  // out of memory: the view goes back as on any failure
        ::munmap(view, bytes);
        throw;
    }
    return view;
}

void unmap_view(void* view, std::uint64_t bytes) {
    {
        const std::lock_guard guard(registry().views_lock);
        std::erase_if(registry().views, [view](const View& v) { return v.begin == view; });
    }
    ::munmap(view, bytes);
}

void close_mapping(MappingHandle mapping) {
    const int cause = errno;
    {
        const std::lock_guard guard(registry().lock);
        auto* held = static_cast<Mapping*>(mapping);
        std::erase(registry().handles, held);
        if (held->fd >= 0) release_hold(held->fd, held->path);
        delete held;
    }
    errno = cause;
}

void reclaim_dead_objects(Reclaimable reclaimable) {
    const std::lock_guard guard(registry().lock);
    auto& next = registry().next_sweep;
    const auto started = std::chrono::steady_clock::now();
    if (started < next) return;
    sweep_dead_objects(reclaimable);
    const auto ended = std::chrono::steady_clock::now();
    next = ended + std::max<std::chrono::steady_clock::duration>(sweep_spacing,
                                                                 sweep_share * (ended - started));
}

bool overlaps_object_views(MappingHandle mapping, const void* p, std::uint64_t bytes) {
    const auto* held = static_cast<Mapping*>(mapping);
    const auto* begin = static_cast<const std::byte*>(p);
    const std::lock_guard guard(registry().views_lock);
    return std::ranges::any_of(registry().views, [&](const View& v) {
        return v.device == held->device && v.inode == held->inode && begin < v.begin + v.bytes &&
               v.begin < begin + bytes;
    });
}

std::optional<bool> is_held(const std::string& name) {
    const auto path = path_for(name);
    if (!path) return std::nullopt;
    const int fd = ::open(path->c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct flock probe = {};
    probe.l_type = F_WRLCK;  // would it conflict with a holder's shared lock?
    probe.l_whence = SEEK_SET;
    probe.l_start = 0;
    probe.l_len = 1;
    const bool asked = ::fcntl(fd, F_OFD_GETLK, &probe) == 0;
    ::close(fd);
    if (!asked) return std::nullopt;
    return probe.l_type != F_UNLCK;
}

namespace {
struct flock writer_byte(short type) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 1;
    lock.l_len = 1;
    return lock;
}
}  // namespace

std::uint64_t mark_writer(MappingHandle mapping) {
    struct flock lock = writer_byte(F_RDLCK);  // shared: a writer that made it again holds it too
    (void)::fcntl(static_cast<Mapping*>(mapping)->fd, F_OFD_SETLK, &lock);
    return static_cast<std::uint64_t>(::getpid());
}

std::optional<bool> writer_alive(MappingHandle mapping, std::uint64_t /*token*/,
                                 std::uint32_t /*open_writers*/) {
    struct flock probe = writer_byte(F_WRLCK);  // would it conflict with a writer's shared lock?
    if (::fcntl(static_cast<Mapping*>(mapping)->fd, F_OFD_GETLK, &probe) != 0) return std::nullopt;
    return probe.l_type != F_UNLCK;
}

// The word lives in a MAP_SHARED mapping: a shared (not process-private) futex, so that
// sleepers in every process are woken.
bool open_bell(const std::string& /*name*/, BellHandle& bell) {
    bell = nullptr;
    return true;
}

void close_bell(BellHandle /*bell*/) {}

void wake_bell(BellHandle /*bell*/, std::uint32_t* word, std::uint32_t /*sleepers*/) {
    ::syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

bool wait_bell(BellHandle /*bell*/, const std::uint32_t* word, std::uint32_t seen,
               std::int64_t timeout_ns) {
    if (timeout_ns <= 0) return false;
    const timespec timeout = {static_cast<time_t>(timeout_ns / 1'000'000'000),
                              static_cast<long>(timeout_ns % 1'000'000'000)};
    // EAGAIN (the word changed first) and ETIMEDOUT mean: look again; EINTR, that a signal
    // handler ran, which the caller may want to act on.
    return ::syscall(SYS_futex, word, FUTEX_WAIT, seen, &timeout, nullptr, 0) != 0 &&
           errno == EINTR;
}

}  // namespace quorvane::platform
