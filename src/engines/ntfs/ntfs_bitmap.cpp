#include "engines/ntfs/ntfs_bitmap.h"

#include <algorithm>

namespace velk {

void ClusterBitmap::clear() {
  m_runs.clear();
  m_streamBytes = 0;
  m_clusterSize = 0;
  m_totalClusters = 0;
  m_pages.clear();
}

void ClusterBitmap::assign(std::vector<DataRun> runs, uint64_t streamBytes, uint32_t clusterSize,
                           uint64_t totalClusters) {
  clear();
  if (clusterSize == 0 || runs.empty()) return;
  std::sort(runs.begin(), runs.end(), [](const DataRun& a, const DataRun& b) { return a.vcn < b.vcn; });
  m_runs = std::move(runs);
  m_streamBytes = std::min(streamBytes, totalClusters / 8 + 1);
  m_clusterSize = clusterSize;
  m_totalClusters = totalClusters;
}

const std::vector<uint8_t>* ClusterBitmap::page(ClusterSource& source, uint64_t index) {
  if (auto it = m_pages.find(index); it != m_pages.end()) return it->second ? &*it->second : nullptr;
  // A full cache starts again: scans ask in MFT order, which wanders over the volume.
  if (m_pages.size() >= kMaxPages) m_pages.clear();
  const uint64_t first = index * kPageBytes;
  const uint64_t bytes = std::min(kPageBytes, m_streamBytes - std::min(first, m_streamBytes));
  std::vector<uint8_t> data(size_t(bytes), 0);
  bool whole = bytes != 0;
  // Piece by piece through the runs: a page may span several.
  for (uint64_t done = 0; whole && done < bytes;) {
    const uint64_t pos = first + done;
    const uint64_t vcn = pos / m_clusterSize;
    auto run = std::upper_bound(m_runs.begin(), m_runs.end(), vcn,
                                [](uint64_t v, const DataRun& r) { return v < r.vcn; });
    if (run == m_runs.begin() || (--run, vcn >= run->vcn + run->length) || run->sparse) {
      whole = false;  // a hole or no run: that part of the bitmap is unknown
      break;
    }
    const uint64_t inRun = (run->vcn + run->length) * m_clusterSize - pos;
    const uint64_t n = std::min(bytes - done, inRun);
    const uint64_t at = (run->lcn + (vcn - run->vcn)) * m_clusterSize + pos % m_clusterSize;
    if (!source.readVolume(at, size_t(n), data.data() + done)) whole = false;
    done += n;
  }
  auto& slot = m_pages[index];
  if (whole) slot = std::move(data);
  return slot ? &*slot : nullptr;
}

std::optional<bool> ClusterBitmap::anyAllocated(ClusterSource& source, uint64_t lcn, uint64_t count) {
  if (!known() || lcn >= m_totalClusters) return std::nullopt;
  const uint64_t end = std::min(m_totalClusters, lcn + std::min(count, m_totalClusters));
  for (uint64_t c = lcn; c < end;) {
    const uint64_t byte = c / 8;
    const std::vector<uint8_t>* p = page(source, byte / kPageBytes);
    if (!p) return std::nullopt;
    const uint64_t pageEnd = std::min(end, (byte / kPageBytes + 1) * kPageBytes * 8);
    for (; c < pageEnd; ++c) {
      const uint64_t at = c / 8 - (byte / kPageBytes) * kPageBytes;
      if (at >= p->size()) return std::nullopt;
      // Whole zero bytes are skipped eight clusters at a time.
      if (c % 8 == 0 && c + 8 <= pageEnd && (*p)[size_t(at)] == 0) {
        c += 7;
        continue;
      }
      if (((*p)[size_t(at)] >> (c % 8)) & 1) return true;
    }
  }
  return false;
}

}  // namespace velk
