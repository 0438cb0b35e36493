// The platform layer on Linux (and any POSIX system with Linux's rename without replacement).
#include "platform.hpp"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older headers lack it, and older kernels refuse it
#endif

// The renames that fail with EEXIST rather than replace a file, and that swap two names (Linux
// 3.15), called by their system call number: C libraries before glibc 2.28 have no wrapper for it, nor their headers the flag.
#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif
#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif
#ifndef SYS_renameat2
#if defined(__x86_64__)
#define SYS_renameat2 316
#elif defined(__aarch64__)
#define SYS_renameat2 276
#endif
#endif

namespace platform {

const std::string_view path_separators = "/";
static_assert(max_path_bytes == PATH_MAX);

namespace {

int rename_no_replace(const char* from, const char* to) noexcept {
    return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE));
}

constexpr int handled_signals[] = {SIGINT, SIGTERM, SIGHUP};
void (*interrupt_cleanup)() = nullptr;

extern "C" void clean_up_and_reraise(int signal) {
    interrupt_cleanup();
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

}  // namespace

std::expected<int, int> open_read_only(const std::string& path) {
    int fd;
    do {
        // Without O_NONBLOCK, opening a FIFO waits for a writer; the caller decides what it reads.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(errno);
    return fd;
}

std::expected<int, int> create_new_file(const std::string& path, unsigned mode) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, static_cast<mode_t>(mode));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(errno);
    return fd;
}

std::expected<int, int> duplicate(int fd) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return std::unexpected(errno);
    return copy;
}

int close(int fd) noexcept { return ::close(fd) == 0 ? 0 : errno; }

std::expected<FileKind, int> kind_of(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return std::unexpected(errno);
    return S_ISREG(info.st_mode)    ? FileKind::Regular
           : S_ISDIR(info.st_mode)  ? FileKind::Directory
           : S_ISFIFO(info.st_mode) ? FileKind::Fifo
           : S_ISCHR(info.st_mode)  ? FileKind::CharacterDevice
           : S_ISBLK(info.st_mode)  ? FileKind::BlockDevice
           : S_ISSOCK(info.st_mode) ? FileKind::Socket
                                    : FileKind::Other;
}

std::expected<std::uint64_t, int> size_of(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return std::unexpected(errno);
    return static_cast<std::uint64_t>(info.st_size);
}

std::expected<std::size_t, int> read_at(int fd, void* into, std::size_t size, std::uint64_t offset) noexcept {
    while (true) {
        const ssize_t n = ::pread(fd, into, size, static_cast<off_t>(offset));
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return std::unexpected(errno);
    }
}

std::expected<std::size_t, int> write(int fd, const void* bytes, std::size_t size) noexcept {
    while (true) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return std::unexpected(errno);
    }
}

std::expected<std::size_t, int> write_at(int fd, const void* bytes, std::size_t size, std::uint64_t offset) noexcept {
    while (true) {
        const ssize_t n = ::pwrite(fd, bytes, size, static_cast<off_t>(offset));
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return std::unexpected(errno);
    }
}

int seek(int fd, std::uint64_t offset) noexcept {
    return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0 ? errno : 0;
}

int sync(int fd) noexcept {
    int result;
    do {
        result = ::fsync(fd);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

int rename(const std::string& from, const std::string& to, bool replace) {
    if (replace) return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
    if (rename_no_replace(from.c_str(), to.c_str()) == 0) return 0;
    const int error = errno;
    if (error != EINVAL && error != ENOSYS) return error;
    // A file system without the no-replace rename: a hard link fails the same way on an existing name.
    if (::link(from.c_str(), to.c_str()) != 0) return errno;
    ::unlink(from.c_str());
    return 0;
}

int exchange(const std::string& a, const std::string& b) {
    if (::syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) return 0;
    // Older kernels, and file systems without the exchange (EINVAL).
    return errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ? ENOSYS : errno;
}

std::expected<int, int> open_directory(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(errno);
    return fd;
}

int sync_directory(int directory) noexcept {
    if (directory < 0) return 0;
    // A file system that cannot sync a directory (EINVAL) keeps its names in its own way.
    const int error = sync(directory);
    return error == EINVAL ? 0 : error;
}

int remove_file(const char* path) noexcept { return ::unlink(path) == 0 ? 0 : errno; }

bool exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

bool is_directory(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int make_directories(const std::string& path) {
    for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        ::mkdir(path.substr(0, at).c_str(), 0777);  // a parent that cannot be made fails the last step
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return errno;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return errno;
    return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
}

std::size_t longest_file_name(const std::string& directory) {
    const long limit = ::pathconf(directory.c_str(), _PC_NAME_MAX);
    return limit > 0 ? static_cast<std::size_t>(limit) : 255;
}

std::string absolute_directory(const std::string& directory) {
    char resolved[PATH_MAX];
    if (::realpath(directory.c_str(), resolved)) return resolved;
    return directory;
}

std::size_t page_size() noexcept { return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)); }

void* map_memory(std::size_t length) noexcept {
    void* at = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return at == MAP_FAILED ? nullptr : at;
}

void unmap_memory(void* at, std::size_t length) noexcept { ::munmap(at, length); }

void populate(void* at, std::size_t length) noexcept { ::madvise(at, length, MADV_POPULATE_WRITE); }

void mark_reclaimable(void* at, std::size_t length) noexcept {
#ifdef MADV_FREE
    ::madvise(at, length, MADV_FREE);
#else
    (void)at;
    (void)length;
#endif
}

std::uint64_t process_id() noexcept { return static_cast<std::uint64_t>(::getpid()); }

std::size_t raise_open_file_limit(std::size_t wanted) noexcept {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
        struct rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max == RLIM_INFINITY || limit.rlim_max > wanted ? wanted : limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? wanted : static_cast<std::size_t>(limit.rlim_cur);
}

std::vector<std::string> program_arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + 1, argv + argc);
}

void prepare_standard_streams() {}

bool standard_error_is_terminal() noexcept { return ::isatty(STDERR_FILENO); }

void on_interrupt(void (*cleanup)()) {
    interrupt_cleanup = cleanup;
    struct sigaction action {};
    action.sa_handler = clean_up_and_reraise;
    sigemptyset(&action.sa_mask);
    for (const int s : handled_signals) sigaddset(&action.sa_mask, s);
    for (const int s : handled_signals) {
        struct sigaction current {};
        if (::sigaction(s, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        ::sigaction(s, &action, nullptr);
    }
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
}

static_assert(sizeof(sigset_t) <= 128 && alignof(sigset_t) <= 8);

InterruptsDeferred::InterruptsDeferred() noexcept {
    sigset_t set;
    sigemptyset(&set);
    for (const int s : handled_signals) sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, reinterpret_cast<sigset_t*>(saved_));
}

InterruptsDeferred::~InterruptsDeferred() { pthread_sigmask(SIG_SETMASK, reinterpret_cast<sigset_t*>(saved_), nullptr); }

void pause_briefly() noexcept {
    const timespec millisecond{0, 1'000'000};
    ::nanosleep(&millisecond, nullptr);
}

}  // namespace platform
