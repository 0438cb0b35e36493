// The raw file's container: which data layout it holds, and reading its streams.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>

#include "cfb/cfb.hpp"
#include "error.hpp"

namespace raw {

enum class FileVariant : std::uint8_t { Gcms = 0, Ttfl = 1, Qtfl = 2 };

inline constexpr std::string_view gcms_storage = "GCMS Raw Data";
inline constexpr std::string_view ttfl_storage = "TTFL Raw Data";
inline constexpr std::string_view qtfl_storage = "QTFL RawData";

// The layout, from the lower-cased extension and the storages present.
std::expected<FileVariant, reader::Error> detect_variant(std::string_view extension, const cfb::Container& container);

// The whole stream at `path`.
std::expected<cfb::Bytes, reader::Error> read_stream(const cfb::Container& container, std::string_view path);

// The whole stream at `path`, or nothing; never an error.
std::optional<cfb::Bytes> read_stream_opt(const cfb::Container& container, std::string_view path);

}  // namespace raw
