#include "formats/mft_record.h"

#include <cstring>
#include <vector>

#include "formats/ntfs_layout.h"
#include "formats/runlist.h"

namespace velk {

using namespace ntfs;

FixupResult applyFixups(MutableByteSpan record) {
  const ByteView r{ByteSpan(record)};
  const uint16_t usaOffset = r.le16(kRecUsaOffset);
  const uint16_t usaCount = r.le16(kRecUsaCount);
  const size_t stretches = record.size() / kFixupStride;
  // One sequence number plus one saved word per 512-byte stretch, inside the header area
  // of the first stretch.
  if (stretches == 0 || usaCount != stretches + 1 || usaOffset < kRecUsaCount + 2 || (usaOffset & 1) ||
      size_t(usaOffset) + size_t(usaCount) * 2 > kFixupStride - 2)
    return FixupResult::BadHeader;
  const uint8_t* usa = record.data() + usaOffset;
  for (size_t i = 1; i <= stretches; ++i) {
    const uint8_t* tail = record.data() + i * kFixupStride - 2;
    if (tail[0] != usa[0] || tail[1] != usa[1]) return FixupResult::Mismatch;
  }
  for (size_t i = 1; i <= stretches; ++i) {
    uint8_t* tail = record.data() + i * kFixupStride - 2;
    tail[0] = usa[2 * i];
    tail[1] = usa[2 * i + 1];
  }
  return FixupResult::Applied;
}

std::optional<MftRecordHeader> readMftRecordHeader(ByteSpan record) {
  const ByteView v(record);
  if (!v.matches(0, "FILE") || !v.has(0, kRecBaseReference + 8)) return std::nullopt;
  return MftRecordHeader{v.le16(kRecSequence), v.le16(kRecFlags), v.le64(kRecBaseReference)};
}

bool decodeAttribute(ByteSpan attribute, AttributeView& a) {
  const ByteView v(attribute);
  a = AttributeView{};
  a.type = v.le32(kAttrType);
  a.nonResident = v.u8(kAttrNonResident) != 0;
  a.flags = v.le16(kAttrFlags);
  a.id = v.le16(kAttrId);
  const size_t nameLength = size_t(v.u8(kAttrNameLength)) * 2;
  if (nameLength != 0) {
    const size_t nameOffset = v.le16(kAttrNameOffset);
    if (!v.has(nameOffset, nameLength)) return false;
    a.name = v.bytes(nameOffset, nameLength);
  }
  if (!a.nonResident) {
    const uint32_t valueLength = v.le32(kAttrValueLength);
    const uint16_t valueOffset = v.le16(kAttrValueOffset);
    if (!v.has(valueOffset, valueLength)) return false;
    a.value = v.bytes(valueOffset, valueLength);
    return v.complete();
  }
  if (v.size() < kAttrNonResidentHeader) return false;
  a.startVcn = v.le64(kAttrStartVcn);
  a.lastVcn = v.le64(kAttrLastVcn);
  a.compressionUnit = v.u8(kAttrCompressionUnit);
  a.allocatedSize = v.le64(kAttrAllocatedSize);
  a.realSize = v.le64(kAttrRealSize);
  a.initializedSize = v.le64(kAttrInitializedSize);
  const uint16_t runlistOffset = v.le16(kAttrRunlistOffset);
  if (runlistOffset < kAttrNonResidentHeader || runlistOffset > v.size()) return false;
  a.runlist = attribute.subspan(runlistOffset);
  return v.complete();
}

bool decodeAttributeListEntry(ByteSpan entry, AttributeListEntry& e) {
  const ByteView v(entry);
  e = AttributeListEntry{};
  e.type = v.le32(kAlType);
  e.startVcn = v.le64(kAlStartVcn);
  e.reference = v.le64(kAlReference);
  const size_t nameLength = size_t(v.u8(kAlNameLength)) * 2;
  const size_t nameOffset = v.u8(kAlNameOffset);
  if (!v.has(nameOffset, nameLength)) return false;
  e.name = v.bytes(nameOffset, nameLength);
  return v.complete();
}

bool AttributeView::compressed() const { return nonResident && (flags & kAttrFlagCompressed) != 0; }

const AttributeView* ParsedMftRecord::unnamedData() const {
  for (size_t i = 0; i < dataCount; ++i)
    if (data[i].name.empty() && (!data[i].nonResident || data[i].startVcn == 0)) return &data[i];
  return nullptr;
}

const AttributeView* ParsedMftRecord::namedData(ByteSpan name) const {
  for (size_t i = 0; i < dataCount; ++i) {
    const AttributeView& a = data[i];
    if (a.name.size() == name.size() && !name.empty() && std::memcmp(a.name.data(), name.data(), name.size()) == 0 &&
        (!a.nonResident || a.startVcn == 0))
      return &a;
  }
  return nullptr;
}

namespace {

bool decodeFileName(const AttributeView& a, FileNameView& out) {
  if (a.nonResident) return false;  // $FILE_NAME is always resident: anything else is damage
  const ByteView v(a.value);
  if (v.size() < kFnName) return false;
  const uint8_t n = v.u8(kFnNameLength);
  if (!v.has(kFnName, size_t(n) * 2)) return false;
  out.parentReference = v.le64(kFnParent);
  out.flags = v.le32(kFnFlags);
  out.nameLength = n;
  out.nameSpace = v.u8(kFnNameSpace);
  out.name = v.bytes(kFnName, size_t(n) * 2);
  return true;
}

// The longest name wins; among equal lengths the first one met stays.
void offerFileName(const AttributeView& a, bool& has, FileNameView& kept, bool& damaged) {
  FileNameView fn;
  if (!decodeFileName(a, fn)) {
    damaged = true;
    return;
  }
  if (!has || fn.nameLength > kept.nameLength) {
    kept = fn;
    has = true;
  }
}

}  // namespace

bool parseMftRecord(ByteSpan record, ParsedMftRecord& out) {
  out = ParsedMftRecord{};
  const ByteView rec(record);
  if (rec.size() < kMinRecordSize || !rec.matches(0, "FILE")) return false;
  out.flags = rec.le16(kRecFlags);
  out.inUse = (out.flags & kRecFlagInUse) != 0;
  out.directoryFlag = (out.flags & kRecFlagDirectory) != 0;
  out.sequence = rec.le16(kRecSequence);
  out.logSequence = rec.le64(kRecLogSequence);
  out.baseReference = rec.le64(kRecBaseReference);
  // Records of NTFS 3.1 carry their own number; older ones start the update sequence there.
  if (rec.le16(kRecUsaOffset) >= kRecNumber + 4) {
    out.hasRecordNumber = true;
    out.recordNumber = rec.le32(kRecNumber);
  }
  const bool complete = forEachAttribute(record, [&](const AttributeView& a, bool ok) {
    if (!ok) {
      out.damaged = true;
      return true;
    }
    switch (a.type) {
      case kTypeStandardInformation:
        // A non-resident or short $STANDARD_INFORMATION is damage, not something to read.
        if (a.nonResident || a.value.size() < kSiMinimum) {
          out.damaged = true;
        } else if (!out.hasStandardInfo) {
          const ByteView si(a.value);
          out.hasStandardInfo = true;
          out.standardInfo.created = si.le64(kSiCreated);
          out.standardInfo.modified = si.le64(kSiModified);
          out.standardInfo.mftChanged = si.le64(kSiMftChanged);
          out.standardInfo.accessed = si.le64(kSiAccessed);
          out.standardInfo.attributes = si.le32(kSiAttributes);
        }
        break;
      case kTypeFileName:
        offerFileName(a, out.hasFileName, out.fileName, out.damaged);
        break;
      case kTypeData:
        if (out.dataCount < ParsedMftRecord::kMaxDataAttributes) out.data[out.dataCount++] = a;
        else out.damaged = true;
        break;
      case kTypeAttributeList:
        if (!out.hasAttributeList) {
          out.hasAttributeList = true;
          out.attributeList = a;
        }
        break;
      default:
        break;
    }
    return true;
  });
  if (!complete) out.damaged = true;
  return true;
}

bool quickParseMftRecord(ByteSpan record, FileNameView& name, bool& hasName) {
  hasName = false;
  name = FileNameView{};
  if (record.size() < kMinRecordSize || !matchesAt(record, 0, "FILE0")) return false;
  bool damaged = false;
  (void)forEachAttribute(record, [&](const AttributeView& a, bool ok) {
    if (ok && a.type == kTypeFileName) offerFileName(a, hasName, name, damaged);
    return true;
  });
  return true;
}

}  // namespace velk
