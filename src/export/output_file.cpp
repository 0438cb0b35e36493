#include "export/output_file.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

namespace exporter {
namespace {

constexpr std::size_t buffer_size = std::size_t{1} << 20;
// Compressed output files (--gzip): level 6, the gzip program's own default.
constexpr int gzip_level = 6;

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

mode_t file_mode() {
    static const mode_t mode = [] {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        return static_cast<mode_t>(0666 & ~mask);
    }();
    return mode;
}

// `text` as one gzip member, into `member`; false when memory runs out.
bool gzip_member(std::string_view text, std::vector<char>& member) {
    struct Free {
        void operator()(libdeflate_compressor* c) const noexcept { libdeflate_free_compressor(c); }
    };
    thread_local std::unique_ptr<libdeflate_compressor, Free> compressor{libdeflate_alloc_compressor(gzip_level)};
    if (!compressor) return false;
    member.resize(libdeflate_gzip_compress_bound(compressor.get(), text.size()));
    const std::size_t size =
        libdeflate_gzip_compress(compressor.get(), text.data(), text.size(), member.data(), member.size());
    member.resize(size);
    return size > 0;
}

int sync(int fd) {
    int result;
    do {
        result = ::fsync(fd);
    } while (result != 0 && errno == EINTR);
    return result;
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

std::expected<OutputFile, int> OutputFile::create(std::string final_path) {
    auto temporary = create_temporary_file(directory_of(final_path), file_name_of(final_path), file_mode());
    if (!temporary) return std::unexpected(temporary.error());
    return OutputFile(std::move(*temporary), std::move(final_path));
}

OutputFile::OutputFile(TemporaryFile temporary, std::string final_path)
    : fd_(temporary.fd), slot_(temporary.slot), final_path_(std::move(final_path)),
      temporary_path_(std::move(temporary.path)) {
    buffer_.reserve(buffer_size);
}

OutputFile OutputFile::standard_output() {
    OutputFile out(TemporaryFile{STDOUT_FILENO, -1, {}}, "standard output");
    out.owned_ = false;
    out.seekable_ = false;
    return out;
}

void OutputFile::compress_as_gzip() {
    gzip_ = true;
    seekable_ = false;
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), owned_(other.owned_), seekable_(other.seekable_), gzip_(other.gzip_),
      error_(other.error_), slot_(std::exchange(other.slot_, -1)),
      written_(other.written_), final_path_(std::move(other.final_path_)),
      temporary_path_(std::move(other.temporary_path_)), buffer_(std::move(other.buffer_)) {
    other.temporary_path_.clear();
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() noexcept {
    if (fd_ >= 0 && owned_) ::close(fd_);
    fd_ = -1;
    if (!temporary_path_.empty()) ::unlink(temporary_path_.c_str());
    temporary_path_.clear();
    release_temporary_file(slot_);
    slot_ = -1;
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
    if (buffer_.empty()) return error_ == 0;
    bool ok;
    if (gzip_) {
        thread_local std::vector<char> member;
        ok = gzip_member(buffer_, member) && write_all(std::string_view(member.data(), member.size()));
        if (!ok && error_ == 0) error_ = ENOMEM;
    } else {
        ok = write_all(buffer_);
    }
    buffer_.clear();
    return ok;
}

bool OutputFile::write(std::string_view bytes) {
    if (error_ != 0 || fd_ < 0) return false;
    written_ += bytes.size();
    if (gzip_) {  // in pieces of the buffer's size, each a gzip member
        while (!bytes.empty()) {
            const std::size_t n = std::min(bytes.size(), buffer_size - buffer_.size());
            buffer_.append(bytes.substr(0, n));
            bytes.remove_prefix(n);
            if (buffer_.size() == buffer_size && !flush()) return false;
        }
        return true;
    }
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
    if (!seekable_) error_ = ESPIPE;
    if (!flush()) return false;
    if (::lseek(fd_, static_cast<off_t>(written_ + bytes), SEEK_SET) < 0) {
        error_ = errno;
        return false;
    }
    written_ += bytes;
    return true;
}

bool OutputFile::write_at(std::uint64_t at, std::string_view bytes) {
    if (!seekable_) error_ = ESPIPE;
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
    if (!seekable_) error_ = ESPIPE;
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
    if (!owned_) return 0;
    // The data reaches the disk before the name does, so that after a crash the final name holds
    // either the whole file or what it held before.
    if (sync(fd_) != 0) return error_ = errno;
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
    temporary_path_.clear();
    release_temporary_file(slot_);
    slot_ = -1;
    // And the new name reaches the disk too; a file system that cannot sync a directory
    // (EINVAL) keeps its names in its own way.
    const int directory = ::open(directory_of(final_path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) return error_ = errno;
    result = sync(directory) != 0 && errno != EINVAL ? errno : 0;
    ::close(directory);
    return error_ = result;
}

}  // namespace exporter
