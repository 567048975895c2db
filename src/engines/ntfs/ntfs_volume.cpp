#include "engines/ntfs/ntfs_engine.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <numeric>

#include "engines/ntfs/ntfs_filters.h"
#include "formats/ntfs_layout.h"
#include "disk/device.h"
#include "support/text.h"

namespace velk {

using namespace ntfs;

namespace {

// Kinds of damage the scans count (they complete "n …").
const std::string kFixupDamage = "MFT records whose update sequence does not match";
const std::string kRunlistDamage = "runlists that break off";

constexpr size_t kLoadChunkBytes = 16u << 20;        // MFT loading reads this much at once
constexpr uint64_t kMaxAttributeListBytes = 1u << 20;  // far above any real list
constexpr size_t kMaxChainDepth = 1024;               // folders above one file
constexpr size_t kMaxAttributeListEntries = 1u << 16;
constexpr uint32_t kSweepChunkClusters = 100;
constexpr uint32_t kStatusEvery = 1024;                // records between status texts
constexpr uint32_t kMirrorRecords = 4;                 // $MFTMirr holds the first four records

// The program's texts carry one "%d".
std::string formatText(const char* format, uint64_t value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, int(std::min<uint64_t>(value, INT32_MAX)));
  return buf;
}

// UTF-16 name as listed: UTF-8, with "?" (what a code page makes of the unmappable)
// turned into "_" like the characters that do not convert.
std::string listedName(ByteSpan utf16) {
  std::string name = utf16leToUtf8(utf16);
  std::replace(name.begin(), name.end(), '?', '_');
  return name;
}

bool sameName(ByteSpan a, ByteSpan b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

uint64_t chainKey(int imageIndex, uint64_t parent) {
  return (uint64_t(uint32_t(imageIndex)) << 48) | referenceNumber(parent);
}

}  // namespace

struct NtfsVolume::Chain {
  std::vector<std::pair<std::string, uint32_t>> folders;  // innermost first
  bool broken = false;
  uint64_t brokenAt = 0;
};

struct NtfsVolume::ScanContext {
  ScanContext(ResultSink& s, const ScanOptions& o) : sink(s), options(o) {}
  ResultSink& sink;
  const ScanOptions& options;
  FolderItem* root = nullptr;
  std::string mask;
  std::string folder;
  uint64_t accepted = 0;
  ParsedMftRecord parsed;
  ParsedMftRecord chainParsed;  // a folder of a chain, while `parsed` holds the file
  std::unordered_map<uint64_t, Chain> chains;
  // Folder items of whole chains, by the chain's key (image, parent).
  std::unordered_map<uint64_t, FolderItem*> placed;
  std::map<std::tuple<FolderItem*, uint32_t, std::string>, FolderItem*> folders;
  // Set by buildRecord for the record in hand.
  uint64_t parentKey = 0;
  bool placeable = false;
};

NtfsVolume::NtfsVolume(SectorReader reader, uint64_t startSector, char letter, uint64_t availableBytes)
    : m_reader(std::move(reader)), m_startSector(startSector), m_letter(letter), m_availableBytes(availableBytes) {
  useDefaultGeometry();
}

std::string NtfsVolume::rootItemText() const {
  std::string text = "NTFS - Logical Disk (";
  text += m_letter;
  text += ":)";
  return text;
}

Status NtfsVolume::readVolume(uint64_t offset, size_t length, uint8_t* buffer) {
  std::lock_guard lock(m_readMutex);
  return m_reader.ReadAt(offset, length, buffer);
}

void NtfsVolume::useDefaultGeometry() {
  m_clusterSize = 8 * kSectorSize;
  m_recordSize = kDefaultRecordSize;
  m_totalClusters = m_availableBytes / m_clusterSize;
}

Status NtfsVolume::readBootSector() {
  m_ntfsFound = false;
  if (!m_reader.isOpen()) return fail(notFoundError("the volume's device"));
  uint8_t sector[kBootSize];
  if (Status read = readVolume(0, sizeof sector, sector); !read) return read;
  auto boot = NtfsBootSector::parse(ByteSpan(sector, sizeof sector));
  if (!boot) {
    useDefaultGeometry();
    return fail(unsupportedError("the volume has no NTFS boot sector"));
  }
  m_boot = *boot;
  m_ntfsFound = true;
  m_clusterSize = boot->clusterSize;
  m_recordSize = boot->recordSize;
  m_totalClusters = boot->totalClusters();
  // Clusters beyond the partition belong to whatever follows it.
  if (m_availableBytes) m_totalClusters = std::min(m_totalClusters, m_availableBytes / m_clusterSize);
  return {};
}

// For a sparse image: whether a folder chain or an extension lookup could ever need the
// record, and if not, what a chain meeting it would conclude. Held: the scan's candidates
// (records no longer in use), extension records, the file system's own records, and every
// record naming a folder (or naming nothing itself, whose names the chain looks up).
LeftOut NtfsVolume::sparseVerdict(uint64_t number, ByteSpan record) {
  if (number < kFirstUserRecord) return LeftOut::No;
  if (matchesAt(record, 0, "FILE")) {
    if (!(le16(record.data() + kRecFlags) & kRecFlagInUse)) return LeftOut::No;
    if (referenceNumber(le64(record.data() + kRecBaseReference)) != 0) return LeftOut::No;
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
        m_damage.damaged(kFixupDamage);
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
      const uint64_t at = lcn * cs;
      if (!readVolume(at, size_t(bytes), out)) {
        // A bad stretch: take what each cluster gives, zeros for the unreadable ones (their
        // records then fail to parse and are counted as unreadable, never listed).
        for (uint64_t done = 0; done < bytes; done += cs) {
          const size_t n = size_t(std::min(cs, bytes - done));
          if (!readVolume(at + done, n, out + done)) {
            std::memset(out + done, 0, n);
            m_damage.unreadable(m_reader.diskSectorOf(at + done), (n + kSectorSize - 1) / kSectorSize);
          }
        }
      }
      m_mftExtents.emplace_back(at, bytes);
    }
    pos += bytes;
    fixUpTo(pos);
    if (image.sparse() && (pos == windowStart + windowBytes || pos == total)) sift(pos);
  }
  return {};
}

