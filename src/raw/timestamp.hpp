// The acquisition timestamp: the earliest creation time in the container's directory, as
// RFC 3339 text in UTC.
#pragma once

#include <optional>
#include <string>

#include "cfb/cfb.hpp"

namespace raw::timestamp {

// The earliest creation time strictly after 1970-01-01T00:00:00Z over every entry, or nothing.
std::optional<std::string> earliest_created_timestamp(const cfb::Container& container);

// "YYYY-MM-DDThh:mm:ss[.mmm]Z"; milliseconds only when non-zero, truncated, never carried;
// the year has at least four digits. A time before the epoch is written as the epoch.
std::string system_time_to_rfc3339(const cfb::SystemTime& time);

}  // namespace raw::timestamp
