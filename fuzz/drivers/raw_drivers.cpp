#include "drivers/raw_drivers.h"

#include <cstring>
#include <string>

#include "engines/raw/content_name.h"
#include "engines/raw/format_end.h"
#include "engines/raw/jpeg_join.h"
#include "engines/raw/raw_scanner.h"

namespace velk {

int64_t MemoryBlockDevice::readAt(uint64_t offset, void* buffer, size_t length) {
  if (offset >= m_bytes->size()) return 0;
  const size_t n = size_t(std::min<uint64_t>(length, m_bytes->size() - offset));
  std::memcpy(buffer, m_bytes->data() + offset, n);
  return int64_t(n);
}

int fuzzRawCatalog(const uint8_t* data, size_t size) {
  SignatureCatalog catalog;
  if (!catalog.loadBytes(std::span<const uint8_t>(data, size))) return 0;
  SignatureMatcher matcher(catalog);
  uint8_t sector[kRawSectorSize] = {};
  std::memcpy(sector, data, std::min<size_t>(size, sizeof sector));
  MatchState state;
  for (int i = 0; i < 3; ++i) (void)matcher.testSector(sector, state);
  return 0;
}

int fuzzRawSectorTest(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // Header: entry count, then per entry a pattern count and per pattern an offset byte
  // pair and a text of up to 16 characters from the digit alphabet plus "|" and "F".
  static const char kAlphabet[] = "0123456789abcdef|F";
  size_t pos = 0;
  auto next = [&]() -> uint8_t { return pos < size ? data[pos++] : 0; };
  SignatureCatalog catalog;
  const int entries = 1 + next() % 6;
  for (int e = 0; e < entries; ++e) {
    SignatureEntry entry;
    entry.extension = e % 2 ? "jpg" : "bin";
    entry.description = "fuzz";
    entry.patternCount = 1 + next() % 3;
    for (int k = 0; k < entry.patternCount; ++k) {
      const uint16_t off = uint16_t(next() | (next() << 8));
      entry.offsets[size_t(k)] = k == 0 ? off : off % 1024;
      const int len = 1 + next() % 16;
      for (int c = 0; c < len; ++c) entry.patterns[size_t(k)] += kAlphabet[next() % (sizeof kAlphabet - 1)];
    }
    if (entryIsUsable(entry)) catalog.entries().push_back(entry);
  }
  if (catalog.empty() || pos >= size) return 0;
  auto bytes = std::make_shared<std::vector<uint8_t>>(data + pos, data + size);
  bytes->resize((bytes->size() + kRawSectorSize - 1) / kRawSectorSize * kRawSectorSize, 0);

  SignatureMatcher matcher(catalog);
  MatchState state;
  for (size_t s = 0; s < bytes->size(); s += kRawSectorSize) (void)matcher.testSector(bytes->data() + s, state);

  SectorReader reader;
  reader.OpenDevice(std::make_unique<MemoryBlockDevice>(bytes), "fuzz");
  RawScanner scanner;
  scanner.open(std::move(reader));
  scanner.setStart(0);
  scanner.setRange(0, bytes->size() / kRawSectorSize);
  scanner.setMaximumSize(1 + data[0] % 64);
  scanner.setCatalog(&catalog);
  (void)scanner.scan();
  for (const auto& rec : scanner.found()) {
    NullSink sink;
    (void)scanner.writeFile(sink, *rec);
  }
  return 0;
}

int fuzzRawFormatEnds(const uint8_t* data, size_t size) {
  // One rule per family is enough for the bytes; the rest share its code.
  static const auto kExtensions = [] {
    std::vector<std::string_view> out;
    std::string_view last;
    for (std::string_view ext : extensionsWithEndRules()) {
      if (!last.empty() && endRuleText(ext) == endRuleText(last)) continue;
      out.push_back(ext);
      last = ext;
    }
    return out;
  }();
  for (std::string_view ext : kExtensions) {
    MemorySource src(std::span<const uint8_t>(data, size));
    (void)findFormatEnd(ext, src);
  }
  return 0;
}

int fuzzRawContent(const uint8_t* data, size_t size) {
  for (const char* ext : {"jpg", "pdf", "docx", "mp3"}) {
    MemorySource src(std::span<const uint8_t>(data, size));
    (void)contentNameOf(ext, src);
  }
  MemorySource src(std::span<const uint8_t>(data, size));
  (void)findJpegContinuation(src, kRawSectorSize);
  return 0;
}

}  // namespace velk
