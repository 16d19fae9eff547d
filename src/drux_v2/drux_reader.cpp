// Opening a DRUX v2 file and fetching its column blocks.
//
// The metadata is read front and back: header, trailer, schema, dictionary,
// footer, each length checked against the region it must fit before it is
// read. Column blocks are fetched on demand with pread; their decoded size is
// bounded by what their column type can need for the chunk's row count.
//
// Every record is decoded by container.h; what is here is how the records
// relate to each other and to the file. Deliberately not here: any repair of
// a damaged file, or reading an unfinished one.
#include "drux_v2/drux_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <limits>
#include <string>
#include <utility>

#include "drux_v2/aes256.h"
#include "drux_v2/block_compressor.h"
#include "drux_v2/column_block.h"
#include "drux_v2/crc32.h"
#include "drux_v2/footer_check.h"
#include "drux_v2/system_error.h"
#include "drux_v2/utf8_check.h"

namespace drux {
namespace {

// Widest integer payload: run-length with one run per row, each a ten-byte
// length and a ten-byte value, after a ten-byte run count and the float prefix.
constexpr std::uint64_t kMaxIntBytesPerRow = 20;
constexpr std::uint64_t kMaxIntPayloadOverhead = 12;
// A schema entry around its name: the name's length varint, type and flag.
constexpr std::uint64_t kMaxSchemaEntryOverhead = kMaxVarintBytes + 2;

std::string str(std::uint64_t v) { return std::to_string(v); }

Error io_error(int errnum) { return Error{system_error_text(errnum), ErrorKind::Io}; }

Error with_context(const std::string& context, const Error& error) {
  return Error{context + ": " + error.message, error.kind};
}

// Closes a descriptor unless released into a reader.
struct FdGuard {
  int fd;
  ~FdGuard() {
    if (fd >= 0) ::close(fd);
  }
  int release() { return std::exchange(fd, -1); }
};

Status pread_fully(int fd, std::uint64_t offset, std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return io_error(errno);
    }
    DRUX_FAIL_IF(n == 0, "file ends at byte " + str(offset + done) + ", before the data it indexes");
    done += static_cast<std::size_t>(n);
  }
  return {};
}

Result<ByteBuffer> read_at(int fd, std::uint64_t offset, std::uint64_t length) {
  ByteBuffer buffer(static_cast<std::size_t>(length));
  if (Status s = pread_fully(fd, offset, buffer); !s) return s.error_value();
  return buffer;
}

// "... more than ReaderLimits.max_chunks (1048576) allows; raise max_chunks
// to read this file".
Error limit_error(const std::string& what, const char* field, std::uint64_t value) {
  return data_error(what + ", more than ReaderLimits." + field + " (" + str(value) + ") allows; raise " + field +
                    " to read this file");
}

// The cap on one decoded block: the smaller of what the file's counts allow
// and a reader limit, and what to say when a block passes it.
struct DecodeCap {
  std::uint64_t derived;  // from the file's counts and sizes
  std::uint64_t limit;    // the reader limit
  const char* field;      // the limit's name in ReaderLimits

  std::size_t bytes() const { return static_cast<std::size_t>(std::min(derived, limit)); }
  std::string explain() const {
    if (derived < limit) return "the " + str(derived) + " bytes the file's counts allow";
    return "ReaderLimits." + std::string(field) + " (" + str(limit) + "); raise " + field + " to read this file";
  }
};

bool passes_size_limit(const std::string& message) {
  return message.find("limit") != std::string::npos || message.find("allowed output") != std::string::npos;
}

Result<ByteBuffer> decompress(ByteView block, const DecodeCap& cap, const std::string& what) {
  auto bytes = decompress_block(block, cap.bytes());
  if (bytes) return bytes;
  if (passes_size_limit(bytes.error())) {
    return data_error(what + ": " + bytes.error() + ": it decodes to more than " + cap.explain());
  }
  return data_error(what + ": " + bytes.error());
}

// ---- Header and trailer ------------------------------------------------------

Status parse_header(ByteView bytes, DruxFileInfo& info) {
  ByteReader in(bytes);
  FileHeader header;
  if (Status s = read_file_header(in, header); !s) return s;
  info.version = header.version;
  info.column_count = header.column_count;
  info.total_rows = header.total_rows;
  info.chunk_count = header.chunk_count;
  info.rows_per_chunk = header.rows_per_chunk;
  return {};
}

