// Compressed blocks: the method byte, the choice between candidates, and the
// decoder's checks. Small blocks are pinned to exact bytes, the choice rule
// to a table of candidate sizes, and compress_block's result to the one that
// weighing every candidate exactly picks, each built by the coders alone.
// Deliberately not here: the coders' own bytes (lz_test, huffman_test,
// range_coder_test), the fast and max levels (compression_level_test) and
// arbitrary malformed input (fuzz/block_decode).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "drux_v2/block_compressor.h"
#include "drux_v2/huffman.h"
#include "drux_v2/lz.h"
#include "drux_v2/range_coder.h"
#include "test_support.h"

namespace drux {
namespace {

using test::bytes_of;
using test::concat;
using test::random_bytes;
using test::repeat;

// Copies `length` bytes from every `period`-th position `offset` bytes on,
// planting back-references for the LZ stage.
ByteBuffer with_repeats(ByteBuffer b, std::size_t period, std::size_t length, std::size_t offset) {
  for (std::size_t i = 0; i + offset + length <= b.size(); i += period) {
    std::copy(b.begin() + static_cast<std::ptrdiff_t>(i), b.begin() + static_cast<std::ptrdiff_t>(i + length),
              b.begin() + static_cast<std::ptrdiff_t>(i + offset));
  }
  return b;
}

// FF at even positions, the position at odd ones: nothing repeats, and the
// escaped FF bytes make the token stream three times the block.
ByteBuffer ff_every_other_byte(std::size_t count) {
  ByteBuffer out(count, 0xFF);
  for (std::size_t i = 1; i < count; i += 2) out[i] = static_cast<std::uint8_t>(i);
  return out;
}

// Lines such as "row12,value,6": LZ removes about a third of them.
ByteBuffer numbered_lines(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += "row" + std::to_string(i) + ",value," + std::to_string(i * 7 % 13) + "\n";
  return bytes_of(text);
}

ByteBuffer decode(const ByteBuffer& block, std::size_t max_output) {
  auto decoded = decompress_block(block, max_output);
  EXPECT_TRUE(decoded.ok()) << decoded.error();
  return decoded.ok() ? decoded.value() : ByteBuffer{};
}

TEST(CompressedBlock, KnownBlocksGiveExactBytes) {
  struct Case {
    const char* name;
    ByteBuffer block;
    ByteBuffer compressed;
  } cases[] = {
      {"empty block has no method byte", {}, {}},
      {"hello is stored", bytes_of("hello"), {0x02, 0x68, 0x65, 0x6C, 0x6C, 0x6F}},
      {"nine equal bytes are stored", ByteBuffer(9, 'z'), concat({{0x02}, ByteBuffer(9, 'z')})},
      {"single zero byte", {0x00}, {0x02, 0x00}},
      {"1000 A", ByteBuffer(1000, 'A'), {0x00, 0x41, 0xFF, 0x01, 0x00, 0xE7, 0x03}},
      {"abc seven times", bytes_of(repeat("abc", 7)), {0x00, 0x61, 0x62, 0x63, 0xFF, 0x03, 0x00, 0x12, 0x00}},
      {"ten FF tokens tie with stored, and a tie is stored", ByteBuffer(10, 0xFF),
       concat({{0x02}, ByteBuffer(10, 0xFF)})},
      {"lazy match", bytes_of("abcdefXYZ.bcdefghijk.abcdefghijk.."),
       concat({{0x00}, bytes_of("abcdefXYZ.bcdefghijk.a"), {0xFF, 0x0C, 0x00, 0x0B, 0x00}, bytes_of(".")})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(compress_block(c.block), c.compressed);
    EXPECT_EQ(decode(c.compressed, c.block.size()), c.block);
  }
}

TEST(CompressedBlock, RandomBytesAreStored) {
  const ByteBuffer block = random_bytes(3000, 256, 5);
  EXPECT_EQ(compress_block(block), concat({{0x02}, block}));
}

TEST(CompressedBlock, StoredByLengthBelowTenBytesAndFrom4GiB) {
  struct Case {
    std::uint64_t length;
    bool stored;
  } cases[] = {
      {1, true},           {9, true},
      {10, false},         {1u << 20, false},
      {0xFFFFFFFFu, false}, {std::uint64_t{1} << 32, true},
      {std::uint64_t{1} << 40, true},
  };
  for (const auto& c : cases) EXPECT_EQ(block_stored_by_length(c.length), c.stored) << c.length;
}

TEST(CompressedBlock, RangeOfBlockWinsTiesThenLzRangeStoredLzHuffmanHuffmanLz) {
  using M = BlockMethod;
  struct Case {
    BlockCandidateSizes sizes;  // lz, lz_huffman, stored, huffman, range, lz_range
    BlockMethod expected;
  } cases[] = {
      {{10, 0, 10, 0, 0, 0}, M::Stored},
      {{9, 0, 10, 0, 0, 0}, M::Lz},
      {{11, 0, 10, 0, 0, 0}, M::Stored},
      {{7, 7, 7, 7, 0, 7}, M::LzRange},
      {{7, 7, 7, 7, 7, 7}, M::Range},
      {{7, 7, 8, 7, 8, 8}, M::LzHuffman},
      {{7, 8, 8, 7, 8, 8}, M::Huffman},
      {{9, 8, 10, 8, 8, 9}, M::Range},
      {{9, 8, 10, 8, 9, 9}, M::LzHuffman},
      {{9, 8, 10, 7, 9, 9}, M::Huffman},
      {{9, 8, 10, 9, 9, 7}, M::LzRange},
      {{6, 8, 10, 9, 9, 7}, M::Lz},
      // A candidate that was not computed never wins, however small its 0.
      {{0, 0, 10, 0, 0, 0}, M::Stored},
      {{20, 0, 30, 0, 0, 25}, M::Lz},
  };
  for (const auto& c : cases) {
    const auto& s = c.sizes;
    SCOPED_TRACE(testing::Message() << s.lz << " " << s.lz_huffman << " " << s.stored << " " << s.huffman << " "
                                    << s.range << " " << s.lz_range);
    EXPECT_EQ(choose_block_method(s), c.expected);
  }
}

// Which coders a block is handed to: none for token streams under 512
// bytes; Huffman of the raw block only when LZ saved under 15 % of a block of
// 512 bytes or more; the range coder only when Huffman of the token stream
// stayed at 70 % of stored or above, and on the raw block only from 256 bytes.
TEST(CompressedBlock, CodersRunOnlyWhereTheyCanPayOff) {
  struct Case {
    const char* name;
    ByteBuffer block;
    bool lz_huffman, huffman, range, lz_range;
  } cases[] = {
      {"511-byte token stream", random_bytes(511, 16, 1, 'a'), false, false, false, false},
      {"512-byte token stream, Huffman under 70 %", random_bytes(512, 16, 1, 'a'), true, true, false, false},
      {"short token stream", ByteBuffer(1000, 'A'), false, false, false, false},
      {"LZ saved over 15 %", numbered_lines(300), true, false, false, false},
      {"Huffman of the tokens at 65 % of stored", with_repeats(random_bytes(16384, 48, 3), 1000, 100, 200), true, true,
       false, false},
      {"Huffman of the tokens at 71 % of stored", random_bytes(16384, 48, 3), true, true, true, true},
      {"random bytes", random_bytes(3000, 256, 5), true, true, true, true},
      {"long token stream of a 200-byte block", ff_every_other_byte(200), true, false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const BlockCandidateSizes s = block_candidate_sizes(c.block);
    EXPECT_EQ(s.stored, c.block.size() + 1);
    EXPECT_EQ(s.lz, lz_compress(c.block).size() + 1);
    EXPECT_EQ(s.lz_huffman != 0, c.lz_huffman);
    EXPECT_EQ(s.huffman != 0, c.huffman);
    EXPECT_EQ(s.range != 0, c.range);
    EXPECT_EQ(s.lz_range != 0, c.lz_range);
    const ByteBuffer compressed = compress_block(c.block);
    ASSERT_FALSE(compressed.empty());
    EXPECT_EQ(compressed[0], static_cast<std::uint8_t>(choose_block_method(s)));
  }
}

// The token stream of 512 letters still gets Huffman coding; one of 511
// never does, though Huffman would have halved it.
TEST(CompressedBlock, TokenStreamsFrom512BytesReachTheHuffmanCoder) {
  struct Case {
    std::size_t length;
    BlockMethod expected;
  } cases[] = {{511, BlockMethod::Stored}, {512, BlockMethod::LzHuffman}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    const ByteBuffer block = random_bytes(c.length, 16, 1, 'a');
    ASSERT_EQ(lz_compress(block).size(), c.length);  // no matches in these letters
    ASSERT_LT(huffman_compress(block).size() * 2, c.length + 100);
    const ByteBuffer compressed = compress_block(block);
    ASSERT_FALSE(compressed.empty());
    EXPECT_EQ(compressed[0], static_cast<std::uint8_t>(c.expected));
    EXPECT_EQ(decode(compressed, block.size()), block);
  }
}

struct MethodCase {
  const char* name;
  ByteBuffer block;
  BlockMethod expected;
};

std::vector<MethodCase> one_block_per_method() {
  return {
      {"long run", ByteBuffer(1000, 'A'), BlockMethod::Lz},
      {"16 letters, no repeats", random_bytes(512, 16, 1, 'a'), BlockMethod::LzHuffman},
      {"random bytes", random_bytes(3000, 256, 5), BlockMethod::Stored},
      // A few short repeats save LZ little and spread the token bytes.
      {"16 letters, few repeats", with_repeats(random_bytes(4096, 16, 2, 'a'), 1000, 12, 500), BlockMethod::Huffman},
      // 48 equally likely values: Huffman spends 5.67 bits, range coding 5.59.
      {"48 values, no repeats", random_bytes(16384, 48, 3), BlockMethod::Range},
      {"80 values, with repeats", with_repeats(random_bytes(65536, 80, 3), 1000, 100, 200), BlockMethod::LzRange},
  };
}

TEST(CompressedBlock, EveryMethodRoundTrips) {
  for (const auto& c : one_block_per_method()) {
    SCOPED_TRACE(c.name);
    const ByteBuffer compressed = compress_block(c.block);
    ASSERT_FALSE(compressed.empty());
    EXPECT_EQ(compressed[0], static_cast<std::uint8_t>(c.expected));
    EXPECT_LE(compressed.size(), c.block.size() + 1);
    EXPECT_EQ(decode(compressed, c.block.size()), c.block);
    EXPECT_FALSE(decompress_block(compressed, c.block.size() - 1).ok());
  }
}

// The payload each method stands for, produced by the coders on their own.
ByteBuffer candidate_payload(const ByteBuffer& block, BlockMethod method) {
  switch (method) {
    case BlockMethod::Lz: return lz_compress(block);
    case BlockMethod::LzHuffman: return huffman_compress(lz_compress(block));
    case BlockMethod::Stored: return block;
    case BlockMethod::Huffman: return huffman_compress(block);
    case BlockMethod::Range: return range_compress(block);
    case BlockMethod::LzRange: return range_compress(lz_compress(block));
  }
  return {};
}

// compress_block codes only the candidates that can still win and writes the
// winner once; its result must be the one that weighing every candidate
// exactly picks, byte for byte.
TEST(CompressedBlock, ResultIsTheCandidateThatExactWeighingPicks) {
  std::vector<std::pair<std::string, ByteBuffer>> cases;
  for (const auto& c : one_block_per_method()) cases.emplace_back(c.name, c.block);
  for (unsigned alphabet : {2u, 20u, 48u, 90u, 200u, 256u}) {
    cases.emplace_back("letters", random_bytes(20000, alphabet, alphabet));
    cases.emplace_back("letters with repeats", with_repeats(random_bytes(30000, alphabet, 9), 700, 40, 300));
  }
  for (const auto& [name, block] : cases) {
    SCOPED_TRACE(name);
    const BlockMethod method = choose_block_method(block_candidate_sizes(block));
    const ByteBuffer expected = concat({{static_cast<std::uint8_t>(method)}, candidate_payload(block, method)});
    EXPECT_EQ(compress_block(block), expected);
  }
}

TEST(CompressedBlock, RoundTripsBlocksAroundTheSizeThresholds) {
  for (std::size_t size : {1, 9, 10, 11, 255, 256, 511, 512, 513, 5000}) {
    for (unsigned alphabet : {1u, 3u, 40u, 256u}) {
      SCOPED_TRACE(testing::Message() << size << " bytes of " << alphabet << " values");
      const ByteBuffer block = random_bytes(size, alphabet, static_cast<unsigned>(size), 0xFF - alphabet + 1);
      const ByteBuffer compressed = compress_block(block);
      EXPECT_LE(compressed.size(), block.size() + 1);
      EXPECT_EQ(decode(compressed, block.size()), block);
    }
  }
}

TEST(CompressedBlock, DecoderRefusesMalformedBlocks) {
  const ByteBuffer bad_tokens = {'a', 0xFF, 0x02, 0x00, 0x06, 0x00};  // reaches before the start
  struct Case {
    const char* name;
    ByteBuffer block;
  } cases[] = {
      {"unknown method 06", {0x06, 'a', 'b'}},
      {"unknown method FF", {0xFF, 'a', 'b'}},
      {"LZ method without payload", {0x00}},
      {"LZ-Huffman method without payload", {0x01}},
      {"stored method without payload", {0x02}},
      {"Huffman method without payload", {0x03}},
      {"range method without payload", {0x04}},
      {"LZ-range method without payload", {0x05}},
      {"LZ token cut short", {0x00, 'a', 0xFF, 0x01}},
      {"LZ match before the start", concat({{0x00}, bad_tokens})},
      {"Huffman-coded tokens that reach before the start", concat({{0x01}, huffman_compress(bad_tokens)})},
      {"range-coded tokens that reach before the start", concat({{0x05}, range_compress(bad_tokens)})},
      {"Huffman payload of one byte", {0x03, 0x00}},
      {"range payload cut inside its model", {0x04, 0x02, 0x00, 0x61}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(decompress_block(c.block, 1000).ok());
  }
}

TEST(CompressedBlock, DecoderCapsStoredOutput) {
  const ByteBuffer block = {0x02, 'a', 'b', 'c'};
  EXPECT_EQ(decode(block, 3), bytes_of("abc"));
  EXPECT_FALSE(decompress_block(block, 2).ok());
}

TEST(CompressedBlock, EmptyBlockDecodesToNothing) {
  auto decoded = decompress_block({}, 0);
  ASSERT_TRUE(decoded.ok());
  EXPECT_TRUE(decoded.value().empty());
}

// ---- Decoding in pieces ------------------------------------------------------------

// The range coder's single-value form: nine bytes declaring `length` bytes.
ByteBuffer range_single(std::uint8_t value, std::uint32_t length) {
  ByteBuffer out = {0x01, 0x00, value, 0x00, 0x40};
  put_u32_le(out, length);
  return out;
}

TEST(PieceDecoding, LzPiecesOfAnySizeDecodeAsTheWholeStream) {
  const ByteBuffer tokens = lz_compress(bytes_of(repeat("ab\xFF" "cdefgh", 40) + repeat("\xFF", 30) + "tail"));
  auto whole = lz_decompress(tokens, 1 << 20);
  ASSERT_TRUE(whole.ok()) << whole.error();
  for (std::size_t piece = 1; piece <= 7; ++piece) {
    SCOPED_TRACE(piece);
    ByteBuffer out;
    LzPieceDecoder decoder(out, 1 << 20);
    for (std::size_t at = 0; at < tokens.size(); at += piece) {
      Status s = decoder.feed(ByteView(tokens).subspan(at, std::min(piece, tokens.size() - at)));
      ASSERT_TRUE(s.ok()) << s.error();
    }
    ASSERT_TRUE(decoder.finish().ok());
    EXPECT_EQ(out, whole.value());
  }
}

TEST(PieceDecoding, LzPiecesRefuseWhatTheWholeDecoderRefuses) {
  struct Case {
    const char* name;
    ByteBuffer tokens;
    std::size_t max_output;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"token cut at the end", {'a', 0xFF, 0x01, 0x00}, 100, "ends inside a token"},
      {"match before the start", {'a', 0xFF, 0x02, 0x00, 0x06, 0x00}, 100, "before the start"},
      {"match too short", {'a', 0xFF, 0x01, 0x00, 0x05, 0x00}, 100, "shorter than 6"},
      {"escape with a length", {0xFF, 0x00, 0x00, 0x02, 0x00}, 100, "not an escaped FF"},
      {"output past the cap", {'a', 0xFF, 0x01, 0x00, 0x06, 0x00}, 6, "size limit"},
      {"literals past the cap", bytes_of("abcdefg"), 6, "size limit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ByteBuffer out;
    LzPieceDecoder decoder(out, c.max_output);
    Status s = decoder.feed(ByteView(c.tokens).first(2));
    if (s) s = decoder.feed(ByteView(c.tokens).subspan(2));
    if (s) s = decoder.finish();
    ASSERT_FALSE(s.ok());
    EXPECT_NE(s.error().find(c.message), std::string::npos) << s.error();
    EXPECT_FALSE(lz_decompress(c.tokens, c.max_output).ok());
  }
}

// Nine bytes declaring a gigabyte: the decoders hand it over a piece at a
// time, so a sink that refuses stops them after the first piece.
TEST(PieceDecoding, EntropyDecodersStopWhenTheSinkRefuses) {
  const ByteBuffer range_bomb = range_single('A', 1u << 30);
  ByteBuffer huffman_bomb = {0xFF, 0x01, 'A', 0x01};
  put_u32_le(huffman_bomb, 1u << 20);
  huffman_bomb.resize(huffman_bomb.size() + (1u << 17), 0);
  struct Case {
    const char* name;
    Status (*decode)(ByteView, std::size_t, const PieceSink&);
    const ByteBuffer& data;
  };
  for (const Case& c : {Case{"range", range_decode_pieces, range_bomb}, Case{"huffman", huffman_decode_pieces, huffman_bomb}}) {
    SCOPED_TRACE(c.name);
    int calls = 0;
    Status s = c.decode(c.data, std::size_t{1} << 31, [&calls](ByteView piece) {
      ++calls;
      EXPECT_EQ(piece.size(), kDecodePieceSize);
      EXPECT_EQ(piece[0], 'A');
      return Status(data_error("enough"));
    });
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error(), "enough");
    EXPECT_EQ(calls, 1);
  }
}

// An entropy-coded token stream goes to the LZ decoder in pieces: four
// times the output cap of declared tokens fails once the output passes it.
TEST(PieceDecoding, EntropyCodedTokenBombsStopAtTheOutputCap) {
  ByteBuffer tokens = {'A'};
  for (int i = 0; i < 1000; ++i) tokens.insert(tokens.end(), {0xFF, 0x01, 0x00, 0xFF, 0xFF});
  const std::vector<std::pair<const char*, ByteBuffer>> cases = {
      {"range-coded literals", concat({{0x05}, range_single('A', 1u << 22)})},
      {"Huffman-coded matches", concat({{0x01}, huffman_compress(tokens)})},
      {"range-coded matches", concat({{0x05}, range_compress(tokens)})},
  };
  for (const auto& [name, block] : cases) {
    SCOPED_TRACE(name);
    auto decoded = decompress_block(block, std::size_t{1} << 20);
    ASSERT_FALSE(decoded.ok());
    EXPECT_NE(decoded.error().find("LZ output passes its size limit"), std::string::npos) << decoded.error();
  }
  // Within a cap that holds them, the same blocks decode in full.
  auto whole = decompress_block(concat({{0x01}, huffman_compress(tokens)}), 1 + 1000 * 65535);
  ASSERT_TRUE(whole.ok()) << whole.error();
  EXPECT_EQ(whole.value().size(), 1 + 1000 * 65535u);
}

}  // namespace
}  // namespace drux
