#include "common/IsoDate.h"

#include <gtest/gtest.h>

namespace quorvane {
namespace {

using namespace std::chrono;

TEST(IsoDate, FormatsUtcWholeSeconds) {
    EXPECT_EQ(formatIsoDate(makeDate(2025, 3, 4, 5, 6, 7)), "2025-03-04T05:06:07Z");
    EXPECT_EQ(formatIsoDate(makeDate(2025, 3, 4, 5, 6, 7) + milliseconds(900)), "2025-03-04T05:06:07Z");
    EXPECT_EQ(formatIsoDate(makeDate(1969, 12, 31, 23, 59, 59) + milliseconds(500)), "1969-12-31T23:59:59Z");
    // Every field padded, and the largest time the clock holds.
    EXPECT_EQ(formatIsoDate(makeDate(1700, 1, 2, 3, 4, 5)), "1700-01-02T03:04:05Z");
    EXPECT_EQ(formatIsoDate(Date::max()), "2262-04-11T23:47:16Z");
}

TEST(IsoDate, ParsesZuluAndOffsets) {
    EXPECT_EQ(parseIsoDate("2025-03-04T05:06:07Z"), makeDate(2025, 3, 4, 5, 6, 7));
    EXPECT_EQ(parseIsoDate("2025-03-04T07:06:07+02:00"), makeDate(2025, 3, 4, 5, 6, 7));
    EXPECT_EQ(parseIsoDate("2025-03-04T00:36:07-04:30"), makeDate(2025, 3, 4, 5, 6, 7));
    EXPECT_EQ(parseIsoDate("2024-02-29T00:00:00Z"), makeDate(2024, 2, 29, 0, 0, 0));
}

TEST(IsoDate, RefusesEverythingElse) {
    for (const char* text : {"", "2025-03-04", "2025-03-04T05:06:07", "2025-03-04T05:06:07.5Z",
                             "2025-03-04 05:06:07Z", "2025-03-04t05:06:07z", "2025-13-04T05:06:07Z",
                             "2025-02-29T05:06:07Z", "2025-03-04T24:00:00Z", "2025-03-04T05:60:00Z",
                             " 2025-03-04T05:06:07Z", "2025-03-04T05:06:07Z ", "2025-03-04T05:06:07+0200",
                             "2025-03-04T05:06:07+24:00", "20250-03-04T05:06:07Z", "2025-3-04T05:06:07Z"}) {
        EXPECT_FALSE(parseIsoDate(text)) << text;
    }
}

} // namespace
} // namespace quorvane