// F and L_f from the last 16 bytes: the footer must end where the trailer
// starts and begin after the smallest possible preamble.
Status locate_footer(int fd, DruxFileInfo& info) {
  const bool unfinished_header = info.total_rows == 0 && info.chunk_count == 0;
  const std::string where = "a file of " + str(info.file_size) + " bytes";
  if (info.file_size < kMinFinishedSize) {
    DRUX_FAIL_IF(unfinished_header, "not a finished DRUX file: no footer or trailer in " + where);
    return data_error("truncated DRUX file: " + where + " cannot hold the header and the trailer");
  }
  auto trailer = read_at(fd, info.file_size - kTrailerSize, kTrailerSize);
  if (!trailer) return trailer.error_value();
  ByteReader in(trailer.value());
  Trailer fields;
  if (Status s = drux::read_trailer(in, fields); !s) return s;
  info.footer_length = fields.footer_length;
  info.footer_offset = fields.footer_offset;
  const std::uint64_t footer_end = info.file_size - kTrailerSize;
  if (info.footer_offset >= kMinDataOffset && info.footer_offset <= footer_end &&
      info.footer_length == footer_end - info.footer_offset) {
    return {};
  }
  DRUX_FAIL_IF(unfinished_header,
               "not a finished DRUX file: the header counts are zero and there is no valid trailer");
  return data_error("corrupt DRUX trailer: footer offset " + str(info.footer_offset) + " and length " +
                    str(info.footer_length) + " do not fit " + where);
}

// ---- Schema and dictionary -----------------------------------------------------

// Reads L_s, the schema block, L_d and the dictionary block; sets data_offset.
Status read_front(int fd, DruxMetadata& meta, const ReaderLimits& limits) {
  DruxFileInfo& info = meta.file;
  auto fixed = read_at(fd, kFileHeaderSize, kPreambleSize);
  if (!fixed) return fixed.error_value();
  ByteReader in(fixed.value());
  Preamble preamble;
  if (Status s = read_preamble(in, preamble); !s) return s;
  info.created_unix = preamble.created_unix;
  const std::uint32_t schema_length = preamble.schema_length;
  // The dictionary length field must still fit before the footer.
  DRUX_FAIL_IF(schema_length > info.footer_offset - kMinDataOffset,
               "schema block of " + str(schema_length) + " bytes runs past the footer");
  auto schema_block = read_at(fd, kSchemaBlockOffset, schema_length);
  if (!schema_block) return schema_block.error_value();
  // Every entry is a name and at most twelve bytes around it.
  const std::uint64_t entry_bound =
      std::min<std::uint64_t>(limits.max_name_bytes, std::uint64_t{1} << 40) + kMaxSchemaEntryOverhead;
  const DecodeCap schema_cap{info.column_count * entry_bound, limits.max_metadata_bytes, "max_metadata_bytes"};
  auto schema = decompress(schema_block.value(), schema_cap, "schema block");
  if (!schema) return schema.error_value();
  if (Status s = read_schema(schema.value(), info.column_count, meta.columns); !s) return s;
  for (const KColumn& column : meta.columns) {
    if (column.name.size() > limits.max_name_bytes) {
      return limit_error("schema: a column name of " + str(column.name.size()) + " bytes", "max_name_bytes",
                         limits.max_name_bytes);
    }
  }

  const std::uint64_t dict_field = kSchemaBlockOffset + schema_length;
  auto dict_length_bytes = read_at(fd, dict_field, kDictionaryLengthSize);
  if (!dict_length_bytes) return dict_length_bytes.error_value();
  std::uint64_t dict_length;
  ByteReader dict_field_in(dict_length_bytes.value());
  if (Status s = read_dictionary_length(dict_field_in, dict_length); !s) return s;
  const std::uint64_t dict_offset = dict_field + kDictionaryLengthSize;
  DRUX_FAIL_IF(dict_length > info.footer_offset - dict_offset,
               "dictionary block of " + str(dict_length) + " bytes runs past the footer");
  auto dict_block = read_at(fd, dict_offset, dict_length);
  if (!dict_block) return dict_block.error_value();
  auto dict = decompress(dict_block.value(), {kEmptyDictionary.size(), kEmptyDictionary.size(), "max_metadata_bytes"},
                         "dictionary block");
  if (!dict) return dict.error_value();
  DRUX_FAIL_IF(!std::equal(dict->begin(), dict->end(), kEmptyDictionary.begin(), kEmptyDictionary.end()),
               "dictionary block does not hold the empty dictionary");
  info.data_offset = dict_offset + dict_length;
  return {};
}

