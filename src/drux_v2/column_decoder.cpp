// Column payloads back into cells, by column type and encoding tag.
//
// The payload's own bytes never say how many values it holds: the row count
// comes from the footer, and every decoder here requires the payload to end
// exactly where the last value ends. Before cells are reserved, the count is
// checked against what the payload can hold wherever each value costs at
// least one byte.
#include <string>
#include <utility>

#include "drux_v2/drux_reader.h"
#include "drux_v2/int_codecs.h"
#include "drux_v2/nested_codec.h"
#include "drux_v2/string_codec.h"

namespace drux {
namespace {

constexpr std::size_t kFloatPrefixSize = 2;  // marker, decimal places

bool is_int_encoding(std::uint8_t tag) {
  switch (static_cast<Encoding>(tag)) {
    case Encoding::RunLength:
    case Encoding::Delta:
    case Encoding::ConstantDelta:
    case Encoding::FrameOfReference: return true;
    default: return false;
  }
}

Result<std::vector<KVal>> decode_int_column(Encoding encoding, ByteView data, std::size_t rows) {
  auto ints = decode_ints(encoding, data, rows);
  if (!ints) return ints.error_value();
  std::vector<KVal> cells;
  cells.reserve(rows);
  for (std::int64_t v : ints.value()) cells.push_back(KVal::Int(v));
  return cells;
}

Result<std::vector<KVal>> decode_float_column(Encoding encoding, ByteView data, std::size_t rows) {
  DRUX_FAIL_IF(data.size() < kFloatPrefixSize || data[0] != kFloatMarker || data[1] != kFloatDecimals,
               "float payload does not open with the marker FE 04");
  auto ints = decode_ints(encoding, data.subspan(kFloatPrefixSize), rows);
  if (!ints) return ints.error_value();
  std::vector<KVal> cells;
  cells.reserve(rows);
  for (std::int64_t v : ints.value()) cells.push_back(KVal::Float(static_cast<double>(v) / kFloatScale));
  return cells;
}

Result<std::vector<KVal>> decode_bool_column(ByteView data, std::size_t rows) {
  const std::size_t full_bytes = rows / 8;
  const std::size_t tail_bits = rows % 8;
  DRUX_FAIL_IF(data.size() != full_bytes + (tail_bits != 0 ? 1 : 0),
               "boolean bitmap of " + std::to_string(data.size()) + " bytes for " + std::to_string(rows) + " rows");
  DRUX_FAIL_IF(tail_bits != 0 && (data[full_bytes] >> tail_bits) != 0,
               "boolean bitmap has bits set past the last row");
  std::vector<KVal> cells;
  cells.reserve(rows);
  for (std::size_t r = 0; r < rows; ++r) cells.push_back(KVal::Bool(((data[r / 8] >> (r % 8)) & 1) != 0));
  return cells;
}

Result<std::vector<KVal>> decode_str_column(ByteView data, std::size_t rows) {
  auto strings = decode_raw_str(data, rows);
  if (!strings) return strings.error_value();
  std::vector<KVal> cells;
  cells.reserve(rows);
  for (std::string& s : strings.value()) cells.push_back(KVal::Str(std::move(s)));
  return cells;
}

// Each cell of a bytes or nested column is one length-prefixed item.
bool read_item(ByteReader& in, ByteView& item) {
  std::uint64_t length;
  return in.read_varint(length) && in.read_bytes(length, item);
}

Result<std::vector<KVal>> decode_bytes_column(ByteView data, std::size_t rows) {
  DRUX_FAIL_IF(rows > data.size(), "bytes payload too short for " + std::to_string(rows) + " rows");
  ByteReader in(data);
  std::vector<KVal> cells;
  cells.reserve(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    ByteView item;
    DRUX_FAIL_IF(!read_item(in, item), "bytes payload ends inside row " + std::to_string(r));
    cells.push_back(KVal::Bytes(std::string(as_text(item))));
  }
  DRUX_FAIL_IF(!in.at_end(), "bytes payload has bytes after the last row");
  return cells;
}

Result<std::vector<KVal>> decode_nested_column(ByteView data, std::size_t rows) {
  DRUX_FAIL_IF(rows > data.size(), "nested payload too short for " + std::to_string(rows) + " rows");
  ByteReader in(data);
  std::vector<KVal> cells;
  cells.reserve(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    ByteView item;
    DRUX_FAIL_IF(!read_item(in, item), "nested payload ends inside row " + std::to_string(r));
    auto value = decode_nested_val(item);
    DRUX_FAIL_IF(!value, "row " + std::to_string(r) + ": " + value.error());
    cells.push_back(std::move(value).value());
  }
  DRUX_FAIL_IF(!in.at_end(), "nested payload has bytes after the last row");
  return cells;
}

}  // namespace

const char* col_type_name(ColType type) {
  switch (type) {
    case ColType::Int: return "integer";
    case ColType::Float: return "float";
    case ColType::Bool: return "boolean";
    case ColType::Str: return "string";
    case ColType::Bytes: return "bytes";
    case ColType::Object: return "object";
    case ColType::List: return "list";
    case ColType::Map: return "map";
  }
  return "unknown";
}

bool encoding_fits(ColType type, std::uint8_t tag) {
  switch (type) {
    case ColType::Int:
    case ColType::Float: return is_int_encoding(tag);
    case ColType::Bool: return tag == static_cast<std::uint8_t>(Encoding::Bitmap);
    case ColType::Str:
    case ColType::Bytes:
    case ColType::Object:
    case ColType::List:
    case ColType::Map: return tag == static_cast<std::uint8_t>(Encoding::Plain);
  }
  return false;
}

Result<std::vector<KVal>> decode_column_payload(ColType type, Encoding encoding, ByteView payload,
                                                std::size_t rows) {
  DRUX_FAIL_IF(!encoding_fits(type, static_cast<std::uint8_t>(encoding)),
               "encoding tag " + std::to_string(static_cast<unsigned>(encoding)) + " does not fit the column type (" +
                   col_type_name(type) + ")");
  switch (type) {
    case ColType::Int: return decode_int_column(encoding, payload, rows);
    case ColType::Float: return decode_float_column(encoding, payload, rows);
    case ColType::Bool: return decode_bool_column(payload, rows);
    case ColType::Str: return decode_str_column(payload, rows);
    case ColType::Bytes: return decode_bytes_column(payload, rows);
    case ColType::Object:
    case ColType::List:
    case ColType::Map: return decode_nested_column(payload, rows);
  }
  return data_error("unknown column type");
}

}  // namespace drux
