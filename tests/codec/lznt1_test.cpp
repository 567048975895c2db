#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "codec/lznt1.h"
#include "formats/bytes.h"
#include "test_support.h"

namespace velk {
namespace {

using Bytes = std::vector<uint8_t>;
using codec::lznt1Compress;
using codec::lznt1Decompress;
using codec::lznt1DecompressInto;

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes randomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes b(n);
  for (auto& x : b) x = uint8_t(gen());
  return b;
}

void appendLe16(Bytes& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}

// A compressed chunk header for a body of n bytes: size field = n + 2 − 3, signature 3.
uint16_t compressedHeader(size_t n) { return uint16_t(0xB000 | (n - 1)); }

// ---------------------------------------------------------------- round trips

class Lznt1RoundTrip : public ::testing::Test {
 protected:
  static void expectRoundTrip(const Bytes& plain) {
    const Bytes packed = lznt1Compress(plain);
    Bytes back;
    ASSERT_TRUE(lznt1Decompress(packed, back)) << plain.size() << " bytes";
    ASSERT_EQ(back.size(), plain.size());
    EXPECT_TRUE(back == plain) << plain.size() << " bytes";
  }
};

TEST_F(Lznt1RoundTrip, EmptyInputIsAnEmptyStream) {
  EXPECT_TRUE(lznt1Compress({}).empty());
  Bytes out;
  EXPECT_TRUE(lznt1Decompress({}, out));
  EXPECT_TRUE(out.empty());
}

TEST_F(Lznt1RoundTrip, OneByteIsStoredInAnUncompressedChunk) {
  // size field 1 + 2 − 3 = 0, signature 3, compressed bit clear
  EXPECT_EQ(lznt1Compress(text("x")), (Bytes{0x00, 0x30, 'x'}));
  expectRoundTrip(text("x"));
}

TEST_F(Lznt1RoundTrip, RepeatedTripletIsOneReference) {
  // flags 0000 1000: three literals, then offset 3 length 9 at position 3 (4 offset bits):
  // ((3 − 1) << 12) | (9 − 3) = 0x2006. Body 6 bytes, header 0xB005.
  EXPECT_EQ(lznt1Compress(text("abcabcabcabc")), (Bytes{0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x06, 0x20}));
}

TEST_F(Lznt1RoundTrip, SizesAroundTheChunkBoundary) {
  for (size_t n : {4095u, 4096u, 4097u, 8191u, 8192u, 8193u}) {
    expectRoundTrip(randomBytes(n, uint32_t(n)));
    Bytes repetitive(n);
    for (size_t i = 0; i < n; ++i) repetitive[i] = uint8_t("velk file recovery "[i % 19]);
    expectRoundTrip(repetitive);
  }
}

TEST_F(Lznt1RoundTrip, RandomDataIsStoredChunkByChunk) {
  const Bytes plain = randomBytes(100000, 7);
  const Bytes packed = lznt1Compress(plain);
  // 25 chunks, each a 2-byte header and its bytes as they are.
  ASSERT_EQ(packed.size(), plain.size() + 25 * 2);
  EXPECT_EQ(le16(packed.data()), 0x3FFF);
  EXPECT_EQ(le16(packed.data() + 24 * 4098), 0x3000 | (100000 - 24 * 4096 - 1));
  expectRoundTrip(plain);
}

TEST_F(Lznt1RoundTrip, HighlyRepetitiveDataShrinks) {
  const Bytes plain(65536, 'a');
  const Bytes packed = lznt1Compress(plain);
  EXPECT_LT(packed.size(), 16u * 16);  // a literal and a few long references per chunk
  expectRoundTrip(plain);
}

TEST_F(Lznt1RoundTrip, RunsCrossingEveryOffsetSplit) {
  // A run starting just before, at and just after each position where the offset field
  // grows by one bit, so references are encoded with every split.
  for (size_t threshold = 16; threshold <= 2048; threshold *= 2) {
    for (size_t start : {threshold - 1, threshold, threshold + 1}) {
      Bytes plain = randomBytes(start, uint32_t(start));
      plain.insert(plain.end(), 3000, uint8_t('Z'));
      const Bytes tail = randomBytes(1500, uint32_t(start + 1));
      plain.insert(plain.end(), tail.begin(), tail.end());
      plain.insert(plain.end(), plain.begin(), plain.begin() + 2000);  // far references
      expectRoundTrip(plain);
    }
  }
}

// ---------------------------------------------------------------- hand-built streams

class Lznt1Format : public ::testing::Test {
 protected:
  // Chunk body of `count` literals 0, 1, 2 ... in flag groups, then one back reference.
  static Bytes literalsThenReference(size_t count, uint16_t token) {
    Bytes body;
    size_t i = 0;
    while (i < count) {
      const size_t inGroup = std::min<size_t>(8, count - i);
      const bool referenceHere = inGroup < 8;
      body.push_back(referenceHere ? uint8_t(1u << inGroup) : 0);
      for (size_t k = 0; k < inGroup; ++k, ++i) body.push_back(uint8_t(i * 13 + 1));
      if (referenceHere) appendLe16(body, token);
    }
    if (count % 8 == 0) {
      body.push_back(0x01);
      appendLe16(body, token);
    }
    Bytes chunk;
    appendLe16(chunk, compressedHeader(body.size()));
    chunk.insert(chunk.end(), body.begin(), body.end());
    return chunk;
  }
};

TEST_F(Lznt1Format, UncompressedChunkIsCopied) {
  const Bytes payload = randomBytes(4096, 3);
  Bytes stream{0xFF, 0x3F};  // size field 4096 + 2 − 3 = 0xFFF
  stream.insert(stream.end(), payload.begin(), payload.end());
  Bytes out;
  ASSERT_TRUE(lznt1Decompress(stream, out));
  EXPECT_TRUE(out == payload);
}

TEST_F(Lznt1Format, BackReferenceAtEachOffsetSplit) {
  // (position, offset bits): the offset field is as wide as position − 1 needs, 4 to 12.
  const std::pair<size_t, unsigned> splits[] = {
      {1, 4},    {16, 4},   {17, 5},   {32, 5},    {33, 6},    {64, 6},    {65, 7},
      {128, 7},  {129, 8},  {256, 8},  {257, 9},   {512, 9},   {513, 10},  {1024, 10},
      {1025, 11}, {2048, 11}, {2049, 12}, {3500, 12}};
  for (auto [pos, offsetBits] : splits) {
    const unsigned lengthBits = 16 - offsetBits;
    // Reach back to the chunk start; copy 3 bytes (overlapping its own output when pos < 3).
    const size_t offset = pos;
    const size_t length = 3;
    const uint16_t token = uint16_t(((offset - 1) << lengthBits) | (length - 3));
    Bytes out;
    ASSERT_TRUE(lznt1Decompress(literalsThenReference(pos, token), out)) << pos;
    ASSERT_EQ(out.size(), pos + length) << pos;
    for (size_t k = 0; k < length; ++k) EXPECT_EQ(out[pos + k], uint8_t(k % pos * 13 + 1)) << pos;
  }
}

TEST_F(Lznt1Format, LongestLengthOfEachSplit) {
  // At position 17 (5 offset bits) the length field has 11 bits: up to 2047 + 3.
  const uint16_t token = uint16_t(((17 - 1) << 11) | 2047);
  Bytes out;
  ASSERT_TRUE(lznt1Decompress(literalsThenReference(17, token), out));
  ASSERT_EQ(out.size(), 17u + 2050u);
  for (size_t k = 17; k < out.size(); ++k) ASSERT_EQ(out[k], out[k - 17]) << k;
  // The same word read with the 4-bit split would mean offset 9, length 2050.
  EXPECT_NE(out[17], out[17 - 9]);
}

TEST_F(Lznt1Format, OverlappingReferenceRepeatsItsSource) {
  // "ab" then offset 2 length 7 at position 2: ((2 − 1) << 12) | 4 = 0x1004.
  const Bytes stream{0x04, 0xB0, 0x04, 'a', 'b', 0x04, 0x10};
  Bytes out;
  ASSERT_TRUE(lznt1Decompress(stream, out));
  EXPECT_EQ(out, text("ababababa"));
}

TEST_F(Lznt1Format, ZeroHeaderEndsTheStream) {
  const Bytes stream{0x02, 0x30, 'a', 'b', 'c', 0x00, 0x00, 0x02, 0x30, 'x', 'y', 'z'};
  Bytes out;
  ASSERT_TRUE(lznt1Decompress(stream, out));
  EXPECT_EQ(out, text("abc"));
}

TEST_F(Lznt1Format, ShortChunkBeforeAnotherIsPaddedToFourKiB) {
  // "abcabcabcabc" (12 bytes) then an uncompressed chunk "z": the second chunk starts at
  // output offset 4096. The last chunk is not padded.
  const Bytes stream{0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x06, 0x20, 0x00, 0x30, 'z'};
  Bytes out;
  ASSERT_TRUE(lznt1Decompress(stream, out));
  ASSERT_EQ(out.size(), 4097u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 12), text("abcabcabcabc"));
  EXPECT_EQ(std::count(out.begin() + 12, out.begin() + 4096, 0), 4096 - 12);
  EXPECT_EQ(out[4096], 'z');
}