Status NtfsVolume::loadMft(MftHolding holding) {
  if (!m_reader.isOpen() || !m_ntfsFound) return fail(unsupportedError("the volume has no NTFS boot sector"));
  const uint64_t cs = m_clusterSize;
  const auto badMft = [](const char* why) { return fail(corruptError("the MFT's first record", why)); };
  if (m_boot.mftCluster >= m_totalClusters) return badMft("the boot sector places it past the volume's end");
  std::vector<uint8_t> first(m_recordSize);
  if (Status read = readVolume(m_boot.mftCluster * cs, first.size(), first.data()); !read) return read;
  if (applyFixups(first) != FixupResult::Applied) m_damage.damaged(kFixupDamage);
  auto parsed = std::make_unique<ParsedMftRecord>();
  if (!parseMftRecord(first, *parsed)) return badMft("it is no MFT record");
  static constexpr uint8_t kMftName[] = {'$', 0, 'M', 0, 'F', 0, 'T', 0};
  if (!parsed->hasFileName || parsed->fileName.nameLength < 4 ||
      std::memcmp(parsed->fileName.name.data(), kMftName, sizeof kMftName) != 0)
    return badMft("it is not named $MFT");
  const AttributeView* data = parsed->unnamedData();
  if (!data || !data->nonResident) return badMft("it has no data runs");

  std::vector<DataRun> runs;
  if (decodeRunlist(data->runlist, data->startVcn, m_totalClusters, runs) != RunlistStatus::Ok)
    m_damage.damaged(kRunlistDamage);

  // A much fragmented MFT continues its runlist in extension records, which lie in the
  // part of the MFT already mapped.
  if (parsed->hasAttributeList) {
    std::vector<uint8_t> list;
    if (attributeListBytes(*parsed, list)) {
      std::vector<uint8_t> ext(m_recordSize);
      auto extParsed = std::make_unique<ParsedMftRecord>();
      size_t budget = kMaxAttributeListEntries;
      (void)forEachAttributeListEntry(list, [&](const AttributeListEntry& e) {
        if (--budget == 0) return false;
        if (e.type != kTypeData || !e.name.empty() || e.startVcn == 0) return true;
        const uint64_t number = referenceNumber(e.reference);
        if (number == 0) return true;
        const uint64_t byte = number * m_recordSize;
        const uint64_t vcn = byte / cs;
        for (const DataRun& r : runs) {
          if (r.sparse || vcn < r.vcn || vcn >= r.vcn + r.length) continue;
          const uint64_t at = (r.lcn + (vcn - r.vcn)) * cs + byte % cs;
          if (!readVolume(at, ext.size(), ext.data())) break;
          if (applyFixups(ext) != FixupResult::Applied) m_damage.damaged(kFixupDamage);
          if (!parseMftRecord(ext, *extParsed) || referenceNumber(extParsed->baseReference) != 0) break;
          for (size_t i = 0; i < extParsed->dataCount; ++i) {
            const AttributeView& a = extParsed->data[i];
            if (a.nonResident && a.name.empty() && a.startVcn == e.startVcn &&
                decodeRunlist(a.runlist, a.startVcn, m_totalClusters, runs) != RunlistStatus::Ok)
              m_damage.damaged(kRunlistDamage);
          }
          break;
        }
        return true;
      });
      std::sort(runs.begin(), runs.end(), [](const DataRun& a, const DataRun& b) { return a.vcn < b.vcn; });
    }
  }

  // The runs bound what can be read: a wild size in a damaged record must not become a
  // buffer of that size.
  uint64_t mapped = 0;
  for (const DataRun& r : runs) mapped = std::max(mapped, r.vcn + r.length);
  const uint64_t dataSize = std::min(data->realSize, std::min(mapped, m_totalClusters) * cs);
  const uint64_t count = std::min<uint64_t>(dataSize / m_recordSize, UINT32_MAX);
  if (count == 0) return badMft("its data runs map no record");
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
    if (Status read = readMftInto(image, runs, std::min(data->initializedSize, dataSize)); !read) return read;
  } catch (const std::bad_alloc&) {
    return badMft("its size does not fit in memory");
  }
  std::sort(m_mftExtents.begin(), m_mftExtents.end());
  m_images.push_back(std::move(image));
  m_mftKnown = true;
  return {};
}

