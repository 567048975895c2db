// End rules of the stream, archive, media and text families over files made by their own
// libraries or laid out by hand from the formats' definitions, followed by unrelated
// bytes: the rule must stop at the file's last byte, with the right verdict and kind.

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "formats/bytes.h"
#include "engines/raw/format_end.h"
#include "support/crc32.h"

namespace velk {
namespace {

using Bytes = std::vector<uint8_t>;

void add(Bytes& b, std::string_view s) { b.insert(b.end(), s.begin(), s.end()); }
void be32(Bytes& b, uint32_t v) { b.insert(b.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}); }
void le32(Bytes& b, uint32_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}); }

Bytes text(size_t n) {
  Bytes b;
  for (size_t i = 0; b.size() < n; ++i) add(b, "line " + std::to_string(i * 7919 % 1000) + " of the sample\n");
  return b;
}

Bytes gzip() {
  const Bytes in = text(20000);
  Bytes out(40000);
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = uInt(in.size());
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

Bytes bzip2() {
  Bytes in = text(20000), out(40000);
  unsigned n = unsigned(out.size());
  BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &n, reinterpret_cast<char*>(in.data()),
                           unsigned(in.size()), 9, 0, 0);
  out.resize(n);
  return out;
}

Bytes xz() {
  const Bytes in = text(20000);
  Bytes out(40000);
  size_t n = 0;
  lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr, in.data(), in.size(), out.data(), &n, out.size());
  out.resize(n);
  return out;
}

Bytes zstd() {
  const Bytes in = text(20000);
  Bytes out(ZSTD_compressBound(in.size()));
  out.resize(ZSTD_compress(out.data(), out.size(), in.data(), in.size(), 19));
  return out;
}

// ustar: one member and the two zero blocks, padded to the 10240-byte record.
Bytes tar() {
  Bytes h(512, 0);
  std::copy_n("a.txt", 5, h.begin());
  std::copy_n("0000644", 7, h.begin() + 100);
  std::copy_n("00000001750", 11, h.begin() + 124);  // 1000 bytes
  h[156] = '0';
  std::copy_n("ustar", 6, h.begin() + 257);
  std::fill_n(h.begin() + 148, 8, ' ');
  unsigned sum = 0;
  for (uint8_t c : h) sum += c;
  const std::string chk = [&] { char t[8]; std::snprintf(t, sizeof t, "%06o", sum); return std::string(t); }();
  std::copy(chk.begin(), chk.end(), h.begin() + 148);
  h[154] = 0;
  Bytes b = h;
  const Bytes data = text(1000);
  b.insert(b.end(), data.begin(), data.begin() + 1000);
  b.resize(10240, 0);
  return b;
}

// RAR 5: main header, end-of-archive header, each with its CRC-32.
Bytes rar5() {
  Bytes b;
  add(b, std::string_view("Rar!\x1A\x07\x01\x00", 8));
  for (Bytes fields : {Bytes{1, 0, 0}, Bytes{5, 0, 0}}) {  // type, flags, archive/end flags
    Bytes h{uint8_t(fields.size())};
    h.insert(h.end(), fields.begin(), fields.end());
    le32(b, crc32(h));
    b.insert(b.end(), h.begin(), h.end());
  }
  return b;
}

// MPEG-1 layer III, 128 kbit/s, 44.1 kHz frames (417 bytes) after an ID3v2 tag, then ID3v1.
Bytes mp3() {
  Bytes b;
  add(b, std::string_view("ID3\x03\x00\x00\x00\x00\x00\x0A", 10));
  b.resize(20, 0);
  for (int i = 0; i < 6; ++i) {
    b.insert(b.end(), {0xFF, 0xFB, 0x90, 0x00});
    b.resize(b.size() + 413, uint8_t(i));
  }
  add(b, "TAG");
  b.resize(b.size() + 125, ' ');
  return b;
}

// Ogg: a first and a last page of one stream, each with its CRC.
Bytes ogg() {
  auto crc = [](const Bytes& p) {
    uint32_t c = 0;
    for (uint8_t v : p) {
      c ^= uint32_t(v) << 24;
      for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
    }
    return c;
  };
  Bytes b;
  for (uint8_t type : {uint8_t(2), uint8_t(4)}) {
    Bytes p;
    add(p, "OggS");
    p.insert(p.end(), {0, type});
    p.resize(p.size() + 8, 0);  // granule
    le32(p, 77);                // serial
    le32(p, type == 2 ? 0 : 1);
    le32(p, 0);                 // CRC, filled below
    p.insert(p.end(), {1, 30});
    p.resize(p.size() + 30, 0x41);
    const uint32_t c = crc(p);
    putLe32(&p[22], c);
    b.insert(b.end(), p.begin(), p.end());
  }
  return b;
}

