// The CSV input's text rules: line splitting, UTF-8 validity, white-space
// trimming, and the fixed-point numbers of the report lines. Tables of
// inputs run at several buffer sizes so lines cross every refill edge, and
// every malformed UTF-8 shape is listed.
// Deliberately not here: what the conversion makes of the lines (blank
// lines, fields, rows), which csv_rows_test and csv_converter_test check.
#include "python_bindings/line_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "python_bindings/stderr_report.h"
#include "python_bindings/text_trim.h"
#include "drux_v2/utf8_check.h"
#include "test_support.h"

namespace drux {
namespace {

using test::ScratchDir;

struct LinesOutcome {
  std::vector<std::string> lines;
  std::vector<std::string> errors;  // one per failed read, in order
};

LinesOutcome read_all(const std::string& path, std::size_t buffer_size) {
  LinesOutcome out;
  auto reader = LineReader::open(path, buffer_size);
  EXPECT_TRUE(reader.ok()) << reader.error();
  if (!reader) return out;
  std::string_view line;
  for (;;) {
    const LineStatus status = reader->next_line(line);
    if (status == LineStatus::End) break;
    if (status == LineStatus::Failed) {
      out.errors.push_back(reader->error());
      if (out.errors.size() > 8) break;  // a reader that keeps failing would loop
    } else {
      out.lines.emplace_back(line);
    }
  }
  return out;
}

struct LineCase {
  const char* label;
  std::string bytes;
  std::vector<std::string> lines;
};

// More bytes than one read asks for when the buffer is large: lines longer
// than a read, and short lines across the edges between reads.
LineCase many_lines_across_refills() {
  LineCase c{"lines across reads of a large buffer", std::string(1500000, 'a') + "\n", {std::string(1500000, 'a')}};
  for (int i = 0; i < 40000; ++i) {
    c.lines.push_back("row " + std::to_string(i * 7919 % 100003));
    c.bytes += c.lines.back() + (i % 3 == 0 ? "\r\n" : "\n");
  }
  c.lines.push_back(std::string(1048577, 'b'));
  c.bytes += c.lines.back();
  return c;
}

const std::vector<LineCase>& line_cases() {
  static const std::vector<LineCase> cases = {
      {"empty file has no line", "", {}},
      {"LF ends lines", "a\nb\n", {"a", "b"}},
      {"last line may lack LF", "a\nb", {"a", "b"}},
      {"CRLF reads like LF", "a\r\nb\r\n", {"a", "b"}},
      {"lone CR is text", "a\rb\n", {"a\rb"}},
      {"only one CR before LF is removed", "a\r\r\n", {"a\r"}},
      {"CR at end without LF stays", "a\r", {"a\r"}},
      {"a single LF is one empty line", "\n", {""}},
      {"empty lines are lines", "\n\nx\n", {"", "", "x"}},
      {"UTF-8 text passes", "na\xC3\xAFve,\xE2\x82\xAC\n\xF0\x9D\x84\x9E\n", {"na\xC3\xAFve,\xE2\x82\xAC", "\xF0\x9D\x84\x9E"}},
      {"line longer than the buffer", std::string(100, 'x') + "\n" + std::string(37, 'y'),
       {std::string(100, 'x'), std::string(37, 'y')}},
      many_lines_across_refills(),
  };
  return cases;
}

TEST(LineReader, SplitsAtLineFeedsWhateverTheBufferSize) {
  ScratchDir dir;
  for (const LineCase& c : line_cases()) {
    const std::string path = dir.file("in.csv", c.bytes);
    for (std::size_t buffer_size : {1, 2, 3, 7, 16, 1 << 20, 16 << 20}) {
      const LinesOutcome got = read_all(path, buffer_size);
      EXPECT_EQ(got.lines, c.lines) << c.label << ", buffer " << buffer_size;
      EXPECT_TRUE(got.errors.empty()) << c.label;
    }
  }
}

TEST(LineReader, InvalidUtf8FailsThatLineOnlyAndReadingGoesOn) {
  ScratchDir dir;
  const std::string path = dir.file("in.csv", "ok\nbad\xFF here\r\nafter\nlast \xC3");
  for (std::size_t buffer_size : {4, 1 << 16}) {
    auto reader = LineReader::open(path, buffer_size);
    ASSERT_TRUE(reader.ok());
    std::string_view line;
    ASSERT_EQ(reader->next_line(line), LineStatus::Line);
    EXPECT_EQ(line, "ok");
    ASSERT_EQ(reader->next_line(line), LineStatus::Failed);
    EXPECT_EQ(reader->error(), "stream did not contain valid UTF-8");
    ASSERT_EQ(reader->next_line(line), LineStatus::Line);
    EXPECT_EQ(line, "after");
    ASSERT_EQ(reader->next_line(line), LineStatus::Failed);  // truncated sequence at end of file
    EXPECT_EQ(reader->next_line(line), LineStatus::End);
  }
}

TEST(LineReader, OpenAndReadFailuresCarryTheSystemErrorText) {
  ScratchDir dir;
  auto missing = LineReader::open(dir.path("missing.csv"), 64);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), "No such file or directory (os error 2)");
  EXPECT_EQ(missing.error_kind(), ErrorKind::Io);

