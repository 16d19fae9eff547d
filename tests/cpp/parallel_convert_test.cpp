// The threaded conversion against the sequential one: for every input and
// worker count the same bytes (creation time aside) or the same refusal,
// file order kept for errors, the target replaced only by a finished file,
// and every thread gone when the call returns. The stress case is the one
// the ThreadSanitizer build runs.
// Deliberately not here: the report lines, which only the sequential
// conversion prints (csv_converter_test), and the per-chunk reports to a
// monitor and the compression levels, which the Python tests check through
// drux.convert_csv (test_monitor_bridge.py, test_convert_csv.py).
#include "python_bindings/parallel_convert.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "drux_v2/drux_reader.h"
#include "drux_v2/kval.h"
#include "drux_v2/streaming_writer.h"
#include "python_bindings/csv_converter.h"
#include "python_bindings/csv_types.h"
#include "python_bindings/line_reader.h"
#include "test_support.h"

namespace drux {
namespace {

namespace fs = std::filesystem;

using test::ScratchDir;
using test::slurp;
using test::StderrCapture;

constexpr std::size_t kCreationTimeOffset = 24;

ParallelConvertOptions jobs_of(unsigned jobs) {
  ParallelConvertOptions options;
  options.jobs = jobs;
  return options;
}

// compress_csv's outcome, with its report kept off the test's output.
Result<ConvertResult> sequential(const ScratchDir& dir, const std::string& csv, const std::string& out) {
  StderrCapture quiet(dir.path("stderr.txt"));
  return compress_csv(csv, out);
}

std::string masked(std::string bytes) {
  if (bytes.size() >= kCreationTimeOffset + 8) bytes.replace(kCreationTimeOffset, 8, 8, '\0');
  return bytes;
}

// `rows` data lines of a few ragged fields, with blank and white-space
// lines, CRLF and Unicode space between them as `mixed` asks.
std::string rows_csv(std::size_t rows, bool mixed, unsigned seed = 7) {
  std::mt19937 rng(seed);
  std::string csv = "id, name ,score,tag\n";
  for (std::size_t i = 0; i < rows; ++i) {
    if (mixed) {
      switch (rng() % 16) {
        case 0: csv += "\n"; break;
        case 1: csv += " \t \r\n"; break;
        case 2: csv += "\xE3\x80\x80\xC2\xA0\n"; break;
        default: break;
      }
    }
    csv += std::to_string(i);
    const unsigned fields = mixed ? rng() % 6 : 3;
    for (unsigned f = 0; f < fields; ++f) {
      csv += ',';
      csv.append(rng() % 4, ' ');
      csv += std::to_string(rng() % 1000);
    }
    csv += mixed && rng() % 3 == 0 ? "\r\n" : "\n";
  }
  return csv;
}

std::string random_text(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  const std::string alphabet = "abc,, \n\r\t0123456789";
  std::string out(size, ' ');
  for (char& ch : out) ch = alphabet[rng() % alphabet.size()];
  return out;
}

std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string out(size, ' ');
  for (char& ch : out) ch = static_cast<char>(rng() % 256);
  return out;
}

std::string with_bad_byte_in_row(std::string csv, std::size_t row) {
  std::size_t at = 0;
  for (std::size_t line = 0; line <= row; ++line) at = csv.find('\n', at) + 1;
  csv.insert(csv.begin() + static_cast<std::ptrdiff_t>(at), '\xFF');
  return csv;
}

struct InputCase {
  const char* label;
  std::string csv;
};

std::vector<InputCase> input_cases() {
  return {
      {"one row", "a,b,c\n1,2,3\n"},
      {"header only", "a,b\n"},
      {"header only without line feed", "a,b"},
      {"single line feed", "\n"},
      {"byte-order mark", "\xEF\xBB\xBFid,v\n1,2\n"},
      {"last line without line feed, lone CR", "a\n1\n2\r"},
      {"65,535 rows", rows_csv(65535, false)},
      {"65,536 rows", rows_csv(65536, false)},
      {"65,537 rows", rows_csv(65537, false)},
      {"65,536 rows then blank lines", rows_csv(65536, false) + "\n \r\n\xE3\x80\x80\n"},
      {"four chunks and some, ragged, blank lines, CRLF", rows_csv(4 * 65536 + 17, true)},
      {"random text", "x,y\n" + random_text(600000, 3)},
      {"random bytes", random_bytes(300000, 5)},
      {"invalid UTF-8 in the third row", with_bad_byte_in_row(rows_csv(1000, false), 3)},
      {"invalid UTF-8 in a late chunk", with_bad_byte_in_row(rows_csv(3 * 65536, false), 3 * 65536 - 5)},
      {"invalid UTF-8 in a blank line after the last row", rows_csv(65536, false) + " \xC3\n"},
  };
}

TEST(ParallelConvert, SameBytesOrSameRefusalAsTheSequentialConversion) {
  ScratchDir dir;
  for (const InputCase& c : input_cases()) {
    const std::string csv = dir.file("in.csv", c.csv);
    const auto expected = sequential(dir, csv, dir.path("seq.drux"));
    for (unsigned jobs : {1u, 2u, 7u}) {
      const std::string label = std::string(c.label) + ", jobs " + std::to_string(jobs);
      const std::string out = dir.path("par.drux");
      fs::remove(out);
      const auto got = convert_csv(csv, out, jobs_of(jobs));
      ASSERT_EQ(got.ok(), expected.ok()) << label << ": " << (got.ok() ? expected.error() : got.error());
      if (!got.ok()) {
        EXPECT_EQ(got.error(), expected.error()) << label;
        EXPECT_EQ(got.error_kind(), expected.error_kind()) << label;
        EXPECT_FALSE(fs::exists(out)) << label << ": a failed conversion left an output";
        continue;
      }
      EXPECT_TRUE(masked(slurp(out)) == masked(slurp(dir.path("seq.drux")))) << label << ": bytes differ";
      EXPECT_EQ(got->csv_size, expected->csv_size) << label;
      EXPECT_EQ(got->drux_size, expected->drux_size) << label;
      EXPECT_DOUBLE_EQ(got->saved_percent, expected->compression_ratio) << label;
    }
  }
}

TEST(ParallelConvert, CountsRowsAndChunks) {
  ScratchDir dir;
  const auto got = convert_csv(dir.file("in.csv", rows_csv(2 * 65536 + 5, false)), dir.path("out.drux"), jobs_of(3));
  ASSERT_TRUE(got.ok()) << got.error();
  EXPECT_EQ(got->rows, 2u * 65536 + 5);
  EXPECT_EQ(got->chunks, 3u);
  EXPECT_GT(got->seconds, 0.0);
}

struct RefusalCase {
  const char* label;
  // Sets up the paths; returns {csv, drux}.
  std::function<std::pair<std::string, std::string>(const ScratchDir&)> setup;
};

TEST(ParallelConvert, RefusesWhatTheSequentialConversionRefusesWithTheSameKindAndMessage) {
  const std::vector<RefusalCase> cases = {
      {"missing CSV", [](const ScratchDir& d) { return std::pair{d.path("none.csv"), d.path("out.drux")}; }},
      {"empty CSV", [](const ScratchDir& d) { return std::pair{d.file("e.csv", ""), d.path("out.drux")}; }},
      {"CSV is a directory",
       [](const ScratchDir& d) {
         fs::create_directory(d.path("dir.csv"));
         return std::pair{d.path("dir.csv"), d.path("out.drux")};
       }},
      {"CSV is a FIFO",
       [](const ScratchDir& d) {
         ::mkfifo(d.path("fifo.csv").c_str(), 0600);
         return std::pair{d.path("fifo.csv"), d.path("out.drux")};
       }},
      {"invalid UTF-8 header", [](const ScratchDir& d) { return std::pair{d.file("b.csv", "a,\xC3(\n1\n"), d.path("o")}; }},
      {"output directory missing",
       [](const ScratchDir& d) { return std::pair{d.file("g.csv", "a\n1\n"), d.path("no/such/out.drux")}; }},
      {"output is a directory",
       [](const ScratchDir& d) {
         fs::create_directory(d.path("outdir"));
         return std::pair{d.file("g.csv", "a\n1\n"), d.path("outdir")};
       }},
      {"output is the input", [](const ScratchDir& d) { return std::pair{d.file("g.csv", "a\n1\n"), d.path("g.csv")}; }},
  };
  for (const RefusalCase& c : cases) {
    ScratchDir dir;
    const auto [csv, out] = c.setup(dir);
    const auto expected = sequential(dir, csv, out);
    ASSERT_FALSE(expected.ok()) << c.label;
    for (unsigned jobs : {1u, 4u}) {
      const auto got = convert_csv(csv, out, jobs_of(jobs));
      ASSERT_FALSE(got.ok()) << c.label;
      EXPECT_EQ(got.error(), expected.error()) << c.label;
      EXPECT_EQ(got.error_kind(), expected.error_kind()) << c.label;
    }
    for (const auto& entry : fs::directory_iterator(dir.path(""))) {
      EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos)
          << c.label << ": left " << entry.path();
    }
  }
}

