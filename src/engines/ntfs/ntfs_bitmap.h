#pragma once
// The volume's cluster allocation bitmap ($Bitmap, MFT record 6): which clusters belong to
// a file now. A deleted file whose clusters are allocated again was overwritten. The bitmap
// is read a page at a time as files ask, so a multi-terabyte volume costs a bounded cache,
// not a copy of its bitmap.

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "engines/ntfs/ntfs_data_stream.h"
#include "formats/runlist.h"

namespace velk {

class ClusterBitmap {
 public:
  // Bytes of bitmap per cached page (a page covers 8 × this many clusters).
  static constexpr uint64_t kPageBytes = 64u << 10;
  static constexpr size_t kMaxPages = 256;  // 16 MiB of cache

  void clear();
  // The bitmap stream's runs and size; totalClusters bounds what is ever asked.
  void assign(std::vector<DataRun> runs, uint64_t streamBytes, uint32_t clusterSize, uint64_t totalClusters);
  bool known() const { return m_clusterSize != 0; }

  // True when a cluster of [lcn, lcn + count) is allocated; nullopt when that part of the
  // bitmap is not mapped or could not be read.
  std::optional<bool> anyAllocated(ClusterSource& source, uint64_t lcn, uint64_t count);

 private:
  const std::vector<uint8_t>* page(ClusterSource& source, uint64_t index);

  std::vector<DataRun> m_runs;
  uint64_t m_streamBytes = 0;
  uint32_t m_clusterSize = 0;
  uint64_t m_totalClusters = 0;
  std::unordered_map<uint64_t, std::optional<std::vector<uint8_t>>> m_pages;
};

}  // namespace velk
