#pragma once
// One MFT record: the update sequence (fixups) applied to a copy, then the attributes the
// engine needs decoded as views into those bytes. Nothing here allocates, so the scans
// can parse hundreds of thousands of records without heap traffic.

#include <array>
#include <cstddef>
#include <cstdint>

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
// Walks the entries of a list value; false from visit stops the walk. Returns false when
// an entry breaks the format (the walk ends there).
template <typename Visit>
bool forEachAttributeListEntry(ByteSpan list, Visit&& visit);


// ---------------------------------------------------------------------------------------

// Walks the attributes of a record (fixups applied), handing each header to
// visit(attribute, wellFormed); false from visit ends the walk. Returns false when an
// attribute broke the format (the walk ends there).
template <typename Visit>
bool forEachAttribute(ByteSpan record, Visit&& visit) {
  size_t off = le16At(record, ntfs::kRecFirstAttribute);
  // The attribute area cannot start inside the fixed header.
  if (off >= record.size()) return true;       // no attribute area: nothing to decode
  if (off < ntfs::kRecBaseReference + 8) return false;  // would overlap the fixed header
  // A record has at most size ÷ 24 attributes; the budget makes the bound explicit.
  for (size_t budget = record.size() / ntfs::kAttrResidentHeader + 1; budget > 0; --budget) {
    if (!fits(record, off, 8)) return true;
    const uint32_t type = le32(record.data() + off);
    if (type == ntfs::kTypeEnd) return true;
    const uint32_t length = le32(record.data() + off + ntfs::kAttrLength);
    if (length == 0) return true;
    if (length < ntfs::kAttrResidentHeader || !fits(record, off, length)) return false;
    const ByteSpan attr = record.subspan(off, length);

    AttributeView a;
    a.type = type;
    a.nonResident = attr[ntfs::kAttrNonResident] != 0;
    a.flags = le16(attr.data() + ntfs::kAttrFlags);
    a.id = le16(attr.data() + ntfs::kAttrId);
    bool ok = true;
    const size_t nameLength = size_t(attr[ntfs::kAttrNameLength]) * 2;
    const size_t nameOffset = le16(attr.data() + ntfs::kAttrNameOffset);
    if (nameLength != 0) {
      if (fits(attr, nameOffset, nameLength)) a.name = attr.subspan(nameOffset, nameLength);
      else ok = false;
    }
    if (ok && !a.nonResident) {
      const uint32_t valueLength = le32(attr.data() + ntfs::kAttrValueLength);
      const uint16_t valueOffset = le16(attr.data() + ntfs::kAttrValueOffset);
      if (fits(attr, valueOffset, valueLength)) a.value = attr.subspan(valueOffset, valueLength);
      else ok = false;
    } else if (ok) {
      if (length < ntfs::kAttrNonResidentHeader) {
        ok = false;
      } else {
        a.startVcn = le64(attr.data() + ntfs::kAttrStartVcn);
        a.lastVcn = le64(attr.data() + ntfs::kAttrLastVcn);
        a.compressionUnit = attr[ntfs::kAttrCompressionUnit];
        a.allocatedSize = le64(attr.data() + ntfs::kAttrAllocatedSize);
        a.realSize = le64(attr.data() + ntfs::kAttrRealSize);
        a.initializedSize = le64(attr.data() + ntfs::kAttrInitializedSize);
        const uint16_t runlistOffset = le16(attr.data() + ntfs::kAttrRunlistOffset);
        if (runlistOffset < ntfs::kAttrNonResidentHeader || runlistOffset > length) ok = false;
        else a.runlist = attr.subspan(runlistOffset);
      }
    }
    if (!visit(a, ok)) return true;
    off += length;
  }
  return false;
}


template <typename Visit>
bool forEachAttributeListEntry(ByteSpan list, Visit&& visit) {
  size_t off = 0;
  while (off < list.size()) {
    // Slack after the last entry (shorter than an entry, or zeroed) ends the list.
    if (!fits(list, off, 0x1A)) return true;
    const uint16_t length = le16(list.data() + off + 0x04);
    if (length == 0) return true;
    if (length < 0x1A || !fits(list, off, length)) return false;
    AttributeListEntry e;
    e.type = le32(list.data() + off);
    const uint8_t nameLength = list[off + 0x06];
    const uint8_t nameOffset = list[off + 0x07];
    if (size_t(nameOffset) + size_t(nameLength) * 2 > length) return false;
    e.name = list.subspan(off + nameOffset, size_t(nameLength) * 2);
    e.startVcn = le64(list.data() + off + 0x08);
    e.reference = le64(list.data() + off + 0x10);
    if (!visit(e)) return true;
    off += length;
  }
  return true;
}

}  // namespace velk
