// The monitor's two text forms of a 64-bit float.
//
// F2 is fixed-point with exactly two decimals, correctly rounded from the
// exact binary value (ties to even), never an exponent; non-finite values
// are the words "inf", "-inf" and "NaN". J is a JSON number: the shortest
// digits that read back to the same double, plain notation for magnitudes
// in [1e-5, 1e16) with ".0" kept on whole numbers, exponent notation
// (1e+16, 2.5e-7) outside it, and null for NaN and infinities.
#pragma once

#include <string>

namespace drux {

void append_f2(std::string& out, double value);
std::string format_f2(double value);

void append_json_number(std::string& out, double value);
std::string format_json_number(double value);

}  // namespace drux