  // A directory opens for reading on Linux but cannot be read.
  auto directory = LineReader::open(dir.root().string(), 64);
  ASSERT_TRUE(directory.ok());
  std::string_view line;
  EXPECT_EQ(directory->next_line(line), LineStatus::Failed);
  EXPECT_EQ(directory->error(), "Is a directory (os error 21)");
}

TEST(LineReader, ObserverSeesBytesReadAfterEachRefill) {
  ScratchDir dir;
  const std::string path = dir.file("in.csv", "0123456\n89abcdef\nxyz\n");  // 21 bytes
  auto reader = LineReader::open(path, 8);
  ASSERT_TRUE(reader.ok());
  std::vector<std::uint64_t> seen;
  reader->set_refill_observer([&seen](std::uint64_t done) { seen.push_back(done); });
  std::string_view line;
  while (reader->next_line(line) == LineStatus::Line) {
  }
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), 21u);
  EXPECT_EQ(reader->bytes_read(), 21u);
  for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_LT(seen[i - 1], seen[i]);
}

TEST(LineReader, ClosedReaderReportsEnd) {
  ScratchDir dir;
  auto reader = LineReader::open(dir.file("in.csv", "a\nb\n"), 64);
  ASSERT_TRUE(reader.ok());
  std::string_view line;
  ASSERT_EQ(reader->next_line(line), LineStatus::Line);
  reader->close();
  EXPECT_EQ(reader->next_line(line), LineStatus::End);
}

struct Utf8Case {
  std::string bytes;
  bool valid;
};

TEST(Utf8Check, AcceptsWellFormedTextAndRejectsEveryMalformedShape) {
  const std::string ascii16 = "abcdefghijklmnop";
  const std::vector<Utf8Case> cases = {
      {"", true},
      {ascii16 + ascii16 + "q", true},
      {"\xC3\xA9", true},                      // U+00E9
      {"\xE2\x82\xAC", true},                  // U+20AC
      {"\xED\x9F\xBF", true},                  // U+D7FF, last before the surrogates
      {"\xEE\x80\x80", true},                  // U+E000, first after them
      {"\xF0\x90\x80\x80", true},              // U+10000
      {"\xF4\x8F\xBF\xBF", true},              // U+10FFFF
      {ascii16 + "\xE2\x82\xAC" + ascii16 + "\xC3\xA9", true},
      {"\xC0\x80", false},                     // overlong NUL
      {"\xC1\xBF", false},                     // overlong
      {"\xE0\x9F\xBF", false},                 // overlong three-byte
      {"\xED\xA0\x80", false},                 // surrogate U+D800
      {"\xF0\x8F\xBF\xBF", false},             // overlong four-byte
      {"\xF4\x90\x80\x80", false},             // above U+10FFFF
      {"\xF5\x80\x80\x80", false},
      {"\xFF", false},
      {"\x80", false},                         // stray continuation
      {"\xC3", false},                         // cut short at the end
      {"\xE2\x82", false},
      {ascii16 + "\xF0\x9D\x84", false},        // cut short after the fast path
      {"\xC3\x41", false},                     // continuation missing
      {"\xE2\x28\xA1", false},
      {"\xF0\x9D\x84\x41", false},
      {ascii16 + "\x80" + ascii16, false},     // fault inside an eight-byte word
  };
  for (const Utf8Case& c : cases) {
    EXPECT_EQ(is_valid_utf8(c.bytes.data(), c.bytes.size()), c.valid) << testing::PrintToString(c.bytes);
  }
}

