// Canonical Huffman coder.
//
// The tree comes from a binary min-heap whose push and pop rules are fixed
// exactly, because they decide the tie-breaks between equal frequencies and
// so the code lengths a reader sees. Nodes live in one small array and refer
// to each other by index: at most 511 nodes, no allocation per node.
//
// Speed comes from counting with four interleaved tables, writing codes into
// a 64-bit accumulator that is flushed eight bytes at a time, and decoding
// through one lookup table indexed by the next `max length` bits.
//
// Deliberately not here: adaptive models or multi-block streams.
#include "drux_v2/huffman.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace drux {
namespace {

// Table form markers: value/length pairs, or one length per byte value.
constexpr std::uint8_t kSparseTableMarker = 0xFF;
constexpr std::uint8_t kDenseTableMarker = 0xFE;
// A block with this many distinct values or more stores the dense table.
constexpr int kDenseTableMinValues = 127;
// The block length field is an unsigned 32-bit number.
constexpr std::uint64_t kMaxBlockLength = std::numeric_limits<std::uint32_t>::max();
constexpr int kMaxTreeNodes = 2 * 256 - 1;
constexpr std::int16_t kNoChild = -1;

struct Node {
  std::int16_t left = kNoChild;
  std::int16_t right = kNoChild;
  std::uint32_t frequency = 0;
  std::uint8_t leaf = 0;
  std::uint8_t symbol = 0;
};

// The tree's node arena and the min-heap of node indices over it.
struct Tree {
  std::array<Node, kMaxTreeNodes> nodes;
  int node_count = 0;
  std::array<std::int16_t, 256> heap;
  int heap_size = 0;

  std::uint32_t freq_at(int heap_index) const { return nodes[heap[heap_index]].frequency; }

  std::int16_t add_node(const Node& node) {
    nodes[node_count] = node;
    return static_cast<std::int16_t>(node_count++);
  }

  // Lets the node at `hole` climb while its parent is strictly heavier.
  void climb(int hole, std::int16_t node) {
    const std::uint32_t frequency = nodes[node].frequency;
    while (hole > 0) {
      const int parent = (hole - 1) / 2;
      if (freq_at(parent) <= frequency) break;
      heap[hole] = heap[parent];
      hole = parent;
    }
    heap[hole] = node;
  }

  void push(std::int16_t node) { climb(heap_size++, node); }

