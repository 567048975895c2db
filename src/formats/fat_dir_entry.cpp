#include "formats/fat_dir_entry.h"

#include <algorithm>

namespace velk {

using namespace fatlayout;

namespace {

// Long-name characters of one entry: 5 at 0x01, 6 at 0x0E, 2 at 0x1C.
constexpr size_t kLongNameSlots[kLongNameChars] = {0x01, 0x03, 0x05, 0x07, 0x09, 0x0E, 0x10,
                                                   0x12, 0x14, 0x16, 0x18, 0x1C, 0x1E};

}  // namespace

std::optional<FatDirEntry> FatDirEntry::decode(ByteSpan bytes) {
  const ByteView v(bytes);
  if (!v.has(0, kEntrySize)) return std::nullopt;
  FatDirEntry e;
  const ByteSpan name = v.bytes(kName, kNameLength + kExtensionLength);
  std::copy(name.begin(), name.end(), e.shortName.begin());
  e.attributes = v.u8(kAttributes);
  e.checksum = v.u8(kChecksum);
  e.createTime = v.le16(kCreateTime);
  e.createDate = v.le16(kCreateDate);
  e.accessDate = v.le16(kAccessDate);
  e.clusterHigh = v.le16(kClusterHigh);
  e.writeTime = v.le16(kWriteTime);
  e.writeDate = v.le16(kWriteDate);
  e.clusterLow = v.le16(kClusterLow);
  e.size = v.le32(kFileSize);
  if (e.attributes == kAttrLongName) {
    for (size_t off : kLongNameSlots) {
      const char16_t c = char16_t(v.le16(off));
      if (c == 0x0000 || c == 0xFFFF) break;
      e.longNamePiece += c;
    }
  }
  return e;
}

std::optional<FatDirEntry> FatDirEntry::at(ByteSpan folder, size_t i) {
  if (i >= countIn(folder)) return std::nullopt;
  return decode(folder.subspan(i * kEntrySize, kEntrySize));
}

FatDirEntry::Kind FatDirEntry::kind() const {
  if (first() == kNeverUsed) return Kind::NeverUsed;
  if (attributes == kAttrLongName) return Kind::LongName;
  if (attributes == kAttrVolumeLabel) return Kind::VolumeLabel;
  return Kind::Short;
}

bool FatDirEntry::isDotEntry() const {
  static constexpr std::array<uint8_t, 11> kDot{'.', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
  static constexpr std::array<uint8_t, 11> kDotDot{'.', '.', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
  return shortName == kDot || shortName == kDotDot;
}

bool validFatDate(uint16_t date) {
  // The year field counts from 1980 and every value of it is a year. Month 0 is tolerated:
  // DOS left unset dates at zero and some drivers still write month 0 with a real year.
  return ((date >> 5) & 0xF) <= 12;
}

bool validFatTime(uint16_t time) {
  return (time >> 11) < 24 && ((time >> 5) & 0x3F) < 60 && (time & 0x1F) < 30;
}

}  // namespace velk
