// The records of the DRUX v2 container, each a plain struct with its
// encoder and its checked decoder side by side, and its size derived from
// its fields. The writer, the reader and the tests all go through these, so
// a layout is spelled exactly once:
//
//   0    FileHeader (24 bytes): "DRUX", version u16, column count u16,
//        total rows u64, chunk count u32, rows per chunk u32
//   24   Preamble: creation time u64, 32 reserved zero bytes, L_s u32
//   68   schema block (SchemaEntry per column, compressed), L_d u64,
//        dictionary block
//   ...  column blocks: ColumnBlockPrefix (CRC-32 u32, length u64), block
//   F    footer block: FooterHead, a row count u32 per chunk, then a
//        FooterEntry per chunk and column; then the Trailer (L_f u64, F u64)
//
// Decoders read through ByteReader and refuse a record that runs short or
// holds a value out of range with a bad-data error; checks that need more
// than one record (does the footer fit the file, do the counts agree) are
// the reader's. Deliberately not here: compression of the blocks, the
// column payloads, and any I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "drux_v2/bytes.h"
#include "drux_v2/format.h"
#include "drux_v2/kval.h"
#include "drux_v2/result.h"

namespace drux {

inline constexpr std::array<std::uint8_t, 4> kMagic = {'D', 'R', 'U', 'X'};
inline constexpr std::uint16_t kFormatVersion = 2;

// ---- File header: offset 0 ---------------------------------------------------

struct FileHeader {
  std::uint16_t version = kFormatVersion;
  std::uint16_t column_count = 0;
  std::uint64_t total_rows = 0;      // 0 until finish() patches it
  std::uint32_t chunk_count = 0;     // 0 until finish() patches it
  std::uint32_t rows_per_chunk = 0;  // as given to begin(); 0 stays 0
};

// Where the two counts that finish() patches start: after magic, version
// and column count.
inline constexpr std::uint64_t kTotalRowsOffset =
    kMagic.size() + sizeof(FileHeader::version) + sizeof(FileHeader::column_count);
inline constexpr std::uint64_t kChunkCountOffset = kTotalRowsOffset + sizeof(FileHeader::total_rows);
inline constexpr std::uint64_t kFileHeaderSize =
    kChunkCountOffset + sizeof(FileHeader::chunk_count) + sizeof(FileHeader::rows_per_chunk);

inline constexpr std::uint64_t kMaxColumns = 0xFFFF;           // FileHeader::column_count
inline constexpr std::uint64_t kMaxRowsPerChunk = 0xFFFFFFFF;  // FileHeader::rows_per_chunk
inline constexpr std::uint64_t kMaxChunkCount = 0xFFFFFFFF;    // FileHeader::chunk_count

void put_file_header(ByteBuffer& out, const FileHeader& header);
// The counts that finish() writes over the header's, at kTotalRowsOffset.
void put_header_counts(ByteBuffer& out, std::uint64_t total_rows, std::uint32_t chunk_count);
// Refuses a wrong magic or version.
Status read_file_header(ByteReader& in, FileHeader& header);

// ---- Preamble: creation time, reserved bytes, schema length -----------------

struct Preamble {
  std::uint64_t created_unix = 0;   // whole seconds since 1970; 0 before then
  std::uint32_t schema_length = 0;  // L_s
};

inline constexpr std::uint64_t kReservedSize = 32;
inline constexpr std::uint64_t kSchemaLengthOffset = kFileHeaderSize + sizeof(Preamble::created_unix) + kReservedSize;
inline constexpr std::uint64_t kSchemaBlockOffset = kSchemaLengthOffset + sizeof(Preamble::schema_length);
inline constexpr std::uint64_t kPreambleSize = kSchemaBlockOffset - kFileHeaderSize;
// L_d, the dictionary block's length, is 8 bytes wide where L_s has 4.
inline constexpr std::uint64_t kDictionaryLengthSize = sizeof(std::uint64_t);
// Where the data would start with an empty schema and dictionary block.
inline constexpr std::uint64_t kMinDataOffset = kSchemaBlockOffset + kDictionaryLengthSize;

void put_preamble(ByteBuffer& out, const Preamble& preamble);
// Refuses reserved bytes that are not zero.
Status read_preamble(ByteReader& in, Preamble& preamble);
void put_dictionary_length(ByteBuffer& out, std::uint64_t length);
Status read_dictionary_length(ByteReader& in, std::uint64_t& length);

// The dictionary always has zero entries: its bytes are the varint 0.
inline constexpr std::array<std::uint8_t, 1> kEmptyDictionary = {0x00};

// ---- Schema: one entry per column, no count and no terminator -----------------

// Varint name length, name, type byte, encrypted flag (0 or 1).
void put_schema_entry(ByteBuffer& out, const KColumn& column);
// All `column_count` entries, which must fill `bytes` exactly; the keys of
// the columns are all zero (the file holds none).
Status read_schema(ByteView bytes, std::uint16_t column_count, std::vector<KColumn>& columns);

// ---- Column block prefix -------------------------------------------------------

struct ColumnBlockPrefix {
  std::uint32_t crc = 0;     // CRC-32 of the compressed block only
  std::uint64_t length = 0;  // of the compressed block that follows
};

inline constexpr std::uint64_t kColumnBlockOverhead =
    sizeof(ColumnBlockPrefix::crc) + sizeof(ColumnBlockPrefix::length);

void put_column_block_prefix(ByteBuffer& out, const ColumnBlockPrefix& prefix);
Status read_column_block_prefix(ByteReader& in, ColumnBlockPrefix& prefix);

// ---- Footer ---------------------------------------------------------------------

struct FooterHead {
  std::uint32_t chunk_count = 0;
  std::uint16_t column_count = 0;
};

inline constexpr std::uint64_t kFooterHeadSize = sizeof(FooterHead::chunk_count) + sizeof(FooterHead::column_count);
inline constexpr std::uint64_t kFooterRowCountSize = sizeof(std::uint32_t);

void put_footer_head(ByteBuffer& out, const FooterHead& head);
Status read_footer_head(ByteReader& in, FooterHead& head);
// The row count of each of `chunk_count` chunks, after the head. The caller
// checks first that the footer can hold them.
Status read_footer_row_counts(ByteReader& in, std::uint32_t chunk_count, std::vector<std::uint32_t>& rows);

// One footer entry: where a column block sits and what the writer knew of it.
struct FooterEntry {
  std::uint64_t offset = 0;  // of the block's prefix
  std::uint64_t length = 0;  // of the compressed block after the prefix
  Encoding encoding = Encoding::Plain;
  ColStats stats;
  BloomFilter bloom{};  // bit i is bit (i mod 8) of byte (i div 8) on disk
};

// The writer's name for the entry it keeps per chunk and column until finish().
using StreamChunkColMeta = FooterEntry;

inline constexpr std::uint64_t kBloomBytes = sizeof(BloomFilter);
// The fields of fixed width: offset, length, tag, null count, filter.
inline constexpr std::uint64_t kFooterEntryFixedSize = sizeof(FooterEntry::offset) + sizeof(FooterEntry::length) +
                                                       sizeof(FooterEntry::encoding) +
                                                       sizeof(ColStats::null_count) + kBloomBytes;
// Its four varints (min, max, the two text lengths) take a byte each at least.
inline constexpr std::uint64_t kMinFooterEntrySize = kFooterEntryFixedSize + 4;

std::size_t footer_entry_size(const FooterEntry& entry);
void put_footer_entry(ByteBuffer& out, const FooterEntry& entry);
// Takes the tag as it stands; whether it fits the column is the reader's check.
Status read_footer_entry(ByteReader& in, FooterEntry& entry);

// The footer bytes before compression: head, row counts, entries chunk by
// chunk and, within a chunk, column by column.
ByteBuffer footer_bytes(std::uint16_t column_count, std::span<const std::uint32_t> chunk_rows,
                        std::span<const std::vector<FooterEntry>> chunks);

// ---- Trailer: the last 16 bytes ----------------------------------------------------

struct Trailer {
  std::uint64_t footer_length = 0;  // L_f
  std::uint64_t footer_offset = 0;  // F
};

inline constexpr std::uint64_t kTrailerSize = sizeof(Trailer::footer_length) + sizeof(Trailer::footer_offset);
inline constexpr std::uint64_t kMinFinishedSize = kMinDataOffset + kTrailerSize;

void put_trailer(ByteBuffer& out, const Trailer& trailer);
Status read_trailer(ByteReader& in, Trailer& trailer);

}  // namespace drux
