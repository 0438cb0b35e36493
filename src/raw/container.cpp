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

std::expected<cfb::Bytes, reader::Error> read_stream(const cfb::Container& container, std::string_view path) {
    const auto stream = container.open_stream(path);
    if (!stream)
        return std::unexpected(reader::Error::parse("stream '" + std::string(path) + "' not found: " + stream.error()));
    auto bytes = container.read_stream(*stream);
    if (!bytes) {
        const cfb::ReadError& e = bytes.error();
        return std::unexpected(e.os_error != 0 ? reader::Error::io_os(e.os_error) : reader::Error::io(e.description));
    }
    return std::move(*bytes);
}

std::optional<cfb::Bytes> read_stream_opt(const cfb::Container& container, std::string_view path) {
    const auto stream = container.open_stream(path);
    if (!stream) return std::nullopt;
    auto bytes = container.read_stream(*stream);
    if (!bytes) return std::nullopt;
    return std::move(*bytes);
}

}  // namespace raw
