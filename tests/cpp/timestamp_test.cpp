#include <gtest/gtest.h>

#include "raw/timestamp.hpp"

using raw::timestamp::system_time_to_rfc3339;

namespace {
cfb::SystemTime at(std::int64_t seconds, std::uint32_t nanoseconds = 0) { return {seconds, nanoseconds}; }
}  // namespace

TEST(Rfc3339, FieldsAndFraction) {
    EXPECT_EQ(system_time_to_rfc3339(at(0)), "1970-01-01T00:00:00Z");
    EXPECT_EQ(system_time_to_rfc3339(at(0, 100)), "1970-01-01T00:00:00Z");
    EXPECT_EQ(system_time_to_rfc3339(at(1562231702)), "2019-07-04T09:15:02Z");
    EXPECT_EQ(system_time_to_rfc3339(at(1562231702, 40'000'000)), "2019-07-04T09:15:02.040Z");
    EXPECT_EQ(system_time_to_rfc3339(at(1562231702, 999'999'900)), "2019-07-04T09:15:02.999Z");
    EXPECT_EQ(system_time_to_rfc3339(at(11016ll * 86400)), "2000-02-29T00:00:00Z");
    EXPECT_EQ(system_time_to_rfc3339(at(11017ll * 86400 - 1)), "2000-02-29T23:59:59Z");
    EXPECT_EQ(system_time_to_rfc3339(at(11017ll * 86400)), "2000-03-01T00:00:00Z");
    EXPECT_EQ(system_time_to_rfc3339(at(-5, 7)), "1970-01-01T00:00:00Z");
}

TEST(Rfc3339, LargestFiletimes) {
    // The largest FILETIME that is a valid signed count, and the largest unsigned one.
    EXPECT_EQ(system_time_to_rfc3339(cfb::SystemTime::from_filetime(0x7FFFFFFFFFFFFFFFull)),
              "30828-09-14T02:48:05.477Z");
    EXPECT_EQ(system_time_to_rfc3339(cfb::SystemTime::from_filetime(0xFFFFFFFFFFFFFFFFull)),
              "60056-05-28T05:36:10.955Z");
    EXPECT_EQ(system_time_to_rfc3339(at(253402300800)), "10000-01-01T00:00:00Z");
}

TEST(Filetime, Conversion) {
    EXPECT_EQ(cfb::SystemTime::from_filetime(0), at(-11644473600));
    EXPECT_EQ(cfb::SystemTime::from_filetime(116444736000000000ull), at(0));
    EXPECT_EQ(cfb::SystemTime::from_filetime(116444736000000001ull), at(0, 100));
}
