// Raw string layout: varint byte length, then the bytes, per string, with no
// count (the chunk's row count gives it).
#include "drux_v2/string_codec.h"

namespace drux {
namespace {

Error raw_str_error(const char* what) { return data_error(std::string("raw string payload: ") + what); }

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
  if (count > data.size()) return raw_str_error("more strings than bytes");
  ByteReader in(data);
  std::vector<std::string> strings;
  strings.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint64_t length;
    ByteView bytes;
    if (!in.read_varint(length)) return raw_str_error("truncated or overlong length");
    if (!in.read_bytes(length, bytes)) return raw_str_error("string runs past the end");
    strings.emplace_back(as_text(bytes));
  }
  if (!in.at_end()) return raw_str_error("trailing bytes");
  return strings;
}

}  // namespace drux