TEST_F(Lznt1Format, AppendsOrFillsTheCallersBuffer) {
  const Bytes stream{0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x06, 0x20};
  Bytes out = text("->");
  ASSERT_TRUE(lznt1Decompress(stream, out));
  EXPECT_EQ(out, text("->abcabcabcabc"));
  Bytes unit(65536, 0xEE);
  const auto n = lznt1DecompressInto(stream, unit);
  ASSERT_TRUE(n.has_value());
  EXPECT_EQ(*n, 12u);
  EXPECT_EQ(std::memcmp(unit.data(), "abcabcabcabc", 12), 0);
  EXPECT_EQ(unit[12], 0xEE);  // nothing written past the output
}

// ---------------------------------------------------------------- malformed input

class Lznt1Malformed : public ::testing::Test {
 protected:
  // The input lives in its own heap block of exactly its size, so the sanitizer catches
  // a read past it.
  static bool decode(const Bytes& stream, Bytes& out, size_t maxOut = SIZE_MAX) {
    auto exact = std::make_unique<uint8_t[]>(stream.size());
    std::memcpy(exact.get(), stream.data(), stream.size());
    return lznt1Decompress(std::span<const uint8_t>(exact.get(), stream.size()), out, maxOut);
  }
};

TEST_F(Lznt1Malformed, ReferenceBeforeTheChunkStart) {
  Bytes out;
  EXPECT_FALSE(decode({0x02, 0xB0, 0x01, 0x00, 0x00}, out));  // at position 0
  EXPECT_TRUE(out.empty());
  // "a" then offset 2 at position 1: ((2 − 1) << 12) | 0 = 0x1000. What decoded stays.
  EXPECT_FALSE(decode({0x03, 0xB0, 0x02, 'a', 0x00, 0x10}, out));
  EXPECT_EQ(out, text("a"));
  // Chunks are independent: the start of chunk 2 cannot reach back into chunk 1.
  EXPECT_FALSE(decode({0x02, 0x30, 'a', 'b', 'c', 0x02, 0xB0, 0x01, 0x00, 0x00}, out));
}

