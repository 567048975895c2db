#pragma once
// Turns one NTFS data stream back into its bytes, streamed into a ByteSink with bounded
// memory: resident values as they are, runs read in large pieces, holes and the bytes
// past the initialized size as zeros, compressed attributes decompressed unit by unit,
// everything cut at the 64-bit real size.

#include <cstdint>
#include <vector>

#include "disk/byte_sink.h"
#include "support/error.h"
#include "formats/runlist.h"
#include "workspace/extraction_plan.h"

namespace velk {

// Where cluster bytes come from (the volume, or a test double).
class ClusterSource {
 public:
  virtual ~ClusterSource() = default;
  // Reads length bytes at a byte offset of the volume.
  [[nodiscard]] virtual Status readVolume(uint64_t offset, size_t length, uint8_t* buffer) = 0;
  // True once the reader should stop: a stream ends as Cancelled before its next read.
  virtual bool stopRequested() const { return false; }
};

struct NtfsStreamLayout {
  bool resident = false;
  std::vector<uint8_t> residentBytes;
  // Every extent's runs, ordered by VCN.
  std::vector<DataRun> runs;
  uint64_t realSize = 0;
  uint64_t initializedSize = 0;
  bool compressed = false;           // attribute flag 0x0001 on a non-resident stream
  uint32_t compressionUnitClusters = 0;
  // A runlist or extent that could not be decoded: the runs before it are still written,
  // and the extraction ends with an error.
  bool incomplete = false;

  uint64_t contentSize() const { return resident ? residentBytes.size() : realSize; }
};

// True when the runs map every cluster of the content (holes count as mapped); a resident
// stream is always whole.
bool layoutCoversContent(const NtfsStreamLayout& layout, uint32_t clusterSize);

// Largest file content the writer produces (the format's own limit is 16 TiB).
inline constexpr uint64_t kMaxNtfsContentBytes = uint64_t(1) << 44;

// Writes exactly the stream's content, reading at most 1 MiB (or one compression unit) at
// a time. Fails with the read error; Corrupt (incompleteError) when the runs do not cover
// the content, a compression unit does not decode or the layout is incomplete (what could
// be produced is written first, holes as zeros); Io when the sink refused bytes; Cancelled
// when the source asks to stop.
[[nodiscard]] Status writeNtfsStream(const NtfsStreamLayout& layout, uint32_t clusterSize, ClusterSource& source,
                                     ByteSink& out);
Error incompleteError();

// The pieces writeNtfsStream writes, as offsets of the volume: runs read up to the
// initialized size, holes and the rest as zeros, resident values inline, and one LZNT1
// piece per compression unit stored in fewer clusters than the unit holds. Where the runs
// end early the rest of the file is zeros (the plan always covers the real size); a unit
// that does not decode fails when the plan is written.
[[nodiscard]] Result<ExtractionPlan> ntfsStreamPlan(const NtfsStreamLayout& layout, uint32_t clusterSize);

}  // namespace velk
