#pragma once
// exFAT directory entries: the entry set of a file or folder (file entry, stream extension,
// name entries) decoded and checked against its set checksum, the volume label and the
// allocation bitmap entries of the root, and a reader that walks a folder's bytes as they
// arrive cluster by cluster. Names are taken as stored; no up-case table is needed.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "formats/bytes.h"

namespace velk {

namespace exfatentry {
inline constexpr size_t kSize = 32;
inline constexpr uint8_t kInUse = 0x80;
inline constexpr uint8_t kSecondary = 0x40;  // category bit: secondary entries follow a primary
inline constexpr uint8_t kEndOfDirectory = 0x00;
inline constexpr uint8_t kTypeFile = 0x85;
inline constexpr uint8_t kTypeStream = 0xC0;
inline constexpr uint8_t kTypeName = 0xC1;
inline constexpr uint8_t kTypeBitmap = 0x81;
inline constexpr uint8_t kTypeLabel = 0x83;

// File entry.
inline constexpr size_t kSecondaryCount = 0x01;
inline constexpr size_t kSetChecksum = 0x02;
inline constexpr size_t kAttributes = 0x04;
inline constexpr size_t kCreated = 0x08;
inline constexpr size_t kModified = 0x0C;
inline constexpr size_t kAccessed = 0x10;
inline constexpr size_t kCreated10ms = 0x14;
inline constexpr size_t kModified10ms = 0x15;
inline constexpr size_t kCreatedUtc = 0x16;
inline constexpr size_t kModifiedUtc = 0x17;
inline constexpr size_t kAccessedUtc = 0x18;
// A set holds its stream extension and 1 to 17 name entries (255 characters).
inline constexpr uint8_t kMinSecondaries = 2;
inline constexpr uint8_t kMaxSecondaries = 18;
inline constexpr size_t kMaxSetEntries = kMaxSecondaries + 1;

// Stream extension.
inline constexpr size_t kStreamFlags = 0x01;
inline constexpr size_t kNameLength = 0x03;
inline constexpr size_t kNameHash = 0x04;
inline constexpr size_t kValidDataLength = 0x08;
inline constexpr size_t kFirstCluster = 0x14;
inline constexpr size_t kDataLength = 0x18;
inline constexpr uint8_t kFlagNoFatChain = 0x02;

// File name entry: 15 UTF-16 characters from byte 2.
inline constexpr size_t kNameChars = 0x02;
inline constexpr size_t kCharsPerName = 15;

// Volume label: character count at 1, up to 11 UTF-16 characters from byte 2.
inline constexpr size_t kLabelLength = 0x01;
inline constexpr size_t kLabelChars = 0x02;
inline constexpr uint8_t kMaxLabelChars = 11;

// Allocation bitmap: flags (bit 0: which FAT it belongs to), first cluster, length.
inline constexpr size_t kBitmapFlags = 0x01;
inline constexpr size_t kBitmapFirstCluster = 0x14;
inline constexpr size_t kBitmapLength = 0x18;

// File attributes.
inline constexpr uint16_t kAttrReadOnly = 0x01;
inline constexpr uint16_t kAttrHidden = 0x02;
inline constexpr uint16_t kAttrSystem = 0x04;
inline constexpr uint16_t kAttrDirectory = 0x10;
}  // namespace exfatentry

// A timestamp: the DOS date and time words (two-second steps), the 10 ms increment that adds
// up to 1.99 s, and the offset from UTC in 15-minute steps when it is known.
struct ExfatTimestamp {
  uint16_t date = 0;
  uint16_t time = 0;
  uint8_t tenMs = 0;          // 0–199
  bool utcKnown = false;
  int16_t utcOffsetMinutes = 0;

