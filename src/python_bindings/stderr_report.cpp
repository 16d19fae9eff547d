// Report lines go straight to file descriptor 2, each retried until it is
// written whole, so they bypass Python's buffered sys.stderr and reach the
// terminal in order. Deliberately not here: buffering or log levels.
#include "python_bindings/stderr_report.h"

#include <errno.h>
#include <unistd.h>

#include <charconv>
#include <cmath>

namespace drux {

void write_stderr_line(std::string_view line) {
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t wrote = ::write(STDERR_FILENO, p, left);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return;
    p += wrote;
    left -= static_cast<std::size_t>(wrote);
  }
}

std::string format_fixed(double value, int decimals) {
  if (std::isnan(value)) return "NaN";
  // Room for the 309 integer digits of the largest double, a sign, a point
  // and the decimals the report asks for.
  char text[400];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
  if (ec != std::errc()) return "?";
  return std::string(text, end);
}

std::string size_text(std::uint64_t bytes) {
  const double gigabytes = static_cast<double>(bytes) / kBytesPerGB;
  if (gigabytes >= 1.0) return format_fixed(gigabytes, 2) + "GB";
  return format_fixed(static_cast<double>(bytes) / kBytesPerMB, 0) + "MB";
}

}  // namespace drux
