#pragma once
// One MFT record: the update sequence (fixups) applied to a copy, then the attributes the
// engine needs decoded as views into those bytes. Nothing here allocates, so the scans
// can parse hundreds of thousands of records without heap traffic.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "formats/bytes.h"
#include "formats/ntfs_layout.h"

namespace velk {

enum class FixupResult : uint8_t {
  Applied,    // every protected word matched and was put back
  Mismatch,   // a protected word differs (torn write, damage): bytes left as read
  BadHeader,  // the update sequence does not fit the record: bytes left as read
};

// Applies the update sequence in place (the caller's copy, never the device's bytes).
// The record is left untouched unless every protected word matches.
FixupResult applyFixups(MutableByteSpan record);

struct StandardInfoView {
  uint64_t created = 0;
  uint64_t modified = 0;
  uint64_t mftChanged = 0;
  uint64_t accessed = 0;
  uint32_t attributes = 0;
};

struct FileNameView {
  uint64_t parentReference = 0;
  uint32_t flags = 0;
  uint8_t nameLength = 0;  // UTF-16 units
  uint8_t nameSpace = 0;
  ByteSpan name;           // UTF-16LE, nameLength × 2 bytes
};

struct AttributeView {
  uint32_t type = 0;
  uint16_t flags = 0;
  uint16_t id = 0;
  bool nonResident = false;
  ByteSpan name;   // UTF-16LE; empty for the unnamed stream
  // Resident form.
  ByteSpan value;
  // Non-resident form.
  uint64_t startVcn = 0;
  uint64_t lastVcn = 0;
  uint8_t compressionUnit = 0;
  uint64_t allocatedSize = 0;
  uint64_t realSize = 0;
  uint64_t initializedSize = 0;
  ByteSpan runlist;  // from the runlist offset to the end of the attribute

  // Bytes of content the attribute stands for (value length or real size).
  uint64_t contentSize() const { return nonResident ? realSize : value.size(); }
  bool compressed() const;
};

struct ParsedMftRecord {
  static constexpr size_t kMaxDataAttributes = 32;

  bool inUse = false;
  bool directoryFlag = false;   // header flag bit 1
  bool damaged = false;         // an attribute that broke the format was skipped
  uint16_t flags = 0;
  uint16_t sequence = 0;
  uint64_t logSequence = 0;     // grows with every logged change (0 where nothing logs)
  uint64_t baseReference = 0;   // non-zero in extension records
  bool hasRecordNumber = false;
  uint32_t recordNumber = 0;

  bool hasStandardInfo = false;
  StandardInfoView standardInfo;
  bool hasFileName = false;
  FileNameView fileName;        // the longest name of the record

  std::array<AttributeView, kMaxDataAttributes> data{};
  size_t dataCount = 0;
  bool hasAttributeList = false;
  AttributeView attributeList;

  // The unnamed $DATA extent that starts at VCN 0 (it carries the sizes), or nullptr.
  const AttributeView* unnamedData() const;
  // The extent starting at VCN 0 of the stream with this UTF-16LE name, or nullptr.
  const AttributeView* namedData(ByteSpan name) const;
};

// The fixed header fields a folder chain needs, without walking the attributes. nullopt
// unless the bytes begin with "FILE".
struct MftRecordHeader {
  uint16_t sequence = 0;
  uint16_t flags = 0;
  uint64_t baseReference = 0;
  bool inUse() const { return (flags & ntfs::kRecFlagInUse) != 0; }
};
std::optional<MftRecordHeader> readMftRecordHeader(ByteSpan record);

// Full parse of a record whose fixups have been applied: "FILE", the header, and the
// $STANDARD_INFORMATION, $FILE_NAME (longest name wins; among equal lengths the first),
// $DATA and $ATTRIBUTE_LIST attributes. False when the bytes are missing or the signature
// is not "FILE". Every field is bounds-checked against the record; an attribute that breaks
// the format is skipped and marks the record damaged. The views point into record.
[[nodiscard]] bool parseMftRecord(ByteSpan record, ParsedMftRecord& out);

// Quick parse: the record must begin with "FILE0"; only $FILE_NAME is decoded, with the
// same longest-name rule. False otherwise. hasName tells whether a name was found.
[[nodiscard]] bool quickParseMftRecord(ByteSpan record, FileNameView& name, bool& hasName);

// One entry of an $ATTRIBUTE_LIST value.
struct AttributeListEntry {
  uint32_t type = 0;
  ByteSpan name;
  uint64_t startVcn = 0;
  uint64_t reference = 0;
};

// One attribute header decoded from its bytes (the attribute's whole length): false when a
// name, value or runlist does not lie inside them.
[[nodiscard]] bool decodeAttribute(ByteSpan attribute, AttributeView& out);
// One $ATTRIBUTE_LIST entry from its bytes (the entry's whole length): false when its name
// does not lie inside them.
[[nodiscard]] bool decodeAttributeListEntry(ByteSpan entry, AttributeListEntry& out);

// Walks the attributes of a record (fixups applied), handing each header to
// visit(attribute, wellFormed); false from visit ends the walk. Returns false when an
// attribute broke the format (the walk ends there).
template <typename Visit>
bool forEachAttribute(ByteSpan record, Visit&& visit) {
  const ByteView rec(record);
  size_t off = rec.le16(ntfs::kRecFirstAttribute);
  if (off >= rec.size()) return true;                   // no attribute area: nothing to decode
  if (off < ntfs::kRecBaseReference + 8) return false;  // would overlap the fixed header
  // A record has at most size ÷ 24 attributes; the budget makes the bound explicit.
  for (size_t budget = rec.size() / ntfs::kAttrResidentHeader + 1; budget > 0; --budget) {
    if (!rec.has(off, ntfs::kAttrLength + 4)) return true;  // not even a type and a length
    const uint32_t type = rec.le32(off + ntfs::kAttrType);
    if (type == ntfs::kTypeEnd) return true;
    const uint32_t length = rec.le32(off + ntfs::kAttrLength);
    if (length == 0) return true;
    if (length < ntfs::kAttrResidentHeader || !rec.has(off, length)) return false;
    AttributeView a;
    const bool ok = decodeAttribute(rec.bytes(off, length), a);
    if (!visit(a, ok)) return true;
    off += length;
  }
  return false;
}

// Walks the entries of a list value; false from visit stops the walk. Returns false when
// an entry breaks the format (the walk ends there).
template <typename Visit>
bool forEachAttributeListEntry(ByteSpan list, Visit&& visit) {
  const ByteView v(list);
  size_t off = 0;
  // Every entry is at least kAlMinimum bytes: the list bounds the walk.
  while (off < v.size()) {
    // Slack after the last entry (shorter than an entry, or zeroed) ends the list.
    if (!v.has(off, ntfs::kAlMinimum)) return true;
    const uint16_t length = v.le16(off + ntfs::kAlLength);
    if (length == 0) return true;
    if (length < ntfs::kAlMinimum || !v.has(off, length)) return false;
    AttributeListEntry e;
    if (!decodeAttributeListEntry(v.bytes(off, length), e)) return false;
    if (!visit(e)) return true;
    off += length;
  }
  return true;
}

}  // namespace velk
