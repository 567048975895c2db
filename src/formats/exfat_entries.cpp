#include "formats/exfat_entries.h"

#include <array>
#include <cstdio>

#include "support/text.h"

namespace velk {

using namespace exfatentry;

namespace {

constexpr uint8_t kTypeMask = 0x7F;  // an entry's type without its in-use bit
constexpr uint8_t kUtcKnown = 0x80;

bool isType(uint8_t type, uint8_t inUseType) { return (type & kTypeMask) == (inUseType & kTypeMask); }

}  // namespace

std::string ExfatTimestamp::isoText() const {
  char buf[48];
  int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%02d", (date >> 9) + 1980, (date >> 5) & 0xF,
                        date & 0x1F, time >> 11, (time >> 5) & 0x3F, seconds(), tenMs % 100);
  if (utcKnown && n > 0) {
    const int m = utcOffsetMinutes < 0 ? -utcOffsetMinutes : utcOffsetMinutes;
    std::snprintf(buf + n, sizeof buf - size_t(n), "%c%02d:%02d", utcOffsetMinutes < 0 ? '-' : '+', m / 60, m % 60);
  }
  return buf;
}

ExfatTimestamp decodeExfatTimestamp(uint32_t raw, uint8_t tenMs, uint8_t utcOffset) {
  ExfatTimestamp t;
  t.time = uint16_t(raw & 0xFFFF);
  t.date = uint16_t(raw >> 16);
  // A value past 1.99 s is no increment the format allows: it is dropped, not carried.
  t.tenMs = tenMs < 200 ? tenMs : 0;
  t.utcKnown = (utcOffset & kUtcKnown) != 0;
  if (t.utcKnown) {
    // Seven-bit two's complement count of 15-minute steps.
    int quarters = utcOffset & 0x7F;
    if (quarters & 0x40) quarters -= 0x80;
    t.utcOffsetMinutes = int16_t(quarters * 15);
  }
  return t;
}

uint16_t exfatSetChecksum(ByteSpan set) {
  uint16_t sum = 0;
  for (size_t i = 0; i < set.size(); ++i) {
    if (i == kSetChecksum || i == kSetChecksum + 1) continue;
    sum = uint16_t(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + set[i]);
  }
  return sum;
}

SetDecode decodeExfatEntrySet(ByteSpan e) {
  SetDecode out;
  if (e.size() < kSize || !isType(e[0], kTypeFile)) return out;
  const uint8_t secondaries = e[kSecondaryCount];
  if (secondaries < kMinSecondaries || secondaries > kMaxSecondaries) return out;
  const size_t entries = size_t(secondaries) + 1;
  if (e.size() < entries * kSize) {
    out.status = SetStatus::Truncated;
    out.entries = entries;
    return out;
  }
  const uint8_t inUseBit = e[0] & kInUse;
  for (size_t k = 1; k < entries; ++k) {
    const uint8_t t = e[k * kSize];
    if ((t & kSecondary) == 0 || (t & kInUse) != inUseBit) return out;
  }
  const ByteSpan stream = e.subspan(kSize, kSize);
  if (!isType(stream[0], kTypeStream)) return out;
  const uint8_t nameLength = stream[kNameLength];
  const size_t nameEntries = (size_t(nameLength) + kCharsPerName - 1) / kCharsPerName;
  if (nameLength == 0 || nameEntries > entries - 2) return out;
  std::array<uint8_t, kCharsPerName * 2 * kMaxSecondaries> name{};
  for (size_t k = 0; k < nameEntries; ++k) {
    const ByteSpan n = e.subspan((2 + k) * kSize, kSize);
    if (!isType(n[0], kTypeName)) return out;
    std::copy_n(n.data() + kNameChars, kCharsPerName * 2, name.data() + k * kCharsPerName * 2);
  }

  ExfatEntrySet s;
  s.inUse = inUseBit != 0;
  s.secondaryCount = secondaries;
  s.attributes = le16At(e, kAttributes);
  s.created = decodeExfatTimestamp(le32At(e, kCreated), e[kCreated10ms], e[kCreatedUtc]);
  s.modified = decodeExfatTimestamp(le32At(e, kModified), e[kModified10ms], e[kModifiedUtc]);
  s.accessed = decodeExfatTimestamp(le32At(e, kAccessed), 0, e[kAccessedUtc]);
  s.noFatChain = (stream[kStreamFlags] & kFlagNoFatChain) != 0;
  s.nameHash = le16At(stream, kNameHash);
  s.dataLength = le64At(stream, kDataLength);
  s.validDataLength = std::min(le64At(stream, kValidDataLength), s.dataLength);
  s.firstCluster = le32At(stream, kFirstCluster);
  s.name = utf16leToUtf8(ByteSpan(name.data(), size_t(nameLength) * 2));

  // The checksum was taken while the set was in use; deleting it cleared the in-use bits
  // afterwards, and some systems leave the checksum as it was.
  const ByteSpan whole = e.first(entries * kSize);
  const uint16_t stored = le16At(e, kSetChecksum);
  s.checksumOk = exfatSetChecksum(whole) == stored;
  if (!s.checksumOk && !s.inUse) {
    std::array<uint8_t, kMaxSetEntries * kSize> restored{};
    std::copy(whole.begin(), whole.end(), restored.begin());
    for (size_t k = 0; k < entries; ++k) restored[k * kSize] |= kInUse;
    s.checksumOk = exfatSetChecksum(ByteSpan(restored.data(), whole.size())) == stored;
  }
  out.status = SetStatus::Ok;
  out.entries = entries;
  out.set = std::move(s);
  return out;
}

