#include "engines/ntfs/mft_record.h"

#include <cstring>
#include <vector>

#include "engines/ntfs/ntfs_layout.h"
#include "engines/ntfs/runlist.h"

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

// Walks the attributes of a record, handing each well-formed header to visit. Returns
// false when an attribute broke the format (the walk ends there).
template <typename Visit>
bool walkAttributes(ByteSpan record, Visit&& visit) {
  size_t off = le16At(record, kRecFirstAttribute);
  // The attribute area cannot start inside the fixed header.
  if (off >= record.size()) return true;       // no attribute area: nothing to decode
  if (off < kRecBaseReference + 8) return false;  // would overlap the fixed header
  // A record has at most size ÷ 24 attributes; the budget makes the bound explicit.
  for (size_t budget = record.size() / kAttrResidentHeader + 1; budget > 0; --budget) {
    if (!fits(record, off, 8)) return true;
    const uint32_t type = le32(record.data() + off);
    if (type == kTypeEnd) return true;
    const uint32_t length = le32(record.data() + off + kAttrLength);
    if (length == 0) return true;
    if (length < kAttrResidentHeader || !fits(record, off, length)) return false;
    const ByteSpan attr = record.subspan(off, length);

    AttributeView a;
    a.type = type;
    a.nonResident = attr[kAttrNonResident] != 0;
    a.flags = le16(attr.data() + kAttrFlags);
    a.id = le16(attr.data() + kAttrId);
    bool ok = true;
    const size_t nameLength = size_t(attr[kAttrNameLength]) * 2;
    const size_t nameOffset = le16(attr.data() + kAttrNameOffset);
    if (nameLength != 0) {
      if (fits(attr, nameOffset, nameLength)) a.name = attr.subspan(nameOffset, nameLength);
      else ok = false;
    }
    if (ok && !a.nonResident) {
      const uint32_t valueLength = le32(attr.data() + kAttrValueLength);
      const uint16_t valueOffset = le16(attr.data() + kAttrValueOffset);
      if (fits(attr, valueOffset, valueLength)) a.value = attr.subspan(valueOffset, valueLength);
      else ok = false;
    } else if (ok) {
      if (length < kAttrNonResidentHeader) {
        ok = false;
      } else {
        a.startVcn = le64(attr.data() + kAttrStartVcn);
        a.lastVcn = le64(attr.data() + kAttrLastVcn);
        a.compressionUnit = attr[kAttrCompressionUnit];
        a.allocatedSize = le64(attr.data() + kAttrAllocatedSize);
        a.realSize = le64(attr.data() + kAttrRealSize);
        a.initializedSize = le64(attr.data() + kAttrInitializedSize);
        const uint16_t runlistOffset = le16(attr.data() + kAttrRunlistOffset);
        if (runlistOffset < kAttrNonResidentHeader || runlistOffset > length) ok = false;
        else a.runlist = attr.subspan(runlistOffset);
      }
    }
    if (!visit(a, ok)) return true;
    off += length;
  }
  return false;
}

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

ErrorCode parseMftRecord(ByteSpan record, ParsedMftRecord& out) {
  out = ParsedMftRecord{};
  if (record.size() < kMinRecordSize || !matchesAt(record, 0, "FILE")) return kErrorInvalidParameter;
  out.flags = le16At(record, kRecFlags);
  out.inUse = (out.flags & kRecFlagInUse) != 0;
  out.directoryFlag = (out.flags & kRecFlagDirectory) != 0;
  out.sequence = le16At(record, kRecSequence);
  out.baseReference = le64At(record, kRecBaseReference);
  if (le16At(record, kRecUsaOffset) >= kRecNumber + 4) {
    out.hasRecordNumber = true;
    out.recordNumber = le32At(record, kRecNumber);
  }
  const bool complete = walkAttributes(record, [&](const AttributeView& a, bool ok) {
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
  return kOk;
}

ErrorCode quickParseMftRecord(ByteSpan record, FileNameView& name, bool& hasName) {
  hasName = false;
  name = FileNameView{};
  if (record.size() < kMinRecordSize || !matchesAt(record, 0, "FILE0")) return kErrorInvalidParameter;
  bool damaged = false;
  (void)walkAttributes(record, [&](const AttributeView& a, bool ok) {
    if (ok && a.type == kTypeFileName) offerFileName(a, hasName, name, damaged);
    return true;
  });
  return kOk;
}

size_t fuzzParseMftRecord(const uint8_t* data, size_t size) {
  std::array<uint8_t, kMaxRecordSize> scratch{};
  const size_t n = size < scratch.size() ? size : scratch.size();
  if (n) std::memcpy(scratch.data(), data, n);
  // Whole 512-byte stretches only, as records come in.
  const size_t recordSize = n < kMinRecordSize ? kMinRecordSize : n & ~(kFixupStride - 1);
  MutableByteSpan record(scratch.data(), recordSize);
  size_t digest = size_t(applyFixups(record));

  ParsedMftRecord parsed;
  if (parseMftRecord(record, parsed) == kOk) {
    digest += parsed.dataCount + (parsed.hasFileName ? parsed.fileName.nameLength : 0);
    std::vector<DataRun> runs;
    for (size_t i = 0; i < parsed.dataCount; ++i) {
      const AttributeView& a = parsed.data[i];
      if (a.nonResident) digest += size_t(decodeRunlist(a.runlist, a.startVcn, uint64_t(1) << 32, runs));
    }
    if (parsed.hasAttributeList && !parsed.attributeList.nonResident) {
      (void)forEachAttributeListEntry(parsed.attributeList.value, [&](const AttributeListEntry& e) {
        digest += e.type + e.name.size();
        return true;
      });
    }
    digest += runs.size();
  }
  FileNameView name;
  bool hasName = false;
  if (quickParseMftRecord(record, name, hasName) == kOk && hasName) digest += name.nameLength;
  return digest;
}

}  // namespace velk
