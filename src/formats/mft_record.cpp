#include "formats/mft_record.h"

#include <cstring>
#include <vector>

#include "formats/ntfs_layout.h"
#include "formats/runlist.h"

namespace velk {

using namespace ntfs;

FixupResult applyFixups(MutableByteSpan record) {
  const ByteSpan r(record);
  const uint16_t usaOffset = le16At(r, kRecUsaOffset);
  const uint16_t usaCount = le16At(r, kRecUsaCount);
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
  const ByteSpan v = a.value;
  if (v.size() < kFnName) return false;
  const uint8_t n = v[kFnNameLength];
  if (!fits(v, kFnName, size_t(n) * 2)) return false;
  out.parentReference = le64(v.data() + kFnParent);
  out.flags = le32(v.data() + kFnFlags);
  out.nameLength = n;
  out.nameSpace = v[kFnNameSpace];
  out.name = v.subspan(kFnName, size_t(n) * 2);
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
  if (record.size() < kMinRecordSize || !matchesAt(record, 0, "FILE")) return false;
  out.flags = le16At(record, kRecFlags);
  out.inUse = (out.flags & kRecFlagInUse) != 0;
  out.directoryFlag = (out.flags & kRecFlagDirectory) != 0;
  out.sequence = le16At(record, kRecSequence);
  out.baseReference = le64At(record, kRecBaseReference);
  if (le16At(record, kRecUsaOffset) >= kRecNumber + 4) {
    out.hasRecordNumber = true;
    out.recordNumber = le32At(record, kRecNumber);
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
          out.hasStandardInfo = true;
          out.standardInfo.created = le64(a.value.data() + kSiCreated);
          out.standardInfo.modified = le64(a.value.data() + kSiModified);
          out.standardInfo.mftChanged = le64(a.value.data() + kSiMftChanged);
          out.standardInfo.accessed = le64(a.value.data() + kSiAccessed);
          out.standardInfo.attributes = le32(a.value.data() + kSiAttributes);
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