TEST_F(Lznt1Malformed, ReferenceCutByChunkEnd) {
  Bytes out;
  EXPECT_FALSE(decode({0x02, 0xB0, 0x02, 'a', 0x00}, out));
  EXPECT_EQ(out, text("a"));
}

TEST_F(Lznt1Malformed, ChunkRunningPastTheInput) {
  Bytes out;
  EXPECT_FALSE(decode({0x63, 0x30, 'a', 'b'}, out));  // claims 100 bytes, has 2
  Bytes full{0xFF, 0x3F};
  full.resize(2 + 4095, 'q');  // one byte short of 4096
  EXPECT_FALSE(decode(full, out));
}

TEST_F(Lznt1Malformed, ChunkDecodingPastFourKiB) {
  // 8 literals, then offset 1 at position 8 (4 offset bits, 12 length bits).
  auto chunk = [](uint16_t token, bool trailingLiteral) {
    Bytes body{0x00};
    body.insert(body.end(), 8, uint8_t('r'));
    body.push_back(0x01);  // a reference, then (maybe) a literal
    appendLe16(body, token);
    if (trailingLiteral) body.push_back('!');
    Bytes stream;
    appendLe16(stream, compressedHeader(body.size()));
    stream.insert(stream.end(), body.begin(), body.end());
    return stream;
  };
  Bytes out;
  EXPECT_TRUE(decode(chunk(4088 - 3, false), out));  // ends exactly at 4096
  EXPECT_EQ(out.size(), 4096u);
  out.clear();
  EXPECT_FALSE(decode(chunk(4089 - 3, false), out));  // one byte too far
  EXPECT_EQ(out, Bytes(8, 'r'));
  out.clear();
  EXPECT_FALSE(decode(chunk(4088 - 3, true), out));  // a literal after a full chunk
  EXPECT_EQ(out.size(), 4096u);
}

TEST_F(Lznt1Malformed, OutputBeyondTheLimit) {
  Bytes stream{0xFF, 0x3F};
  const Bytes payload = randomBytes(4096, 11);
  stream.insert(stream.end(), payload.begin(), payload.end());
  Bytes out;
  EXPECT_FALSE(decode(stream, out, 100));
  ASSERT_EQ(out.size(), 100u);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), payload.begin()));
  out.clear();
  EXPECT_TRUE(decode(stream, out, 4096));
}

TEST_F(Lznt1Malformed, DecompressIntoNeverWritesPastItsBuffer) {
  const Bytes plain = randomBytes(9000, 5);
  const Bytes packed = lznt1Compress(plain);
  Bytes storage(8192 + 16, 0xA5);
  const auto n = lznt1DecompressInto(packed, std::span<uint8_t>(storage.data(), 8192));
  EXPECT_FALSE(n.has_value());
  for (size_t i = 8192; i < storage.size(); ++i) ASSERT_EQ(storage[i], 0xA5) << i;
  EXPECT_TRUE(std::equal(storage.begin(), storage.begin() + 8192, plain.begin()));
}

