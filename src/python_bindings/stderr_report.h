// The conversion's report lines: written straight to file descriptor 2, one
// whole line per write, so they bypass any buffering (or redirection of
// sys.stderr) in the embedding interpreter and never interleave mid-line.
#pragma once

#include <string>
#include <string_view>

namespace drux {

// Writes `line` to fd 2, retrying partial writes and EINTR. A closed or
// failing stderr is not an error of the conversion: the rest is dropped.
void write_stderr_line(std::string_view line);

// `value` in fixed-point notation with `decimals` digits after the point,
// rounded to nearest with ties to even on the exact binary value; "inf",
// "-inf" and "NaN" for the non-finite values.
std::string format_fixed(double value, int decimals);

}  // namespace drux