  // Sinks the hole left by the root to the bottom, preferring the right
  // child on equal frequencies, then lets the last element climb into it.
  std::int16_t pop() {
    const std::int16_t result = heap[0];
    const std::int16_t last = heap[--heap_size];
    if (heap_size == 0) return last;
    int hole = 0;
    while (2 * hole + 1 <= heap_size - 2) {
      const int left = 2 * hole + 1;
      const int child = freq_at(left) < freq_at(left + 1) ? left : left + 1;
      heap[hole] = heap[child];
      hole = child;
    }
    if (2 * hole + 1 == heap_size - 1) {
      heap[hole] = heap[2 * hole + 1];
      hole = 2 * hole + 1;
    }
    climb(hole, last);
    return result;
  }
};

// Writes each leaf's depth (at least 1) into `lengths`, left subtree first.
void assign(const Tree& tree, std::int16_t node, int depth, CodeLengths& lengths) {
  const Node& n = tree.nodes[node];
  if (n.leaf) {
    lengths[n.symbol] = static_cast<std::uint8_t>(std::max(depth, 1));
    return;
  }
  assign(tree, n.left, depth + 1, lengths);
  assign(tree, n.right, depth + 1, lengths);
}

int max_length(const CodeLengths& lengths) { return *std::max_element(lengths.begin(), lengths.end()); }

// Brings a complete code deeper than 15 levels down to 15 levels while
// keeping it complete: two deepest leaves become one leaf a level up, and a
// shallower leaf splits into two one level down, which leaves the Kraft sum
// unchanged. The new lengths go to values in order of their old depth.
CodeLengths limit_depths(const CodeLengths& depths) {
  const int deepest = max_length(depths);
  std::vector<int> count_at(static_cast<std::size_t>(deepest) + 1, 0);
  for (std::uint8_t d : depths) {
    if (d != 0) ++count_at[d];
  }
  for (int depth = deepest; depth > kMaxHuffmanCodeLength; --depth) {
    while (count_at[depth] > 0) {
      int shallower = depth - 2;
      while (count_at[shallower] == 0) --shallower;
      count_at[depth] -= 2;
      count_at[depth - 1] += 1;
      count_at[shallower + 1] += 2;
      count_at[shallower] -= 1;
    }
  }
  CodeLengths limited{};
  int length = 1;
  for (int depth = 1; depth <= deepest; ++depth) {
    for (int v = 0; v < 256; ++v) {
      if (depths[v] != depth) continue;
      while (count_at[length] == 0) ++length;
      --count_at[length];
      limited[v] = static_cast<std::uint8_t>(length);
    }
  }
  return limited;
}

// Canonical codes: values ordered by (length, value), each code one more
// than the previous, shifted left by the growth in length.
std::array<std::uint32_t, 256> canonical_codes(const CodeLengths& lengths) {
  std::array<std::uint32_t, 256> codes{};
  std::uint32_t code = 0;
  int previous_length = 0;
  bool first = true;
  for (int length = 1; length <= kMaxHuffmanCodeLength; ++length) {
    for (int v = 0; v < 256; ++v) {
      if (lengths[v] != length) continue;
      if (!first) code = (code + 1) << (length - previous_length);
      first = false;
      previous_length = length;
      codes[v] = code;
    }
  }
  return codes;
}

int distinct_values(const ByteFrequencies& counts) {
  return static_cast<int>(std::count_if(counts.begin(), counts.end(), [](std::uint32_t c) { return c != 0; }));
}

void put_code_length_table(ByteBuffer& out, const CodeLengths& lengths, int distinct) {
  if (distinct >= kDenseTableMinValues) {
    put_u8(out, kDenseTableMarker);
    out.insert(out.end(), lengths.begin(), lengths.end());
    return;
  }
  put_u8(out, kSparseTableMarker);
  put_u8(out, static_cast<std::uint8_t>(distinct));
  for (int v = 0; v < 256; ++v) {
    if (lengths[v] == 0) continue;
    put_u8(out, static_cast<std::uint8_t>(v));
    put_u8(out, lengths[v]);
  }
}

// Appends the codes of `block`, most significant bit first. `out` must have
// room for the stream plus eight bytes: every flush stores a whole word.
// Each table entry holds code << 4 | length.
void write_bit_stream(ByteView block, const std::array<std::uint32_t, 256>& entries, std::uint8_t* out) {
  constexpr int kCodesPerFlush = 3;  // 7 pending + 3 x 15 bits fit in 64
  std::uint64_t acc = 0;
  unsigned pending = 0;
  const std::uint8_t* in = block.data();
  const std::size_t size = block.size();
  std::size_t i = 0;
  for (; i + kCodesPerFlush <= size; i += kCodesPerFlush) {
    // The group's codes are joined first, apart from the accumulator, so
    // the accumulator waits for one shift per group rather than per code.
    std::uint64_t group = 0;
    unsigned group_bits = 0;
    for (int k = 0; k < kCodesPerFlush; ++k) {
      const std::uint32_t e = entries[in[i + k]];
      group = (group << (e & 15)) | (e >> 4);
      group_bits += e & 15;
    }
    acc = (acc << group_bits) | group;
    pending += group_bits;
    store_u64_be(out, acc << (64 - pending));
    out += pending >> 3;
    pending &= 7;
  }
  for (; i < size; ++i) {
    const std::uint32_t e = entries[in[i]];
    acc = (acc << (e & 15)) | (e >> 4);
    pending += e & 15;
  }
  while (pending >= 8) {
    pending -= 8;
    *out++ = static_cast<std::uint8_t>(acc >> pending);
  }
  if (pending > 0) *out = static_cast<std::uint8_t>(acc << (8 - pending));
}

std::size_t table_size(int distinct) {
  constexpr std::size_t kMarker = 1, kCount = 1, kPair = 2;
  if (distinct >= kDenseTableMinValues) return kMarker + 256;
  return kMarker + kCount + kPair * static_cast<std::size_t>(distinct);
}

}  // namespace

