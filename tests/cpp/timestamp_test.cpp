// RFC 3339 local timestamps: the fraction rule and the zone offset, from a
// table of (zone, instant, text) run under a scoped TZ.
// Deliberately not here: where the monitor uses the timestamp
// (performance_monitor_test, metrics_export_test).
#include "monitoring/timestamp.h"

#include <gtest/gtest.h>
#include <time.h>

#include <regex>
#include <string>

#include "test_support.h"

namespace drux {
namespace {

using test::ScopedTimeZone;

struct TimestampCase {
  const char* zone;
  std::timespec instant;
  const char* text;
};

// 2000-03-01T00:00:00Z, the day after a leap day.
constexpr std::time_t kMarch2000 = 951868800;

TEST(Timestamp, FractionAppearsOnlyWhenNonzeroWithThreeSixOrNineDigits) {
  const TimestampCase cases[] = {
      {"UTC", {0, 0}, "1970-01-01T00:00:00+00:00"},
      {"UTC", {0, 500000000}, "1970-01-01T00:00:00.500+00:00"},
      {"UTC", {0, 1000000}, "1970-01-01T00:00:00.001+00:00"},
      {"UTC", {0, 1000}, "1970-01-01T00:00:00.000001+00:00"},
      {"UTC", {0, 123456000}, "1970-01-01T00:00:00.123456+00:00"},
      {"UTC", {0, 1}, "1970-01-01T00:00:00.000000001+00:00"},
      {"UTC", {0, 999999999}, "1970-01-01T00:00:00.999999999+00:00"},
      {"UTC", {kMarch2000 - 1, 0}, "2000-02-29T23:59:59+00:00"},
  };
  for (const auto& c : cases) {
    ScopedTimeZone zone(c.zone);
    EXPECT_EQ(format_local_timestamp(c.instant), c.text);
  }
}

TEST(Timestamp, OffsetIsSignedHoursAndMinutesRoundedToWholeMinutes) {
  const TimestampCase cases[] = {
      {"IST-5:30", {kMarch2000, 0}, "2000-03-01T05:30:00+05:30"},
      {"NST3:30", {kMarch2000, 0}, "2000-02-29T20:30:00-03:30"},
      {"XST-14", {kMarch2000, 0}, "2000-03-01T14:00:00+14:00"},
      {"YST11", {kMarch2000, 0}, "2000-02-29T13:00:00-11:00"},
      // Offsets with seconds: the local time keeps them, the offset is rounded.
      {"LMT-0:19:32", {kMarch2000, 0}, "2000-03-01T00:19:32+00:20"},
      {"LMT-0:19:29", {kMarch2000, 0}, "2000-03-01T00:19:29+00:19"},
      {"LMT0:00:30", {kMarch2000, 0}, "2000-02-29T23:59:30-00:01"},
  };
  for (const auto& c : cases) {
    ScopedTimeZone zone(c.zone);
    EXPECT_EQ(format_local_timestamp(c.instant), c.text) << "TZ=" << c.zone;
  }
}

TEST(Timestamp, ChangedTimeZoneTakesEffectOnTheNextCall) {
  const std::timespec instant{kMarch2000, 250000000};
  ScopedTimeZone zone("UTC");
  EXPECT_EQ(format_local_timestamp(instant), "2000-03-01T00:00:00.250+00:00");
  // Only the environment changes: nothing else tells the C library.
  ::setenv("TZ", "IST-5:30", 1);
  EXPECT_EQ(format_local_timestamp(instant), "2000-03-01T05:30:00.250+05:30");
  ::setenv("TZ", "NST3:30", 1);
  EXPECT_EQ(format_local_timestamp(instant), "2000-02-29T20:30:00.250-03:30");
}

TEST(Timestamp, CurrentTimeInUtcEndsWithZeroOffsetNotZ) {
  ScopedTimeZone zone("UTC");
  const std::time_t before = test::realtime_seconds();
  const std::string text = current_local_timestamp();
  const std::time_t after = test::realtime_seconds();

  static const std::regex kForm(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3}|\.\d{6}|\.\d{9})?\+00:00)");
  EXPECT_TRUE(std::regex_match(text, kForm)) << text;

  std::tm parsed{};
  ASSERT_NE(::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &parsed), nullptr) << text;
  const std::time_t seconds = ::timegm(&parsed);
  EXPECT_LE(before, seconds);
  EXPECT_LE(seconds, after);
}

}  // namespace
}  // namespace drux