TEST(ParallelConvert, FifoIsRefusedBeforeAnyRead) {
  ScratchDir dir;
  const std::string fifo = dir.path("in.csv");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto got = convert_csv(fifo, dir.path("out.drux"), jobs_of(2));  // would block forever on open
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error(), "CSV file is not a regular file: " + fifo);
  EXPECT_EQ(got.error_kind(), ErrorKind::Io);
}

// A failure keeps the old file whole and leaves no temporary file.
TEST(ParallelConvert, FailedConversionKeepsTheExistingTarget) {
  ScratchDir dir;
  const std::string out = dir.file("out.drux", "the old file");
  const std::string bad = dir.file("bad.csv", with_bad_byte_in_row(rows_csv(3 * 65536, false), 2 * 65536 + 9));
  const auto got = convert_csv(bad, out, jobs_of(2));
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error(), kInvalidUtf8Message);
  EXPECT_EQ(slurp(out), "the old file");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path("")), fs::directory_iterator()), 2);

  ASSERT_TRUE(convert_csv(dir.file("good.csv", "a\n1\n"), out, jobs_of(2)).ok());
  EXPECT_EQ(slurp(out).substr(0, 4), "DRUX");
}

TEST(ParallelConvert, ProgressRunsOnTheCallingThreadAndCanCancel) {
  ScratchDir dir;
  const std::string csv = dir.file("in.csv", rows_csv(6 * 65536, false));
  const std::uint64_t size = fs::file_size(csv);
  const std::thread::id caller = std::this_thread::get_id();
  std::vector<std::uint64_t> done;
  bool on_caller = true;
  ParallelConvertOptions options = jobs_of(3);
  options.progress = [&](std::uint64_t bytes, std::uint64_t total) {
    on_caller = on_caller && std::this_thread::get_id() == caller && total == size;
    done.push_back(bytes);
    return true;
  };
  ASSERT_TRUE(convert_csv(csv, dir.path("out.drux"), options).ok());
  EXPECT_TRUE(on_caller);
  ASSERT_FALSE(done.empty());
  EXPECT_EQ(done.back(), size);
  for (std::size_t i = 1; i < done.size(); ++i) EXPECT_LE(done[i - 1], done[i]);

  options.progress = [](std::uint64_t, std::uint64_t) { return false; };
  const auto cancelled = convert_csv(csv, dir.path("cancelled.drux"), options);
  ASSERT_FALSE(cancelled.ok());
  EXPECT_EQ(cancelled.error(), kCancelledMessage);
  EXPECT_FALSE(fs::exists(dir.path("cancelled.drux")));
}

