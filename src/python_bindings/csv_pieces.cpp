// Line ends are found with memchr; a line is blank when trimming leaves
// nothing, which for the usual line costs two byte compares.
#include "python_bindings/csv_pieces.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "drux_v2/system_error.h"
#include "python_bindings/conversion_steps.h"

namespace drux {
namespace {

constexpr std::size_t kReadSize = std::size_t{1} << 20;  // small enough that lines are scanned while in cache

}  // namespace

char* LineBytes::reserve_tail(std::size_t extra) {
  if (capacity_ - size_ < extra) {
    const std::size_t grown = std::max(capacity_ * 2, size_ + extra);
    auto bigger = std::make_unique_for_overwrite<char[]>(grown);
    if (size_ > 0) std::memcpy(bigger.get(), data_.get(), size_);
    data_ = std::move(bigger);
    capacity_ = grown;
  }
  return data_.get() + size_;
}

void LineBytes::append(const char* bytes, std::size_t count) {
  if (count == 0) return;
  std::memcpy(reserve_tail(count), bytes, count);
  size_ += count;
}

Status PieceCutter::skip_header() {
  for (;;) {
    const std::size_t scanned = carry_.size();
    if (Status s = read_more(carry_); !s) return s;
    const void* lf = std::memchr(carry_.data() + scanned, '\n', carry_.size() - scanned);
    if (lf != nullptr) {
      const auto after = static_cast<std::size_t>(static_cast<const char*>(lf) - carry_.data()) + 1;
      LineBytes rest;
      rest.append(carry_.data() + after, carry_.size() - after);
      carry_ = std::move(rest);
      header_bytes_ = after;
      return {};
    }
    if (eof_) {
      header_bytes_ = carry_.size();
      carry_.clear();
      return {};
    }
  }
}

Result<bool> PieceCutter::next(CsvPiece& piece) {
  piece.bytes.clear();
  piece.rows = 0;
  piece.bytes.append(carry_.data(), carry_.size());
  carry_.clear();
  std::size_t line_start = 0;
  for (;;) {
    const char* data = piece.bytes.data();
    const std::size_t size = piece.bytes.size();
    while (const void* lf = line_start < size ? std::memchr(data + line_start, '\n', size - line_start) : nullptr) {
      const auto end = static_cast<std::size_t>(static_cast<const char*>(lf) - data);
      const bool row = !is_blank_line({data + line_start, end - line_start});
      line_start = end + 1;
      if (row && ++piece.rows == CHUNK_SIZE) {
        carry_.append(data + line_start, size - line_start);
        piece.bytes.truncate(line_start);
        return true;
      }
    }
    if (eof_) {
      if (line_start < size && !is_blank_line({data + line_start, size - line_start})) ++piece.rows;
      return size > 0;
    }
    if (Status s = read_more(piece.bytes); !s) return s.error_value();
  }
}

Status PieceCutter::read_more(LineBytes& into) {
  char* tail = into.reserve_tail(kReadSize);
  for (;;) {
    const ssize_t got = ::read(fd_.get(), tail, kReadSize);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Error{system_error_text(errno), ErrorKind::Io};
    if (got == 0) eof_ = true;
    into.commit(static_cast<std::size_t>(got));
    bytes_read_ += static_cast<std::uint64_t>(got);
    return {};
  }
}

}  // namespace drux
