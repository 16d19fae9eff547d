// Full writes behind one fixed buffer; see buffered_file.h.
//
// Deliberately not here: reading, and any retry of a failed write beyond
// EINTR.
#include "drux_v2/buffered_file.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "drux_v2/system_error.h"

namespace drux {
namespace {

constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
constexpr mode_t kCreateMode = 0666;
constexpr const char* kWriteZero = "failed to write whole buffer";

Error os_error(int errnum) { return Error{system_error_text(errnum), ErrorKind::Io}; }

}  // namespace

namespace {

// Writes all of `data`, at the file position or, given `at`, at that
// offset; retries after signals and partial writes.
Status write_all(int fd, ByteView data, std::optional<std::uint64_t> at) {
  const std::uint8_t* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t n = at ? ::pwrite(fd, p, left, static_cast<off_t>(*at)) : ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (n == 0) return Error{kWriteZero, ErrorKind::Io};
    p += n;
    left -= static_cast<std::size_t>(n);
    if (at) *at += static_cast<std::uint64_t>(n);
  }
  return {};
}

}  // namespace

Status write_fully(int fd, ByteView data) { return write_all(fd, data, std::nullopt); }

Result<BufferedFile> BufferedFile::create(const std::string& path, std::size_t buffer_size) {
  int fd;
  do {
    fd = ::open(path.c_str(), kCreateFlags, kCreateMode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return os_error(errno);
  return BufferedFile(fd, buffer_size);
}

BufferedFile::BufferedFile(int fd, std::size_t buffer_size)
    : fd_(fd), buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(buffer_size)), capacity_(buffer_size) {}

BufferedFile::BufferedFile(BufferedFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      buffer_(std::move(other.buffer_)),
      capacity_(std::exchange(other.capacity_, 0)),
      used_(std::exchange(other.used_, 0)) {}

BufferedFile& BufferedFile::operator=(BufferedFile&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
    buffer_ = std::move(other.buffer_);
    capacity_ = std::exchange(other.capacity_, 0);
    used_ = std::exchange(other.used_, 0);
  }
  return *this;
}

BufferedFile::~BufferedFile() { release(); }

void BufferedFile::release() noexcept {
  if (fd_ < 0) return;
  (void)flush();
  ::close(fd_);
  fd_ = -1;
}

Status BufferedFile::write(ByteView data) {
  if (data.size() <= capacity_ - used_) {
    if (!data.empty()) std::memcpy(buffer_.get() + used_, data.data(), data.size());
    used_ += data.size();
    return {};
  }
  if (Status s = flush(); !s) return s;
  if (data.size() >= capacity_) return write_fully(fd_, data);
  std::memcpy(buffer_.get(), data.data(), data.size());
  used_ = data.size();
  return {};
}

Status BufferedFile::flush() {
  if (used_ == 0) return {};
  std::size_t pending = std::exchange(used_, 0);
  return write_fully(fd_, ByteView(buffer_.get(), pending));
}

Status BufferedFile::write_at(std::uint64_t offset, ByteView data) {
  if (Status s = flush(); !s) return s;
  return write_all(fd_, data, offset);
}

Status BufferedFile::sync() {
  if (Status s = flush(); !s) return s;
  if (::fsync(fd_) != 0) return os_error(errno);
  return {};
}

Status BufferedFile::close() {
  Status flushed = flush();
  int rc = ::close(std::exchange(fd_, -1));
  if (!flushed) return flushed;
  // A close interrupted by a signal has still released the descriptor on
  // Linux, so EINTR is not a failure to report.
  if (rc != 0 && errno != EINTR) return os_error(errno);
  return {};
}

}  // namespace drux
