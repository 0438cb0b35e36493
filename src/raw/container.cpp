#include "raw/container.hpp"

#include <string>

namespace raw {

std::expected<FileVariant, reader::Error> detect_variant(std::string_view extension, const cfb::Container& container) {
    using reader::Error;
    if (extension == "qgd") {
        if (container.exists(gcms_storage)) return FileVariant::Gcms;
        return std::unexpected(Error::parse("'GCMS Raw Data' storage not found in .qgd file"));
    }
    if (extension == "lcd") {
        if (container.exists(ttfl_storage)) return FileVariant::Ttfl;
        if (container.exists(qtfl_storage)) return FileVariant::Qtfl;
        return std::unexpected(Error::parse("neither 'TTFL Raw Data' nor 'QTFL RawData' storage found in .lcd file"));
    }
    std::string message = "unsupported file extension '.";
    message.append(extension).append("' (expected .qgd or .lcd)");
    return std::unexpected(Error::parse(std::move(message)));
}

namespace {

reader::Error not_found(std::string_view path, const std::string& why) {
    return reader::Error::parse("stream '" + std::string(path) + "' not found: " + why);
}

reader::Error read_failed(const cfb::ReadError& e) {
    return e.os_error != 0 ? reader::Error::io_os(e.os_error) : reader::Error::io(e.description);
}

}  // namespace

std::expected<cfb::Bytes, reader::Error> read_stream(const cfb::Container& container, std::string_view path) {
    const auto stream = container.open_stream(path);
    if (!stream) return std::unexpected(not_found(path, stream.error()));
    auto bytes = container.read_stream(*stream);
    if (!bytes) return std::unexpected(read_failed(bytes.error()));
    return std::move(*bytes);
}

std::expected<core::ByteBuffer, reader::Error> read_data_stream(const cfb::Container& container,
                                                               std::string_view path) {
    const auto stream = container.open_stream(path);
    if (!stream) return std::unexpected(not_found(path, stream.error()));
    const auto size = container.stream_size(*stream);
    if (!size) return std::unexpected(read_failed(size.error()));
    core::ByteBuffer bytes(static_cast<std::size_t>(*size));
    if (auto error = container.read_stream_into(*stream, std::span(bytes.data(), bytes.size())))
        return std::unexpected(read_failed(*error));
    return bytes;
}

std::optional<cfb::Bytes> read_stream_opt(const cfb::Container& container, std::string_view path) {
    const auto stream = container.open_stream(path);
    if (!stream) return std::nullopt;
    auto bytes = container.read_stream(*stream);
    if (!bytes) return std::nullopt;
    return std::move(*bytes);
}

}  // namespace raw
