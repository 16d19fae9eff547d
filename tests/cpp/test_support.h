// Helpers shared by the C++ tests: byte literals, deterministic blocks, a
// scratch directory, a scoped time zone, and the checks every block coder
// (compress, decompress) pair must pass on malformed or huge input. Every
// generated block comes from a fixed seed, so a failure repeats.
// Deliberately not here: helpers that only one test file uses, which stay
// in that file.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <string>

#include "drux_v2/bytes.h"
#include "drux_v2/result.h"

namespace drux::test {

// ---- Byte literals -----------------------------------------------------------

// "FF 03 61" -> {0xFF, 0x03, 0x61}.
inline ByteBuffer hex(const std::string& text) {
  ByteBuffer out;
  std::istringstream in(text);
  unsigned byte;
  while (in >> std::hex >> byte) out.push_back(static_cast<std::uint8_t>(byte));
  return out;
}

inline ByteBuffer bytes_of(const std::string& text) { return ByteBuffer(text.begin(), text.end()); }

inline ByteBuffer concat(std::initializer_list<ByteBuffer> parts) {
  ByteBuffer out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline std::string repeat(const std::string& unit, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += unit;
  return out;
}

// ---- Deterministic blocks ----------------------------------------------------

// `count` bytes drawn uniformly from the values 0 .. alphabet-1 (or from
// `first` on), from a fixed seed.
inline ByteBuffer random_bytes(std::size_t count, unsigned alphabet, unsigned seed, std::uint8_t first = 0) {
  std::mt19937 rng(seed);
  ByteBuffer out(count);
  for (auto& v : out) v = static_cast<std::uint8_t>(first + rng() % alphabet);
  return out;
}

// Geometric-like skew: value k * step with probability about 2^-(k+1).
inline ByteBuffer skewed_bytes(std::size_t count, unsigned seed, unsigned step) {
  std::mt19937 rng(seed);
  ByteBuffer out(count);
  for (auto& v : out) v = static_cast<std::uint8_t>(static_cast<unsigned>(__builtin_ctz(rng() | 0x80000000u)) * step);
  return out;
}

// CSV-like text cut to `size` bytes.
inline ByteBuffer text_block(std::size_t size) {
  const std::string words = "id,name,city,amount\n42,Alice,Paris,19.95\n43,Bob,Lyon,7.00\n44,Carol,Nice,120.5\n";
  ByteBuffer block;
  while (block.size() < size) block.insert(block.end(), words.begin(), words.end());
  block.resize(size);
  return block;
}

// Every byte value in ascending order, `rounds` times over.
inline ByteBuffer all_values_block(int rounds) {
  ByteBuffer block;
  for (int round = 0; round < rounds; ++round) {
    for (int v = 0; v < 256; ++v) block.push_back(static_cast<std::uint8_t>(v));
  }
  return block;
}

// ---- Files and environment ---------------------------------------------------

// A fresh directory under the system's temporary folder, removed with all it
// holds (even where a test took away its permissions) at the end of scope.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "drux_test_XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "cannot create a directory from " << pattern;
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& root() const { return path_; }
  std::string path(const std::string& name) const { return (path_ / name).string(); }
  // Writes `bytes` to the file `name` and returns its path.
  std::string file(const std::string& name, const std::string& bytes) const {
    std::ofstream(path_ / name, std::ios::binary) << bytes;
    return path(name);
  }

 private:
  std::filesystem::path path_;
};

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Sets TZ for the length of a test and puts the old value back.
// Whole seconds of the clock the code under test reads; time() reads a
// coarser clock that can lag a second behind it.
inline std::time_t realtime_seconds() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec;
}

class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = ::getenv("TZ")) saved_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (saved_) {
      ::setenv("TZ", saved_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> saved_;
};

// ---- Standard error ------------------------------------------------------------

// Everything written to fd 2 between construction and text().
class StderrCapture {
 public:
  explicit StderrCapture(const std::string& path) : path_(path) {
    std::fflush(stderr);
    saved_ = ::dup(STDERR_FILENO);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
  ~StderrCapture() { restore(); }
  std::string text() {
    restore();
    return slurp(path_);
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    saved_ = -1;
  }
  std::string path_;
  int saved_ = -1;
};

// ---- Checks shared by the block coders -----------------------------------------

struct BlockCoder {
  ByteBuffer (*compress)(ByteView block);
  Result<ByteBuffer> (*decompress)(ByteView data, std::size_t max_output);
};

inline void expect_round_trip(const BlockCoder& coder, const ByteBuffer& block, const std::string& name) {
  const ByteBuffer out = coder.compress(block);
  auto decoded = coder.decompress(out, block.size());
  ASSERT_TRUE(decoded.ok()) << name << ": " << decoded.error();
  EXPECT_EQ(decoded.value(), block) << name;
}

inline void expect_empty_input_decodes_to_empty_block(const BlockCoder& coder) {
  auto decoded = coder.decompress({}, 0);
  ASSERT_TRUE(decoded.ok());
  EXPECT_TRUE(decoded.value().empty());
}

// A compressed block written as hex that the decoder must refuse as bad data.
struct MalformedBlock {
  const char* name;
  std::string data;
  std::size_t max_output;
};

inline void expect_refused_as_bad_data(const BlockCoder& coder, const MalformedBlock& block) {
  auto decoded = coder.decompress(hex(block.data), block.max_output);
  ASSERT_FALSE(decoded.ok()) << block.name;
  EXPECT_EQ(decoded.error_kind(), ErrorKind::Data) << block.name;
}

inline void expect_every_proper_prefix_refused(const BlockCoder& coder, const ByteBuffer& block) {
  const ByteBuffer out = coder.compress(block);
  for (std::size_t cut = 1; cut < out.size(); ++cut) {
    auto decoded = coder.decompress(ByteView(out).first(cut), block.size());
    EXPECT_FALSE(decoded.ok()) << "prefix of " << cut << " bytes";
  }
}

// Flipped bits anywhere must either be refused or decode to a block no
// longer than the limit; the sanitizer build checks that no read strays.
inline void expect_corruption_refused_or_within(const BlockCoder& coder, const ByteBuffer& block,
                                                std::size_t max_output) {
  const ByteBuffer valid = coder.compress(block);
  const std::uint8_t flips[] = {0x01, 0x10, 0x80, 0xFF};
  int refused = 0;
  for (std::size_t at = 0; at < valid.size(); ++at) {
    for (std::uint8_t flip : flips) {
      ByteBuffer corrupted = valid;
      corrupted[at] ^= flip;
      auto decoded = coder.decompress(corrupted, max_output);
      if (!decoded.ok()) {
        ++refused;
        continue;
      }
      EXPECT_LE(decoded.value().size(), max_output) << "byte " << at;
    }
  }
  EXPECT_GT(refused, 0);
}

// The block is anonymous address space reserved without backing memory.
inline void expect_empty_output_for_4gib_block(const BlockCoder& coder) {
  const std::size_t size = std::size_t{1} << 32;
  void* mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapped == MAP_FAILED) GTEST_SKIP() << "cannot reserve 4 GiB of address space";
  const ByteView block(static_cast<const std::uint8_t*>(mapped), size);
  EXPECT_TRUE(coder.compress(block).empty());
  munmap(mapped, size);
}

}  // namespace drux::test
