// Reads a text file line by line through one fixed read buffer.
//
// A line ends at a line feed; the LF is removed, and so is one CR directly
// before it, so LF and CRLF files read alike. A lone CR is ordinary text.
// The last line need not end with LF. Each line must be valid UTF-8.
//
// Lines are handed out as views into the buffer: no copy and no allocation
// per line. A line longer than the buffer grows the buffer (there is no
// limit on line length); otherwise memory stays at the buffer size.
//
// Deliberately not here: any line end but LF and CRLF, and any encoding but
// UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "drux_v2/result.h"

namespace drux {

inline constexpr const char* kInvalidUtf8Message = "stream did not contain valid UTF-8";

// Owns one open file descriptor; closes it when dropped.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  int release();
  void reset();

 private:
  int fd_ = -1;
};

enum class LineStatus { Line, End, Failed };

class LineReader {
 public:
  // Opens `path` for reading; the error is the system error text alone.
  static Result<LineReader> open(const std::string& path, std::size_t buffer_size);

  // The next line without its line end, valid until the next call. On Failed,
  // error() says why; a line that is not UTF-8 has been consumed, so reading
  // may go on after it.
  LineStatus next_line(std::string_view& line);
  const std::string& error() const { return error_; }

  // Bytes read from the file so far.
  std::uint64_t bytes_read() const { return bytes_read_; }

  // Called after each refill that brought new bytes, with bytes_read().
  void set_refill_observer(std::function<void(std::uint64_t)> observer) { observer_ = std::move(observer); }

  // Closes the file and frees the buffer; next_line then reports End.
  void close();

 private:
  LineReader(UniqueFd fd, std::size_t buffer_size);
  bool refill();
  bool fill_buffer();
  LineStatus take_line(const char* start, std::size_t length, bool ended_by_lf, std::string_view& line);

  UniqueFd fd_;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;    // first byte not yet handed out
  std::size_t end_ = 0;      // one past the last byte read
  std::size_t scanned_ = 0;  // bytes after begin_ known to hold no LF
  bool at_eof_ = false;
  std::uint64_t bytes_read_ = 0;
  std::string error_;
  std::function<void(std::uint64_t)> observer_;
};

}  // namespace drux
