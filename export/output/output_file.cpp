#include "export/output/output_file.hpp"

#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

#include "export/output/paths.hpp"
#include "os_text.hpp"
#include "platform.hpp"

namespace exporter {
namespace {

constexpr std::size_t buffer_size = std::size_t{1} << 20;
// Compressed output files (--gzip): level 6, the gzip program's own default.
constexpr int gzip_level = 6;


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

}  // namespace

std::expected<OutputFile, int> OutputFile::create(std::string final_path) {
    // The mode is the system's default for new files: the umask applies.
    auto temporary = create_temporary_file(directory_of(final_path), file_name_of(final_path), 0666);
    if (!temporary) return std::unexpected(temporary.error());
    return OutputFile(std::move(*temporary), std::move(final_path));
}

OutputFile::OutputFile(TemporaryFile temporary, std::string final_path)
    : fd_(temporary.fd), slot_(temporary.slot), final_path_(std::move(final_path)),
      temporary_path_(std::move(temporary.path)) {
    buffer_.reserve(buffer_size);
}

OutputFile OutputFile::standard_output() {
    OutputFile out(TemporaryFile{1, -1, {}}, "standard output");
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
      written_(other.written_), file_bytes_(other.file_bytes_), contents_hash_(std::move(other.contents_hash_)),
      final_path_(std::move(other.final_path_)),
      temporary_path_(std::move(other.temporary_path_)), buffer_(std::move(other.buffer_)) {
    other.temporary_path_.clear();
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() noexcept {
    if (fd_ >= 0 && owned_) platform::close(fd_);
    fd_ = -1;
    if (!temporary_path_.empty()) platform::remove_file(temporary_path_.c_str());
    temporary_path_.clear();
    release_temporary_file(slot_);
    slot_ = -1;
}

bool OutputFile::write_all(std::string_view bytes) {
    if (contents_hash_) contents_hash_->update(bytes);
    file_bytes_ += bytes.size();
    while (!bytes.empty() && error_ == 0) {
        const auto n = platform::write(fd_, bytes.data(), bytes.size());
        if (!n) {
            error_ = n.error();
            continue;
        }
        bytes.remove_prefix(*n);
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
    if (const int error = platform::seek(fd_, written_ + bytes); error != 0) {
        error_ = error;
        return false;
    }
    written_ += bytes;
    file_bytes_ += bytes;
    contents_hash_.reset();
    return true;
}

bool OutputFile::write_at(std::uint64_t at, std::string_view bytes) {
    if (!seekable_) error_ = ESPIPE;
    if (!flush()) return false;
    contents_hash_.reset();
    while (!bytes.empty()) {
        const auto n = platform::write_at(fd_, bytes.data(), bytes.size(), at);
        if (!n) {
            error_ = n.error();
            return false;
        }
        bytes.remove_prefix(*n);
        at += *n;
    }
    return true;
}

bool OutputFile::read_at(std::uint64_t at, std::size_t size, std::string& into) {
    if (!seekable_) error_ = ESPIPE;
    if (!flush()) return false;
    into.resize(size);
    std::size_t done = 0;
    while (done < size) {
        const auto n = platform::read_at(fd_, into.data() + done, size - done, at + done);
        if (!n || *n == 0) {
            error_ = n ? EIO : n.error();
            return false;
        }
        done += *n;
    }
    return true;
}

std::uint64_t OutputFile::file_size() {
    flush();
    return file_bytes_;
}

void OutputFile::hash_contents() { contents_hash_.emplace(); }

std::optional<std::string> OutputFile::contents_sha1() {
    if (!contents_hash_ || !flush()) return std::nullopt;
    std::string digest = contents_hash_->hex_digest();
    contents_hash_.reset();
    return digest;
}

int OutputFile::seal() {
    if (fd_ < 0) return error_ != 0 ? error_ : EBADF;
    if (!flush()) return error_;
    if (!owned_) return 0;
    // The data reaches the disk before the name does, so that after a crash the final name holds
    // either the whole file or what it held before.
    if (const int error = platform::sync(fd_); error != 0) return error_ = error;
    const int closed = platform::close(fd_);
    fd_ = -1;
    return error_ = closed;
}

void OutputFile::committed() noexcept {
    temporary_path_.clear();
    release_temporary_file(slot_);
    slot_ = -1;
}

std::string write_error(const OutputFile& out, std::string_view otherwise) {
    return "cannot write " + out.final_path() + ": " +
           (out.error() != 0 ? os_text::error_text(out.error()) : std::string(otherwise));
}

}  // namespace exporter
