// The conversion's report lines: written straight to file descriptor 2, one
// whole line per write, so they bypass any buffering (or redirection of
// sys.stderr) in the embedding interpreter and never interleave mid-line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace drux {

// The report's size units are binary.
inline constexpr double kBytesPerMB = 1048576.0;
inline constexpr double kBytesPerGB = 1073741824.0;

// Writes `line` to fd 2, retrying partial writes and EINTR. A closed or
// failing stderr is not an error of the conversion: the rest is dropped.
void write_stderr_line(std::string_view line);

// `value` in fixed-point notation with `decimals` digits after the point,
// rounded to nearest with ties to even on the exact binary value; "inf",
// "-inf" and "NaN" for the non-finite values.
std::string format_fixed(double value, int decimals);

// A file size as the report shows it: "1.50GB" (two decimals of binary
// gigabytes) from 1,073,741,824 bytes up, whole binary megabytes ("512MB",
// "0MB") below.
std::string size_text(std::uint64_t bytes);

}  // namespace drux
