// Encoders and checked decoders of the container's records; see container.h.
//
// Each encoder is the record's fields in order as put_* calls, and its
// decoder the same fields as ByteReader reads, so the two can be compared
// line by line. A decoder refuses a short record or a field out of range
// with DRUX_FAIL_IF and never allocates from a number it has not checked.
// Deliberately not here: checks that relate one record to another or to the
// file's size (the reader's).
#include "drux_v2/container.h"

#include <algorithm>
#include <string>

#include "drux_v2/utf8_check.h"

namespace drux {
namespace {

std::string str(std::uint64_t v) { return std::to_string(v); }

}  // namespace

// ---- File header ---------------------------------------------------------------

void put_file_header(ByteBuffer& out, const FileHeader& header) {
  for (std::uint8_t byte : kMagic) put_u8(out, byte);
  put_u16_le(out, header.version);
  put_u16_le(out, header.column_count);
  put_header_counts(out, header.total_rows, header.chunk_count);
  put_u32_le(out, header.rows_per_chunk);
}

void put_header_counts(ByteBuffer& out, std::uint64_t total_rows, std::uint32_t chunk_count) {
  put_u64_le(out, total_rows);
  put_u32_le(out, chunk_count);
}

Status read_file_header(ByteReader& in, FileHeader& header) {
  ByteView magic;
  DRUX_FAIL_IF(!in.read_bytes(kMagic.size(), magic) || !std::equal(magic.begin(), magic.end(), kMagic.begin()),
               "not a DRUX file: the first four bytes are not \"DRUX\"");
  DRUX_FAIL_IF(!in.read_u16_le(header.version), "not a DRUX file: the header is cut short");
  DRUX_FAIL_IF(header.version != kFormatVersion,
               "unsupported DRUX version " + str(header.version) + " (this reader reads version 2)");
  DRUX_FAIL_IF(!in.read_u16_le(header.column_count) || !in.read_u64_le(header.total_rows) ||
                   !in.read_u32_le(header.chunk_count) || !in.read_u32_le(header.rows_per_chunk),
               "not a DRUX file: the header is cut short");
  return {};
}

// ---- Preamble -----------------------------------------------------------------------

void put_preamble(ByteBuffer& out, const Preamble& preamble) {
  put_u64_le(out, preamble.created_unix);
  out.resize(out.size() + kReservedSize, 0);
  put_u32_le(out, preamble.schema_length);
}

Status read_preamble(ByteReader& in, Preamble& preamble) {
  ByteView reserved;
  DRUX_FAIL_IF(!in.read_u64_le(preamble.created_unix) || !in.read_bytes(kReservedSize, reserved) ||
                   !in.read_u32_le(preamble.schema_length),
               "corrupt DRUX header: the preamble is cut short");
  DRUX_FAIL_IF(std::any_of(reserved.begin(), reserved.end(), [](std::uint8_t b) { return b != 0; }),
               "corrupt DRUX header: the reserved bytes are not zero");
  return {};
}

void put_dictionary_length(ByteBuffer& out, std::uint64_t length) { put_u64_le(out, length); }

Status read_dictionary_length(ByteReader& in, std::uint64_t& length) {
  DRUX_FAIL_IF(!in.read_u64_le(length), "dictionary length field is cut short");
  return {};
}

// ---- Schema ---------------------------------------------------------------------------

void put_schema_entry(ByteBuffer& out, const KColumn& column) {
  put_varint(out, column.name.size());
  put_bytes(out, as_bytes(column.name));
  put_u8(out, static_cast<std::uint8_t>(column.col_type));
  put_u8(out, column.encrypted ? 1 : 0);
}

Status read_schema(ByteView bytes, std::uint16_t column_count, std::vector<KColumn>& columns) {
  ByteReader in(bytes);
  // Every entry takes three bytes at least, so the reservation is bounded by
  // the block as well as by the header's count.
  columns.reserve(std::min<std::size_t>(column_count, bytes.size()));
  for (std::size_t c = 0; c < column_count; ++c) {
    std::uint64_t name_length;
    ByteView name;
    std::uint8_t type, encrypted;
    DRUX_FAIL_IF(!in.read_varint(name_length) || !in.read_bytes(name_length, name) || !in.read_u8(type) ||
                     !in.read_u8(encrypted),
                 "schema: column " + str(c) + " is cut short (the header declares " + str(column_count) +
                     " columns)");
    // A name is text: one that is not UTF-8 is damage, not a name.
    DRUX_FAIL_IF(!is_valid_utf8(reinterpret_cast<const char*>(name.data()), name.size()),
                 "schema: the name of column " + str(c) + " is not UTF-8");
    auto named = [&] { return "schema: column " + str(c) + " ('" + std::string(as_text(name)) + "')"; };
    DRUX_FAIL_IF(!is_col_type(type), named() + " has unknown type " + str(type));
    DRUX_FAIL_IF(encrypted > 1, named() + " has encrypted flag " + str(encrypted));
    columns.push_back(make_column(std::string(as_text(name)), static_cast<ColType>(type), encrypted == 1));
  }
  DRUX_FAIL_IF(!in.at_end(), "schema: " + str(in.remaining()) + " bytes left after the " + str(column_count) +
                                 " columns the header declares");
  return {};
}

// ---- Column block prefix ---------------------------------------------------------------

void put_column_block_prefix(ByteBuffer& out, const ColumnBlockPrefix& prefix) {
  put_u32_le(out, prefix.crc);
  put_u64_le(out, prefix.length);
}

Status read_column_block_prefix(ByteReader& in, ColumnBlockPrefix& prefix) {
  DRUX_FAIL_IF(!in.read_u32_le(prefix.crc) || !in.read_u64_le(prefix.length), "column block prefix is cut short");
  return {};
}

// ---- Footer ------------------------------------------------------------------------------

void put_footer_head(ByteBuffer& out, const FooterHead& head) {
  put_u32_le(out, head.chunk_count);
  put_u16_le(out, head.column_count);
}

Status read_footer_head(ByteReader& in, FooterHead& head) {
  DRUX_FAIL_IF(!in.read_u32_le(head.chunk_count) || !in.read_u16_le(head.column_count), "footer is cut short");
  return {};
}

Status read_footer_row_counts(ByteReader& in, std::uint32_t chunk_count, std::vector<std::uint32_t>& rows) {
  DRUX_FAIL_IF(in.remaining() / kFooterRowCountSize < chunk_count, "footer is cut short");
  rows.resize(chunk_count);
  for (std::uint32_t& count : rows) DRUX_FAIL_IF(!in.read_u32_le(count), "footer is cut short");
  return {};
}

std::size_t footer_entry_size(const FooterEntry& entry) {
  const ColStats& s = entry.stats;
  return kFooterEntryFixedSize + svarint_size(s.min_int) + svarint_size(s.max_int) + varint_size(s.min_str.size()) +
         s.min_str.size() + varint_size(s.max_str.size()) + s.max_str.size();
}

void put_footer_entry(ByteBuffer& out, const FooterEntry& entry) {
  put_u64_le(out, entry.offset);
  put_u64_le(out, entry.length);
  put_u8(out, static_cast<std::uint8_t>(entry.encoding));
  put_u32_le(out, entry.stats.null_count);
  put_svarint(out, entry.stats.min_int);
  put_svarint(out, entry.stats.max_int);
  put_varint(out, entry.stats.min_str.size());
  put_bytes(out, as_bytes(entry.stats.min_str));
  put_varint(out, entry.stats.max_str.size());
  put_bytes(out, as_bytes(entry.stats.max_str));
  for (std::uint64_t word : entry.bloom) put_u64_le(out, word);
}

Status read_footer_entry(ByteReader& in, FooterEntry& entry) {
  std::uint8_t tag;
  ByteView min_str, max_str, bloom;
  std::uint64_t min_length, max_length;
  DRUX_FAIL_IF(!in.read_u64_le(entry.offset) || !in.read_u64_le(entry.length) || !in.read_u8(tag) ||
                   !in.read_u32_le(entry.stats.null_count) || !in.read_svarint(entry.stats.min_int) ||
                   !in.read_svarint(entry.stats.max_int) || !in.read_varint(min_length) ||
                   !in.read_bytes(min_length, min_str) || !in.read_varint(max_length) ||
                   !in.read_bytes(max_length, max_str) || !in.read_bytes(kBloomBytes, bloom),
               "footer entry is cut short");
  entry.encoding = static_cast<Encoding>(tag);
  entry.stats.min_str.assign(as_text(min_str));
  entry.stats.max_str.assign(as_text(max_str));
  for (std::size_t w = 0; w < entry.bloom.size(); ++w) entry.bloom[w] = load_u64_le(bloom.data() + 8 * w);
  return {};
}

ByteBuffer footer_bytes(std::uint16_t column_count, std::span<const std::uint32_t> chunk_rows,
                        std::span<const std::vector<FooterEntry>> chunks) {
  std::size_t size = kFooterHeadSize + kFooterRowCountSize * chunk_rows.size();
  for (const auto& entries : chunks) {
    for (const FooterEntry& entry : entries) size += footer_entry_size(entry);
  }
  ByteBuffer out;
  out.reserve(size);
  put_footer_head(out, {static_cast<std::uint32_t>(chunk_rows.size()), column_count});
  for (std::uint32_t rows : chunk_rows) put_u32_le(out, rows);
  for (const auto& entries : chunks) {
    for (const FooterEntry& entry : entries) put_footer_entry(out, entry);
  }
  return out;
}

// ---- Trailer ------------------------------------------------------------------------------

void put_trailer(ByteBuffer& out, const Trailer& trailer) {
  put_u64_le(out, trailer.footer_length);
  put_u64_le(out, trailer.footer_offset);
}

Status read_trailer(ByteReader& in, Trailer& trailer) {
  DRUX_FAIL_IF(!in.read_u64_le(trailer.footer_length) || !in.read_u64_le(trailer.footer_offset),
               "truncated DRUX file: the trailer is cut short");
  return {};
}

}  // namespace drux