Bytes box(std::string_view type, const Bytes& payload) {
  Bytes b;
  be32(b, uint32_t(8 + payload.size()));
  add(b, type);
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

Bytes mp4(std::string_view brand) {
  Bytes ftyp;
  add(ftyp, brand);
  ftyp.resize(8, 0);
  add(ftyp, "isom");
  Bytes b = box("ftyp", ftyp);
  for (const Bytes& part : {box("moov", box("mvhd", Bytes(100, 0))), box("free", {}), box("mdat", Bytes(3000, 7))})
    b.insert(b.end(), part.begin(), part.end());
  return b;
}

// EBML header (DocType "webm"), then a Segment of known size.
Bytes webm() {
  Bytes b{0x1A, 0x45, 0xDF, 0xA3, 0x87, 0x42, 0x82, 0x84, 'w', 'e', 'b', 'm'};
  b.insert(b.end(), {0x18, 0x53, 0x80, 0x67, 0x40, 0x64});  // Segment, 100 bytes
  b.resize(b.size() + 100, 0x33);
  return b;
}

// Photoshop: header, empty colour data, resources and layers, then raw planes.
Bytes psd() {
  Bytes b;
  add(b, "8BPS");
  b.insert(b.end(), {0, 1, 0, 0, 0, 0, 0, 0, 0, 3});
  be32(b, 4);  // height
  be32(b, 5);  // width
  b.insert(b.end(), {0, 8, 0, 3});
  for (int i = 0; i < 3; ++i) be32(b, 0);
  b.insert(b.end(), {0, 0});
  b.resize(b.size() + 3 * 4 * 5, 0x80);
  return b;
}

Bytes str(std::string_view s) { return Bytes(s.begin(), s.end()); }

struct FamilyCase {
  const char* name;
  const char* extension;
  std::function<Bytes()> make;
  StructureVerdict verdict = StructureVerdict::Verified;
  const char* inner = "";
};
inline void PrintTo(const FamilyCase& c, std::ostream* os) { *os << c.name; }

class FamilyEndRule : public ::testing::TestWithParam<FamilyCase> {};

TEST_P(FamilyEndRule, StopsAtTheFilesLastByteAndATruncatedOneIsNotWhole) {
  const FamilyCase& c = GetParam();
  const Bytes file = c.make();
  Bytes window = file;
  window.resize(file.size() + 4096, 0x5A);  // unrelated bytes up to the size limit
  MemorySource src(window);
  const FormatEnd end = findFormatEnd(c.extension, src);
  EXPECT_EQ(end.verdict, c.verdict);
  EXPECT_EQ(end.end, file.size());
  EXPECT_EQ(end.extension, c.inner);
  EXPECT_FALSE(end.guessed);

  Bytes cut(file.begin(), file.end() - 3);
  MemorySource short_(cut);
  const FormatEnd partial = findFormatEnd(c.extension, short_);
  EXPECT_TRUE(partial.verdict == StructureVerdict::Damaged || partial.end < cut.size() || partial.guessed);
}

constexpr StructureVerdict U = StructureVerdict::Unverified, V = StructureVerdict::Verified;

INSTANTIATE_TEST_SUITE_P(
    Families, FamilyEndRule,
    ::testing::Values(
        FamilyCase{"gzip", "gz", gzip}, FamilyCase{"bzip2", "bz2", bzip2}, FamilyCase{"xz", "xz", xz},
        FamilyCase{"zstd", "zst", zstd}, FamilyCase{"tar", "tar", tar}, FamilyCase{"rar5", "rar", rar5},
        FamilyCase{"mp3", "mp3", mp3, U}, FamilyCase{"ogg", "ogg", ogg},
        FamilyCase{"mp4", "mp4", [] { return mp4("isom"); }, V, "mp4"},
        FamilyCase{"mov_found_as_mp4", "mp4", [] { return mp4("qt  "); }, V, "mov"},
        FamilyCase{"heic", "mp4", [] { return mp4("heic"); }, V, "heic"},
        FamilyCase{"webm", "mkv", webm, V, "webm"}, FamilyCase{"psd", "psd", psd, U},
        FamilyCase{"svg", "xml",
                   [] { return str("<?xml version=\"1.0\"?>\n<!-- <svg> -->\n<svg a=\"1\"><svg/><svg></svg></svg>\n"); },
                   V, "svg"},
        FamilyCase{"eml", "eml",
                   [] {
                     return str("From: a@b\r\nContent-Type: multipart/mixed; boundary=\"XY\"\r\n\r\n--XY\r\n\r\nhi\r\n"
                                "--XY--\r\n");
                   }},
        FamilyCase{"pnm", "pgm", [] { return str("P5\n# made\n3 2\n255\n\x01\x02\x03\x04\x05\x06"); }, U},
        FamilyCase{"pdf_with_a_stream_holding_eof", "pdf",
                   [] {
                     return str("%PDF-1.7\n1 0 obj<</Length 5>>stream\n%%EOF\nendstream endobj\nxref\n0 1\n"
                                "trailer<<>>\nstartxref\n59\n%%EOF\n");
                   }}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(FamilyEndRule, AStreamWithABadChecksumIsDamaged) {
  Bytes f = gzip();
  f[f.size() - 6] ^= 1;  // the CRC-32 of the decoded data
  MemorySource src(f);
  EXPECT_EQ(findFormatEnd("gz", src).verdict, StructureVerdict::Damaged);
}

TEST(FamilyEndRule, TextWithoutItsClosingMarkEndsAtItsLastLineAsAGuess) {
  Bytes f = str("#!/bin/sh\necho one\necho two\n");
  const size_t size = f.size();
  f.insert(f.end(), {'x', 0x01, 0x02});  // text stops at the control characters
  MemorySource src(f);
  const FormatEnd end = findFormatEnd("sh", src);
  EXPECT_EQ(end.end, size);
  EXPECT_TRUE(end.guessed);
}

}  // namespace
}  // namespace velk