ByteFrequencies count_byte_frequencies(ByteView block) {
  // Four tables break the store-to-load chain on runs of one value.
  std::array<std::array<std::uint32_t, 256>, 4> partial{};
  const std::uint8_t* p = block.data();
  const std::size_t size = block.size();
  std::size_t i = 0;
  for (; i + 4 <= size; i += 4) {
    ++partial[0][p[i]];
    ++partial[1][p[i + 1]];
    ++partial[2][p[i + 2]];
    ++partial[3][p[i + 3]];
  }
  for (; i < size; ++i) ++partial[0][p[i]];
  ByteFrequencies counts{};
  for (int v = 0; v < 256; ++v) counts[v] = partial[0][v] + partial[1][v] + partial[2][v] + partial[3][v];
  return counts;
}

CodeLengths huffman_tree_depths(const ByteFrequencies& counts) {
  CodeLengths depths{};
  Tree tree;
  for (int v = 0; v < 256; ++v) {
    if (counts[v] == 0) continue;
    tree.push(tree.add_node(Node{kNoChild, kNoChild, counts[v], 1, static_cast<std::uint8_t>(v)}));
  }
  if (tree.heap_size == 0) return depths;
  while (tree.heap_size > 1) {
    const std::int16_t a = tree.pop();
    const std::int16_t b = tree.pop();
    tree.push(tree.add_node(Node{a, b, tree.nodes[a].frequency + tree.nodes[b].frequency, 0, 0}));
  }
  assign(tree, tree.heap[0], 0, depths);
  return depths;
}

CodeLengths huffman_code_lengths(const ByteFrequencies& counts) {
  const CodeLengths depths = huffman_tree_depths(counts);
  if (max_length(depths) <= kMaxHuffmanCodeLength) return depths;
  return limit_depths(depths);
}

HuffmanPlan plan_huffman(const ByteFrequencies& counts, std::uint64_t block_length) {
  HuffmanPlan plan;
  if (block_length == 0 || block_length > kMaxBlockLength) return plan;
  plan.distinct = distinct_values(counts);
  // A single value is a one-level tree: every byte codes as one 0 bit.
  plan.lengths = huffman_code_lengths(counts);
  std::uint64_t total_bits = 0;
  for (int v = 0; v < 256; ++v) total_bits += static_cast<std::uint64_t>(counts[v]) * plan.lengths[v];
  plan.output_size = table_size(plan.distinct) + sizeof(std::uint32_t) + static_cast<std::size_t>((total_bits + 7) / 8);
  return plan;
}

void append_huffman(ByteView block, const HuffmanPlan& plan, ByteBuffer& out) {
  if (plan.output_size == 0) return;
  const std::size_t start = out.size();
  put_code_length_table(out, plan.lengths, plan.distinct);
  put_u32_le(out, static_cast<std::uint32_t>(block.size()));
  const std::size_t stream_start = out.size();
  const std::size_t end = start + plan.output_size;
  if (plan.distinct == 1) {
    out.resize(end, 0);
    return;
  }
  const std::array<std::uint32_t, 256> codes = canonical_codes(plan.lengths);
  std::array<std::uint32_t, 256> entries{};
  for (int v = 0; v < 256; ++v) entries[v] = codes[v] << 4 | plan.lengths[v];
  out.resize(end + sizeof(std::uint64_t));
  write_bit_stream(block, entries, out.data() + stream_start);
  out.resize(end);
}