  int seconds() const { return (time & 0x1F) * 2 + tenMs / 100; }
  // "2026-01-02T03:04:05.00+01:00" (no offset when it is not known).
  std::string isoText() const;
  bool operator==(const ExfatTimestamp&) const = default;
};
ExfatTimestamp decodeExfatTimestamp(uint32_t raw, uint8_t tenMs, uint8_t utcOffset);

struct ExfatEntrySet {
  bool inUse = true;
  bool checksumOk = true;
  uint8_t secondaryCount = 0;
  uint16_t attributes = 0;
  ExfatTimestamp created, modified, accessed;
  bool noFatChain = false;
  uint16_t nameHash = 0;
  uint64_t validDataLength = 0;  // never above dataLength (a larger stored value is cut)
  uint64_t dataLength = 0;
  uint32_t firstCluster = 0;
  std::string name;  // UTF-8; characters that cannot convert become "_"

  bool isDirectory() const { return (attributes & exfatentry::kAttrDirectory) != 0; }
  size_t entryCount() const { return size_t(secondaryCount) + 1; }
};

// The set checksum over every byte of the set except the checksum field itself.
uint16_t exfatSetChecksum(ByteSpan set);

enum class SetStatus { Ok, NotASet, Truncated };
struct SetDecode {
  SetStatus status = SetStatus::NotASet;
  size_t entries = 0;  // Ok: entries of the set; Truncated: entries it needs
  std::optional<ExfatEntrySet> set;
};
// Decodes the set that begins at the first entry of `entries` (a file entry, in use or
// deleted). Its secondaries must be the stream extension and the name entries its name
// length asks for, with the same in-use bit; a checksum that does not match leaves the
// set decoded with checksumOk false (a deleted set is also checked as it was in use).
SetDecode decodeExfatEntrySet(ByteSpan entries);

// What one cluster says about itself as a piece of a folder: whether it holds entries, where
// the sets cut by its ends lie, and the first clusters of the folders its sets name.
struct ExfatClusterFacts {
  bool holdsEntries = false;  // a set whose checksum holds, or the root's bitmap entry
  bool full = true;           // no end-of-folder entry: the folder may go on after it
  bool root = false;
  size_t leading = 0;         // secondary entries before the first primary (a set's end)
  size_t tailNeed = 0;        // entries a set cut by the cluster's end still needs
  std::vector<uint8_t> tail;  // that set's bytes in this cluster
  std::vector<uint8_t> head;  // the leading entries
  std::vector<uint32_t> folderStarts;
};
ExfatClusterFacts analyseExfatCluster(ByteSpan cluster);

// True when the set cut at the end of `end`'s cluster goes on at the start of `next` (the
// first bytes of another cluster): its checksum over both pieces holds.
bool exfatSetContinues(const ExfatClusterFacts& end, ByteSpan next);

// Walks a folder's entries fed in pieces (clusters): a set cut by a piece's end is
// completed by the next piece. Entries that belong to no valid set are stepped over one at
// a time, so a damaged entry hides nothing after it.
class ExfatDirectoryReader {
 public:
  struct Handlers {
    // A set; entryIndex counts 32-byte entries from the folder's start.
    std::function<void(const ExfatEntrySet&, uint64_t entryIndex)> onSet;
    std::function<void(std::string label)> onLabel;
    // An allocation bitmap entry: flags, first cluster, length in bytes.
    std::function<void(uint8_t flags, uint32_t firstCluster, uint64_t length)> onBitmap;
  };
  explicit ExfatDirectoryReader(Handlers handlers) : m_handlers(std::move(handlers)) {}

  // Feeds the next bytes of the folder (a whole number of entries). False when a handler
  // asked to stop (stop()).
  bool feed(ByteSpan bytes);
  // Stops the walk: later feeds do nothing.
  void stop() { m_stopped = true; }
  bool stopped() const { return m_stopped; }
  // Sets with a matching checksum seen so far.
  uint64_t goodSets() const { return m_goodSets; }

 private:
  void decode(ByteSpan bytes);

  Handlers m_handlers;
  std::vector<uint8_t> m_pending;  // a set begun in the previous piece
  uint64_t m_pendingIndex = 0;
  uint64_t m_index = 0;  // entry index of the next fed byte
  uint64_t m_goodSets = 0;
  bool m_stopped = false;
};

}  // namespace velk
