// Two-piece JPEGs joined by the scan, and names taken from the files' own metadata (EXIF,
// ID3, PDF information, office core properties), over files laid out by the formats'
// definitions or made by libjpeg-turbo.

#include <turbojpeg.h>

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "formats/bytes.h"
#include "engines/raw/content_name.h"
#include "drivers/raw_drivers.h"
#include "engines/raw/raw_scanner.h"

namespace velk {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint64_t S = 512;

void add(Bytes& b, std::string_view s) { b.insert(b.end(), s.begin(), s.end()); }
void le16(Bytes& b, uint16_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }
void le32(Bytes& b, uint32_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}); }

// APP1 with a TIFF header, IFD0 (Model, pointer to the EXIF IFD) and the EXIF IFD
// (DateTimeOriginal).
Bytes exifSegment(std::string_view model, std::string_view when) {
  Bytes t;
  add(t, "II");
  le16(t, 42), le32(t, 8);
  const uint32_t exifIfd = 8 + 2 + 2 * 12 + 4, modelAt = exifIfd + 2 + 12 + 4;
  const uint32_t whenAt = modelAt + uint32_t(model.size()) + 1;
  le16(t, 2);
  le16(t, 0x0110), le16(t, 2), le32(t, uint32_t(model.size()) + 1), le32(t, modelAt);
  le16(t, 0x8769), le16(t, 4), le32(t, 1), le32(t, exifIfd);
  le32(t, 0);
  le16(t, 1);
  le16(t, 0x9003), le16(t, 2), le32(t, uint32_t(when.size()) + 1), le32(t, whenAt);
  le32(t, 0);
  add(t, model), t.push_back(0);
  add(t, when), t.push_back(0);
  Bytes seg{0xFF, 0xE1, uint8_t((t.size() + 8) >> 8), uint8_t(t.size() + 8)};
  add(seg, std::string_view("Exif\0\0", 6));
  seg.insert(seg.end(), t.begin(), t.end());
  return seg;
}

// A noisy picture from libjpeg-turbo, with an EXIF segment after SOI.
Bytes noisyJpeg() {
  const int w = 320, h = 240;
  std::mt19937 rng(7);
  Bytes pixels(size_t(w) * h * 3);
  for (auto& p : pixels) p = uint8_t(rng());
  std::unique_ptr<void, int (*)(tjhandle)> tj(tjInitCompress(), tjDestroy);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  tjCompress2(tj.get(), pixels.data(), w, 0, h, TJPF_RGB, &out, &size, TJSAMP_420, 90, 0);
  Bytes jpeg(out, out + size);
  tjFree(out);
  const Bytes exif = exifSegment("Canon EOS 80D", "2024:06:01 12:03:44");
  jpeg.insert(jpeg.begin() + 2, exif.begin(), exif.end());
  return jpeg;
}

TEST(RawJoin, APictureInTwoPiecesIsJoinedNamedAndExtractedWhole) {
  const Bytes jpeg = noisyJpeg();
  ASSERT_GT(jpeg.size(), 40 * S);
  const uint64_t cut = 30 * S, first = 4, gap = 12;
  const uint64_t second = first + cut / S + gap;
  auto image = std::make_shared<std::vector<uint8_t>>((second + jpeg.size() / S + 20) * S);
  std::mt19937 rng(3);
  for (auto& b : *image) b = uint8_t(rng());
  std::copy(jpeg.begin(), jpeg.begin() + ptrdiff_t(cut), image->begin() + ptrdiff_t(first * S));
  std::copy(jpeg.begin() + ptrdiff_t(cut), jpeg.end(), image->begin() + ptrdiff_t(second * S));

  SignatureCatalog catalog;
  SignatureEntry e;
  e.extension = "jpg";
  e.description = "JPEG Image";
  e.patterns[0] = "ffd8ff";
  e.patternCount = 1;
  catalog.entries().push_back(e);
  SectorReader reader;
  reader.OpenDevice(std::make_unique<MemoryBlockDevice>(image), "mem");
  RawScanner scanner;
  scanner.open(std::move(reader));
  scanner.setStart(0);
  scanner.setRange(0, image->size() / S);
  scanner.setCatalog(&catalog);
  scanner.setNameFromContent(true);
  ASSERT_TRUE(scanner.scan());
  ASSERT_EQ(scanner.found().size(), 1u);
  const RawFileRecord& r = *scanner.found()[0];
  EXPECT_EQ(r.startSector, first);
  EXPECT_EQ(r.joinSector, second);
  EXPECT_EQ(r.length, jpeg.size());
  EXPECT_EQ(r.verdict, StructureVerdict::Verified);
  EXPECT_EQ(r.name, "2024-06-01 12-03-44 Canon EOS 80D.jpg");
  EXPECT_EQ(r.carvedName, "File0.jpg");
  Bytes data;
  ASSERT_TRUE(scanner.readFile(r, data));
  EXPECT_EQ(data, jpeg);
}

struct NameCase {
  const char* name;
  const char* extension;
  Bytes bytes;
  std::string expected;
};
inline void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }

Bytes id3() {
  Bytes b;
  add(b, std::string_view("ID3\x03\0\0\0\0\0\x2A", 10));
  for (auto [id, text] : {std::pair{"TPE1", std::string_view("\0Velk Band", 10)},
                          std::pair{"TIT2", std::string_view("\x01\xFF\xFEO\0n\0e\0", 9)}}) {
    add(b, id);
    b.insert(b.end(), {0, 0, 0, uint8_t(text.size()), 0, 0});
    add(b, text);
  }
  return b;
}

Bytes storedMember(std::string_view name, std::string_view data) {
  Bytes b;
  add(b, "PK\x03\x04");
  le16(b, 20), le16(b, 0), le16(b, 0), le16(b, 0), le16(b, 0), le32(b, 0);
  le32(b, uint32_t(data.size())), le32(b, uint32_t(data.size()));
  le16(b, uint16_t(name.size())), le16(b, 0);
  add(b, name);
  add(b, data);
  return b;
}

Bytes str(std::string_view s) { return Bytes(s.begin(), s.end()); }

class ContentName : public ::testing::TestWithParam<NameCase> {};

TEST_P(ContentName, ComesFromTheFilesOwnMetadata) {
  MemorySource src(GetParam().bytes);
  EXPECT_EQ(contentNameOf(GetParam().extension, src), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ContentName,
    ::testing::Values(
        NameCase{"exif_model_and_date", "jpg",
                 [] {
                   Bytes b{0xFF, 0xD8};
                   const Bytes e = exifSegment("NIKON D750", "2023:12:24 18:00:05");
                   b.insert(b.end(), e.begin(), e.end());
                   return b;
                 }(),
                 "2023-12-24 18-00-05 NIKON D750"},
        NameCase{"id3_artist_and_utf16_title", "mp3", id3(), "Velk Band - One"},
        NameCase{"pdf_title_with_escapes", "pdf", str("%PDF-1.4\n1 0 obj<</Title (Quarterly \\(draft\\))>>endobj\n"),
                 "Quarterly (draft)"},
        NameCase{"pdf_creation_date", "pdf", str("%PDF-1.4\n1 0 obj<</CreationDate (D:20240601120344Z)>>endobj\n"),
                 "2024-06-01 12-03-44"},
        NameCase{"ooxml_core_title", "docx",
                 storedMember("docProps/core.xml", "<cp:coreProperties><dc:title>Plan &amp; budget</dc:title>"),
                 "Plan & budget"},
        NameCase{"no_metadata", "jpg", Bytes{0xFF, 0xD8, 0xFF, 0xD9}, ""}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace velk
