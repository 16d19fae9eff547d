// The reader on an arbitrary file: opening it, reading every column of
// every chunk and verifying every block give cells or a clear error, never a
// crash. The reader runs under limits (the user's defaults scaled down so a
// run does many executions a second): a file that makes it spend more than
// they allow, a bomb the bounds miss, passes the harness's RSS limit of
// 2 GiB and is reported. The input is written to a private file first,
// since the reader works on paths. Deliberately not here: the column
// decoders alone (column_decode) and the blocks alone (block_decode).
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "drux_v2/drux_reader.h"
#include "fuzz_input.h"

using namespace drux;

static const std::string& scratch_path() {
  static const std::string path = "/tmp/drux_fuzz_reader_" + std::to_string(getpid()) + ".drux";
  return path;
}

static bool write_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = true;
  while (size > 0 && ok) {
    const ssize_t n = ::write(fd, data, size);
    ok = n > 0;
    if (ok) {
      data += n;
      size -= static_cast<std::size_t>(n);
    }
  }
  ::close(fd);
  return ok;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!write_file(scratch_path(), data, size)) return 0;
  static const ReaderLimits limits = [] {
    ReaderLimits l;
    l.max_block_bytes = fuzz::kMaxOutput;
    l.max_metadata_bytes = fuzz::kMaxOutput;
    l.max_chunk_rows = 1u << 20;
    l.max_chunks = 1u << 16;
    return l;
  }();
  auto reader = DruxReader::open(scratch_path(), limits);
  if (!reader.ok()) return 0;
  const DruxMetadata& meta = reader.value().metadata();
  const AesKey zero_key{};
  for (std::uint32_t chunk = 0; chunk < meta.chunks.size(); ++chunk) {
    for (std::size_t column = 0; column < meta.columns.size(); ++column) {
      auto cells = reader.value().read_column_chunk(chunk, column, &zero_key);
      if (cells.ok() && cells.value().size() != meta.chunk_rows[chunk]) __builtin_trap();
      // A block whose cells decode must also come through the footer check
      // without a crash, whatever it finds.
      if (cells.ok()) (void)reader.value().verify_chunk(chunk, column, &zero_key);
    }
  }
  return 0;
}
