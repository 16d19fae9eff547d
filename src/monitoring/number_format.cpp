// std::to_chars does the hard part of both forms: with a precision it
// rounds from the exact binary value, without one it yields the shortest
// round-trip digits. The J layout (plain or exponent) is then built from
// those digits and their decimal exponent.
#include "monitoring/number_format.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace drux {
namespace {

// The largest finite double has 309 integer digits; with sign, point and
// two decimals this fits.
constexpr std::size_t kFixedBufferSize = 320;
constexpr int kFixedDecimals = 2;

// Plain notation covers decimal exponents -5 (1e-5) to 15 (just below 1e16).
constexpr int kPlainMinExponent = -5;
constexpr int kPlainMaxExponent = 15;

// Shortest digits of a finite double, without sign or point, and the
// decimal exponent of the first digit.
struct ShortestDigits {
  char digits[24];
  int count = 0;
  int exponent = 0;
  bool negative = false;
};

ShortestDigits shortest_digits(double value) {
  char text[40];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
  const std::string_view sci(text, static_cast<std::size_t>(result.ptr - text));
  ShortestDigits out;
  std::size_t i = 0;
  if (sci[i] == '-') {
    out.negative = true;
    ++i;
  }
  for (; i < sci.size() && sci[i] != 'e'; ++i) {
    if (sci[i] != '.') out.digits[out.count++] = sci[i];
  }
  // Past the 'e': a sign and at least two digits.
  std::from_chars(sci.data() + i + 2, sci.data() + sci.size(), out.exponent);
  if (sci[i + 1] == '-') out.exponent = -out.exponent;
  return out;
}

void append_plain(std::string& out, const ShortestDigits& d) {
  const std::string_view digits(d.digits, static_cast<std::size_t>(d.count));
  if (d.exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
    out += digits;
    return;
  }
  const auto whole = static_cast<std::size_t>(d.exponent) + 1;
  if (digits.size() <= whole) {
    out += digits;
    out.append(whole - digits.size(), '0');
    out += ".0";
    return;
  }
  out += digits.substr(0, whole);
  out += '.';
  out += digits.substr(whole);
}

void append_exponent(std::string& out, const ShortestDigits& d) {
  out += d.digits[0];
  if (d.count > 1) {
    out += '.';
    out.append(d.digits + 1, static_cast<std::size_t>(d.count - 1));
  }
  out += d.exponent < 0 ? "e-" : "e+";
  out += std::to_string(std::abs(d.exponent));
}

}  // namespace

void append_f2(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  char text[kFixedBufferSize];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, kFixedDecimals);
  out.append(text, result.ptr);
}

std::string format_f2(double value) {
  std::string out;
  append_f2(out, value);
  return out;
}

void append_json_number(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  const ShortestDigits d = shortest_digits(value);
  if (d.negative) out += '-';
  const bool plain = value == 0.0 || (d.exponent >= kPlainMinExponent && d.exponent <= kPlainMaxExponent);
  if (plain) {
    append_plain(out, d);
  } else {
    append_exponent(out, d);
  }
}

std::string format_json_number(double value) {
  std::string out;
  append_json_number(out, value);
  return out;
}

}  // namespace drux
