// An output written to a temporary file beside its final name and renamed into place only when
// complete: a failed or interrupted conversion never leaves a partial file under that name.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "export/encoding/sha1.hpp"
#include "export/output/temporary_files.hpp"

namespace exporter {

class OutputFile {
public:
    // A new temporary file in the directory of `final_path`, or the operating system's error number.
    static std::expected<OutputFile, int> create(std::string final_path);
    // Standard output: written in order, never seeked; committing only writes out what is buffered.
    static OutputFile standard_output();

    // From here on, everything written goes out as gzip (members of about a megabyte, which
    // gzip readers read as one stream); sizes and offsets stay those of the text before it.
    // The file can no longer seek.
    void compress_as_gzip();
    // Whether skip, write_at and read_at work: a temporary file written as it is.
    bool seekable() const noexcept { return seekable_; }

    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&&) = delete;
    // Removes the temporary file unless it was committed.
    ~OutputFile();

    // Appends bytes; false once any write has failed (error() tells why).
    bool write(std::string_view bytes);
    // Leaves the next `bytes` bytes to be written later with write_at; for a header whose
    // length is known only at the end, and bounded from the start.
    bool skip(std::uint64_t bytes);
    // Writes bytes at an offset already passed (skipped or written).
    bool write_at(std::uint64_t at, std::string_view bytes);
    // Reads back `size` bytes written at `at` into `into`.
    bool read_at(std::uint64_t at, std::size_t size, std::string& into);
    int error() const noexcept { return error_; }
    // Bytes written so far.
    std::uint64_t size() const noexcept { return written_; }

    // Writes out what is buffered; the bytes in the file then: size() after gzip.
    std::uint64_t file_size();
    // From here on, the bytes that go into the file are hashed as they go.
    void hash_contents();
    // The SHA-1 of the file's bytes, when hash_contents() was called before the first write and
    // nothing was written at an offset since (skip and write_at end the hashing).
    std::optional<std::string> contents_sha1();

    // Writes out what is buffered; for a temporary file, also makes it durable (fsync) and closes
    // it, ready to be renamed into place by commit_unit. 0, or the operating system's error number.
    int seal();

    const std::string& final_path() const noexcept { return final_path_; }
    // The temporary file's path while it is not committed; empty for standard output.
    const std::string& temporary_path() const noexcept { return temporary_path_; }
    // The temporary file is under its final name now, no longer this object's to remove.
    void committed() noexcept;

private:
    OutputFile(TemporaryFile temporary, std::string final_path);
    bool write_all(std::string_view bytes);
    bool flush();
    void discard() noexcept;

    int fd_ = -1;
    bool owned_ = true;  // a temporary file, closed and renamed; not standard output
    bool seekable_ = true;
    bool gzip_ = false;
    int error_ = 0;
    int slot_ = -1;  // the temporary file's slot for the signal handler
    std::uint64_t written_ = 0;
    std::uint64_t file_bytes_ = 0;
    std::optional<Sha1> contents_hash_;
    std::string final_path_;
    std::string temporary_path_;
    std::string buffer_;
};

// The message of a failed write to `out`: "cannot write PATH: " and the system's words for its
// error, or `otherwise` when the output holds none (a writer's own failure).
std::string write_error(const OutputFile& out, std::string_view otherwise = "write failed");

}  // namespace exporter