TEST(ParallelConvert, CsvThatShrinksWhileReadIsRefused) {
  ScratchDir dir;
  const std::string csv = dir.file("in.csv", rows_csv(12 * 65536, false));
  ParallelConvertOptions options = jobs_of(1);
  // The first call comes after the first chunk is written, when reading has not reached the end.
  options.progress = [&](std::uint64_t, std::uint64_t) {
    fs::resize_file(csv, 1000);
    return true;
  };
  const auto got = convert_csv(csv, dir.path("out.drux"), options);
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().rfind("CSV file changed size while it was read: " + csv, 0), 0u) << got.error();
  EXPECT_FALSE(fs::exists(dir.path("out.drux")));
}

// Many conversions with failures at different places, for the
// ThreadSanitizer build: every path must join its threads and hand chunks
// over without a race.
TEST(ParallelConvert, StressManyWorkersWithFailuresAndCancellations) {
  ScratchDir dir;
  const std::string good = dir.file("good.csv", rows_csv(5 * 65536 + 3, true, 11));
  const std::string bad = dir.file("bad.csv", with_bad_byte_in_row(rows_csv(5 * 65536, false), 2 * 65536));
  const auto reference = sequential(dir, good, dir.path("ref.drux"));
  ASSERT_TRUE(reference.ok());
  const std::string expected = masked(slurp(dir.path("ref.drux")));
  for (unsigned jobs : {2u, 3u, 8u}) {
    const auto ok = convert_csv(good, dir.path("out.drux"), jobs_of(jobs));
    ASSERT_TRUE(ok.ok()) << ok.error();
    EXPECT_TRUE(masked(slurp(dir.path("out.drux"))) == expected) << "jobs " << jobs;
    const auto failed = convert_csv(bad, dir.path("bad.drux"), jobs_of(jobs));
    EXPECT_EQ(failed.ok() ? "" : failed.error(), kInvalidUtf8Message);
    int calls = 0;
    ParallelConvertOptions cancel = jobs_of(jobs);
    cancel.progress = [&calls](std::uint64_t, std::uint64_t) { return ++calls < 2; };
    EXPECT_FALSE(convert_csv(good, dir.path("cancel.drux"), cancel).ok());
  }
}