ByteBuffer huffman_compress(ByteView block) {
  ByteBuffer out;
  if (block.empty() || block.size() > kMaxBlockLength) return out;
  const HuffmanPlan plan = plan_huffman(count_byte_frequencies(block), block.size());
  out.reserve(plan.output_size);
  append_huffman(block, plan, out);
  return out;
}

// ---- Decoding -----------------------------------------------------------------

namespace {

constexpr int kKraftTotal = 1 << kMaxHuffmanCodeLength;

Status read_sparse_table(ByteReader& in, CodeLengths& lengths) {
  std::uint8_t count;
  DRUX_FAIL_IF(!in.read_u8(count), "Huffman table is truncated");
  DRUX_FAIL_IF(count == 0 || count >= kDenseTableMinValues, "Huffman sparse table has a bad value count");
  int previous = -1;
  for (int i = 0; i < count; ++i) {
    std::uint8_t value, length;
    DRUX_FAIL_IF(!in.read_u8(value) || !in.read_u8(length), "Huffman table is truncated");
    DRUX_FAIL_IF(value <= previous, "Huffman table values are not ascending");
    DRUX_FAIL_IF(length == 0 || length > kMaxHuffmanCodeLength, "Huffman code length out of range");
    lengths[value] = length;
    previous = value;
  }
  return {};
}

Status read_dense_table(ByteReader& in, CodeLengths& lengths) {
  ByteView table;
  DRUX_FAIL_IF(!in.read_bytes(lengths.size(), table), "Huffman table is truncated");
  std::copy(table.begin(), table.end(), lengths.begin());
  DRUX_FAIL_IF(max_length(lengths) > kMaxHuffmanCodeLength, "Huffman code length out of range");
  const int distinct = static_cast<int>(std::count_if(lengths.begin(), lengths.end(), [](std::uint8_t l) { return l != 0; }));
  DRUX_FAIL_IF(distinct < kDenseTableMinValues, "Huffman dense table has too few values");
  return {};
}

// Reads either table form and checks that the lengths form a prefix code;
// a single value must have the one-bit code 0.
Status read_code_lengths(ByteReader& in, CodeLengths& lengths) {
  std::uint8_t marker;
  DRUX_FAIL_IF(!in.read_u8(marker), "Huffman table is truncated");
  Status status = marker == kSparseTableMarker  ? read_sparse_table(in, lengths)
                  : marker == kDenseTableMarker ? read_dense_table(in, lengths)
                                                : data_error("Huffman table has an unknown form");
  if (!status) return status;
  int kraft = 0;
  int distinct = 0;
  for (std::uint8_t length : lengths) {
    if (length == 0) continue;
    kraft += kKraftTotal >> length;
    ++distinct;
  }
  DRUX_FAIL_IF(kraft > kKraftTotal, "Huffman code lengths do not form a prefix code");
  DRUX_FAIL_IF(distinct == 1 && max_length(lengths) != 1, "Huffman single-value code must be one bit");
  return {};
}

// Entry for each `table_bits`-bit pattern: symbol | length << 8, or 0 when
// no code of at most `table_bits` bits is a prefix of the pattern.
std::vector<std::uint16_t> build_decode_table_upto(const CodeLengths& lengths, int table_bits) {
  std::vector<std::uint16_t> table(std::size_t{1} << table_bits, 0);
  const std::array<std::uint32_t, 256> codes = canonical_codes(lengths);
  for (int v = 0; v < 256; ++v) {
    if (lengths[v] == 0 || lengths[v] > table_bits) continue;
    const int spare = table_bits - lengths[v];
    const std::size_t first = static_cast<std::size_t>(codes[v]) << spare;
    const std::uint16_t entry = static_cast<std::uint16_t>(v | lengths[v] << 8);
    std::fill_n(table.begin() + static_cast<std::ptrdiff_t>(first), std::size_t{1} << spare, entry);
  }
  return table;
}

// Reads codes MSB first from a left-aligned 64-bit window. `bits` counts
// the valid bits at the top of `window`; bits below may repeat input that
// the next refill ORs in again at the same place.
struct BitReader {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t pos = 0;
  std::uint64_t window = 0;
  unsigned bits = 0;

