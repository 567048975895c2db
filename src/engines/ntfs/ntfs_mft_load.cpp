// Loading the MFT into memory: its first record (or $MFTMirr's copy of it when it is
// damaged) maps the MFT's runs, which are read into an image with the update sequence
// applied to every record; the allocation bitmap is found through the loaded MFT.

#include <algorithm>
#include <cstring>
#include <new>
#include <numeric>

#include "engines/ntfs/ntfs_volume.h"
#include "formats/ntfs_layout.h"

namespace velk {

using namespace ntfs;

namespace {

constexpr size_t kLoadChunkBytes = 16u << 20;  // MFT loading reads this much at once
constexpr size_t kMaxAttributeListEntries = 1u << 16;

}  // namespace

// The MFT's first record as read from one copy, and the runs it maps.
struct NtfsVolume::MftHead {
  std::vector<uint8_t> bytes;
  std::unique_ptr<ParsedMftRecord> parsed = std::make_unique<ParsedMftRecord>();
  std::vector<DataRun> runs;
  bool torn = false;           // its update sequence did not match
  bool runsBreakOff = false;   // its runlist did not decode to the end
};

Result<NtfsVolume::MftHead> NtfsVolume::readMftHead(uint64_t cluster) {
  const auto bad = [](const char* why) { return fail(corruptError("the MFT's first record", why)); };
  if (cluster >= m_totalClusters) return bad("the boot sector places it past the volume's end");
  MftHead head;
  head.bytes.resize(m_recordSize);
  if (Status read = readVolume(cluster * m_clusterSize, head.bytes.size(), head.bytes.data()); !read)
    return fail(read.error());
  if (!matchesAt(head.bytes, 0, "FILE")) return bad("it is no MFT record");
  head.torn = applyFixups(head.bytes) != FixupResult::Applied;
  if (!parseMftRecord(head.bytes, *head.parsed)) return bad("it is no MFT record");
  static constexpr uint8_t kMftName[] = {'$', 0, 'M', 0, 'F', 0, 'T', 0};
  const ParsedMftRecord& p = *head.parsed;
  if (!p.hasFileName || p.fileName.nameLength < 4 || std::memcmp(p.fileName.name.data(), kMftName, sizeof kMftName) != 0)
    return bad("it is not named $MFT");
  const AttributeView* data = p.unnamedData();
  if (!data || !data->nonResident) return bad("it has no data runs");
  head.runsBreakOff = decodeRunlist(data->runlist, data->startVcn, m_totalClusters, head.runs) != RunlistStatus::Ok;
  if (head.runs.empty()) return bad("its data runs map no record");
  return head;
}

// A much fragmented MFT continues its runlist in extension records, which lie in the part
// of the MFT already mapped.
void NtfsVolume::addExtensionRuns(MftHead& head) {
  std::vector<uint8_t> list;
  if (!head.parsed->hasAttributeList || !attributeListBytes(*head.parsed, list)) return;
  const uint64_t cs = m_clusterSize;
  std::vector<uint8_t> ext(m_recordSize);
  auto extParsed = std::make_unique<ParsedMftRecord>();
  std::vector<DataRun>& runs = head.runs;
  const size_t mapped = runs.size();
  size_t budget = kMaxAttributeListEntries;
  (void)forEachAttributeListEntry(list, [&](const AttributeListEntry& e) {
    if (--budget == 0) return false;
    if (e.type != kTypeData || !e.name.empty() || e.startVcn == 0) return true;
    const uint64_t number = referenceNumber(e.reference);
    if (number == 0) return true;
    const uint64_t byte = number * m_recordSize;
    const uint64_t vcn = byte / cs;
    for (size_t i = 0; i < mapped; ++i) {
      const DataRun& r = runs[i];
      if (r.sparse || vcn < r.vcn || vcn >= r.vcn + r.length) continue;
      const uint64_t at = (r.lcn + (vcn - r.vcn)) * cs + byte % cs;
      if (!readVolume(at, ext.size(), ext.data())) break;
      if (applyFixups(ext) != FixupResult::Applied) m_damage.damaged(NtfsDamage::kFixups);
      if (!parseMftRecord(ext, *extParsed) || referenceNumber(extParsed->baseReference) != 0) break;
      for (size_t k = 0; k < extParsed->dataCount; ++k) {
        const AttributeView& a = extParsed->data[k];
        if (a.nonResident && a.name.empty() && a.startVcn == e.startVcn &&
            decodeRunlist(a.runlist, a.startVcn, m_totalClusters, runs) != RunlistStatus::Ok)
          m_damage.damaged(NtfsDamage::kRunlists);
      }
      break;
    }
    return true;
  });
  std::sort(runs.begin(), runs.end(), [](const DataRun& a, const DataRun& b) { return a.vcn < b.vcn; });
}

// For a sparse image: whether a folder chain or an extension lookup could ever need the
// record, and if not, what a chain meeting it would conclude. Held: the scan's candidates
// (records no longer in use), extension records, the file system's own records, and every
// record naming a folder (or naming nothing itself, whose names the chain looks up).
LeftOut NtfsVolume::sparseVerdict(uint64_t number, ByteSpan record) {
  if (number < kFirstUserRecord) return LeftOut::No;
  if (auto header = readMftRecordHeader(record)) {
    if (!header->inUse()) return LeftOut::No;
    if (referenceNumber(header->baseReference) != 0) return LeftOut::No;
  }
  FileNameView name;
  bool hasName = false;
  if (!quickParseMftRecord(record, name, hasName)) return LeftOut::Unparsable;
  if (!hasName || (name.flags & kFnFlagDirectory)) return LeftOut::No;
  return LeftOut::NotFolder;
}

Status NtfsVolume::readMftInto(MftImage& image, const std::vector<DataRun>& runs, uint64_t initializedSize) {
  const uint64_t rs = image.recordSize;
  const uint64_t total = uint64_t(image.recordCount) * rs;
  const uint64_t cs = m_clusterSize;
  // The window the reads land in: the image itself when dense, else a buffer of whole
  // records and whole clusters reused from one stretch of the MFT to the next.
  const uint64_t step = std::lcm(cs, rs);
  const uint64_t windowBytes =
      image.sparse() ? std::min(total, std::max<uint64_t>(1, kLoadChunkBytes / step) * step) : total;
  std::vector<uint8_t> staging;
  if (image.sparse()) staging.resize(size_t(windowBytes));
  uint8_t* const window = image.sparse() ? staging.data() : image.bytes.data();
  uint64_t windowStart = 0;
  uint64_t pos = 0;
  size_t runIndex = 0;
  uint32_t fixed = 0;
  // Fixups go on while the records just read are still in the cache.
  auto fixUpTo = [&](uint64_t end) {
    for (; fixed < image.recordCount && (uint64_t(fixed) + 1) * rs <= end; ++fixed) {
      MutableByteSpan rec(window + (size_t(fixed) * rs - windowStart), size_t(rs));
      if (rec[0] == 'F' && applyFixups(rec) != FixupResult::Applied) {
        image.fixupMismatch[fixed] = 1;
        m_damage.damaged(NtfsDamage::kFixups);
      }
    }
  };
  // A full window of a sparse image: keep what a scan can use, note the rest.
  auto sift = [&](uint64_t end) {
    for (uint64_t at = windowStart; at < end; at += rs) {
      const uint32_t index = uint32_t(at / rs);
      const uint8_t* rec = window + (at - windowStart);
      const LeftOut verdict = sparseVerdict(image.firstNumber + index, ByteSpan(rec, size_t(rs)));
      if (verdict == LeftOut::No) image.keep(index, rec);
      else image.leftOut[index] = verdict;
    }
    windowStart = end;
  };
  while (pos < total) {
    if (!m_scanFlag.isSet()) return fail(cancelledError());
    const uint64_t vcn = pos / cs;
    while (runIndex < runs.size() && runs[runIndex].vcn + runs[runIndex].length <= vcn) ++runIndex;
    uint64_t bytes;
    bool zero = true;
    uint64_t lcn = 0;
    if (runIndex >= runs.size()) {
      bytes = total - pos;  // not mapped: nothing to read
    } else if (runs[runIndex].vcn > vcn) {
      bytes = std::min(total - pos, (runs[runIndex].vcn - vcn) * cs);
    } else {
      const DataRun& r = runs[runIndex];
      bytes = std::min<uint64_t>({total - pos, (r.vcn + r.length - vcn) * cs, kLoadChunkBytes});
      zero = r.sparse || pos >= initializedSize;
      lcn = r.lcn + (vcn - r.vcn);
      if (!zero) bytes = std::min(bytes, initializedSize - pos);
    }
    // The window ends on a record and a cluster boundary: reads stay cluster-aligned.
    bytes = std::min(bytes, windowStart + windowBytes - pos);
    uint8_t* const out = window + (pos - windowStart);
    if (zero) {
      std::memset(out, 0, size_t(bytes));
    } else {
      // Unreadable sectors come back as zeros and are logged: their records fail to parse
      // and are never listed.
      (void)readVolume(lcn * cs, size_t(bytes), out);
      m_mftExtents.emplace_back(lcn * cs, bytes);
    }
    pos += bytes;
    fixUpTo(pos);
    if (image.sparse() && (pos == windowStart + windowBytes || pos == total)) sift(pos);
  }
  return {};
}

// The MFT's first records (the system's own files) are copied in $MFTMirr: a damaged one
// is taken from there when the copy is whole.
void NtfsVolume::repairFromMirror(MftImage& image) {
  if (m_boot.mftMirrCluster >= m_totalClusters) return;
  const uint32_t count = std::min(kMirrorRecords, image.recordCount);
  std::vector<uint8_t> copy(m_recordSize);
  for (uint32_t i = 0; i < count; ++i) {
    const ByteSpan held = image.record(i);
    if (held.empty() || (matchesAt(held, 0, "FILE") && !image.fixupMismatch[i])) continue;
    const uint64_t at = m_boot.mftMirrCluster * m_clusterSize + uint64_t(i) * m_recordSize;
    if (!readVolume(at, copy.size(), copy.data()) || !matchesAt(copy, 0, "FILE") ||
        applyFixups(copy) != FixupResult::Applied)
      continue;
    image.replace(i, copy.data());
    image.fixupMismatch[i] = 0;
    m_damage.damaged(NtfsDamage::kMirrorCopies);
  }
}

Status NtfsVolume::loadMft(MftHolding holding) {
  m_mftCopy = NtfsCopy::None;
  if (!m_reader.isOpen() || !m_ntfsFound) return fail(unsupportedError("the volume has no NTFS boot sector"));
  const uint64_t cs = m_clusterSize;
  // The MFT's own first record, else the mirror's copy of it; a copy whose update sequence
  // does not match serves only when the other is no better.
  Result<MftHead> head = readMftHead(m_boot.mftCluster);
  m_mftCopy = NtfsCopy::Primary;
  if (!head || head->torn || head->runsBreakOff) {
    Result<MftHead> mirror = readMftHead(m_boot.mftMirrCluster);
    if (mirror && (!head || (!mirror->torn && !mirror->runsBreakOff))) {
      head = std::move(mirror);
      m_mftCopy = NtfsCopy::Backup;
      m_damage.damaged(NtfsDamage::kMirrorCopies);
    }
  }
  if (!head) {
    m_mftCopy = NtfsCopy::None;
    return fail(head.error());
  }
  if (head->torn) m_damage.damaged(NtfsDamage::kFixups);
  if (head->runsBreakOff) m_damage.damaged(NtfsDamage::kRunlists);
  addExtensionRuns(*head);

  const AttributeView& data = *head->parsed->unnamedData();
  // The runs bound what can be read: a wild size in a damaged record must not become a
  // buffer of that size.
  uint64_t mapped = 0;
  for (const DataRun& r : head->runs) mapped = std::max(mapped, r.vcn + r.length);
  const uint64_t dataSize = std::min(data.realSize, std::min(mapped, m_totalClusters) * cs);
  const uint64_t count = std::min<uint64_t>(dataSize / m_recordSize, UINT32_MAX);
  if (count == 0) return fail(corruptError("the MFT's first record", "its data runs map no record"));
  MftImage image;
  image.recordSize = m_recordSize;
  image.recordCount = uint32_t(count);
  image.volumeOffset = m_boot.mftCluster * cs;
  try {
    if (holding == MftHolding::ForDeletedScan) {
      image.slot.assign(size_t(count), 0);
      image.leftOut.assign(size_t(count), LeftOut::No);
    } else {
      image.bytes.resize(size_t(count * m_recordSize));
    }
    image.fixupMismatch.assign(size_t(count), 0);
    m_mftExtents.clear();
    if (Status read = readMftInto(image, head->runs, std::min(data.initializedSize, dataSize)); !read) return read;
  } catch (const std::bad_alloc&) {
    return fail(corruptError("the MFT's first record", "its size does not fit in memory"));
  }
  repairFromMirror(image);
  std::sort(m_mftExtents.begin(), m_mftExtents.end());
  m_images.push_back(std::move(image));
  m_mftKnown = true;
  return {};
}

void NtfsVolume::loadBitmap() {
  m_bitmap.clear();
  if (!m_mftKnown) return;
  auto bytes = recordBytes(kRecordBitmap, 0);
  auto parsed = std::make_unique<ParsedMftRecord>();
  if (!bytes || !parseMftRecord(*bytes, *parsed)) return;
  const AttributeView* data = parsed->unnamedData();
  if (!data || !data->nonResident) return;
  std::vector<DataRun> runs;
  // A bitmap whose runs break off is not trusted at all: a wrong "free" would pass
  // overwritten data as whole.
  if (decodeRunlist(data->runlist, data->startVcn, m_totalClusters, runs) != RunlistStatus::Ok) return;
  m_bitmap.assign(std::move(runs), std::min(data->realSize, data->initializedSize), m_clusterSize, m_totalClusters);
}

}  // namespace velk
