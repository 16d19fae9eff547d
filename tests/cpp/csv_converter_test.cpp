// CSV to DRUX conversion seen from outside: the report lines on fd 2, the
// returned sizes, every refusal with its kind and message, and the rows the
// converter hands to the writer. Rows are checked by comparing the output
// with a file written straight through StreamingDruxWriter from the rows
// the CSV should give; the two may differ only in the creation time.
// Deliberately not here: the threaded and type-inferring conversion
// (parallel_convert_test), and the Python exceptions these refusals become
// (tests/python/test_compress_csv.py).
#include "python_bindings/csv_converter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "drux_v2/kval.h"
#include "drux_v2/streaming_writer.h"
#include "test_support.h"

namespace drux {
namespace {

namespace fs = std::filesystem;

using Table = std::vector<std::vector<std::string>>;

constexpr std::size_t kCreationTimeOffset = 24;  // 8 bytes of wall-clock seconds
constexpr std::size_t kTotalRowsOffset = 8;
constexpr std::size_t kChunkCountOffset = 16;

using test::ScratchDir;
using test::slurp;
using test::StderrCapture;

std::uint64_t le_field(const std::string& bytes, std::size_t offset, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v |= std::uint64_t{static_cast<unsigned char>(bytes.at(offset + i))} << (8 * i);
  return v;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct Conversion {
  Result<ConvertResult> result{Error{"not run", ErrorKind::Io}};
  std::vector<std::string> printed;
};

Conversion convert(const ScratchDir& dir, const std::string& csv_path, const std::string& drux_path,
                   const ConvertHooks& hooks = {}) {
  Conversion c;
  StderrCapture capture(dir.path("stderr.txt"));
  c.result = compress_csv(csv_path, drux_path, hooks);
  c.printed = split_lines(capture.text());
  return c;
}

// The file the converter should produce for these names and rows.
std::string expected_file(const std::string& path, const std::vector<std::string>& names, const Table& rows) {
  std::vector<KColumn> columns;
  for (const std::string& name : names) columns.push_back(make_column(name, ColType::Str));
  auto writer = StreamingDruxWriter::begin(std::move(columns), CHUNK_SIZE, path);
  if (!writer.ok()) {
    ADD_FAILURE() << writer.error();
    return {};
  }
  std::vector<Row> chunk;
  auto flush = [&] {
    if (chunk.empty()) return;
    EXPECT_TRUE(writer->write_chunk(chunk).ok());
    chunk.clear();
  };
  for (const auto& texts : rows) {
    Row row;
    for (const std::string& t : texts) row.push_back(KVal::Str(t));
    chunk.push_back(std::move(row));
    if (chunk.size() == CHUNK_SIZE) flush();
  }
  flush();
  EXPECT_TRUE(writer->finish().ok());
  return slurp(path);
}

void expect_same_apart_from_creation_time(std::string a, std::string b, const std::string& label) {
  ASSERT_EQ(a.size(), b.size()) << label;
  ASSERT_GE(a.size(), kCreationTimeOffset + 8) << label;
  std::memset(a.data() + kCreationTimeOffset, 0, 8);
  std::memset(b.data() + kCreationTimeOffset, 0, 8);
  EXPECT_TRUE(a == b) << label << ": output differs from the file of the expected rows";
}

// ---- Report lines and result ----------------------------------------------

TEST(CsvConversion, ReportsBannerFileColumnsStreamingAndDoneLines) {
  ScratchDir dir;
  const std::string csv = dir.file("people.csv", "name,age,city\nann,31,Oslo\nbob,42,Rome\n");
  const std::string out = dir.path("people.drux");
  const Conversion c = convert(dir, csv, out);
  ASSERT_TRUE(c.result.ok()) << c.result.error();

  ASSERT_EQ(c.printed.size(), 6u);
  EXPECT_EQ(c.printed[0], "");
  EXPECT_EQ(c.printed[1], ">>> compress_csv v1.3.2 STREAMING MODE");
  EXPECT_EQ(c.printed[2], ">>> File: " + csv + " (0MB)");
  EXPECT_EQ(c.printed[3], ">>> Columns (3): name, age, city");
  EXPECT_EQ(c.printed[4], ">>> Streaming 65536 rows at a time (~3MB memory constant)...");
  const std::regex done(
      ">>> DONE! 0MB \u2192 0\\.0MB \\(0\\.0% saved\\) in 0s \\([0-9]+\\.[0-9]GB/sec\\) \\| "
      "DRUX v2 \\(streaming\\): 2 rows \u00d7 3 cols \\| 1 chunks \\| dict: 0 entries");
  EXPECT_TRUE(std::regex_match(c.printed[5], done)) << c.printed[5];

  EXPECT_EQ(c.result->csv_size, fs::file_size(csv));
  EXPECT_EQ(c.result->drux_size, fs::file_size(out));
  EXPECT_EQ(c.result->compression_ratio, 0.0);  // a three-line CSV does not shrink
  EXPECT_GT(c.result->drux_size, c.result->csv_size);
}

TEST(CsvConversion, MemoryEstimateIsFiveQuartersOfAMegabytePerColumnRoundedDown) {
  ScratchDir dir;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a", "~1MB"}, {"a,b,c", "~3MB"}, {"a,b,c,d", "~5MB"}, {"a,b,c,d,e,f,g,h", "~10MB"}};
  for (const auto& [header, estimate] : cases) {
    const Conversion c = convert(dir, dir.file("in.csv", header + "\n1\n"), dir.path("out.drux"));
    ASSERT_TRUE(c.result.ok()) << c.result.error();
    ASSERT_GE(c.printed.size(), 5u);
    EXPECT_EQ(c.printed[4], ">>> Streaming 65536 rows at a time (" + estimate + " memory constant)...");
  }
}

TEST(CsvConversion, PercentSavedMatchesTheSizesWhenTheOutputShrinks) {
  ScratchDir dir;
  std::string text = "kind,value\n";
  for (int i = 0; i < 20000; ++i) text += "repeated label,same value every time\n";
  const std::string csv = dir.file("big.csv", text);
  const Conversion c = convert(dir, csv, dir.path("big.drux"));
  ASSERT_TRUE(c.result.ok()) << c.result.error();
  const ConvertResult& r = c.result.value();
  ASSERT_LT(r.drux_size, r.csv_size);
  const double saved = static_cast<double>(r.csv_size - r.drux_size) / static_cast<double>(r.csv_size) * 100.0;
  EXPECT_DOUBLE_EQ(r.compression_ratio, saved);
  char shown[32];
  std::snprintf(shown, sizeof shown, "(%.1f%% saved)", saved);
  EXPECT_NE(c.printed.back().find(shown), std::string::npos) << c.printed.back();
}

TEST(CsvConversion, SingleLineFeedGivesOneUnnamedColumnAndNoRows) {
  ScratchDir dir;
  const std::string out = dir.path("out.drux");
  const Conversion c = convert(dir, dir.file("lf.csv", "\n"), out);
  ASSERT_TRUE(c.result.ok()) << c.result.error();
  ASSERT_EQ(c.printed.size(), 6u);
  EXPECT_EQ(c.printed[3], ">>> Columns (1): ");
  EXPECT_NE(c.printed[5].find("| DRUX v2 (streaming): 0 rows \u00d7 1 cols | 0 chunks | dict: 0 entries"),
            std::string::npos);
  const std::string bytes = slurp(out);
  EXPECT_EQ(le_field(bytes, kTotalRowsOffset, 8), 0u);
  EXPECT_EQ(le_field(bytes, kChunkCountOffset, 4), 0u);
  expect_same_apart_from_creation_time(bytes, expected_file(dir.path("ref.drux"), {""}, {}), "single LF");
}

TEST(CsvConversion, ProgressHookFollowsTheStreamingPassToTheLastByte) {
  ScratchDir dir;
  const std::string csv = dir.file("in.csv", "a,b\n1,2\n3,4\n");
  std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
  ConvertHooks hooks;
  hooks.progress = [&calls](std::uint64_t done, std::uint64_t total) { calls.emplace_back(done, total); };
  const Conversion c = convert(dir, csv, dir.path("out.drux"), hooks);
  ASSERT_TRUE(c.result.ok()) << c.result.error();
  ASSERT_FALSE(calls.empty());
  const std::uint64_t size = fs::file_size(csv);
  EXPECT_EQ(calls.back(), std::make_pair(size, size));
  for (std::size_t i = 1; i < calls.size(); ++i) EXPECT_LE(calls[i - 1].first, calls[i].first);
}

// ---- Rows and names --------------------------------------------------------

struct RowsCase {
  const char* label;
  std::string csv;
  std::vector<std::string> names;
  Table rows;
};

TEST(CsvConversion, LinesBecomeRowsOfTrimmedTexts) {
  const std::vector<RowsCase> cases = {
      {"header fields are trimmed", "a, b ,c\n1,2,3\n", {"a", "b", "c"}, {{"1", "2", "3"}}},
      {"byte-order mark stays in the first name", "\xEF\xBB\xBFid,v\n1,2\n", {"\xEF\xBB\xBFid", "v"}, {{"1", "2"}}},
      {"short rows are padded, long rows cut", "a,b,c\n1,2\n1,2,3,4\n", {"a", "b", "c"},
       {{"1", "2", ""}, {"1", "2", "3"}}},
      {"quotes are ordinary characters", "a,b,c\n\"x,y\",z\n", {"a", "b", "c"}, {{"\"x", "y\"", "z"}}},
      {"blank and white-space-only lines are skipped", "a,b\n\n  \t\n1,2\n\xE3\x80\x80\xC2\xA0\r\n\n3,4\n",
       {"a", "b"}, {{"1", "2"}, {"3", "4"}}},
      {"two commas are three empty texts", "a,b,c\n,,\n", {"a", "b", "c"}, {{"", "", ""}}},
      {"CRLF line ends", "a,b\r\n1,2\r\n3,4\r\n", {"a", "b"}, {{"1", "2"}, {"3", "4"}}},
      {"lone CR stays inside a field", "a,b\n1\r2,x \r\n", {"a", "b"}, {{"1\r2", "x"}}},
      {"Unicode white space trimmed, U+FEFF kept", "a,b\n\xC2\xA0v\xE2\x80\x83 ,\xEF\xBB\xBFw\n", {"a", "b"},
       {{"v", "\xEF\xBB\xBFw"}}},
      {"numbers stay text", "n,f,b\n 42 ,-1.5e3,true\n", {"n", "f", "b"}, {{"42", "-1.5e3", "true"}}},
      {"trailing comma in the header names an empty column", "a,b,\n1,2,3\n", {"a", "b", ""}, {{"1", "2", "3"}}},
      {"last line without line feed", "a\n1\n2", {"a"}, {{"1"}, {"2"}}},
      {"header only", "a,b\n", {"a", "b"}, {}},
  };
  ScratchDir dir;
  for (const RowsCase& c : cases) {
    const Conversion got = convert(dir, dir.file("in.csv", c.csv), dir.path("out.drux"));
    ASSERT_TRUE(got.result.ok()) << c.label << ": " << got.result.error();
    expect_same_apart_from_creation_time(slurp(dir.path("out.drux")),
                                         expected_file(dir.path("ref.drux"), c.names, c.rows), c.label);
  }
}

TEST(CsvConversion, CrlfFileConvertsToTheSameBytesAsLfFile) {
  ScratchDir dir;
  const std::string lf = "id,name,score\n1,ann,3.5\n\n2, bob ,4\n3,,\n";
  std::string crlf;
  for (char ch : lf) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
  ASSERT_TRUE(convert(dir, dir.file("lf.csv", lf), dir.path("lf.drux")).result.ok());
  ASSERT_TRUE(convert(dir, dir.file("crlf.csv", crlf), dir.path("crlf.drux")).result.ok());
  expect_same_apart_from_creation_time(slurp(dir.path("lf.drux")), slurp(dir.path("crlf.drux")), "CRLF vs LF");
}

// Rows of chunk two overwrite the cells of chunk one in place; nothing of the
// first chunk may show through (longer texts, more fields).
TEST(CsvConversion, ChunksOfExactlyChunkSizeRows) {
  struct Case {
    std::size_t rows;
    std::uint32_t chunks;
  };
  ScratchDir dir;
  for (const Case& c : {Case{65536, 1}, Case{65537, 2}, Case{2 * 65536 + 3, 3}}) {
    std::string csv = "k,v\n";
    Table rows;
    for (std::size_t i = 0; i < c.rows; ++i) {
      const bool first_chunk = i < CHUNK_SIZE;
      std::string key = std::to_string(i);
      if (first_chunk) key.insert(0, "a long key that leaves the inline storage ");
      std::string value;
      if (first_chunk) value.append("v").append(std::to_string(i % 7));
      csv += first_chunk ? key + "," + value + "\n" : key + "\n";
      rows.push_back({key, value});
    }
    const std::string out = dir.path("out.drux");
    const Conversion got = convert(dir, dir.file("in.csv", csv), out);
    ASSERT_TRUE(got.result.ok()) << got.result.error();
    const std::string bytes = slurp(out);
    EXPECT_EQ(le_field(bytes, kTotalRowsOffset, 8), c.rows);
    EXPECT_EQ(le_field(bytes, kChunkCountOffset, 4), c.chunks);
    expect_same_apart_from_creation_time(bytes, expected_file(dir.path("ref.drux"), {"k", "v"}, rows),
                                         std::to_string(c.rows) + " rows");
  }
}

TEST(CsvConversion, NoProgressLineBeforeOneThousandTwentyFourMillionRows) {
  ScratchDir dir;
  std::string csv = "n\n";
  csv.reserve(3000000);
  for (int i = 0; i < 1000000; ++i) csv += "7\n";
  const Conversion c = convert(dir, dir.file("million.csv", csv), dir.path("million.drux"));
  ASSERT_TRUE(c.result.ok()) << c.result.error();
  ASSERT_EQ(c.printed.size(), 6u);
  for (const std::string& line : c.printed) EXPECT_NE(line.rfind("  Streamed", 0), 0u) << line;
  EXPECT_NE(c.printed[5].find(": 1000000 rows \u00d7 1 cols | 16 chunks |"), std::string::npos) << c.printed[5];
}

// ---- Refusals --------------------------------------------------------------

struct Paths {
  std::string csv;
  std::string drux;
};

struct FailureCase {
  const char* label;
  std::function<Paths(const ScratchDir&)> setup;
  std::function<std::string(const Paths&)> message;
  ErrorKind kind;
  std::size_t lines_printed;  // the failure comes right after these
  bool output_created;        // does drux_path exist afterwards?
};

std::string good_csv(const ScratchDir& dir) { return dir.file("good.csv", "a,b\n1,2\n"); }

const std::vector<FailureCase>& failure_cases() {
  static const std::vector<FailureCase> cases = {
      {"missing CSV",
       [](const ScratchDir& d) { return Paths{d.path("missing.csv"), d.path("out.drux")}; },
       [](const Paths& p) { return "CSV file does not exist: " + p.csv; }, ErrorKind::Io, 0, false},
      {"dangling symbolic link",
       [](const ScratchDir& d) {
         fs::create_symlink(d.path("gone.csv"), d.path("link.csv"));
         return Paths{d.path("link.csv"), d.path("out.drux")};
       },
       [](const Paths& p) { return "CSV file does not exist: " + p.csv; }, ErrorKind::Io, 0, false},
      {"zero-byte CSV", [](const ScratchDir& d) { return Paths{d.file("empty.csv", ""), d.path("out.drux")}; },
       [](const Paths&) { return std::string("CSV file is empty"); }, ErrorKind::Data, 3, false},
      {"CSV path is a directory",
       [](const ScratchDir& d) {
         fs::create_directory(d.path("dir.csv"));
         return Paths{d.path("dir.csv"), d.path("out.drux")};
       },
       [](const Paths&) { return std::string("Is a directory (os error 21)"); }, ErrorKind::Io, 3, false},
      {"invalid UTF-8 in the header",
       [](const ScratchDir& d) { return Paths{d.file("bad.csv", "a,\xC3(\n1,2\n"), d.path("out.drux")}; },
       [](const Paths&) { return std::string("stream did not contain valid UTF-8"); }, ErrorKind::Io, 3, false},
      {"invalid UTF-8 in a data line",
       [](const ScratchDir& d) { return Paths{d.file("bad.csv", "a,b\n1,2\n3,\xFF\n5,6\n"), d.path("out.drux")}; },
       [](const Paths&) { return std::string("stream did not contain valid UTF-8"); }, ErrorKind::Io, 5, true},
      {"output directory missing",
       [](const ScratchDir& d) { return Paths{good_csv(d), d.path("no/such/dir/out.drux")}; },
       [](const Paths& p) { return "Cannot create " + p.drux + ": No such file or directory (os error 2)"; },
       ErrorKind::Io, 4, false},
      {"output is the input",
       [](const ScratchDir& d) { return Paths{good_csv(d), d.path("good.csv")}; },
       [](const Paths& p) { return "Output file is the input CSV file: " + p.drux; }, ErrorKind::Io, 4, true},
      {"output is a symbolic link to the input",
       [](const ScratchDir& d) {
         const std::string csv = good_csv(d);
         fs::create_symlink(csv, d.path("link.drux"));
         return Paths{csv, d.path("link.drux")};
       },
       [](const Paths& p) { return "Output file is the input CSV file: " + p.drux; }, ErrorKind::Io, 4, true},
      {"output is a hard link to the input",
       [](const ScratchDir& d) {
         const std::string csv = good_csv(d);
         fs::create_hard_link(csv, d.path("hard.drux"));
         return Paths{csv, d.path("hard.drux")};
       },
       [](const Paths& p) { return "Output file is the input CSV file: " + p.drux; }, ErrorKind::Io, 4, true},
      {"output is the input spelt differently",
       [](const ScratchDir& d) {
         const std::string csv = good_csv(d);
         fs::create_directory(d.path("sub"));
         return Paths{csv, d.path("sub/.././good.csv")};
       },
       [](const Paths& p) { return "Output file is the input CSV file: " + p.drux; }, ErrorKind::Io, 4, true},
  };
  return cases;
}

TEST(CsvConversion, FailuresCarryKindAndExactMessageAndStopTheReport) {
  for (const FailureCase& fc : failure_cases()) {
    ScratchDir dir;
    const Paths paths = fc.setup(dir);
    const bool csv_is_file = fs::is_regular_file(paths.csv);
    const std::string csv_before = csv_is_file ? slurp(paths.csv) : "";
    const Conversion c = convert(dir, paths.csv, paths.drux);
    ASSERT_FALSE(c.result.ok()) << fc.label;
    EXPECT_EQ(c.result.error(), fc.message(paths)) << fc.label;
    EXPECT_EQ(c.result.error_kind(), fc.kind) << fc.label;
    EXPECT_EQ(c.printed.size(), fc.lines_printed) << fc.label;
    EXPECT_EQ(fs::exists(paths.drux), fc.output_created) << fc.label;
    if (csv_is_file) {
      EXPECT_EQ(slurp(paths.csv), csv_before) << fc.label << ": the CSV was touched";
    }
  }
}

TEST(CsvConversion, FailureInADataLineLeavesAnUnfinishedOutput) {
  ScratchDir dir;
  const std::string out = dir.path("out.drux");
  const Conversion c = convert(dir, dir.file("bad.csv", "a,b\n1,2\n3,\xFF\n"), out);
  ASSERT_FALSE(c.result.ok());
  ASSERT_EQ(c.printed.size(), 5u);
  EXPECT_EQ(c.printed[4], ">>> Streaming 65536 rows at a time (~2MB memory constant)...");
  const std::string bytes = slurp(out);
  ASSERT_GE(bytes.size(), 24u);
  EXPECT_EQ(bytes.substr(0, 4), "DRUX");
  EXPECT_EQ(le_field(bytes, kTotalRowsOffset, 8), 0u);  // never finished: counts unpatched
  EXPECT_EQ(le_field(bytes, kChunkCountOffset, 4), 0u);
}

TEST(CsvConversion, UnreadableCsvFailsWithTheSystemErrorTextAlone) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads files without read permission";
  ScratchDir dir;
  const std::string csv = good_csv(dir);
  fs::permissions(csv, fs::perms::none);
  const Conversion c = convert(dir, csv, dir.path("out.drux"));
  ASSERT_FALSE(c.result.ok());
  EXPECT_EQ(c.result.error(), "Permission denied (os error 13)");
  EXPECT_EQ(c.result.error_kind(), ErrorKind::Io);
  EXPECT_EQ(c.printed.size(), 3u);
  EXPECT_FALSE(fs::exists(dir.path("out.drux")));
}

}  // namespace
}  // namespace drux