std::optional<std::pair<int, uint32_t>> NtfsVolume::locate(uint64_t number, int preferImage) const {
  if (preferImage >= 0 && size_t(preferImage) < m_images.size() && m_images[size_t(preferImage)].covers(number))
    return std::make_pair(preferImage, uint32_t(number - m_images[size_t(preferImage)].firstNumber));
  for (size_t i = 0; i < m_images.size(); ++i)
    if (m_images[i].covers(number)) return std::make_pair(int(i), uint32_t(number - m_images[i].firstNumber));
  return std::nullopt;
}

std::optional<ByteSpan> NtfsVolume::recordBytes(uint64_t number, int preferImage) const {
  auto where = locate(number, preferImage);
  if (!where) return std::nullopt;
  const ByteSpan bytes = m_images[size_t(where->first)].record(where->second);
  // A record a sparse image left out is never a folder, nor an extension record.
  if (bytes.empty()) return std::nullopt;
  return bytes;
}

const NtfsVolume::Chain& NtfsVolume::folderChain(ScanContext& ctx, int imageIndex, uint64_t parent) {
  const uint64_t key = chainKey(imageIndex, parent);
  if (auto it = ctx.chains.find(key); it != ctx.chains.end()) return it->second;
  Chain chain;
  std::vector<uint64_t> visited;
  uint64_t p = referenceNumber(parent);
  auto breakAt = [&](uint64_t number) {
    chain.broken = true;
    chain.brokenAt = number;
  };
  while (true) {
    const auto where = locate(p, imageIndex);
    // A parent no image covers, a folder met twice (two folders naming each other) or a
    // chain deeper than any real tree: the chain is broken here.
    if (!where || std::find(visited.begin(), visited.end(), p) != visited.end() ||
        visited.size() >= kMaxChainDepth) {
      breakAt(p);
      break;
    }
    visited.push_back(p);
    const MftImage& holder = m_images[size_t(where->first)];
    // A sparse image says what a record it left out would have given.
    const LeftOut leftOut = holder.leftOutAs(where->second);
    if (leftOut == LeftOut::Unparsable) break;
    if (leftOut == LeftOut::NotFolder) {
      breakAt(p);
      break;
    }
    const ByteSpan bytes = holder.record(where->second);
    FileNameView fn;
    bool hasName = false;
    if (!quickParseMftRecord(bytes, fn, hasName)) break;  // path ends as far as it got
    // A folder with many entries may keep its names in extension records.
    if (!hasName && parseMftRecord(bytes, ctx.chainParsed) && ctx.chainParsed.hasAttributeList)
      hasName = fileNameThroughAttributeList(imageIndex, p, ctx.chainParsed, fn);
    std::string name = hasName ? listedName(fn.name) : std::string();
    if (!(fn.flags & kFnFlagDirectory) || name.empty()) {
      breakAt(p);
      break;
    }
    chain.folders.emplace_back(std::move(name), uint32_t(p));
    const uint64_t q = referenceNumber(fn.parentReference);
    if (q == p || q <= kLastSystemRecord) break;  // the root is reached
    p = q;
  }
  return ctx.chains.emplace(key, std::move(chain)).first->second;
}

