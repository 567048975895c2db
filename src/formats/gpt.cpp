#include "formats/gpt.h"

#include <algorithm>
#include <cstring>

#include "support/crc32.h"

namespace velk {

using namespace gptlayout;

namespace {

Error damagedHeader(const char* detail) { return corruptError("the GPT header", detail); }

Guid guidAt(const ByteView& v, size_t off) {
  Guid g{};
  const ByteSpan b = v.bytes(off, g.size());
  if (!b.empty()) std::copy(b.begin(), b.end(), g.begin());
  return g;
}

// CRC of the header's first `size` bytes with its own CRC field taken as zero.
uint32_t headerCrc(ByteSpan sector, uint32_t size) {
  std::array<uint8_t, kSectorSize> copy{};
  std::copy_n(sector.begin(), size, copy.begin());
  putLe32(copy.data() + kHeaderCrc, 0);
  return crc32({copy.data(), size});
}

}  // namespace

bool isZeroGuid(const Guid& guid) {
  return std::all_of(guid.begin(), guid.end(), [](uint8_t b) { return b == 0; });
}

Result<GptHeader> GptHeader::parse(ByteSpan sector, uint64_t diskSectors) {
  const ByteView v(sector);
  if (!v.has(0, kSectorSize)) return fail(damagedHeader("the sector is shorter than 512 bytes"));
  if (!v.matches(0, kSignature)) return fail(damagedHeader("the signature is missing"));
  GptHeader h;
  h.revision = v.le32(kRevision);
  h.headerSize = v.le32(kHeaderSize);
  if (h.headerSize < kMinHeaderSize || h.headerSize > kSectorSize) return fail(damagedHeader("its size is out of range"));
  if (headerCrc(sector, h.headerSize) != v.le32(kHeaderCrc)) return fail(damagedHeader("its checksum does not match"));
  h.myLba = v.le64(kMyLba);
  h.alternateLba = v.le64(kAlternateLba);
  h.firstUsable = v.le64(kFirstUsable);
  h.lastUsable = v.le64(kLastUsable);
  h.diskGuid = guidAt(v, kDiskGuid);
  h.entriesLba = v.le64(kEntriesLba);
  h.entryCount = v.le32(kEntryCount);
  h.entrySize = v.le32(kEntrySize);
  h.entriesCrc = v.le32(kEntriesCrc);

  // Entries are 128 × 2^n bytes.
  if (h.entrySize < kMinEntrySize || h.entrySize % kMinEntrySize != 0 ||
      ((h.entrySize / kMinEntrySize) & (h.entrySize / kMinEntrySize - 1)) != 0)
    return fail(damagedHeader("the entry size is not 128 times a power of two"));
  if (h.entryCount == 0 || h.entryCount > kMaxEntries || h.arrayBytes() > kMaxArrayBytes)
    return fail(damagedHeader("the entry count is out of range"));
  if (h.myLba >= diskSectors || h.entriesLba == 0 || h.entriesLba >= diskSectors ||
      h.arraySectors() > diskSectors - h.entriesLba)
    return fail(damagedHeader("it points past the disk's end"));
  if (h.firstUsable > h.lastUsable || h.lastUsable >= diskSectors)
    return fail(damagedHeader("the usable range lies outside the disk"));
  return h;
}

void GptHeader::encode(std::span<uint8_t, kSectorSize> s) const {
  std::copy(kSignature.begin(), kSignature.end(), s.begin());
  putLe32(s.data() + kRevision, revision);
  putLe32(s.data() + kHeaderSize, headerSize);
  putLe64(s.data() + kMyLba, myLba);
  putLe64(s.data() + kAlternateLba, alternateLba);
  putLe64(s.data() + kFirstUsable, firstUsable);
  putLe64(s.data() + kLastUsable, lastUsable);
  std::copy(diskGuid.begin(), diskGuid.end(), s.begin() + kDiskGuid);
  putLe64(s.data() + kEntriesLba, entriesLba);
  putLe32(s.data() + kEntryCount, entryCount);
  putLe32(s.data() + kEntrySize, entrySize);
  putLe32(s.data() + kEntriesCrc, entriesCrc);
  const uint32_t size = std::clamp<uint32_t>(headerSize, kMinHeaderSize, kSectorSize);
  putLe32(s.data() + kHeaderCrc, headerCrc(s, size));
}

Result<GptEntry> GptEntry::parse(ByteSpan bytes) {
  const ByteView v(bytes);
  if (!v.has(0, kMinEntrySize)) return fail(corruptError("the GPT entry", "it is shorter than 128 bytes"));
  GptEntry e;
  e.type = guidAt(v, kTypeGuid);
  e.unique = guidAt(v, kUniqueGuid);
  e.firstLba = v.le64(kFirstLba);
  e.lastLba = v.le64(kLastLba);
  e.attributes = v.le64(kAttributes);
  const ByteSpan name = v.bytes(kName, kNameBytes);
  std::copy(name.begin(), name.end(), e.name.begin());
  return e;
}

void GptEntry::encode(MutableByteSpan out) const {
  if (out.size() < kMinEntrySize) return;
  std::copy(type.begin(), type.end(), out.begin() + kTypeGuid);
  std::copy(unique.begin(), unique.end(), out.begin() + kUniqueGuid);
  putLe64(out.data() + kFirstLba, firstLba);
  putLe64(out.data() + kLastLba, lastLba);
  putLe64(out.data() + kAttributes, attributes);
  std::copy(name.begin(), name.end(), out.begin() + kName);
}

uint32_t gptArrayCrc(ByteSpan array, const GptHeader& header) {
  const uint64_t bytes = std::min<uint64_t>(header.arrayBytes(), array.size());
  return crc32(array.first(size_t(bytes)));
}

}  // namespace velk
