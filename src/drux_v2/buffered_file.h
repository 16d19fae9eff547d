// BufferedFile: a file created for writing behind a fixed write buffer.
//
// Every write to the descriptor is a full write: interrupted calls are
// retried and a call that accepts nothing fails rather than spinning. The
// buffer is allocated once; writes larger than it bypass it. Failures come
// back as the system error text.
//
// Deliberately not here: reading and seeking, beyond the one write at an
// absolute offset that finish() needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "drux_v2/bytes.h"
#include "drux_v2/result.h"

namespace drux {

// Size of the write buffer in front of the DRUX output file.
inline constexpr std::size_t kWriteBufferSize = std::size_t{16} << 20;

class BufferedFile {
 public:
  // Creates or truncates `path` (mode 0666 before the umask). On failure the
  // error is the system error text alone; callers add their own prefix.
  static Result<BufferedFile> create(const std::string& path, std::size_t buffer_size = kWriteBufferSize);

  BufferedFile(BufferedFile&& other) noexcept;
  BufferedFile& operator=(BufferedFile&& other) noexcept;
  BufferedFile(const BufferedFile&) = delete;
  BufferedFile& operator=(const BufferedFile&) = delete;
  // Flushes what is buffered (errors ignored) and closes.
  ~BufferedFile();

  bool is_open() const { return fd_ >= 0; }

  // Appends through the buffer. On failure the bytes still buffered are
  // dropped: after a failed write the file's tail is unknown anyway.
  Status write(ByteView data);
  Status flush();

  // Writes `data` at absolute `offset`, after flushing the buffer.
  Status write_at(std::uint64_t offset, ByteView data);

  // Flushes, forces data and metadata to stable storage.
  Status sync();

  // Flushes and closes; the file is closed whatever the outcome.
  Status close();

 private:
  BufferedFile(int fd, std::size_t buffer_size);
  void release() noexcept;

  int fd_ = -1;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;
};

// Writes all of `data` to `fd`, retrying after EINTR; a write that accepts no
// bytes fails with "failed to write whole buffer".
Status write_fully(int fd, ByteView data);

}  // namespace drux