  bool can_refill_fast() const { return pos + 8 <= size; }

  // Leaves 56 to 63 valid bits.
  void refill_fast() {
    window |= load_u64_be(data + pos) >> bits;
    pos += (63 - bits) >> 3;
    bits |= 56;
  }

  void refill_slow() {
    while (bits <= 56 && pos < size) {
      window |= static_cast<std::uint64_t>(data[pos++]) << (56 - bits);
      bits += 8;
    }
  }

  std::uint64_t consumed_bits() const { return static_cast<std::uint64_t>(pos) * 8 - bits; }
};

// Two symbols per lookup: entry for each kPairBits-bit pattern holds the
// first code's symbol and, when the second code also ends within the
// pattern, its symbol too. 2^12 four-byte entries stay in L1, where the
// full-width table of a 15-bit code does not. Count 0 marks a pattern that
// starts a longer (or unknown) code, left to the full table.
constexpr int kPairBits = 12;

struct PairEntry {
  std::uint16_t symbols;  // first in the low byte; written out whole
  std::uint8_t count;     // symbols decoded: 0, 1 or 2
  std::uint8_t length;    // bits they take
};

std::vector<PairEntry> build_pair_table(const CodeLengths& lengths) {
  const std::vector<std::uint16_t> single = build_decode_table_upto(lengths, kPairBits);
  constexpr std::size_t mask = (std::size_t{1} << kPairBits) - 1;
  std::vector<PairEntry> pairs(mask + 1);
  for (std::size_t p = 0; p <= mask; ++p) {
    const std::uint16_t first = single[p];
    if (first == 0) continue;
    const unsigned l1 = first >> 8;
    PairEntry entry{static_cast<std::uint16_t>(first & 0xFF), 1, static_cast<std::uint8_t>(l1)};
    const std::uint16_t second = single[(p << l1) & mask];
    const unsigned l2 = second >> 8;
    if (second != 0 && l1 + l2 <= kPairBits) {
      entry.symbols = static_cast<std::uint16_t>(entry.symbols | (second & 0xFF) << 8);
      entry.count = 2;
      entry.length = static_cast<std::uint8_t>(l1 + l2);
    }
    pairs[p] = entry;
  }
  return pairs;
}

struct DecodeTables {
  std::vector<PairEntry> pairs;
  std::vector<std::uint16_t> full;  // every code, max-length wide
  int full_bits;
};

// Decodes while a whole refill's worth remain and the input has eight
// bytes left: one refill gives at least 56 bits, room for four pair
// lookups, and a code of the full table (at most 15 bits) still fits
// after three of them. Each lookup writes two bytes, so the loop stops
// eight short of the end.
bool decode_fast(BitReader& reader, const DecodeTables& t, std::uint8_t* out, std::size_t n, std::size_t& i) {
  constexpr unsigned kPairDrop = 64 - kPairBits;
  constexpr int kLookups = 56 / kPairBits;
  static_assert((kLookups - 1) * kPairBits + kMaxHuffmanCodeLength <= 56);
  const unsigned full_drop = 64 - static_cast<unsigned>(t.full_bits);
  const PairEntry* pairs = t.pairs.data();
  while (i + 2 * kLookups <= n && reader.can_refill_fast()) {
    reader.refill_fast();
    for (int k = 0; k < kLookups; ++k) {
      const PairEntry entry = pairs[reader.window >> kPairDrop];
      if (entry.count == 0) {
        const std::uint16_t code = t.full[reader.window >> full_drop];
        if (code == 0) return false;
        out[i++] = static_cast<std::uint8_t>(code);
        reader.window <<= code >> 8;
        reader.bits -= code >> 8;
        break;
      }
      std::memcpy(out + i, &entry.symbols, 2);
      i += entry.count;
      reader.window <<= entry.length;
      reader.bits -= entry.length;
    }
  }
  return true;
}

Status decode_symbols(BitReader& reader, const DecodeTables& t, std::uint8_t* out, std::size_t n) {
  const unsigned drop = 64 - static_cast<unsigned>(t.full_bits);
  std::size_t i = 0;
  DRUX_FAIL_IF(!decode_fast(reader, t, out, n, i), "Huffman bit stream holds an unknown code");
  for (; i < n; ++i) {
    if (reader.bits < static_cast<unsigned>(t.full_bits)) reader.refill_slow();
    const std::uint16_t entry = t.full[reader.window >> drop];
    const unsigned length = entry >> 8;
    // Without a full table width of input left, a pattern that starts no
    // code may be a code cut short.
    const bool whole_width = reader.bits >= static_cast<unsigned>(t.full_bits);
    DRUX_FAIL_IF(entry == 0 && whole_width, "Huffman bit stream holds an unknown code");
    DRUX_FAIL_IF(entry == 0 || length > reader.bits,
                 reader.pos == reader.size ? "Huffman bit stream is truncated"
                                           : "Huffman bit stream holds an unknown code");
    out[i] = static_cast<std::uint8_t>(entry);
    reader.window <<= length;
    reader.bits -= length;
  }
  return {};
}

// The stream must end in the byte holding its last code bit, padded with 0.
Status check_stream_end(const BitReader& reader, ByteView stream) {
  const std::uint64_t used = reader.consumed_bits();
  DRUX_FAIL_IF((used + 7) / 8 != stream.size(), "Huffman bit stream has trailing bytes");
  const unsigned padding = static_cast<unsigned>(stream.size() * 8 - used);
  DRUX_FAIL_IF(padding > 0 && (stream.back() & ((1u << padding) - 1)) != 0, "Huffman bit stream padding is not zero");
  return {};
}

}  // namespace