// ---- Footer ------------------------------------------------------------------

// An entry must fit its column and chunk, and its block must lie between the
// end of the previous block and the footer.
Status check_footer_entry(const DruxMetadata& meta, const KColumn& column, std::uint32_t rows,
                          const ColumnChunkInfo& entry, std::uint64_t& previous_end) {
  const auto tag = static_cast<std::uint8_t>(entry.encoding);
  DRUX_FAIL_IF(!encoding_fits(column.col_type, tag),
               "encoding tag " + str(tag) + " does not fit the column type (" + col_type_name(column.col_type) + ")");
  DRUX_FAIL_IF(entry.stats.null_count > rows,
               "null count " + str(entry.stats.null_count) + " exceeds the chunk's " + str(rows) + " rows");
  const std::uint64_t footer = meta.file.footer_offset;
  DRUX_FAIL_IF(entry.offset < previous_end || entry.offset > footer || footer - entry.offset < kColumnBlockOverhead ||
                   entry.length > footer - entry.offset - kColumnBlockOverhead,
               "column block at offset " + str(entry.offset) + " with length " + str(entry.length) +
                   " lies outside the data region [" + str(previous_end) + ", " + str(footer) + ")");
  previous_end = entry.offset + kColumnBlockOverhead + entry.length;
  return {};
}

Status parse_footer(ByteView bytes, DruxMetadata& meta) {
  const DruxFileInfo& info = meta.file;
  ByteReader in(bytes);
  FooterHead head;
  if (Status s = read_footer_head(in, head); !s) return s;
  const std::uint32_t chunk_count = head.chunk_count;
  const std::uint16_t column_count = head.column_count;
  DRUX_FAIL_IF(chunk_count != info.chunk_count,
               "footer lists " + str(chunk_count) + " chunks, the header " + str(info.chunk_count));
  DRUX_FAIL_IF(column_count != info.column_count,
               "footer lists " + str(column_count) + " columns, the header " + str(info.column_count));
  // What the footer and the data region must at least hold, checked before
  // anything is allocated from the counts.
  const std::uint64_t blocks = std::uint64_t{chunk_count} * column_count;
  DRUX_FAIL_IF(std::uint64_t{chunk_count} * kFooterRowCountSize + blocks * kMinFooterEntrySize > in.remaining(),
               "footer of " + str(bytes.size()) + " bytes is too short for " + str(chunk_count) + " chunks of " +
                   str(column_count) + " columns");
  DRUX_FAIL_IF(blocks * kColumnBlockOverhead > info.footer_offset - info.data_offset,
               "the data region of " + str(info.footer_offset - info.data_offset) + " bytes cannot hold " +
                   str(blocks) + " column blocks");
  if (Status s = read_footer_row_counts(in, chunk_count, meta.chunk_rows); !s) return s;
  std::uint64_t total_rows = 0;
  for (std::uint32_t rows : meta.chunk_rows) total_rows += rows;
  DRUX_FAIL_IF(total_rows != info.total_rows,
               "footer chunks hold " + str(total_rows) + " rows, the header says " + str(info.total_rows));
  meta.chunks.resize(chunk_count);
  std::uint64_t previous_end = info.data_offset;
  for (std::uint32_t k = 0; k < chunk_count; ++k) {
    meta.chunks[k].resize(column_count);
    for (std::size_t c = 0; c < column_count; ++c) {
      ColumnChunkInfo& entry = meta.chunks[k][c];
      const KColumn& column = meta.columns[c];
      Status s = read_footer_entry(in, entry);
      if (s) s = check_footer_entry(meta, column, meta.chunk_rows[k], entry, previous_end);
      if (!s) return with_context("footer: chunk " + str(k) + ", column '" + column.name + "'", s.error_value());
    }
  }
  DRUX_FAIL_IF(!in.at_end(), "footer: " + str(in.remaining()) + " bytes left after the last entry");
  return {};
}