// ---------------------------------------------------------------- ntfs-3g's output

// One row of the sample's sidecar file (tools/build_lznt1_sample.sh).
struct SampleUnit {
  size_t offset = 0;
  size_t length = 0;
  size_t plainLength = 0;
  std::string sha256;
};

constexpr size_t kClusterBytes = 4096;
constexpr size_t kUnitClusters = 16;
constexpr size_t kUnitBytes = kClusterBytes * kUnitClusters;

TEST(Lznt1Ntfs3g, CompressedUnitsDecodeToTheOriginal) {
  const std::filesystem::path dir = VELK_FIXTURE_SOURCE_DIR;
  const Bytes bin = test::readFile(dir / "lznt1_ntfs3g_unit.bin");
  std::ifstream sums(dir / "lznt1_ntfs3g_unit.sha256");
  std::vector<SampleUnit> units;
  for (SampleUnit u; sums >> u.offset >> u.length >> u.plainLength >> u.sha256;) units.push_back(u);
  ASSERT_EQ(units.size(), 2u);
  for (const auto& u : units) {
    ASSERT_LE(u.offset + u.length, bin.size());
    Bytes plain(kUnitBytes, 0xEE);
    const auto n = lznt1DecompressInto(std::span(bin).subspan(u.offset, u.length), plain);
    ASSERT_TRUE(n.has_value()) << u.offset;
    ASSERT_GE(*n, u.plainLength);
    plain.resize(u.plainLength);
    EXPECT_EQ(test::sha256Hex(plain), u.sha256) << u.offset;
  }
}

// Every compressed file of the NTFS fixture, rebuilt from its clusters: stored units are
// copied, LZNT1 units decoded, the rest of a unit is zeros.
TEST(Lznt1Ntfs3g, CompressedFilesOfTheNtfsFixture) {
  const std::string image = "ntfs_deleted.img";
  if (!test::fixtureExists(image)) GTEST_FAIL() << "no " << image;
  std::ifstream img(test::fixturePath(image), std::ios::binary);
  int checked = 0;
  for (const auto& row : test::loadManifest("ntfs_deleted")) {
    if (row.notes.find("units=") == std::string::npos) continue;
    // runs=N [LCNxLEN,holexLEN,...]
    const size_t open = row.notes.find('[');
    const size_t close = row.notes.find(']', open);
    ASSERT_NE(close, std::string::npos) << row.path;
    std::vector<std::optional<uint64_t>> lcnOfVcn;
    std::stringstream runs(row.notes.substr(open + 1, close - open - 1));
    for (std::string run; std::getline(runs, run, ',');) {
      const size_t x = run.find('x');
      const uint64_t count = std::stoull(run.substr(x + 1));
      const bool hole = run.compare(0, x, "hole") == 0;
      const uint64_t lcn = hole ? 0 : std::stoull(run.substr(0, x));
      for (uint64_t i = 0; i < count; ++i)
        lcnOfVcn.push_back(hole ? std::nullopt : std::optional<uint64_t>(lcn + i));
    }
    Bytes file;
    for (size_t unit = 0; unit * kUnitClusters < lcnOfVcn.size(); ++unit) {
      Bytes stored;
      for (size_t v = unit * kUnitClusters; v < std::min(lcnOfVcn.size(), (unit + 1) * kUnitClusters); ++v) {
        if (!lcnOfVcn[v]) continue;
        Bytes cluster(kClusterBytes);
        img.seekg(std::streamoff(*lcnOfVcn[v] * kClusterBytes));
        img.read(reinterpret_cast<char*>(cluster.data()), std::streamsize(cluster.size()));
        ASSERT_TRUE(img) << row.path;
        stored.insert(stored.end(), cluster.begin(), cluster.end());
      }
      if (stored.size() == kUnitBytes) {
        file.insert(file.end(), stored.begin(), stored.end());
        continue;
      }
      Bytes plain(kUnitBytes, 0);
      ASSERT_TRUE(lznt1DecompressInto(stored, plain).has_value()) << row.path << " unit " << unit;
      file.insert(file.end(), plain.begin(), plain.end());
    }
    ASSERT_GE(file.size(), row.size) << row.path;
    file.resize(row.size);
    EXPECT_EQ(test::sha256Hex(file), row.sha256) << row.path;
    ++checked;
  }
  EXPECT_EQ(checked, 5);
}

}  // namespace
}  // namespace velk