Status huffman_decode_pieces(ByteView data, std::size_t max_output, const PieceSink& sink) {
  if (data.empty()) return {};
  ByteReader in(data);
  CodeLengths lengths{};
  if (Status status = read_code_lengths(in, lengths); !status) return status;
  std::uint32_t block_length;
  DRUX_FAIL_IF(!in.read_u32_le(block_length), "Huffman block length is truncated");
  const ByteView stream = in.read_rest();

  int shortest = kMaxHuffmanCodeLength;
  int distinct = 0;
  for (std::uint8_t length : lengths) {
    if (length == 0) continue;
    shortest = std::min<int>(shortest, length);
    ++distinct;
  }
  DRUX_FAIL_IF(block_length > max_output, "Huffman block length exceeds the allowed output");
  DRUX_FAIL_IF(block_length < static_cast<std::uint32_t>(distinct),
               "Huffman block length is too short for its table");
  DRUX_FAIL_IF(static_cast<std::uint64_t>(block_length) * static_cast<std::uint64_t>(shortest) >
                   static_cast<std::uint64_t>(stream.size()) * 8,
               "Huffman block length exceeds what the bit stream can hold");

  const int full_bits = max_length(lengths);
  const DecodeTables tables{build_pair_table(lengths), build_decode_table_upto(lengths, full_bits), full_bits};
  BitReader reader{stream.data(), stream.size()};
  ByteBuffer piece(std::min<std::size_t>(block_length, kDecodePieceSize));
  for (std::size_t left = block_length; left > 0;) {
    const std::size_t n = std::min(left, piece.size());
    if (Status status = decode_symbols(reader, tables, piece.data(), n); !status) return status;
    if (Status status = sink(ByteView(piece.data(), n)); !status) return status;
    left -= n;
  }
  return check_stream_end(reader, stream);
}

Result<ByteBuffer> huffman_decompress(ByteView data, std::size_t max_output) {
  ByteBuffer out;
  Status status = huffman_decode_pieces(data, max_output, [&out](ByteView piece) {
    put_bytes(out, piece);
    return Status{};
  });
  if (!status) return status.error_value();
  return out;
}

}  // namespace drux
