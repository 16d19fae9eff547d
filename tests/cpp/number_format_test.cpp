// The two number forms of the monitor's texts: two-decimal fixed point
// (messages, metrics document, Prometheus) and the JSON number (alerts),
// held to tables of values whose exact binary value decides the rounding.
// Deliberately not here: where each form appears in the texts
// (metrics_export_test), and the report lines' numbers, which have their
// own formatting (line_reader_test).
#include "monitoring/number_format.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace drux {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct NumberCase {
  double value;
  const char* text;
};

TEST(NumberFormat, TwoDecimalsRoundFromTheExactBinaryValueWithTiesToEven) {
  const NumberCase cases[] = {
      {0.0, "0.00"},
      {0.125, "0.12"},   // exact tie, even digit below
      {0.375, "0.38"},   // exact tie, even digit above
      {2.675, "2.67"},   // the double lies just below 2.675
      {0.005, "0.01"},   // the double lies just above 0.005
      {1.005, "1.00"},   // the double lies just below 1.005
      {1000.5, "1000.50"},
      {1e20, "100000000000000000000.00"},
      {-0.001, "-0.00"},
      {-50.0, "-50.00"},
      {123456.789, "123456.79"},
      {kInf, "inf"},
      {-kInf, "-inf"},
      {kNaN, "NaN"},
      {-kNaN, "NaN"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_f2(c.value), c.text) << "value " << c.value;
  }
}

TEST(NumberFormat, TwoDecimalsOfTheLargestDoubleHaveNoExponent) {
  const std::string text = format_f2(std::numeric_limits<double>::max());
  EXPECT_EQ(text.size(), 309u + 3u);
  EXPECT_EQ(text.substr(0, 17), "17976931348623157");
  EXPECT_EQ(text.substr(text.size() - 3), ".00");
  EXPECT_EQ(text.find('e'), std::string::npos);
}

TEST(NumberFormat, JsonNumberIsShortestRoundTripPlainInsideTheDecimalRange) {
  const NumberCase cases[] = {
      {1500.0, "1500.0"},
      {0.3, "0.3"},
      {0.05, "0.05"},
      {1000000000.0, "1000000000.0"},
      {1500000000.0, "1500000000.0"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1e-5, "0.00001"},
      {9999999999999998.0, "9999999999999998.0"},
      {123456789012345.6, "123456789012345.6"},
      {-2.5, "-2.5"},
      {0.1 + 0.2, "0.30000000000000004"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_json_number(c.value), c.text) << "value " << c.value;
  }
}

TEST(NumberFormat, JsonNumberUsesExponentOutsideTheDecimalRange) {
  const NumberCase cases[] = {
      {1e16, "1e+16"},
      {2.5e-7, "2.5e-7"},
      {9.999999999999999e-6, "9.999999999999999e-6"},
      {-1e-300, "-1e-300"},
      {5e-324, "5e-324"},
      {1.2345e100, "1.2345e+100"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_json_number(c.value), c.text) << "value " << c.value;
  }
}

TEST(NumberFormat, JsonNumberOfNonFiniteValuesIsNull) {
  for (const double value : {kInf, -kInf, kNaN}) {
    EXPECT_EQ(format_json_number(value), "null") << "value " << value;
  }
}

TEST(NumberFormat, AppendingKeepsWhatIsAlreadyThere) {
  std::string out = "x=";
  append_f2(out, 1.5);
  out += ",y=";
  append_json_number(out, 1.5);
  EXPECT_EQ(out, "x=1.50,y=1.5");
}

}  // namespace
}  // namespace drux
