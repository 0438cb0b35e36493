#include "export/pipeline/input.hpp"

#include "platform.hpp"

namespace exporter {

InputFile::~InputFile() {
    if (digest_in_pool_) digest_.wait();
}

std::expected<reader::Reader, std::string> InputFile::open(const std::string& path, bool digest, TaskPool* pool) {
    path_ = path;
    auto file = cfb::File::open_read_only(path);
    if (!file) return std::unexpected(reader::Error::io_os(file.error()).to_string());
    const auto size = platform::size_of(file->fd());
    if (!size) return std::unexpected(reader::Error::io_os(size.error()).to_string());
    size_ = *size;
    if (digest) {
        auto copy = platform::duplicate(file->fd());
        if (!copy) return std::unexpected(reader::Error::io_os(copy.error()).to_string());
        hashed_ = cfb::File(*copy);
        digest_asked_ = true;
    }
    auto work_out_digest = [this] { digest_.set(sha1_of_file(hashed_.fd())); };
    if (digest_asked_ && pool) {
        digest_in_pool_ = true;
        pool->submit(work_out_digest);
    }
    auto opened = reader::Reader::open(path, std::move(*file));
    if (!opened) return std::unexpected(opened.error().to_string());
    if (digest_asked_ && !pool) work_out_digest();
    return std::move(*opened);
}

}  // namespace exporter
