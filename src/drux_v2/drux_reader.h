// DruxReader: a strict reader of finished DRUX v2 files.
//
// open() reads the header, the trailer, the schema, the dictionary and the
// footer, and checks every length, count and offset against the file before
// trusting it; column blocks are then fetched one at a time with pread, so a
// large file is never held in memory. Each block is checked against its
// CRC-32 and its footer entry before it is decompressed and decoded.
//
// Malformed or unfinished files are refused with ErrorKind::Data; failures
// of the operating system (open, stat, pread) with ErrorKind::Io and the
// system error text. Nothing here throws, and no allocation is sized by a
// number read from the file until that number has passed a bound below.
//
// The format keeps no per-cell null marker for the plain column kinds (only
// a null count per chunk): a Null written to an integer, float, boolean,
// string or bytes column reads back as 0, 0.0, false or an empty text.
// Nested columns store Null explicitly and read it back as Null.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "drux_v2/bytes.h"
#include "drux_v2/container.h"
#include "drux_v2/kval.h"
#include "drux_v2/result.h"

namespace drux {

// What the reader may spend on one file, beyond what the file's own counts
// and size allow. Every decoded size is bounded twice: by what the file can
// really hold (the schema by the header's column count, the footer by its
// chunk and column counts, a column payload by its chunk's row count and
// column type) and by these limits, so a file of n bytes costs a small
// multiple of n plus the limits before it is refused. A refusal names the
// limit it hit; raise the field to read such a file.
struct ReaderLimits {
  // Largest decoded column block (one column of one chunk).
  std::size_t max_block_bytes = std::size_t{1} << 28;  // 256 MiB
  // Largest decoded schema or footer block.
  std::size_t max_metadata_bytes = std::size_t{1} << 26;  // 64 MiB
  // Longest column name.
  std::size_t max_name_bytes = std::size_t{1} << 16;  // 64 KiB
  // Most rows one chunk may hold. Constant-delta, width-0 frame-of-reference
  // and run-length payloads describe any number of values in a few bytes, so
  // this is what bounds the cells one block yields; the CSV conversion
  // writes chunks of 65,536 rows.
  std::uint32_t max_chunk_rows = std::uint32_t{1} << 22;
  // Most chunks a file may have: each costs the reader its footer entries,
  // and a table without columns costs only four footer bytes per chunk.
  std::uint32_t max_chunks = std::uint32_t{1} << 20;
  // Most cells (rows times columns) a whole-table read materialises.
  std::uint64_t max_cells = std::uint64_t{1} << 28;
};

// The facts of the header and trailer.
struct DruxFileInfo {
  std::uint16_t version = 0;
  std::uint16_t column_count = 0;
  std::uint64_t total_rows = 0;
  std::uint32_t chunk_count = 0;
  std::uint32_t rows_per_chunk = 0;  // as stored; the writer treats 0 as 1
  std::uint64_t created_unix = 0;
  std::uint64_t file_size = 0;
  std::uint64_t data_offset = 0;    // first byte after the dictionary block
  std::uint64_t footer_offset = 0;  // F
  std::uint64_t footer_length = 0;  // L_f
};

// One footer entry, as container.h decodes it.
using ColumnChunkInfo = FooterEntry;

struct DruxMetadata {
  DruxFileInfo file;
  std::vector<KColumn> columns;           // keys all zero: the file holds none
  std::vector<std::uint32_t> chunk_rows;  // row count of each chunk
  std::vector<std::vector<ColumnChunkInfo>> chunks;  // [chunk][column]

  std::uint32_t chunk_count() const { return static_cast<std::uint32_t>(chunk_rows.size()); }
  const ColumnChunkInfo& entry(std::uint32_t chunk, std::size_t column) const { return chunks[chunk][column]; }
};

class DruxReader {
 public:
  // Opens `path` and validates everything but the column blocks, within
  // `limits`, which the reader keeps for every later read.
  static Result<DruxReader> open(const std::string& path, const ReaderLimits& limits = {});

  DruxReader(DruxReader&& other) noexcept;
  DruxReader& operator=(DruxReader&& other) noexcept;
  DruxReader(const DruxReader&) = delete;
  DruxReader& operator=(const DruxReader&) = delete;
  ~DruxReader();

  const DruxMetadata& metadata() const { return meta_; }
  const ReaderLimits& limits() const { return limits_; }

  // Index of the first column called `name`.
  std::optional<std::size_t> find_column(std::string_view name) const;

  // The column payload of one block: CRC and length checked, decompressed,
  // still encrypted when the column is.
  Result<ByteBuffer> read_block(std::uint32_t chunk, std::size_t column) const;

  // The cells of one column of one chunk, in row order. An encrypted column
  // needs `key`; without one it is refused with an error naming the column.
  // An all-zero key reads the payload as it is, as the writer stores it
  // unenciphered then. There is no way to detect a wrong key other than the
  // payload failing to decode: counter mode carries no authentication.
  Result<std::vector<KVal>> read_column_chunk(std::uint32_t chunk, std::size_t column,
                                              const AesKey* key = nullptr) const;

  // Decodes one column of one chunk and checks its footer entry against the
  // cells: the statistics, the null count and the membership filter the
  // writer would derive from them (see footer_check.h). An encrypted column
  // without `key` has only its block checked.
  Status verify_chunk(std::uint32_t chunk, std::size_t column, const AesKey* key = nullptr) const;

  // verify_chunk for every block, without keys: the whole check of a file.
  // It decodes every cell, so it keeps to limits().max_cells as a
  // whole-table read does.
  Status verify() const;

 private:
  DruxReader(int fd, DruxMetadata meta, const ReaderLimits& limits);
  void close_fd() noexcept;

  int fd_ = -1;
  DruxMetadata meta_;
  ReaderLimits limits_;
};

// A whole table, column-major: cells[c][r] is row r of column c.
struct DruxTable {
  std::vector<KColumn> columns;
  std::uint64_t row_count = 0;
  std::vector<std::vector<KVal>> cells;
};

// Reads every chunk of every column. `keys` gives the key of each encrypted
// column by name; an encrypted column without one is refused. The table's
// cells must stay within limits.max_cells.
Result<DruxTable> read_drux_table(const std::string& path,
                                  const std::vector<std::pair<std::string, AesKey>>& keys = {},
                                  const ReaderLimits& limits = {});

// Refuses a whole-table read of `meta` that passes limits.max_cells.
Status check_table_cells(const DruxMetadata& meta, const ReaderLimits& limits);

// The column kind in words: "integer", "float", ..., "map".
const char* col_type_name(ColType type);

// Whether `tag` is an encoding the writer uses for columns of `type`.
bool encoding_fits(ColType type, std::uint8_t tag);

// Decodes one column payload (decrypted and decompressed) of `rows` cells.
// The encoding tag must be one the column type is written with.
Result<std::vector<KVal>> decode_column_payload(ColType type, Encoding encoding, ByteView payload,
                                                std::size_t rows);

}  // namespace drux
