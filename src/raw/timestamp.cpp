#include "raw/timestamp.hpp"

#include <cstdint>
#include <cstdio>

namespace raw::timestamp {

std::optional<std::string> earliest_created_timestamp(const cfb::Container& container) {
    const cfb::SystemTime epoch{};
    std::optional<cfb::SystemTime> earliest;
    for (const cfb::Entry& entry : container.entries())
        if (entry.created > epoch && (!earliest || entry.created < *earliest)) earliest = entry.created;
    if (!earliest) return std::nullopt;
    return system_time_to_rfc3339(*earliest);
}

std::string system_time_to_rfc3339(const cfb::SystemTime& time) {
    const bool before_epoch = time.seconds < 0;
    const std::int64_t s = before_epoch ? 0 : time.seconds;
    const std::uint32_t millis = before_epoch ? 0 : time.nanoseconds / 1'000'000;

    std::int64_t days = s / 86'400;
    std::int64_t second_of_day = s - days * 86'400;
    if (second_of_day < 0) {  // floor division (S is never negative here, but keep the rule)
        --days;
        second_of_day += 86'400;
    }
    const std::int64_t hour = second_of_day / 3'600;
    const std::int64_t minute = second_of_day % 3'600 / 60;
    const std::int64_t second = second_of_day % 60;

    // Days since 1970-01-01 to a proleptic Gregorian date (the era method).
    const std::int64_t z = days + 719'468;
    const std::int64_t era = (z >= 0 ? z : z - 146'096) / 146'097;
    const std::int64_t day_of_era = z - era * 146'097;
    const std::int64_t year_of_era =
        (day_of_era - day_of_era / 1'460 + day_of_era / 36'524 - day_of_era / 146'096) / 365;
    const std::int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::int64_t month_index = (5 * day_of_year + 2) / 153;
    const std::int64_t day = day_of_year - (153 * month_index + 2) / 5 + 1;
    const std::int64_t month = month_index < 10 ? month_index + 3 : month_index - 9;
    const std::int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);

    char text[64];
    int n = std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld",
                          static_cast<long long>(year), static_cast<long long>(month), static_cast<long long>(day),
                          static_cast<long long>(hour), static_cast<long long>(minute),
                          static_cast<long long>(second));
    if (millis != 0) n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), ".%03u", millis);
    return std::string(text, static_cast<std::size_t>(n)) + "Z";
}

}  // namespace raw::timestamp
