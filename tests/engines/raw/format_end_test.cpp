// Format-aware ends over hand-built files followed by unrelated bytes: the rule must stop
// exactly at the file's last byte, and a file broken in one field must not pass as valid.

#include <gtest/gtest.h>

#include <cstring>
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
void add(Bytes& b, std::initializer_list<uint8_t> v) { b.insert(b.end(), v); }
void le16(Bytes& b, uint16_t v) { add(b, {uint8_t(v), uint8_t(v >> 8)}); }
void le32(Bytes& b, uint32_t v) { add(b, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}); }
void be32(Bytes& b, uint32_t v) { add(b, {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}); }

Bytes jpeg() {
  Bytes b{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10};
  add(b, std::string_view("JFIF\0\1\1\0\0\1\0\1\0\0", 14));
  add(b, {0xFF, 0xC0, 0x00, 0x0B, 8, 0, 1, 0, 1, 1, 1, 0x11, 0});  // baseline frame, 1×1, one component
  add(b, {0xFF, 0xDA, 0x00, 0x08, 1, 1, 0, 0, 0x3F, 0});
  add(b, {0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD0, 0x56, 0xFF, 0xFF, 0xD9});  // stuffing, restart, fill
  return b;
}

void pngChunk(Bytes& b, std::string_view type, const Bytes& data) {
  be32(b, uint32_t(data.size()));
  Bytes td(type.begin(), type.end());
  td.insert(td.end(), data.begin(), data.end());
  b.insert(b.end(), td.begin(), td.end());
  be32(b, crc32(td));
}
Bytes png() {
  Bytes b{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  pngChunk(b, "IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 8, 2, 0, 0, 0});
  pngChunk(b, "IDAT", {1, 2, 3, 4});
  pngChunk(b, "IEND", {});
  return b;
}

Bytes gif() {
  Bytes b;
  add(b, "GIF89a");
  add(b, {1, 0, 1, 0, 0x80, 0, 0});          // 1×1, global table of 2 colours
  add(b, {0, 0, 0, 255, 255, 255});
  add(b, {0x21, 0xF9, 4, 0, 0, 0, 0, 0});     // graphic control extension
  add(b, {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0});  // image descriptor
  add(b, {2, 2, 0x4C, 0x01, 0});              // LZW size, one sub-block, terminator
  add(b, {0x3B});
  return b;
}

Bytes bmp() {
  Bytes b;
  add(b, "BM");
  le32(b, 58);
  le32(b, 0);
  le32(b, 54);
  le32(b, 40);
  b.resize(54, 0);
  add(b, {1, 2, 3, 0});
  return b;
}

Bytes wav() {
  Bytes b;
  add(b, "RIFF");
  le32(b, 4 + 8 + 16 + 8 + 6);
  add(b, "WAVEfmt ");
  le32(b, 16);
  b.resize(b.size() + 16, 1);
  add(b, "data");
  le32(b, 6);
  add(b, {1, 2, 3, 4, 5, 6});
  return b;
}

Bytes tiff() {
  Bytes b{'I', 'I', 42, 0};
  le32(b, 8);
  le16(b, 2);
  le16(b, 273), le16(b, 4), le32(b, 1), le32(b, 100);  // StripOffsets
  le16(b, 279), le16(b, 4), le32(b, 1), le32(b, 50);   // StripByteCounts
  le32(b, 0);
  b.resize(150, 0x77);
  return b;
}

// A stored ZIP of the named members, each holding "hello".
Bytes zipWith(std::vector<std::string_view> names) {
  Bytes b;
  const std::string_view data = "hello";
  const uint32_t crc = crc32(ByteSpan(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
  std::vector<uint32_t> offsets;
  for (std::string_view name : names) {
    offsets.push_back(uint32_t(b.size()));
    add(b, "PK\x03\x04");
    le16(b, 10), le16(b, 0), le16(b, 0), le16(b, 0), le16(b, 0);
    le32(b, crc), le32(b, uint32_t(data.size())), le32(b, uint32_t(data.size()));
    le16(b, uint16_t(name.size())), le16(b, 0);
    add(b, name);
    add(b, data);
  }
  const uint32_t cd = uint32_t(b.size());
  for (size_t i = 0; i < names.size(); ++i) {
    add(b, "PK\x01\x02");
    le16(b, 20), le16(b, 10), le16(b, 0), le16(b, 0), le16(b, 0), le16(b, 0);
    le32(b, crc), le32(b, uint32_t(data.size())), le32(b, uint32_t(data.size()));
    le16(b, uint16_t(names[i].size())), le16(b, 0), le16(b, 0), le16(b, 0), le16(b, 0);
    le32(b, 0), le32(b, offsets[i]);
    add(b, names[i]);
  }
  const uint32_t cdSize = uint32_t(b.size()) - cd;
  add(b, "PK\x05\x06");
  le16(b, 0), le16(b, 0), le16(b, uint16_t(names.size())), le16(b, uint16_t(names.size()));
  le32(b, cdSize), le32(b, cd);
  le16(b, 2);
  add(b, "hi");
  return b;
}

// A body with its trailer, then an incremental update whose trailer ends the file.
Bytes pdf() {
  Bytes b;
  add(b, "%PDF-1.4\n1 0 obj\n<<>>\nendobj\nxref\n0 1\n0000000000 65535 f \ntrailer\n<<>>\nstartxref\n29\n%%EOF\n");
  add(b, "2 0 obj\n<<>>\nendobj\nstartxref\n29\n%%EOF\r\n");
  return b;
}

Bytes rtf() {
  Bytes b;
  add(b, "{\\rtf1\\ansi {\\b bold} \\{ brace \\} {\\*\\x \\bin3 }}}}end}\r\n");
  return b;
}

Bytes html() {
  Bytes b;
  add(b, "<!DOCTYPE html>\n<html><body>x</body></HTML>\n");
  return b;
}

Bytes iso() {
  Bytes b(20 * 2048, 0);
  uint8_t* d = b.data() + 32768;
  d[0] = 1;
  std::memcpy(d + 1, "CD001", 5);
  d[6] = 1;
  putLe32(d + 80, 20);
  putLe16(d + 128, 2048);
  return b;
}

Bytes ole2(std::u16string stream) {
  Bytes b(2048, 0);
  const uint8_t sig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::memcpy(b.data(), sig, 8);
  putLe16(&b[0x1A], 3);
  putLe16(&b[0x1E], 9);
  putLe32(&b[0x2C], 1);           // one allocation-table sector
  putLe32(&b[0x30], 1);           // directory in sector 1
  putLe32(&b[0x44], 0xFFFFFFFE);  // no further table list
  for (int i = 0; i < 109; ++i) putLe32(&b[0x4C + i * 4], i == 0 ? 0 : 0xFFFFFFFF);
  for (int i = 0; i < 128; ++i) putLe32(&b[512 + i * 4], 0xFFFFFFFF);
  putLe32(&b[512 + 0], 0xFFFFFFFD);  // the table itself
  putLe32(&b[512 + 4], 0xFFFFFFFE);  // directory
  putLe32(&b[512 + 8], 0xFFFFFFFE);  // one stream sector
  auto name = [&](int slot, std::u16string n) {
    uint8_t* e = &b[1024 + slot * 128];
    for (size_t i = 0; i < n.size(); ++i) putLe16(e + 2 * i, uint16_t(n[i]));
    putLe16(e + 0x40, uint16_t(2 * (n.size() + 1)));
  };
  name(0, u"Root Entry");
  name(1, stream);
  return b;
}

struct EndCase {
  const char* name;
  const char* extension;
  std::function<Bytes()> make;
  StructureVerdict verdict = StructureVerdict::Verified;
  const char* inner = "";  // the extension found inside, if any
  // A trailer that may legitimately end earlier (PDF updates, RTF's optional line end)
  // cannot tell a cut file from a whole one.
  bool cutIsVisible = true;
};
// Test names and failure messages show the case, not its bytes.
inline void PrintTo(const EndCase& c, std::ostream* os) { *os << c.name; }

class FormatEndRule : public ::testing::TestWithParam<EndCase> {};
constexpr StructureVerdict V = StructureVerdict::Verified, U = StructureVerdict::Unverified;

TEST_P(FormatEndRule, StopsAtTheFilesLastByte) {
  const EndCase& c = GetParam();
  Bytes file = c.make();
  Bytes window = file;
  window.resize(file.size() + 3000, 0x5A);  // unrelated bytes up to the next header
  MemorySource src(window);
  FormatEnd end = findFormatEnd(c.extension, src);
  EXPECT_EQ(end.verdict, c.verdict);
  EXPECT_EQ(end.end, file.size());
  EXPECT_EQ(end.extension, c.inner);
  EXPECT_EQ(endModeOf(c.extension), EndMode::Decoded);
}

// A source that only copies, as a device window does: the rules must see the same bytes
// as through one that lends them in place, across more than one of the reader's blocks.
class CopyingSource final : public ByteSource {
 public:
  explicit CopyingSource(const Bytes& bytes) : m_source(bytes) {}
  uint64_t size() const override { return m_source.size(); }
  size_t read(uint64_t offset, uint8_t* out, size_t n) override { return m_source.read(offset, out, n); }

 private:
  MemorySource m_source;
};

TEST_P(FormatEndRule, ACopyingSourceFindsTheSameEnd) {
  const EndCase& c = GetParam();
  Bytes window = c.make();
  const size_t size = window.size();
  window.resize(size + (3u << 20), 0x5A);
  MemorySource lending(window);
  CopyingSource copying(window);
  ASSERT_NE(lending.peek(0, window.size()), nullptr);
  EXPECT_EQ(copying.peek(0, 1), nullptr);
  const FormatEnd a = findFormatEnd(c.extension, lending);
  const FormatEnd b = findFormatEnd(c.extension, copying);
  EXPECT_EQ(b.verdict, c.verdict);
  EXPECT_EQ(b.end, size);
  EXPECT_EQ(a.verdict, b.verdict);
  EXPECT_EQ(a.end, b.end);
  EXPECT_EQ(a.extension, b.extension);
}

TEST_P(FormatEndRule, TruncatedFileIsBroken) {
  const EndCase& c = GetParam();
  if (!c.cutIsVisible) GTEST_SKIP() << "a shorter file of this format is whole too";
  Bytes file = c.make();
  file.resize(file.size() - 2);
  MemorySource src(file);
  const FormatEnd end = findFormatEnd(c.extension, src);
  EXPECT_TRUE(end.verdict == StructureVerdict::Damaged || end.guessed);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FormatEndRule,
    ::testing::Values(
        EndCase{"jpeg", "jpg", jpeg}, EndCase{"png", "png", png}, EndCase{"gif", "gif", gif},
        EndCase{"bmp", "bmp", bmp, U}, EndCase{"wav", "wav", wav, U}, EndCase{"tiff", "tif", tiff, U, "tif"},
        EndCase{"zip", "zip", [] { return zipWith({"a.txt"}); }, V, "zip"},
        EndCase{"docx", "docx", [] { return zipWith({"[Content_Types].xml", "word/document.xml"}); }, V, "docx"},
        EndCase{"xlsx_found_as_zip", "zip", [] { return zipWith({"[Content_Types].xml", "xl/workbook.xml"}); }, V, "xlsx"},
        EndCase{"jar", "zip", [] { return zipWith({"META-INF/MANIFEST.MF", "a.class"}); }, V, "jar"},
        EndCase{"apk", "zip", [] { return zipWith({"AndroidManifest.xml", "classes.dex"}); }, V, "apk"},
        EndCase{"pdf", "pdf", pdf, V, "", false}, EndCase{"rtf", "rtf", rtf, V, "", false},
        EndCase{"html", "html", html}, EndCase{"iso", "iso", iso, U},
        EndCase{"doc", "doc", [] { return ole2(u"WordDocument"); }, U, "doc"},
        EndCase{"xls", "doc", [] { return ole2(u"Workbook"); }, U, "xls"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(FormatEndBroken, PngWithBadChecksumEndsButIsBroken) {
  Bytes file = png();
  file[20] ^= 1;  // a byte of IHDR's data
  MemorySource src(file);
  FormatEnd end = findFormatEnd("png", src);
  EXPECT_EQ(end.verdict, StructureVerdict::Damaged);
  EXPECT_EQ(end.end, file.size());
}

TEST(FormatEndBroken, OneFieldBrokenAtATime) {
  {
    Bytes f = bmp();
    putLe32(&f[14], 41);  // not a DIB header size
    MemorySource s(f);
    EXPECT_EQ(findFormatEnd("bmp", s).verdict, StructureVerdict::Damaged);
  }
  {
    Bytes f = zipWith({"a.txt"});
    putLe32(&f[f.size() - 2 - 6], 1);  // central directory offset
    MemorySource s(f);
    EXPECT_EQ(findFormatEnd("zip", s).verdict, StructureVerdict::Damaged);
  }
  {
    Bytes f = iso();
    putLe32(&f[32768 + 80], 1000);  // more blocks than there are
    MemorySource s(f);
    EXPECT_EQ(findFormatEnd("iso", s).verdict, StructureVerdict::Damaged);
  }
  {
    Bytes f = ole2(u"WordDocument");
    putLe32(&f[0x2C], 100000);  // table sectors beyond the file
    MemorySource s(f);
    EXPECT_EQ(findFormatEnd("doc", s).verdict, StructureVerdict::Damaged);
  }
  {
    Bytes f = tiff();
    putLe32(&f[4], 4);  // first IFD inside the header
    MemorySource s(f);
    EXPECT_EQ(findFormatEnd("tif", s).verdict, StructureVerdict::Damaged);
  }
}

TEST(FormatEndSources, AMemorySourceLendsOnlyWhatItHolds) {
  Bytes f(100, 7);
  MemorySource s(f);
  EXPECT_EQ(s.peek(0, 100), f.data());
  EXPECT_EQ(s.peek(60, 40), f.data() + 60);
  EXPECT_EQ(s.peek(60, 41), nullptr);
  EXPECT_EQ(s.peek(101, 0), nullptr);
}

TEST(FormatEndRules, OtherExtensionsAreUnverifiedAndCutAtTheNextHeader) {
  Bytes f(100, 0);
  MemorySource s(f);
  EXPECT_EQ(findFormatEnd("mdb", s).verdict, StructureVerdict::Unverified);
  EXPECT_EQ(endModeOf("mdb"), EndMode::NextHeader);
  EXPECT_EQ(endRuleText("mdb"), "cut at the next header or the size limit");
}

}  // namespace
}  // namespace velk