TEST(TextTrim, StripsExactlyTheUnicodeWhiteSpaceSet) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"   ", ""},
      {"a", "a"},
      {" a b ", "a b"},
      {"\t\n\v\f\r a\r", "a"},
      {"\xC2\x85" "a" "\xC2\xA0", "a"},                                   // U+0085, U+00A0
      {"\xE1\x9A\x80\xE2\x80\x80\xE2\x80\x8A" "a", "a"},                   // U+1680, U+2000, U+200A
      {"a\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80", "a"},  // U+2028 2029 202F 205F 3000
      {"\xE3\x80\x80", ""},
      {"\xEF\xBB\xBF" "a", "\xEF\xBB\xBF" "a"},                            // U+FEFF is not white space
      {"\xE2\x80\x8B" "a\xE2\x80\x8B", "\xE2\x80\x8B" "a\xE2\x80\x8B"},    // nor is U+200B
      {"\xE1\xA0\x8E" "a", "\xE1\xA0\x8E" "a"},                            // nor U+180E
      {"\xC2\xA1" "a\xC3\x85", "\xC2\xA1" "a\xC3\x85"},                    // neighbours of U+00A0 / U+0085 bytes
      {"\xC5\x82\xC2\x85", "\xC5\x82"},                                    // U+0142 then U+0085
      {"x \xE2\x80\x8A\t", "x"},
  };
  for (const auto& [input, trimmed] : cases) {
    EXPECT_EQ(trim_white_space(input), trimmed) << testing::PrintToString(input);
  }
}

TEST(ReportNumbers, FixedPointRoundsTheExactValueHalfToEven) {
  struct Case {
    double value;
    int decimals;
    const char* text;
  };
  const std::vector<Case> cases = {
      {0.0, 1, "0.0"},
      {0.5, 0, "0"},
      {1.5, 0, "2"},
      {2.5, 0, "2"},
      {0.25, 1, "0.2"},
      {0.75, 1, "0.8"},
      {0.05, 1, "0.1"},   // 0.05 is stored slightly above one half of 0.1
      {0.35, 1, "0.3"},   // and 0.35 slightly below
      {1.005, 2, "1.00"},
      {99.99, 1, "100.0"},
      {1e20, 1, "100000000000000000000.0"},
      {std::numeric_limits<double>::infinity(), 1, "inf"},
      {-std::numeric_limits<double>::infinity(), 0, "-inf"},
      {std::numeric_limits<double>::quiet_NaN(), 1, "NaN"},
  };
  for (const Case& c : cases) EXPECT_EQ(format_fixed(c.value, c.decimals), c.text) << c.value;
}

TEST(ReportNumbers, SizeTextSwitchesToGigabytesAtOneBinaryGigabyte) {
  const std::uint64_t mib = 1048576;
  const std::uint64_t gib = 1073741824;
  const std::vector<std::pair<std::uint64_t, const char*>> cases = {
      {0, "0MB"},
      {500, "0MB"},
      {mib / 2, "0MB"},          // half a megabyte rounds to even
      {mib * 3 / 2, "2MB"},
      {mib * 3 / 4, "1MB"},
      {512 * mib, "512MB"},
      {gib - 1, "1024MB"},       // just below the switch
      {gib, "1.00GB"},
      {gib + gib / 2, "1.50GB"},
      {gib * 2 + gib / 400, "2.00GB"},
  };
  for (const auto& [size, text] : cases) EXPECT_EQ(size_text(size), text) << size;
}

}  // namespace
}  // namespace drux
