// Nested value encoding: a tag byte, then the payload; containers prefix
// every child with the length of its complete encoding.
//
// Both directions recurse once per container level and stop at
// kMaxNestingDepth, so neither an in-memory value nor hostile bytes can run
// the stack out. The decoder holds each child to exactly its length prefix
// and sizes nothing from a count before the remaining bytes justify it.
#include "drux_v2/nested_codec.h"

#include <algorithm>
#include <bit>
#include <string>

namespace drux {
namespace {

// Tag bytes on disk; deliberately not the in-memory KTag numbering.
enum NestedTag : std::uint8_t {
  kTagNull = 0x00,
  kTagInt = 0x01,
  kTagFloat = 0x02,
  kTagStr = 0x03,
  kTagBool = 0x04,
  kTagBytes = 0x05,
  kTagObject = 0x06,
  kTagList = 0x07,
  kTagMap = 0x08,
};

// Fewest bytes one entry of each container can take: a one-byte length
// prefix and a one-byte child per child, plus a one-byte name length.
constexpr std::size_t kMinListItemBytes = 2;
constexpr std::size_t kMinObjectFieldBytes = 3;
constexpr std::size_t kMinMapPairBytes = 4;

bool is_container(const KVal& v) {
  return v.tag() == KTag::Object || v.tag() == KTag::List || v.tag() == KTag::Map;
}

// Depth of `v`, or `budget` + 1 as soon as it is known to exceed `budget`.
int depth_within(const KVal& v, int budget) {
  if (!is_container(v)) return 0;
  if (budget == 0) return 1;
  int deepest = 0;
  auto visit = [&](const KVal& child) {
    deepest = std::max(deepest, depth_within(child, budget - 1));
    return deepest < budget;  // keep going while still within the bound
  };
  switch (v.tag()) {
    case KTag::Object:
      for (const auto& [name, child] : v.object_value()) if (!visit(child)) break;
      break;
    case KTag::List:
      for (const KVal& child : v.list_value()) if (!visit(child)) break;
      break;
    default:
      for (const auto& [key, child] : v.map_value()) {
        if (!visit(key) || !visit(child)) break;
      }
      break;
  }
  return 1 + deepest;
}

void put_text(ByteBuffer& out, std::string_view text) {
  put_varint(out, text.size());
  put_bytes(out, as_bytes(text));
}

void encode_into(ByteBuffer& out, const KVal& v, int levels_left);

void put_child(ByteBuffer& out, const KVal& child, int levels_left) {
  ByteBuffer encoded;
  encode_into(encoded, child, levels_left);
  put_varint(out, encoded.size());
  put_bytes(out, encoded);
}

void encode_into(ByteBuffer& out, const KVal& v, int levels_left) {
  if (is_container(v) && levels_left == 0) {
    put_u8(out, kTagNull);  // beyond the bound: callers refuse such values first
    return;
  }
  switch (v.tag()) {
    case KTag::Null:
      put_u8(out, kTagNull);
      break;
    case KTag::Int:
      put_u8(out, kTagInt);
      put_svarint(out, v.int_value());
      break;
    case KTag::Float:
      put_u8(out, kTagFloat);
      put_u64_le(out, std::bit_cast<std::uint64_t>(v.float_value()));
      break;
    case KTag::Str:
      put_u8(out, kTagStr);
      put_text(out, v.str_value());
      break;
    case KTag::Bool:
      put_u8(out, kTagBool);
      put_u8(out, v.bool_value() ? 1 : 0);
      break;
    case KTag::Bytes:
      put_u8(out, kTagBytes);
      put_text(out, v.bytes_value());
      break;
    case KTag::Object:
      put_u8(out, kTagObject);
      put_varint(out, v.object_value().size());
      for (const auto& [name, child] : v.object_value()) {
        put_text(out, name);
        put_child(out, child, levels_left - 1);
      }
      break;
    case KTag::List:
      put_u8(out, kTagList);
      put_varint(out, v.list_value().size());
      for (const KVal& child : v.list_value()) put_child(out, child, levels_left - 1);
      break;
    case KTag::Map:
      put_u8(out, kTagMap);
      put_varint(out, v.map_value().size());
      for (const auto& [key, child] : v.map_value()) {
        put_child(out, key, levels_left - 1);
        put_child(out, child, levels_left - 1);
      }
      break;
  }
}

// ---- Decoding ----------------------------------------------------------------

std::string nested_message(const std::string& what) { return "nested value: " + what; }

Result<KVal> decode_value(ByteReader& in, int levels_left);

// A length-prefixed child: its encoding must fill its prefix exactly.
Result<KVal> decode_child(ByteReader& in, int levels_left) {
  std::uint64_t length;
  ByteView bytes;
  DRUX_FAIL_IF(!in.read_varint(length), nested_message("truncated or overlong child length"));
  DRUX_FAIL_IF(!in.read_bytes(length, bytes), nested_message("child runs past the end"));
  ByteReader child_in(bytes);
  Result<KVal> child = decode_value(child_in, levels_left);
  DRUX_FAIL_IF(child.ok() && !child_in.at_end(), nested_message("child shorter than its length prefix"));
  return child;
}

Result<std::string> decode_text(ByteReader& in) {
  std::uint64_t length;
  ByteView bytes;
  DRUX_FAIL_IF(!in.read_varint(length), nested_message("truncated or overlong length"));
  DRUX_FAIL_IF(!in.read_bytes(length, bytes), nested_message("text runs past the end"));
  return std::string(as_text(bytes));
}

Result<std::uint64_t> decode_count(ByteReader& in, std::size_t min_entry_bytes) {
  std::uint64_t count;
  DRUX_FAIL_IF(!in.read_varint(count), nested_message("truncated or overlong count"));
  DRUX_FAIL_IF(count > in.remaining() / min_entry_bytes, nested_message("more entries than the input can hold"));
  return count;
}

Result<KVal> decode_object(ByteReader& in, int levels_left) {
  Result<std::uint64_t> count = decode_count(in, kMinObjectFieldBytes);
  if (!count) return count.error_value();
  KObject fields;
  fields.reserve(static_cast<std::size_t>(count.value()));
  for (std::uint64_t i = 0; i < count.value(); ++i) {
    Result<std::string> name = decode_text(in);
    if (!name) return name.error_value();
    Result<KVal> child = decode_child(in, levels_left - 1);
    if (!child) return child.error_value();
    fields.emplace_back(std::move(name.value()), std::move(child.value()));
  }
  return KVal::Object(std::move(fields));
}

Result<KVal> decode_list(ByteReader& in, int levels_left) {
  Result<std::uint64_t> count = decode_count(in, kMinListItemBytes);
  if (!count) return count.error_value();
  KList items;
  items.reserve(static_cast<std::size_t>(count.value()));
  for (std::uint64_t i = 0; i < count.value(); ++i) {
    Result<KVal> child = decode_child(in, levels_left - 1);
    if (!child) return child.error_value();
    items.push_back(std::move(child.value()));
  }
  return KVal::List(std::move(items));
}

Result<KVal> decode_map(ByteReader& in, int levels_left) {
  Result<std::uint64_t> count = decode_count(in, kMinMapPairBytes);
  if (!count) return count.error_value();
  KMap pairs;
  pairs.reserve(static_cast<std::size_t>(count.value()));
  for (std::uint64_t i = 0; i < count.value(); ++i) {
    Result<KVal> key = decode_child(in, levels_left - 1);
    if (!key) return key.error_value();
    Result<KVal> child = decode_child(in, levels_left - 1);
    if (!child) return child.error_value();
    pairs.emplace_back(std::move(key.value()), std::move(child.value()));
  }
  return KVal::Map(std::move(pairs));
}

Result<KVal> decode_value(ByteReader& in, int levels_left) {
  std::uint8_t tag;
  DRUX_FAIL_IF(!in.read_u8(tag), nested_message("missing tag"));
  switch (tag) {
    case kTagNull:
      return KVal::Null();
    case kTagInt: {
      std::int64_t v;
      DRUX_FAIL_IF(!in.read_svarint(v), nested_message("truncated or overlong integer"));
      return KVal::Int(v);
    }
    case kTagFloat: {
      std::uint64_t bits;
      DRUX_FAIL_IF(!in.read_u64_le(bits), nested_message("truncated float"));
      return KVal::Float(std::bit_cast<double>(bits));
    }
    case kTagStr:
    case kTagBytes: {
      Result<std::string> text = decode_text(in);
      if (!text) return text.error_value();
      return tag == kTagStr ? KVal::Str(std::move(text.value())) : KVal::Bytes(std::move(text.value()));
    }
    case kTagBool: {
      std::uint8_t b;
      DRUX_FAIL_IF(!in.read_u8(b), nested_message("truncated boolean"));
      DRUX_FAIL_IF(b > 1, nested_message("boolean byte is neither 0 nor 1"));
      return KVal::Bool(b == 1);
    }
    case kTagObject:
    case kTagList:
    case kTagMap:
      DRUX_FAIL_IF(levels_left == 0,
                   nested_message("nested deeper than " + std::to_string(kMaxNestingDepth) + " levels"));
      if (tag == kTagObject) return decode_object(in, levels_left);
      if (tag == kTagList) return decode_list(in, levels_left);
      return decode_map(in, levels_left);
    default:
      return data_error(nested_message("unknown tag " + std::to_string(tag)));
  }
}

}  // namespace

int nesting_depth(const KVal& value) { return depth_within(value, kMaxNestingDepth); }

ByteBuffer encode_nested_val(const KVal& value) {
  ByteBuffer out;
  encode_into(out, value, kMaxNestingDepth);
  return out;
}

Result<KVal> decode_nested_val(ByteView data) {
  ByteReader in(data);
  Result<KVal> value = decode_value(in, kMaxNestingDepth);
  DRUX_FAIL_IF(value.ok() && !in.at_end(), nested_message("trailing bytes"));
  return value;
}

}  // namespace drux
