#include "export/output_file.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace exporter {
namespace {

constexpr std::size_t buffer_size = std::size_t{1} << 20;

// The rename that fails with EEXIST rather than replace a file (Linux 3.15), called by its system
// call number: C libraries before glibc 2.28 have no wrapper for it, nor their headers the flag.
#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif
#ifndef SYS_renameat2
#if defined(__x86_64__)
#define SYS_renameat2 316
#elif defined(__aarch64__)
#define SYS_renameat2 276
#endif
#endif
int rename_no_replace(const char* from, const char* to) noexcept {
    return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE));
}

// Temporary paths still open, for the signal handler; a slot holds the path's text or null.
std::array<std::atomic<const char*>, 512> open_temporaries{};

int register_temporary(const char* path) noexcept {
    for (std::size_t i = 0; i < open_temporaries.size(); ++i) {
        const char* expected = nullptr;
        if (open_temporaries[i].compare_exchange_strong(expected, path)) return static_cast<int>(i);
    }
    return -1;  // too many at once to track: still removed on every path but a signal
}

void unregister_temporary(int slot) noexcept {
    if (slot >= 0) open_temporaries[static_cast<std::size_t>(slot)].store(nullptr);
}

extern "C" void remove_temporaries_and_reraise(int signal) {
    for (auto& slot : open_temporaries)
        if (const char* path = slot.load()) ::unlink(path);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

mode_t file_mode() {
    static const mode_t mode = [] {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        return static_cast<mode_t>(0666 & ~mask);
    }();
    return mode;
}

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string file_name_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void remove_temporary_files_on_signals() {
    for (int s : {SIGINT, SIGTERM, SIGHUP}) std::signal(s, remove_temporaries_and_reraise);
    // Past a file size limit a write then fails with EFBIG, reported and cleaned up like a full
    // disk, instead of the signal ending the process with its temporary files left behind.
    std::signal(SIGXFSZ, SIG_IGN);
}

std::expected<OutputFile, int> OutputFile::create(std::string final_path) {
    const mode_t mode = file_mode();
    std::string pattern = directory_of(final_path) + "/." + file_name_of(final_path) + ".tmp-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);  // read and write: a header is written last
    if (fd < 0) return std::unexpected(errno);
    ::fchmod(fd, mode);
    return OutputFile(fd, std::move(final_path), std::string(name.data()));
}

OutputFile::OutputFile(int fd, std::string final_path, std::string temporary_path)
    : fd_(fd), final_path_(std::move(final_path)), temporary_path_(std::move(temporary_path)) {
    slot_ = register_temporary(temporary_path_.c_str());
    buffer_.reserve(buffer_size);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : fd_(other.fd_), error_(other.error_), written_(other.written_), final_path_(std::move(other.final_path_)),
      temporary_path_(std::move(other.temporary_path_)), buffer_(std::move(other.buffer_)) {
    // The registered text moved with the string; register the new one before releasing the old.
    slot_ = register_temporary(temporary_path_.c_str());
    unregister_temporary(other.slot_);
    other.slot_ = -1;
    other.fd_ = -1;
    other.temporary_path_.clear();
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() noexcept {
    unregister_temporary(slot_);
    slot_ = -1;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temporary_path_.empty()) ::unlink(temporary_path_.c_str());
    temporary_path_.clear();
}

bool OutputFile::write_all(std::string_view bytes) {
    while (!bytes.empty() && error_ == 0) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno != EINTR) error_ = errno;
            continue;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return error_ == 0;
}

bool OutputFile::flush() {
    const bool ok = write_all(buffer_);
    buffer_.clear();
    return ok;
}

bool OutputFile::write(std::string_view bytes) {
    if (error_ != 0 || fd_ < 0) return false;
    written_ += bytes.size();
    if (buffer_.size() + bytes.size() <= buffer_size) {
        buffer_.append(bytes);
        return true;
    }
    if (!flush()) return false;
    if (bytes.size() < buffer_size) {
        buffer_.append(bytes);
        return true;
    }
    return write_all(bytes);  // a large piece goes out at once, without a copy
}

bool OutputFile::skip(std::uint64_t bytes) {
    if (!flush()) return false;
    if (::lseek(fd_, static_cast<off_t>(written_ + bytes), SEEK_SET) < 0) {
        error_ = errno;
        return false;
    }
    written_ += bytes;
    return true;
}

bool OutputFile::write_at(std::uint64_t at, std::string_view bytes) {
    if (!flush()) return false;
    while (!bytes.empty()) {
        const ssize_t n = ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(at));
        if (n < 0) {
            if (errno == EINTR) continue;
            error_ = errno;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
        at += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool OutputFile::read_at(std::uint64_t at, std::size_t size, std::string& into) {
    if (!flush()) return false;
    into.resize(size);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd_, into.data() + done, size - done, static_cast<off_t>(at + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = n < 0 ? errno : EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

int OutputFile::commit(bool replace) {
    if (fd_ < 0) return EBADF;
    if (!flush()) return error_;
    if (::close(fd_) != 0) {
        fd_ = -1;
        return error_ = errno;
    }
    fd_ = -1;
    int result = 0;
    if (replace) {
        if (::rename(temporary_path_.c_str(), final_path_.c_str()) != 0) result = errno;
    } else if (rename_no_replace(temporary_path_.c_str(), final_path_.c_str()) != 0) {
        result = errno;
        // A file system without the no-replace rename: a hard link fails the same way on an existing name.
        if (result == EINVAL || result == ENOSYS) {
            result = ::link(temporary_path_.c_str(), final_path_.c_str()) == 0 ? 0 : errno;
            if (result == 0) ::unlink(temporary_path_.c_str());
        }
    }
    if (result != 0) return error_ = result;
    unregister_temporary(slot_);
    slot_ = -1;
    temporary_path_.clear();
    return 0;
}

}  // namespace exporter
