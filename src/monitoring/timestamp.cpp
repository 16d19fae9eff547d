// Local time comes from localtime_r after tzset, which is what makes a
// change of TZ visible (localtime_r alone may keep the zone it first read);
// glibc falls back to the system zone and then UTC on its own.
//
// Deliberately not here: a clock of its own; the caller passes the instant.
#include "monitoring/timestamp.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>

namespace drux {
namespace {

constexpr long kNanosPerMicro = 1000;
constexpr long kNanosPerMilli = 1000 * kNanosPerMicro;
constexpr long kSecondsPerMinute = 60;
constexpr long kMinutesPerHour = 60;

// Wide enough for a year of any width an int holds, the fraction and offset.
constexpr std::size_t kTextCapacity = 64;

void append_fraction(std::string& out, long nanos) {
  char text[16];
  int length = 0;
  if (nanos % kNanosPerMilli == 0) {
    length = std::snprintf(text, sizeof text, ".%03ld", nanos / kNanosPerMilli);
  } else if (nanos % kNanosPerMicro == 0) {
    length = std::snprintf(text, sizeof text, ".%06ld", nanos / kNanosPerMicro);
  } else {
    length = std::snprintf(text, sizeof text, ".%09ld", nanos);
  }
  out.append(text, static_cast<std::size_t>(length));
}

void append_offset(std::string& out, long offset_seconds) {
  const char sign = offset_seconds < 0 ? '-' : '+';
  const long magnitude = std::labs(offset_seconds);
  // Round half up on the magnitude, so +h:mm and -h:mm stay mirror images.
  const long minutes = (magnitude + kSecondsPerMinute / 2) / kSecondsPerMinute;
  char text[16];
  const int length = std::snprintf(text, sizeof text, "%c%02ld:%02ld", sign, minutes / kMinutesPerHour,
                                   minutes % kMinutesPerHour);
  out.append(text, static_cast<std::size_t>(length));
}

}  // namespace

std::string format_local_timestamp(const std::timespec& instant) {
  ::tzset();
  std::tm local{};
  if (::localtime_r(&instant.tv_sec, &local) == nullptr) {
    // Only an instant beyond the range of a year in an int gets here.
    local = std::tm{};
    ::gmtime_r(&instant.tv_sec, &local);
    local.tm_gmtoff = 0;
  }
  std::string out;
  out.reserve(kTextCapacity);
  char text[kTextCapacity];
  const int length = std::snprintf(text, sizeof text, "%04ld-%02d-%02dT%02d:%02d:%02d", local.tm_year + 1900L,
                                   local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  out.append(text, static_cast<std::size_t>(length));
  if (instant.tv_nsec != 0) append_fraction(out, instant.tv_nsec);
  append_offset(out, local.tm_gmtoff);
  return out;
}

std::string current_local_timestamp() {
  std::timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return format_local_timestamp(now);
}

}  // namespace drux