// The most bytes a footer for the header's counts can take: its fixed
// fields, and the text bounds of the entries, which only the limit bounds.
DecodeCap footer_cap(const DruxFileInfo& info, const ReaderLimits& limits) {
  const std::uint64_t blocks = std::uint64_t{info.chunk_count} * info.column_count;
  const std::uint64_t fixed = kFooterHeadSize + kFooterRowCountSize * info.chunk_count +
                              blocks * (kFooterEntryFixedSize + 4 * kMaxVarintBytes);
  const std::uint64_t texts = blocks == 0 ? 0 : limits.max_metadata_bytes;
  const std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
  return {texts > most - fixed ? most : fixed + texts, limits.max_metadata_bytes, "max_metadata_bytes"};
}

Status read_footer(int fd, DruxMetadata& meta, const ReaderLimits& limits) {
  const DruxFileInfo& info = meta.file;
  DRUX_FAIL_IF(info.footer_offset < info.data_offset,
               "footer offset " + str(info.footer_offset) + " lies before the end of the dictionary block (" +
                   str(info.data_offset) + ")");
  // Checked against the header's counts (which the footer must repeat)
  // before the footer is decoded: every block costs its prefix in the data
  // region.
  const std::uint64_t blocks = std::uint64_t{info.chunk_count} * info.column_count;
  DRUX_FAIL_IF(blocks * kColumnBlockOverhead > info.footer_offset - info.data_offset,
               "the data region before the footer (" + str(info.footer_offset - info.data_offset) +
                   " bytes) cannot hold the " + str(blocks) + " column blocks the header's counts call for");
  const DecodeCap cap = footer_cap(info, limits);
  // A stored block is one byte longer than its content; nothing larger can
  // decode within the cap.
  DRUX_FAIL_IF(info.footer_length > std::uint64_t{cap.bytes()} + 1,
               "footer block of " + str(info.footer_length) + " bytes is larger than " + cap.explain());
  auto block = read_at(fd, info.footer_offset, info.footer_length);
  if (!block) return block.error_value();
  auto footer = decompress(block.value(), cap, "footer block");
  if (!footer) return footer.error_value();
  return parse_footer(footer.value(), meta);
}

Result<DruxMetadata> read_metadata(int fd, std::uint64_t file_size, const ReaderLimits& limits) {
  DruxMetadata meta;
  meta.file.file_size = file_size;
  DRUX_FAIL_IF(file_size < kFileHeaderSize,
               "not a DRUX file: " + str(file_size) + " bytes is shorter than the " + str(kFileHeaderSize) +
                   "-byte header");
  auto header = read_at(fd, 0, kFileHeaderSize);
  if (!header) return header.error_value();
  if (Status s = parse_header(header.value(), meta.file); !s) return s.error_value();
  if (meta.file.chunk_count > limits.max_chunks) {
    return limit_error("the file has " + str(meta.file.chunk_count) + " chunks", "max_chunks", limits.max_chunks);
  }
  if (Status s = locate_footer(fd, meta.file); !s) return s.error_value();
  if (Status s = read_front(fd, meta, limits); !s) return s.error_value();
  if (Status s = read_footer(fd, meta, limits); !s) return s.error_value();
  return meta;
}

// The most bytes a column payload of `rows` cells can need; the variable
// kinds are bounded only by the limit.
DecodeCap payload_cap(ColType type, std::uint32_t rows, const ReaderLimits& limits) {
  std::uint64_t derived = std::numeric_limits<std::uint64_t>::max();
  switch (type) {
    case ColType::Int:
    case ColType::Float: derived = kMaxIntPayloadOverhead + kMaxIntBytesPerRow * std::uint64_t{rows}; break;
    case ColType::Bool: derived = (std::uint64_t{rows} + 7) / 8; break;
    default: break;
  }
  return {derived, limits.max_block_bytes, "max_block_bytes"};
}

bool all_zero(const AesKey& key) {
  return std::all_of(key.begin(), key.end(), [](std::uint8_t b) { return b == 0; });
}

}  // namespace

// ---- DruxReader -------------------------------------------------------------------

DruxReader::DruxReader(int fd, DruxMetadata meta, const ReaderLimits& limits)
    : fd_(fd), meta_(std::move(meta)), limits_(limits) {}

DruxReader::DruxReader(DruxReader&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), meta_(std::move(other.meta_)), limits_(other.limits_) {}

