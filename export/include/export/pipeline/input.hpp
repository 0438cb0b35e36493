// A raw file opened once for a conversion: the reader decodes that open file, and the SHA-1 the
// documents record is of the same file, read through a second descriptor of it, whatever
// happens to the path meanwhile. With a task pool the SHA-1 is worked out in the pool while the
// file is decoded; otherwise right after the file is opened.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "cfb/cfb.hpp"
#include "export/encoding/sha1.hpp"
#include "export/pipeline/task_pool.hpp"
#include "export/pipeline/writers.hpp"
#include "reader/reader.hpp"

namespace exporter {

class InputFile {
public:
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    // Waits for the SHA-1's task, if one was started: no task outlives the file it reads.
    ~InputFile();

    // Opens the raw file at `path`, once; with `digest`, its SHA-1 is worked out too. The error
    // is the reader's message.
    std::expected<reader::Reader, std::string> open(const std::string& path, bool digest, TaskPool* pool);

    // The input as the documents name it; its digest is set only when one was asked for.
    SourceFile source() noexcept { return {path_, digest_asked_ ? &digest_ : nullptr}; }
    // The file's size in bytes, as it was opened.
    std::uint64_t size() const noexcept { return size_; }
    // Waits for the file's SHA-1 (which must have been asked for).
    const FileDigest& digest() { return digest_.wait(); }

private:
    std::string path_;
    std::uint64_t size_ = 0;
    bool digest_asked_ = false;
    bool digest_in_pool_ = false;
    cfb::File hashed_;
    Pending<FileDigest> digest_;
};

}  // namespace exporter
