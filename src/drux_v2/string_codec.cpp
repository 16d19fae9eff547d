// Raw string layout: varint byte length, then the bytes, per string, with no
// count (the chunk's row count gives it).
//
// Deliberately not here: dictionaries or prefix sharing between strings.
#include "drux_v2/string_codec.h"

namespace drux {
namespace {

std::string raw_str_message(const char* what) { return std::string("raw string payload: ") + what; }

}  // namespace

ByteBuffer encode_raw_str(std::span<const std::string_view> strings) {
  std::size_t total = 0;
  for (std::string_view s : strings) total += varint_size(s.size()) + s.size();
  ByteBuffer out;
  out.reserve(total);
  for (std::string_view s : strings) append_raw_str(out, s);
  return out;
}

void append_raw_str(ByteBuffer& out, std::string_view s) {
  put_varint(out, s.size());
  put_bytes(out, as_bytes(s));
}

Result<std::vector<std::string>> decode_raw_str(ByteView data, std::size_t count) {
  // Every string costs at least its one-byte length.
  DRUX_FAIL_IF(count > data.size(), raw_str_message("more strings than bytes"));
  ByteReader in(data);
  std::vector<std::string> strings;
  strings.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint64_t length;
    ByteView bytes;
    DRUX_FAIL_IF(!in.read_varint(length), raw_str_message("truncated or overlong length"));
    DRUX_FAIL_IF(!in.read_bytes(length, bytes), raw_str_message("string runs past the end"));
    strings.emplace_back(as_text(bytes));
  }
  DRUX_FAIL_IF(!in.at_end(), raw_str_message("trailing bytes"));
  return strings;
}

}  // namespace drux