void NtfsVolume::addFolderPath(ScanContext& ctx, NtfsFileRecord& record, uint64_t parent) {
  ctx.parentKey = 0;
  ctx.placeable = true;
  if (referenceNumber(parent) <= kLastSystemRecord) return;
  if (record.imageIndex < 0 || size_t(record.imageIndex) >= m_images.size()) return;
  const Chain& chain = folderChain(ctx, record.imageIndex, parent);
  const size_t entries = chain.folders.size() + (chain.broken ? 2 : 0);
  record.FolderNames.reserve(entries);
  record.FolderRecords.reserve(entries);
  for (const auto& [name, number] : chain.folders) {
    record.FolderNames.push_back(name);
    record.FolderRecords.push_back(number);
  }
  ctx.parentKey = chainKey(record.imageIndex, parent);
  if (chain.broken) {
    // Each broken chain gets its own "Dir%d", even when two files miss the same parent.
    record.FolderNames.push_back(formatText("Dir%d", uint64_t(m_lostCounter++)));
    record.FolderRecords.push_back(uint32_t(chain.brokenAt));
    record.FolderNames.push_back(formatText("Lost Files%d", uint64_t(record.imageIndex)));
    record.FolderRecords.push_back(uint32_t(record.imageIndex + 1));
    ctx.placeable = false;
  }
}

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

std::unique_ptr<NtfsFileRecord> NtfsVolume::buildRecord(ScanContext& ctx, int imageIndex, uint32_t recordIndex,
                                                        const ParsedMftRecord& parsed) {
  const MftImage& image = m_images[size_t(imageIndex)];
  FileNameView fileName = parsed.fileName;
  if (!parsed.hasFileName &&
      !(parsed.hasAttributeList &&
        fileNameThroughAttributeList(imageIndex, image.firstNumber + recordIndex, parsed, fileName)))
    return nullptr;
  std::string name = listedName(fileName.name);
  if (name.empty()) return nullptr;
  if (!ntfsPresetAccepts(ctx.options.preset, name)) return nullptr;

  auto record = std::make_unique<NtfsFileRecord>();
  record->name = std::move(name);
  record->recordIndex = recordIndex;
  record->imageIndex = imageIndex;
  record->mftNumber = image.firstNumber + recordIndex;
  record->created = parsed.standardInfo.created;
  record->modified = parsed.standardInfo.modified;
  record->accessed = parsed.standardInfo.accessed;
  record->attributes = parsed.standardInfo.attributes | fileName.flags;
  record->deleted = !parsed.inUse;
  record->checked = false;
  if (const AttributeView* data = parsed.unnamedData()) {
    record->size64 = data->contentSize();
  } else if (parsed.hasAttributeList) {
    record->size64 = sizeThroughAttributeList(imageIndex, record->mftNumber, parsed).value_or(0);
  }
  record->size = record->size64;
  record->fixupMismatch = image.fixupMismatch[recordIndex] != 0;
  record->damaged = parsed.damaged;

  ctx.parentKey = 0;
  ctx.placeable = true;
  if (!record->isDirectory()) addFolderPath(ctx, *record, fileName.parentReference);
  if (ctx.options.quickFilterEnabled && !ntfsResultFilterAccepts(ctx.options.quickFilter, *record)) return nullptr;
  return record;
}