DruxReader& DruxReader::operator=(DruxReader&& other) noexcept {
  if (this != &other) {
    close_fd();
    fd_ = std::exchange(other.fd_, -1);
    meta_ = std::move(other.meta_);
    limits_ = other.limits_;
  }
  return *this;
}

DruxReader::~DruxReader() { close_fd(); }

void DruxReader::close_fd() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Result<DruxReader> DruxReader::open(const std::string& path, const ReaderLimits& limits) {
  // Non-blocking so that opening a FIFO cannot wait for a writer; reads of
  // the regular file it must turn out to be are unaffected by the flag.
  FdGuard guard{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
  if (guard.fd < 0) return Error{"Cannot open " + path + ": " + system_error_text(errno), ErrorKind::Io};
  struct stat st;
  if (::fstat(guard.fd, &st) != 0) return Error{"Cannot open " + path + ": " + system_error_text(errno), ErrorKind::Io};
  DRUX_FAIL_IF(!S_ISREG(st.st_mode), "not a DRUX file: " + path + " is not a regular file");
  auto meta = read_metadata(guard.fd, static_cast<std::uint64_t>(st.st_size), limits);
  if (!meta) return meta.error_value();
  return DruxReader(guard.release(), std::move(meta).value(), limits);
}

std::optional<std::size_t> DruxReader::find_column(std::string_view name) const {
  for (std::size_t c = 0; c < meta_.columns.size(); ++c) {
    if (meta_.columns[c].name == name) return c;
  }
  return std::nullopt;
}

namespace {

Status check_position(const DruxMetadata& meta, std::uint32_t chunk, std::size_t column) {
  DRUX_FAIL_IF(chunk >= meta.chunk_count(),
               "chunk " + str(chunk) + " does not exist (the file has " + str(meta.chunk_count()) + ")");
  DRUX_FAIL_IF(column >= meta.columns.size(),
               "column " + str(column) + " does not exist (the file has " + str(meta.columns.size()) + ")");
  return {};
}

std::string block_context(const DruxMetadata& meta, std::uint32_t chunk, std::size_t column) {
  return "chunk " + str(chunk) + ", column '" + meta.columns[column].name + "'";
}

// The compressed block behind one footer entry, its prefix and CRC checked.
Result<ByteBuffer> read_compressed_block(int fd, const ColumnChunkInfo& entry, const DecodeCap& cap) {
  DRUX_FAIL_IF(entry.length > std::uint64_t{cap.bytes()} + 1,
               "compressed block of " + str(entry.length) + " bytes is larger than " + cap.explain());
  auto prefix = read_at(fd, entry.offset, kColumnBlockOverhead);
  if (!prefix) return prefix.error_value();
  ByteReader in(prefix.value());
  ColumnBlockPrefix stored;
  if (Status s = read_column_block_prefix(in, stored); !s) return s.error_value();
  const std::uint32_t stored_crc = stored.crc;
  const std::uint64_t stored_length = stored.length;
  DRUX_FAIL_IF(stored_length != entry.length,
               "block length field " + str(stored_length) + " differs from the footer's " + str(entry.length));
  auto block = read_at(fd, entry.offset + kColumnBlockOverhead, entry.length);
  if (!block) return block.error_value();
  const std::uint32_t actual_crc = crc32(block.value());
  DRUX_FAIL_IF(actual_crc != stored_crc,
               "CRC-32 mismatch: the block holds " + str(actual_crc) + ", its field says " + str(stored_crc));
  return block;
}

}  // namespace

Result<ByteBuffer> DruxReader::read_block(std::uint32_t chunk, std::size_t column) const {
  if (Status s = check_position(meta_, chunk, column); !s) return s.error_value();
  const ColumnChunkInfo& entry = meta_.entry(chunk, column);
  const DecodeCap cap = payload_cap(meta_.columns[column].col_type, meta_.chunk_rows[chunk], limits_);
  auto block = read_compressed_block(fd_, entry, cap);
  if (!block) return with_context(block_context(meta_, chunk, column), block.error_value());
  return decompress(block.value(), cap, block_context(meta_, chunk, column));
}

Result<std::vector<KVal>> DruxReader::read_column_chunk(std::uint32_t chunk, std::size_t column,
                                                        const AesKey* key) const {
  if (Status s = check_position(meta_, chunk, column); !s) return s.error_value();
  const KColumn& col = meta_.columns[column];
  const std::uint32_t rows = meta_.chunk_rows[chunk];
  if (rows > limits_.max_chunk_rows) {
    return limit_error(block_context(meta_, chunk, column) + ": " + str(rows) + " rows", "max_chunk_rows",
                       limits_.max_chunk_rows);
  }
  DRUX_FAIL_IF(col.encrypted && key == nullptr, "column '" + col.name + "' is encrypted: a key is needed to read it");
  auto payload = read_block(chunk, column);
  if (!payload) return payload.error_value();
  if (col.encrypted && !all_zero(*key)) aes256_ctr_xor(*key, column_ctr_prefix(col.name, chunk), payload.value());
  auto cells = decode_column_payload(col.col_type, meta_.entry(chunk, column).encoding, payload.value(), rows);
  if (!cells) return with_context(block_context(meta_, chunk, column), cells.error_value());
  if (col.col_type == ColType::Str) {
    for (std::size_t r = 0; r < cells->size(); ++r) {
      const std::string& text = cells.value()[r].str_value();
      DRUX_FAIL_IF(!is_valid_utf8(text.data(), text.size()),
                   block_context(meta_, chunk, column) + ": the string in row " + str(r) + " is not UTF-8");
    }
  }
  return cells;
}

Status DruxReader::verify_chunk(std::uint32_t chunk, std::size_t column, const AesKey* key) const {
  if (Status s = check_position(meta_, chunk, column); !s) return s;
  if (meta_.columns[column].encrypted && key == nullptr) {
    auto payload = read_block(chunk, column);
    if (!payload) return payload.error_value();
    return {};
  }
  auto cells = read_column_chunk(chunk, column, key);
  if (!cells) return cells.error_value();
  Status s = check_entry_against_cells(meta_.columns[column], meta_.entry(chunk, column), cells.value());
  if (!s) return with_context(block_context(meta_, chunk, column), s.error_value());
  return {};
}

Status DruxReader::verify() const {
  if (Status s = check_table_cells(meta_, limits_); !s) return s;
  for (std::uint32_t k = 0; k < meta_.chunk_count(); ++k) {
    for (std::size_t c = 0; c < meta_.columns.size(); ++c) {
      if (Status s = verify_chunk(k, c); !s) return s;
    }
  }
  return {};
}

Status check_table_cells(const DruxMetadata& meta, const ReaderLimits& limits) {
  const std::uint64_t columns = meta.columns.size();
  const std::uint64_t rows = meta.file.total_rows;
  if (columns != 0 && rows > limits.max_cells / columns) {
    return limit_error("the table has " + str(rows) + " rows of " + str(columns) + " columns", "max_cells",
                       limits.max_cells);
  }
  return {};
}

Result<DruxTable> read_drux_table(const std::string& path, const std::vector<std::pair<std::string, AesKey>>& keys,
                                  const ReaderLimits& limits) {
  auto reader = DruxReader::open(path, limits);
  if (!reader) return reader.error_value();
  const DruxMetadata& meta = reader->metadata();
  if (Status s = check_table_cells(meta, limits); !s) return s.error_value();
  std::vector<const AesKey*> column_keys(meta.columns.size(), nullptr);
  // A key applies to every column of its name: the name is all that ties
  // a key to a column.
  for (const auto& [name, key] : keys) {
    bool found = false;
    for (std::size_t c = 0; c < meta.columns.size(); ++c) {
      if (meta.columns[c].name != name) continue;
      column_keys[c] = &key;
      found = true;
    }
    DRUX_FAIL_IF(!found, "a key was given for column '" + name + "', which the file does not have");
  }
  DruxTable table;
  table.columns = meta.columns;
  table.row_count = meta.file.total_rows;
  table.cells.resize(meta.columns.size());
  for (std::uint32_t k = 0; k < meta.chunk_count(); ++k) {
    for (std::size_t c = 0; c < meta.columns.size(); ++c) {
      auto cells = reader->read_column_chunk(k, c, column_keys[c]);
      if (!cells) return cells.error_value();
      std::vector<KVal>& out = table.cells[c];
      out.insert(out.end(), std::make_move_iterator(cells->begin()), std::make_move_iterator(cells->end()));
    }
  }
  return table;
}

}  // namespace drux
