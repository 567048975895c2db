// The two scans: the deleted-file scan lists the MFT's records that are no longer in use;
// the formatted-volume scan lists every record of the known MFT, then sweeps the volume
// for MFT records lying elsewhere (an older MFT) and lists those too.

#include <algorithm>
#include <cstring>

#include "engines/ntfs/ntfs_lister.h"
#include "engines/ntfs/ntfs_volume.h"
#include "formats/ntfs_layout.h"

namespace velk {

using namespace ntfs;

namespace {

constexpr uint32_t kSweepChunkClusters = 100;
constexpr uint32_t kStatusEvery = 1024;  // records between status texts

}  // namespace

Status NtfsVolume::scanDeleted(ResultSink& sink, const ScanOptions& options, Progress& progress) {
  progress.setStatus("Found Deleted Files : 0");
  m_images.clear();
  m_mftExtents.clear();
  m_mftKnown = false;

  // A volume whose MFT cannot be read gives an error and no tree: an empty listing would
  // say there is nothing to recover.
  if (Status boot = readBootSector(); !boot) return boot;
  if (Status loaded = loadMft(MftHolding::ForDeletedScan); !loaded)
    return loaded.error().is(ErrorKind::Cancelled) ? Status() : loaded;
  loadBitmap();

  NtfsLister lister(*this, sink, options, true);
  const MftImage& image = m_images[0];
  progress.foundTotal.store(image.recordCount);
  progress.foundCurrent.store(0);
  for (uint32_t i = kFirstUserRecord; i < image.recordCount && m_scanFlag.isSet(); ++i) {
    if (i % kStatusEvery == 0) {
      progress.foundCurrent.store(i);
      progress.setStatus(formatCount("Found Deleted Files : %d", lister.accepted()));
    }
    // Candidates: "FILE" records no longer in use.
    const auto header = readMftRecordHeader(image.record(i));
    if (!header || header->inUse()) continue;
    lister.listRecord(0, i);
  }
  lister.settleSharedClusters();
  progress.foundCurrent.store(image.recordCount);
  progress.setStatus(formatCount("Found Deleted Files : %d", lister.accepted()));
  return {};
}

void NtfsVolume::listImage(NtfsLister& lister, int imageIndex, Progress& progress) {
  const MftImage& image = m_images[size_t(imageIndex)];
  for (uint32_t i = 0; i < image.recordCount && m_scanFlag.isSet(); ++i) {
    // The file system's own records are never listed, in any image.
    if (image.firstNumber + i < kFirstUserRecord) continue;
    if (i % kStatusEvery == 0)
      progress.setStatus(formatCount("Found Formated Files : %d", m_foundCounter));
    if (!matchesAt(image.record(i), 0, "FILE")) continue;
    lister.listRecord(imageIndex, i);
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
  if (!fixed) m_damage.damaged(NtfsDamage::kFixups);
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
    progress.setStatus(formatCount("Found Formated Files : %d", m_foundCounter));
    uint64_t length = std::min(last - pos, last - pos < largeChunk ? smallChunk : largeChunk);
    if (skipIndex < skip.size()) length = std::min(length, skip[skipIndex].first - pos);
    if (length < m_recordSize) {
      pos += step;
      continue;
    }
    // Unreadable sectors come back as zeros (and are logged): the rest is still examined.
    (void)readVolume(pos, size_t(length), buf.data());
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
  progress.setStatus(formatCount("Found Formated Files : %d", m_foundCounter));
}

Status NtfsVolume::scanFormatted(ResultSink& sink, const ScanOptions& options, Progress& progress) {
  progress.setStatus("Found Formated Files : 0");
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
  loadBitmap();
  NtfsLister lister(*this, sink, options, false);
  if (m_mftKnown) {
    m_foundCounter = m_images[0].recordCount;
    listImage(lister, 0, progress);
  }
  const size_t known = m_images.size();
  sweep(options, progress);
  lister.refreshUnreadable();
  for (size_t i = known; i < m_images.size() && m_scanFlag.isSet(); ++i) listImage(lister, int(i), progress);
  lister.settleSharedClusters();
  progress.setStatus(formatCount("Found Formated Files : %d", m_foundCounter));
  return {};
}

}  // namespace velk