FolderItem* NtfsVolume::folderFor(ScanContext& ctx, const NtfsFileRecord& record) {
  if (record.FolderNames.empty()) return ctx.root;
  if (ctx.placeable && ctx.parentKey) {
    if (auto it = ctx.placed.find(ctx.parentKey); it != ctx.placed.end()) return it->second;
  }
  FolderItem* item = ctx.root;
  for (size_t i = record.FolderNames.size(); i-- > 0;) {
    auto key = std::make_tuple(item, record.FolderRecords[i], record.FolderNames[i]);
    auto it = ctx.folders.find(key);
    if (it == ctx.folders.end())
      it = ctx.folders.emplace(key, ctx.sink.addFolder(item, record.FolderNames[i], record.FolderRecords[i])).first;
    item = it->second;
  }
  if (ctx.placeable && ctx.parentKey) ctx.placed.emplace(ctx.parentKey, item);
  return item;
}

void NtfsVolume::addEntries(ScanContext& ctx, std::unique_ptr<NtfsFileRecord> record, const ParsedMftRecord& parsed,
                            bool applyScope) {
  // Folders take part in the chains of their files but are not listed themselves.
  if (record->isDirectory()) return;
  if (applyScope) {
    if (!ntfsNameMaskAccepts(ctx.mask, record->name)) return;
    if (!ntfsFolderFilterAccepts(ctx.folder, record->FolderNames)) return;
  }
  FolderItem* folder = folderFor(ctx, *record);
  // Named streams are listed beside their file as "name:stream".
  std::vector<std::unique_ptr<NtfsFileRecord>> streams;
  for (size_t i = 0; i < parsed.dataCount; ++i) {
    const AttributeView& a = parsed.data[i];
    if (a.name.empty() || (a.nonResident && a.startVcn != 0)) continue;
    auto stream = std::make_unique<NtfsFileRecord>(*record);
    stream->name = record->name + ":" + listedName(a.name);
    stream->streamName.assign(a.name.begin(), a.name.end());
    stream->size64 = a.contentSize();
    stream->size = stream->size64;
    streams.push_back(std::move(stream));
  }
  ctx.sink.addFile(folder, std::move(record));
  ++ctx.accepted;
  for (auto& s : streams) {
    ctx.sink.addFile(folder, std::move(s));
    ++ctx.accepted;
  }
}

void NtfsVolume::listRecord(ScanContext& ctx, int imageIndex, uint32_t recordIndex, bool applyScope) {
  const ByteSpan bytes = m_images[size_t(imageIndex)].record(recordIndex);
  if (!parseMftRecord(bytes, ctx.parsed)) return;
  // Extension records belong to their base record: a name there is the base file's.
  if (referenceNumber(ctx.parsed.baseReference) != 0) return;
  auto record = buildRecord(ctx, imageIndex, recordIndex, ctx.parsed);
  if (record) addEntries(ctx, std::move(record), ctx.parsed, applyScope);
}

Status NtfsVolume::scanDeleted(ResultSink& sink, const ScanOptions& options, Progress& progress) {
  progress.setStatus("Found Deleted Files : 0");
  ScanContext ctx(sink, options);
  ctx.root = sink.addFolder(nullptr, rootItemText());
  ctx.mask = trimSpaces(options.extensionListForScan());
  ctx.folder = trimSpaces(options.folder);
  m_images.clear();
  m_mftExtents.clear();

  if (Status boot = readBootSector(); !boot) return boot;
  if (Status loaded = loadMft(MftHolding::ForDeletedScan); !loaded)
    return loaded.error().is(ErrorKind::Cancelled) ? Status() : loaded;

  const MftImage& image = m_images[0];
  progress.foundTotal.store(image.recordCount);
  progress.foundCurrent.store(0);
  for (uint32_t i = kFirstUserRecord; i < image.recordCount && m_scanFlag.isSet(); ++i) {
    if (i % kStatusEvery == 0) {
      progress.foundCurrent.store(i);
      progress.setStatus(formatText("Found Deleted Files : %d", ctx.accepted));
    }
    const ByteSpan raw = image.record(i);
    // Candidates: "FILE" records no longer in use.
    if (!matchesAt(raw, 0, "FILE") || (le16(raw.data() + kRecFlags) & kRecFlagInUse)) continue;
    listRecord(ctx, 0, i, true);
  }
  progress.foundCurrent.store(image.recordCount);
  progress.setStatus(formatText("Found Deleted Files : %d", ctx.accepted));
  return {};
}

