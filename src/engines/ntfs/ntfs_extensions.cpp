// What a record keeps outside itself: its $ATTRIBUTE_LIST names the extension records that
// hold the names, sizes and data extents that did not fit, and a stream's layout gathers
// the extents of every record it spans.

#include <algorithm>
#include <cstring>

#include "engines/ntfs/ntfs_volume.h"
#include "formats/ntfs_layout.h"

namespace velk {

using namespace ntfs;

namespace {

constexpr uint64_t kMaxAttributeListBytes = 1u << 20;  // far above any real list
constexpr size_t kMaxAttributeListEntries = 1u << 16;

bool sameName(ByteSpan a, ByteSpan b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

}  // namespace

bool NtfsVolume::attributeListBytes(const ParsedMftRecord& parsed, std::vector<uint8_t>& out) {
  out.clear();
  const AttributeView& a = parsed.attributeList;
  if (!a.nonResident) {
    out.assign(a.value.begin(), a.value.end());
    return true;
  }
  if (a.realSize > kMaxAttributeListBytes) return false;
  NtfsStreamLayout layout;
  layout.realSize = a.realSize;
  layout.initializedSize = a.initializedSize;
  if (decodeRunlist(a.runlist, a.startVcn, m_totalClusters, layout.runs) != RunlistStatus::Ok) return false;
  VectorSink sink(static_cast<size_t>(kMaxAttributeListBytes));
  if (!writeNtfsStream(layout, m_clusterSize, *this, sink)) return false;
  out = std::move(sink.bytes());
  return true;
}

bool NtfsVolume::fileNameThroughAttributeList(int imageIndex, uint64_t ownNumber, const ParsedMftRecord& parsed,
                                              FileNameView& name) {
  std::vector<uint8_t> list;
  if (!attributeListBytes(parsed, list)) return false;
  bool has = false;
  size_t budget = kMaxAttributeListEntries;
  std::vector<uint64_t> seen;
  auto ext = std::make_unique<ParsedMftRecord>();
  (void)forEachAttributeListEntry(list, [&](const AttributeListEntry& e) {
    if (--budget == 0) return false;
    const uint64_t number = referenceNumber(e.reference);
    if (e.type != kTypeFileName || number == ownNumber) return true;
    if (std::find(seen.begin(), seen.end(), number) != seen.end()) return true;
    seen.push_back(number);
    auto bytes = recordBytes(number, imageIndex);
    if (!bytes || !parseMftRecord(*bytes, *ext) || referenceNumber(ext->baseReference) != ownNumber ||
        !ext->hasFileName)
      return true;
    // The views point into the image, which outlives the caller's use of them.
    if (!has || ext->fileName.nameLength > name.nameLength) {
      name = ext->fileName;
      has = true;
    }
    return true;
  });
  return has;
}

std::optional<uint64_t> NtfsVolume::sizeThroughAttributeList(int imageIndex, uint64_t ownNumber,
                                                             const ParsedMftRecord& parsed) {
  std::vector<uint8_t> list;
  if (!attributeListBytes(parsed, list)) return std::nullopt;
  std::optional<uint64_t> size;
  size_t budget = kMaxAttributeListEntries;
  (void)forEachAttributeListEntry(list, [&](const AttributeListEntry& e) {
    if (--budget == 0) return false;
    if (e.type != kTypeData || !e.name.empty() || e.startVcn != 0) return true;
    const uint64_t number = referenceNumber(e.reference);
    if (number == ownNumber) return true;
    auto bytes = recordBytes(number, imageIndex);
    if (!bytes) return false;
    auto ext = std::make_unique<ParsedMftRecord>();
    if (!parseMftRecord(*bytes, *ext) || referenceNumber(ext->baseReference) != ownNumber) return false;
    if (const AttributeView* d = ext->unnamedData()) size = d->contentSize();
    return false;
  });
  return size;
}

void NtfsVolume::streamLayout(int imageIndex, uint64_t ownNumber, const ParsedMftRecord& parsed, ByteSpan streamName,
                              NtfsStreamLayout& layout) {
  layout = NtfsStreamLayout{};
  std::vector<AttributeView> extents;
  for (size_t i = 0; i < parsed.dataCount; ++i)
    if (sameName(parsed.data[i].name, streamName)) extents.push_back(parsed.data[i]);

  // Extension records hold the rest of a file whose attributes did not fit its record.
  std::vector<std::unique_ptr<ParsedMftRecord>> extensions;
  if (parsed.hasAttributeList) {
    std::vector<uint8_t> list;
    if (!attributeListBytes(parsed, list)) {
      layout.incomplete = true;
    } else {
      std::vector<std::pair<uint64_t, uint64_t>> seen;
      size_t budget = kMaxAttributeListEntries;
      (void)forEachAttributeListEntry(list, [&](const AttributeListEntry& e) {
        if (--budget == 0) return false;
        if (e.type != kTypeData || !sameName(e.name, streamName)) return true;
        const uint64_t number = referenceNumber(e.reference);
        if (number == ownNumber) return true;
        if (std::find(seen.begin(), seen.end(), std::make_pair(number, e.startVcn)) != seen.end()) return true;
        seen.emplace_back(number, e.startVcn);
        auto bytes = recordBytes(number, imageIndex);
        auto ext = std::make_unique<ParsedMftRecord>();
        if (!bytes || !parseMftRecord(*bytes, *ext) || referenceNumber(ext->baseReference) != ownNumber) {
          layout.incomplete = true;  // the extension record is gone or now belongs to another file
          return true;
        }
        bool found = false;
        for (size_t i = 0; i < ext->dataCount; ++i) {
          const AttributeView& a = ext->data[i];
          if (sameName(a.name, streamName) && (a.nonResident ? a.startVcn == e.startVcn : e.startVcn == 0)) {
            extents.push_back(a);
            found = true;
          }
        }
        if (!found) layout.incomplete = true;
        extensions.push_back(std::move(ext));
        return true;
      });
    }
  }

  const AttributeView* first = nullptr;
  for (const AttributeView& a : extents)
    if (!a.nonResident || a.startVcn == 0) {
      first = &a;
      break;
    }
  if (!first) {
    // A file without any $DATA is empty; a stream whose first extent is missing is not.
    layout.resident = true;
    if (!extents.empty() || !streamName.empty()) layout.incomplete = true;
    return;
  }
  if (!first->nonResident) {
    layout.resident = true;
    layout.residentBytes.assign(first->value.begin(), first->value.end());
    return;
  }
  layout.realSize = first->realSize;
  layout.initializedSize = first->initializedSize;
  layout.compressed = first->compressed();
  if (layout.compressed && first->compressionUnit > 0 && first->compressionUnit <= 16)
    layout.compressionUnitClusters = 1u << first->compressionUnit;
  for (const AttributeView& a : extents) {
    if (!a.nonResident) continue;
    if (decodeRunlist(a.runlist, a.startVcn, m_totalClusters, layout.runs) != RunlistStatus::Ok)
      layout.incomplete = true;
  }
  std::stable_sort(layout.runs.begin(), layout.runs.end(),
                   [](const DataRun& a, const DataRun& b) { return a.vcn < b.vcn; });
  // A cluster belongs to a stream once: runs that together map more clusters than the
  // volume has are cross-linked damage, and following them would read the volume again
  // and again for one file. What fits is kept and the stream is marked incomplete.
  uint64_t allocated = 0;
  for (size_t i = 0; i < layout.runs.size(); ++i) {
    if (layout.runs[i].sparse) continue;
    allocated += layout.runs[i].length;  // each run lies inside the volume: no overflow
    if (allocated > m_totalClusters) {
      layout.runs.resize(i);
      layout.incomplete = true;
      break;
    }
  }
}

}  // namespace velk
