// Line ends are found with memchr over the buffered bytes; a line cut by the
// end of the buffer is moved to the front and the rest of the buffer is
// filled from the file, so every byte is copied at most once more than read.
//
// Deliberately not here: splitting a line into fields (csv_rows.h).
#include "python_bindings/line_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "drux_v2/system_error.h"
#include "drux_v2/utf8_check.h"

namespace drux {
namespace {

// Smallest buffer a too-long line grows to (also rescues a zero-sized one).
constexpr std::size_t kMinimumCapacity = 4096;
constexpr std::size_t kRefillBytes = 1048576;

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

int UniqueFd::release() { return std::exchange(fd_, -1); }

void UniqueFd::reset() {
  // close() releases the descriptor even when it reports an error, and a
  // file opened for reading has nothing left to lose; never retry it.
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

Result<LineReader> LineReader::open(const std::string& path, std::size_t buffer_size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Error{system_error_text(errno), ErrorKind::Io};
  UniqueFd owned(fd);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);  // only a hint; failure is harmless
  return LineReader(std::move(owned), buffer_size);
}

LineReader::LineReader(UniqueFd fd, std::size_t buffer_size)
    : fd_(std::move(fd)),
      buffer_(std::make_unique_for_overwrite<char[]>(buffer_size)),
      capacity_(buffer_size) {}

void LineReader::close() {
  fd_.reset();
  buffer_.reset();
  capacity_ = begin_ = end_ = scanned_ = 0;
  at_eof_ = true;
}

LineStatus LineReader::next_line(std::string_view& line) {
  for (;;) {
    const char* start = buffer_.get() + begin_;
    const std::size_t available = end_ - begin_;
    const void* lf = available > scanned_ ? std::memchr(start + scanned_, '\n', available - scanned_) : nullptr;
    if (lf != nullptr) {
      const auto length = static_cast<std::size_t>(static_cast<const char*>(lf) - start);
      return take_line(start, length, true, line);
    }
    scanned_ = available;
    if (at_eof_) {
      if (available == 0) return LineStatus::End;
      return take_line(start, available, false, line);
    }
    if (!refill()) return LineStatus::Failed;
  }
}

LineStatus LineReader::take_line(const char* start, std::size_t length, bool ended_by_lf, std::string_view& line) {
  begin_ += length + (ended_by_lf ? 1 : 0);
  scanned_ = 0;
  if (ended_by_lf && length > 0 && start[length - 1] == '\r') --length;
  if (!is_valid_utf8(start, length)) {
    error_ = kInvalidUtf8Message;
    return LineStatus::Failed;
  }
  line = std::string_view(start, length);
  return LineStatus::Line;
}

// Keeps the unfinished line, then reads until the buffer is full or the file
// ends. Returns false on a read error (error_ is set).
bool LineReader::refill() {
  const std::size_t kept = end_ - begin_;
  if (kept == capacity_) {
    // One line fills the whole buffer: make room for more of it.
    const std::size_t grown = std::max(capacity_ * 2, kMinimumCapacity);
    auto bigger = std::make_unique_for_overwrite<char[]>(grown);
    std::memcpy(bigger.get(), buffer_.get() + begin_, kept);
    buffer_ = std::move(bigger);
    capacity_ = grown;
  } else if (begin_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, kept);
  }
  begin_ = 0;
  end_ = kept;
  const std::size_t before = end_;
  const bool read_ok = fill_buffer();
  bytes_read_ += end_ - before;
  if (read_ok && end_ > before && observer_) observer_(bytes_read_);
  return read_ok;
}

bool LineReader::fill_buffer() {
  const std::size_t target = std::min(capacity_, end_ + kRefillBytes);
  while (end_ < target) {
    const ssize_t got = ::read(fd_.get(), buffer_.get() + end_, target - end_);
    if (got < 0) {
      if (errno == EINTR) continue;
      error_ = system_error_text(errno);
      return false;
    }
    if (got == 0) {
      at_eof_ = true;
      break;
    }
    end_ += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace drux
