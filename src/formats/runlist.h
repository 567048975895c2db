#pragma once
// Runlists of non-resident attributes: (length, relative LCN) pairs packed with nibble
// sizes. Sparse runs (no offset field) are holes; offsets are signed, so a run may lie
// before the previous one. Every run is checked against the volume before it is kept.

#include <cstdint>
#include <vector>

#include "formats/bytes.h"

namespace velk {

struct DataRun {
  uint64_t vcn = 0;     // first virtual cluster of the run
  uint64_t lcn = 0;     // first cluster on the volume (unused for holes)
  uint64_t length = 0;  // clusters
  bool sparse = false;
};

enum class RunlistStatus : uint8_t {
  Ok,            // ended at a zero header byte
  Malformed,     // a field size or length the format does not allow, or bytes ran out
  PastVolumeEnd, // a run reaches beyond the volume's last cluster (or before its first)
};

// Decodes runs starting at startVcn and appends them to out. Runs decoded before a fault
// stay in out. totalClusters is the volume's cluster count.
RunlistStatus decodeRunlist(ByteSpan runlist, uint64_t startVcn, uint64_t totalClusters,
                            std::vector<DataRun>& out);

}  // namespace velk