// ---- Inferred types ------------------------------------------------------------------

ParallelConvertOptions inferring(unsigned jobs) {
  ParallelConvertOptions options = jobs_of(jobs);
  options.types = CsvTypes::Infer;
  return options;
}

struct TypedColumn {
  std::string name;
  std::vector<std::string> cells;  // cycled over the rows
  ColType expected;
};

std::vector<TypedColumn> typed_columns() {
  return {
      {"id", {"0", "-17", "42", "9223372036854775807", "-9223372036854775808"}, ColType::Int},
      {"price", {"39.02", "-0.5", "1012", "0.0001"}, ColType::Float},
      {"flag", {"true", "false", "false"}, ColType::Bool},
      {"padded", {"007", "1"}, ColType::Str},
      {"exponent", {"1e5", "2"}, ColType::Str},
      {"trailing zero", {"3.10", "2"}, ColType::Str},
      {"five decimals", {"0.00015", "1"}, ColType::Str},
      {"minus zero", {"-0", "1"}, ColType::Str},
      {"empty", {"", "1"}, ColType::Str},
      {"NA", {"NA", "1"}, ColType::Str},
      {"two to the 63", {"9223372036854775808", "1"}, ColType::Str},
      {"mixed case", {"true", "TRUE"}, ColType::Str},
      {"text", {"alpha", "beta"}, ColType::Str},
  };
}

