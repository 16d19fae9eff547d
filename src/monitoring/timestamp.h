// RFC 3339 local-time text of the monitor's timestamps, e.g.
// "2026-12-09T23:05:17.250+05:30".
//
// The fraction appears only when the sub-second part is not zero, with 3, 6
// or 9 digits (whole milliseconds, whole microseconds, else nanoseconds).
// The offset is always written as a sign and HH:MM rounded to whole
// minutes; a zero offset is "+00:00", never "Z".
#pragma once

#include <ctime>
#include <string>

namespace drux {

// The given wall-clock instant in the zone that TZ names (else the system
// zone, else UTC). Re-reads TZ on every call, so a changed TZ takes effect.
std::string format_local_timestamp(const std::timespec& instant);

// The wall clock now, formatted as above.
std::string current_local_timestamp();

}  // namespace drux