void NtfsVolume::listImage(ScanContext& ctx, int imageIndex, Progress& progress) {
  const MftImage& image = m_images[size_t(imageIndex)];
  for (uint32_t i = 0; i < image.recordCount && m_scanFlag.isSet(); ++i) {
    // The file system's own records are never listed, in any image.
    if (image.firstNumber + i < kFirstUserRecord) continue;
    if (i % kStatusEvery == 0)
      progress.setStatus(formatText("Found Formated Files : %d", m_foundCounter));
    if (!matchesAt(image.record(i), 0, "FILE")) continue;
    listRecord(ctx, imageIndex, i, false);
  }
}

void NtfsVolume::keepFoundRecord(uint64_t position, ByteSpan record) {
  const uint64_t number = le32(record.data() + kRecNumber);
  MftImage* current = m_images.size() > (m_mftKnown ? 1u : 0u) ? &m_images.back() : nullptr;
  const bool continues = current && position == current->volumeOffset + uint64_t(current->recordCount) * m_recordSize &&
                         number == current->firstNumber + current->recordCount &&
                         current->recordCount < UINT32_MAX;
  if (!continues) {
    MftImage image;
    image.recordSize = m_recordSize;
    image.volumeOffset = position;
    image.firstNumber = number;
    // Without a number of its own, a record lying after the known MFT is numbered by its
    // distance from it.
    if (number == 0 && m_mftKnown && position > m_images[0].volumeOffset)
      image.firstNumber = (position - m_images[0].volumeOffset) / m_recordSize;
    m_images.push_back(std::move(image));
    current = &m_images.back();
  }
  const size_t at = current->bytes.size();
  current->bytes.insert(current->bytes.end(), record.begin(), record.end());
  MutableByteSpan copy(current->bytes.data() + at, record.size());
  const bool fixed = applyFixups(copy) == FixupResult::Applied;
  current->fixupMismatch.push_back(fixed ? 0 : 1);
  if (!fixed) m_damage.damaged(kFixupDamage);
  ++current->recordCount;
  ++m_foundCounter;
}

void NtfsVolume::sweep(const ScanOptions& options, Progress& progress) {
  const uint64_t volumeEnd = m_availableBytes ? m_availableBytes : (m_ntfsFound ? m_boot.volumeBytes() : 0);
  uint64_t first = 0, last = volumeEnd;
  if (options.firstSector != 0 || options.lastSector != 0) {
    first = options.firstSector > m_startSector ? (options.firstSector - m_startSector) * kSectorSize : 0;
    last = options.lastSector > m_startSector ? (options.lastSector - m_startSector) * kSectorSize : 0;
    last = std::min(last, volumeEnd);
  }
  if (first >= last) return;

  // What not to examine: the known MFT (all its runs) and its mirror.
  std::vector<std::pair<uint64_t, uint64_t>> skip;
  for (const auto& [at, length] : m_mftExtents) skip.emplace_back(at, at + length);
  if (m_ntfsFound && m_boot.mftMirrCluster < m_totalClusters) {
    const uint64_t at = m_boot.mftMirrCluster * m_clusterSize;
    skip.emplace_back(at, at + std::max<uint64_t>(m_clusterSize, uint64_t(kMirrorRecords) * m_recordSize));
  }
  std::sort(skip.begin(), skip.end());

  const uint64_t step = std::min(m_recordSize, m_clusterSize);
  const uint64_t largeChunk = uint64_t(kSweepChunkClusters) * m_clusterSize;
  const uint64_t smallChunk = std::max<uint64_t>(m_clusterSize, m_recordSize);
  std::vector<uint8_t> buf(static_cast<size_t>(largeChunk));
  progress.foundTotal.store((last - first + largeChunk - 1) / largeChunk);
  progress.foundCurrent.store(0);

  size_t skipIndex = 0;
  uint64_t pos = (first + step - 1) / step * step;
  while (pos + m_recordSize <= last && m_scanFlag.isSet()) {
    while (skipIndex < skip.size() && skip[skipIndex].second <= pos) ++skipIndex;
    if (skipIndex < skip.size() && skip[skipIndex].first <= pos) {
      pos = (skip[skipIndex].second + step - 1) / step * step;
      continue;
    }
    progress.foundCurrent.store((pos - first) / largeChunk);
    progress.setStatus(formatText("Found Formated Files : %d", m_foundCounter));
    uint64_t length = std::min(last - pos, last - pos < largeChunk ? smallChunk : largeChunk);
    if (skipIndex < skip.size()) length = std::min(length, skip[skipIndex].first - pos);
    if (length < m_recordSize) {
      pos += step;
      continue;
    }
    if (!readVolume(pos, size_t(length), buf.data())) {
      m_damage.unreadable(m_reader.diskSectorOf(pos), (length + kSectorSize - 1) / kSectorSize);
      pos += length;
      continue;
    }
    // Only records lying wholly inside what was read are examined; the next read starts
    // at the first position not examined.
    uint64_t g = 0;
    while (g + m_recordSize <= length) {
      if (std::memcmp(buf.data() + g, "FILE0", 5) == 0) {
        keepFoundRecord(pos + g, ByteSpan(buf.data() + g, m_recordSize));
        g += m_recordSize;
      } else {
        g += step;
      }
    }
    pos += g;
  }
  progress.setStatus(formatText("Found Formated Files : %d", m_foundCounter));
}