// The CSV and, beside it, the file StreamingDruxWriter makes of the same
// cells given their inferred types: what the inferring conversion must match.
std::pair<std::string, std::string> typed_fixture(const ScratchDir& dir, std::size_t rows) {
  const std::vector<TypedColumn> table = typed_columns();
  std::string csv;
  std::vector<KColumn> columns;
  for (std::size_t c = 0; c < table.size(); ++c) {
    csv += (c ? "," : "") + table[c].name;
    columns.push_back(make_column(table[c].name, table[c].expected));
  }
  csv += "\n";
  auto writer = StreamingDruxWriter::begin(columns, CHUNK_SIZE, dir.path("expected.drux"));
  EXPECT_TRUE(writer.ok());
  std::vector<Row> chunk;
  for (std::size_t r = 0; r < rows; ++r) {
    Row row;
    for (std::size_t c = 0; c < table.size(); ++c) {
      const std::string& cell = table[c].cells[r % table[c].cells.size()];
      csv += (c ? "," : "") + cell;
      switch (table[c].expected) {
        case ColType::Int: row.push_back(KVal::Int(*parse_canonical_int(cell))); break;
        case ColType::Float: row.push_back(KVal::Float(*parse_storable_float(cell))); break;
        case ColType::Bool: row.push_back(KVal::Bool(cell == "true")); break;
        default: row.push_back(KVal::Str(cell)); break;
      }
    }
    csv += r % 5 == 0 ? " \r\n\n" : "\n";  // trimmed space, CRLF and blank lines change nothing
    chunk.push_back(std::move(row));
    if (chunk.size() == CHUNK_SIZE || r + 1 == rows) {
      EXPECT_TRUE(writer->write_chunk(chunk).ok());
      chunk.clear();
    }
  }
  EXPECT_TRUE(writer->finish().ok());
  return {dir.file("typed.csv", csv), slurp(dir.path("expected.drux"))};
}

TEST(ParallelConvert, InferredTypesWriteTheFileOfTheTypedCells) {
  ScratchDir dir;
  const auto [csv, expected] = typed_fixture(dir, 2 * 65536 + 7);
  for (unsigned jobs : {1u, 3u}) {
    const auto got = convert_csv(csv, dir.path("out.drux"), inferring(jobs));
    ASSERT_TRUE(got.ok()) << got.error();
    EXPECT_TRUE(masked(slurp(dir.path("out.drux"))) == masked(expected)) << "jobs " << jobs;
    auto reader = DruxReader::open(dir.path("out.drux"));
    ASSERT_TRUE(reader.ok());
    const std::vector<TypedColumn> table = typed_columns();
    for (std::size_t c = 0; c < table.size(); ++c) {
      EXPECT_EQ(reader->metadata().columns[c].col_type, table[c].expected) << table[c].name;
    }
  }
}

// One cell in the last row decides: the column stays text.
TEST(ParallelConvert, ACellInTheLastRowKeepsItsColumnText) {
  ScratchDir dir;
  std::string csv = "n,m\n";
  for (int r = 0; r < 2 * 65536; ++r) csv += std::to_string(r) + "," + std::to_string(r % 3) + "\n";
  csv += "5,x\n";
  const std::string path = dir.file("in.csv", csv);
  ASSERT_TRUE(convert_csv(path, dir.path("out.drux"), inferring(2)).ok());
  auto reader = DruxReader::open(dir.path("out.drux"));
  ASSERT_TRUE(reader.ok());
  EXPECT_EQ(reader->metadata().columns[0].col_type, ColType::Int);
  EXPECT_EQ(reader->metadata().columns[1].col_type, ColType::Str);
}

TEST(ParallelConvert, InferringKeepsTheRefusalsOfTheTextConversion) {
  ScratchDir dir;
  for (const InputCase& c : input_cases()) {
    const std::string csv = dir.file("in.csv", c.csv);
    const auto text = convert_csv(csv, dir.path("text.drux"), jobs_of(2));
    const auto typed = convert_csv(csv, dir.path("typed.drux"), inferring(2));
    ASSERT_EQ(typed.ok(), text.ok()) << c.label;
    if (!text.ok()) {
      EXPECT_EQ(typed.error(), text.error()) << c.label;
    }
  }
}

}  // namespace
}  // namespace drux
