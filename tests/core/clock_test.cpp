#include "core/clock.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace clock_ = kolvex::core::clock;
using kolvex::core::DateTime;

namespace {

DateTime dt(int y, int mo, int d, int h, int mi, int s, int us, std::optional<int> offset)
{
  DateTime out;
  out.year = y;
  out.month = mo;
  out.day = d;
  out.hour = h;
  out.minute = mi;
  out.second = s;
  out.microsecond = us;
  out.utc_offset_minutes = offset;
  return out;
}

} // namespace

TEST(ParseIso8601, AcceptsWhatPythonsFromisoformatAccepts)
{
  EXPECT_EQ(clock_::parse_iso8601("2024-05-01T10:00:00Z"), dt(2024, 5, 1, 10, 0, 0, 0, 0));
  EXPECT_EQ(clock_::parse_iso8601("2024-05-01 10:00:00+05:30"), dt(2024, 5, 1, 10, 0, 0, 0, 330));
  EXPECT_EQ(clock_::parse_iso8601("2024-05-01T10:00:00-0130"), dt(2024, 5, 1, 10, 0, 0, 0, -90));
  EXPECT_EQ(clock_::parse_iso8601("2024-05-01T10:00:00+05"), dt(2024, 5, 1, 10, 0, 0, 0, 300));
  EXPECT_EQ(clock_::parse_iso8601("2024-05-01T10:00:00+05:30:00"),
            dt(2024, 5, 1, 10, 0, 0, 0, 330));
  EXPECT_EQ(clock_::parse_iso8601("2024-05-01T10:00:00"), dt(2024, 5, 1, 10, 0, 0, 0, {}));
  EXPECT_EQ(clock_::parse_iso8601("2024-05-01"), dt(2024, 5, 1, 0, 0, 0, 0, {}));
  EXPECT_EQ(clock_::parse_iso8601("20240501"), dt(2024, 5, 1, 0, 0, 0, 0, {}));
  EXPECT_EQ(clock_::parse_iso8601("2024-05-01T10"), dt(2024, 5, 1, 10, 0, 0, 0, {}));
  EXPECT_EQ(clock_::parse_iso8601("2024-05-01T1030"), dt(2024, 5, 1, 10, 30, 0, 0, {}));
  EXPECT_EQ(clock_::parse_iso8601("2024-05-01T103015Z"), dt(2024, 5, 1, 10, 30, 15, 0, 0));
  EXPECT_EQ(clock_::parse_iso8601("2024-02-29x23:59"), dt(2024, 2, 29, 23, 59, 0, 0, {}));
}

TEST(ParseIso8601, FractionsArePaddedOrCutToMicroseconds)
{
  EXPECT_EQ(clock_::parse_iso8601("2024-05-01T10:00:00.5")->microsecond, 500000);
  EXPECT_EQ(clock_::parse_iso8601("2024-05-01T10:00:00.123+01:00"),
            dt(2024, 5, 1, 10, 0, 0, 123000, 60));
  EXPECT_EQ(clock_::parse_iso8601("2024-05-01T10:00:00,123456789")->microsecond, 123456);
  EXPECT_EQ(clock_::parse_iso8601("2024-05-01T10:00:00.1234567Z"),
            dt(2024, 5, 1, 10, 0, 0, 123456, 0));
}

TEST(ParseIso8601, MalformedOrOutOfRangeIsNullopt)
{
  for (const char* bad : {"",
                          "2024",
                          "2024-5-1",
                          "2024-0501",
                          "2024-05-01T",
                          "2024-05-01 ",
                          " 2024-05-01",
                          "2024-05-01T10:0",
                          "2024-05-01T10:0000",
                          "2024-05-01T10:00:00.",
                          "2024-05-01T10:00:00z",
                          "2024-05-01T10:00:00+1",
                          "2024-05-01T10:00:00+05:3",
                          "2024-05-01T10:00:00+24:00",
                          "2024-05-01T10:00:00+05:30Z",
                          "2024-05-01T10:00:00Z+01:00",
                          "2024-02-30",
                          "2023-02-29",
                          "0000-01-01",
                          "2024-13-01",
                          "2024-05-01T24:00",
                          "2024-05-01T10:60",
                          "2024-05-01T10:00:60",
                          "2024-05-01T10:00:00 trailing"}) {
    EXPECT_EQ(clock_::parse_iso8601(bad), std::nullopt) << '"' << bad << '"';
  }
}

TEST(Clock, EpochConversionsAgreeWithPython)
{
  EXPECT_DOUBLE_EQ(clock_::to_epoch(*clock_::parse_iso8601("2024-05-01T10:00:00+05:30")),
                   1714537800.0);
  EXPECT_DOUBLE_EQ(clock_::to_epoch(dt(2024, 5, 1, 10, 0, 0, 500000, {})), 1714557600.5);
  EXPECT_DOUBLE_EQ(clock_::to_epoch(dt(1969, 12, 31, 23, 59, 59, 0, 0)), -1.0);
  EXPECT_EQ(clock_::format_utc(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(clock_::format_utc(951782400), "2000-02-29T00:00:00Z");
  EXPECT_EQ(clock_::format_utc(-1), "1969-12-31T23:59:59Z");
  EXPECT_EQ(clock_::format_utc(4102444799), "2099-12-31T23:59:59Z");
}

TEST(Clock, NowIsConsistentAcrossForms)
{
  const double before = clock_::now_seconds();
  const std::string iso = clock_::utc_now_iso();
  const double after = clock_::now_seconds();
  ASSERT_EQ(iso.size(), 20U) << iso;
  EXPECT_EQ(iso.back(), 'Z');
  const auto parsed = clock_::parse_iso8601(iso);
  ASSERT_TRUE(parsed.has_value()) << iso;
  const double epoch = clock_::to_epoch(*parsed);
  EXPECT_GE(epoch, std::floor(before));
  EXPECT_LE(epoch, after);
}