Status NtfsVolume::scanFormatted(ResultSink& sink, const ScanOptions& options, Progress& progress) {
  progress.setStatus("Found Formated Files : 0");
  ScanContext ctx(sink, options);
  ctx.root = sink.addFolder(nullptr, rootItemText());
  m_images.clear();
  m_mftExtents.clear();
  m_mftKnown = false;
  m_foundCounter = 0;

  if (readBootSector()) {
    // A volume whose MFT cannot be loaded is still swept, as if its MFT were unknown.
    const Status loaded = loadMft();
    if (!loaded && loaded.error().is(ErrorKind::Cancelled)) return {};
    if (!loaded) {
      m_images.clear();
      m_mftExtents.clear();
      m_mftKnown = false;
    }
  }
  if (m_mftKnown) {
    m_foundCounter = m_images[0].recordCount;
    listImage(ctx, 0, progress);
  }
  const size_t known = m_images.size();
  sweep(options, progress);
  for (size_t i = known; i < m_images.size() && m_scanFlag.isSet(); ++i) listImage(ctx, int(i), progress);
  progress.setStatus(formatText("Found Formated Files : %d", m_foundCounter));
  return {};
}

Status NtfsVolume::scan(ResultSink& sink, const ScanOptions& options, Progress& progress) {
  m_lostCounter = 0;
  m_damage.clear();
  switch (options.task) {
    case Task::Deleted: return scanDeleted(sink, options, progress);
    case Task::Formatted: return scanFormatted(sink, options, progress);
    case Task::Raw: break;
  }
  return fail(unsupportedError("the NTFS engine does not run the raw scan"));
}

Status NtfsVolume::extract(const FileRecord& record, ByteSink& out) {
  const auto* r = dynamic_cast<const NtfsFileRecord*>(&record);
  if (!r) return fail(foreignRecordError());
  const auto gone = [] { return fail(corruptError("the file's MFT record", "it is no longer in memory or no longer parses")); };
  if (r->imageIndex < 0 || size_t(r->imageIndex) >= m_images.size()) return gone();
  const MftImage& image = m_images[size_t(r->imageIndex)];
  if (r->recordIndex >= image.recordCount) return gone();
  auto parsed = std::make_unique<ParsedMftRecord>();
  if (!parseMftRecord(image.record(r->recordIndex), *parsed)) return gone();
  NtfsStreamLayout layout;
  streamLayout(r->imageIndex, image.firstNumber + r->recordIndex, *parsed, ByteSpan(r->streamName), layout);
  return writeNtfsStream(layout, m_clusterSize, *this, out);
}

Result<std::unique_ptr<RecoveryEngine>> openNtfsEngine(EngineSource source, Task task) {
  if (task != Task::Deleted && task != Task::Formatted) return fail(unsupportedError("the NTFS engine does not run the raw scan"));
  const uint64_t available = source.reader.deviceSize();
  auto volume = std::make_unique<NtfsVolume>(std::move(source.reader), source.record.startSector, source.record.letter,
                                             available);
  // A formatted-volume scan also serves volumes whose boot sector is gone.
  if (Status boot = volume->readBootSector(); !boot && task == Task::Deleted) return fail(boot.error());
  return std::unique_ptr<RecoveryEngine>(std::move(volume));
}

}  // namespace velk