namespace {

// Stream extension, file name and the two vendor entries, in use or not: what may follow
// a file entry.
bool isSecondary(uint8_t type) {
  const uint8_t t = type & kTypeMask;
  return t == 0x40 || t == 0x41 || t == 0x60 || t == 0x61;
}

}  // namespace

ExfatClusterFacts analyseExfatCluster(ByteSpan bytes) {
  ExfatClusterFacts f;
  const size_t count = bytes.size() / kSize;
  size_t i = 0;
  while (i < count && i < kMaxSetEntries && isSecondary(bytes[i * kSize])) ++i;
  f.leading = i;
  f.head.assign(bytes.begin(), bytes.begin() + ptrdiff_t(i * kSize));
  while (i < count) {
    const ByteSpan here = bytes.subspan(i * kSize);
    if (here[0] == kEndOfDirectory) f.full = false;
    if (here[0] == kTypeBitmap) f.root = f.holdsEntries = true;
    const SetDecode d = decodeExfatEntrySet(here);
    if (d.status == SetStatus::Truncated) {
      f.tailNeed = d.entries - (count - i);
      f.tail.assign(here.begin(), here.end());
      break;
    }
    if (d.status == SetStatus::Ok && d.set->checksumOk) {
      f.holdsEntries = true;
      if (d.set->isDirectory()) f.folderStarts.push_back(d.set->firstCluster);
    }
    i += d.status == SetStatus::Ok ? d.entries : 1;
  }
  return f;
}

bool exfatSetContinues(const ExfatClusterFacts& end, ByteSpan next) {
  if (end.tailNeed == 0 || next.size() < end.tailNeed * kSize) return false;
  std::vector<uint8_t> joined(end.tail);
  joined.insert(joined.end(), next.begin(), next.begin() + ptrdiff_t(end.tailNeed * kSize));
  const SetDecode d = decodeExfatEntrySet(joined);
  return d.status == SetStatus::Ok && d.set->checksumOk;
}

bool ExfatDirectoryReader::feed(ByteSpan bytes) {
  if (m_stopped) return false;
  if (m_pending.empty()) {
    decode(bytes);
  } else {
    std::vector<uint8_t> joined(std::move(m_pending));
    m_pending.clear();
    joined.insert(joined.end(), bytes.begin(), bytes.end());
    m_index = m_pendingIndex;
    decode(joined);
  }
  return !m_stopped;
}

void ExfatDirectoryReader::decode(ByteSpan bytes) {
  const size_t count = bytes.size() / kSize;
  size_t i = 0;
  while (i < count && !m_stopped) {
    const ByteSpan here = bytes.subspan(i * kSize);
    const uint8_t type = here[0];
    if (isType(type, kTypeFile)) {
      SetDecode d = decodeExfatEntrySet(here);
      if (d.status == SetStatus::Truncated) {
        m_pending.assign(here.begin(), here.begin() + ptrdiff_t((count - i) * kSize));
        m_pendingIndex = m_index + i;
        m_index += count;
        return;
      }
      if (d.status == SetStatus::Ok) {
        if (d.set->checksumOk) ++m_goodSets;
        if (m_handlers.onSet) m_handlers.onSet(*d.set, m_index + i);
        i += d.entries;
        continue;
      }
    } else if (type == kTypeLabel && m_handlers.onLabel) {
      const uint8_t chars = std::min(here[kLabelLength], kMaxLabelChars);
      m_handlers.onLabel(utf16leToUtf8(here.subspan(kLabelChars, size_t(chars) * 2)));
    } else if (type == kTypeBitmap && m_handlers.onBitmap) {
      m_handlers.onBitmap(here[kBitmapFlags], le32At(here, kBitmapFirstCluster), le64At(here, kBitmapLength));
    }
    ++i;
  }
  m_index += count;
}

}  // namespace velk
