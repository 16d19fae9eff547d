// Cutting a CSV file into pieces of whole chunks, for encoding elsewhere.
//
// A piece is the raw bytes of whole lines, cut right after the line end of
// its CHUNK_SIZE-th non-blank line, so the rows of piece k are exactly the
// rows the sequential conversion hands to its k-th write_chunk. Blank lines
// after that row go with the next piece, and a last piece may hold blank
// lines only: it has no rows, but its bytes are still checked. Cutting only
// finds line ends and tells blank lines from rows; checking UTF-8, splitting
// and trimming are left to whoever encodes the piece (add_piece_lines), so
// the one thread that must read the file in order does as little as it can.
//
// Bytes are read straight into the piece being cut; only the part line after
// a cut is copied, into the next piece. Deliberately not here: threads and
// ordering (parallel_convert and piece_pool own them) and any limit on line
// length, as in the sequential conversion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>

#include "drux_v2/result.h"
#include "python_bindings/csv_rows.h"
#include "python_bindings/line_reader.h"

namespace drux {

// A growable run of bytes that is never zero-filled: read() writes it.
class LineBytes {
 public:
  LineBytes() = default;
  LineBytes(LineBytes&& other) noexcept { *this = std::move(other); }
  LineBytes& operator=(LineBytes&& other) noexcept {
    data_ = std::move(other.data_);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    return *this;
  }

  const char* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  void clear() { size_ = 0; }
  void truncate(std::size_t size) { size_ = size; }

  // Room for `extra` bytes past size(); commit() the ones written there.
  char* reserve_tail(std::size_t extra);
  void commit(std::size_t written) { size_ += written; }
  void append(const char* bytes, std::size_t count);

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

struct CsvPiece {
  std::uint64_t index = 0;  // chunk index in file order
  std::size_t rows = 0;     // non-blank lines
  double read_ms = 0.0;     // time spent reading and cutting it, for reports
  LineBytes bytes;
};

// Reads a CSV once, front to back, and cuts its data lines into pieces.
class PieceCutter {
 public:
  explicit PieceCutter(UniqueFd fd) : fd_(std::move(fd)) {}

  // Moves past the header line (read and checked by the header pass).
  Status skip_header();

  // Fills `piece` with the next piece (its index is the caller's); false
  // once the file has no bytes left. Read failures: the system error text.
  Result<bool> next(CsvPiece& piece);

  std::uint64_t bytes_read() const { return bytes_read_; }
  std::uint64_t header_bytes() const { return header_bytes_; }

 private:
  Status read_more(LineBytes& into);

  UniqueFd fd_;
  LineBytes carry_;  // bytes read past the last cut
  bool eof_ = false;
  std::uint64_t bytes_read_ = 0;
  std::uint64_t header_bytes_ = 0;
};

// Calls take(line) for each row of the piece: each line without its LF (and
// one CR before it), blank lines skipped, as the sequential conversion reads
// them. A take that returns bool stops the walk by returning false.
template <class Take>
void for_each_row_line(const CsvPiece& piece, Take take) {
  const char* p = piece.bytes.data();
  const char* const end = p + piece.bytes.size();
  while (p < end) {
    const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    const char* line_end = lf ? lf : end;
    if (lf && line_end > p && line_end[-1] == '\r') --line_end;
    const std::string_view line(p, static_cast<std::size_t>(line_end - p));
    if (!is_blank_line(line)) {
      if constexpr (std::is_same_v<decltype(take(line)), bool>) {
        if (!take(line)) return;
      } else {
        take(line);
      }
    }
    p = lf ? lf + 1 : end;
  }
}

// Adds the piece's rows to `chunk`. The piece must be valid UTF-8.
inline void add_piece_lines(const CsvPiece& piece, CsvChunk& chunk) {
  for_each_row_line(piece, [&chunk](std::string_view line) { chunk.add_line(line); });
}

}  // namespace drux
