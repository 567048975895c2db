#pragma once
// RecoveryEngine: what every file-system engine offers the pages and the command line —
// a scan into a result sink and the extraction of one found file.

#include <cstdint>
#include <vector>

#include "disk/byte_sink.h"
#include "disk/damage_log.h"
#include "support/error.h"
#include "workspace/extraction_plan.h"
#include "workspace/progress.h"
#include "workspace/result_tree.h"
#include "workspace/scan_options.h"

namespace velk {

// The most a record's content is held in memory for (previews, thumbnails): whatever a
// caller asks for, a preview of a 100 GiB file costs no more than this.
inline constexpr size_t kMemoryReadLimit = size_t(32) << 20;

class RecoveryEngine {
 public:
  virtual ~RecoveryEngine() = default;

  virtual Variant variant() const = 0;
  // Scans into the sink. Clearing scanFlag() stops the scan at its next test and leaves
  // what was found so far in the sink (a stopped scan is no error). An error means the scan
  // could not do its work; what it found before the error stays in the sink.
  [[nodiscard]] virtual Status scan(ResultSink& sink, const ScanOptions& options, Progress& progress) = 0;
  // Writes exactly the record's content to out.
  [[nodiscard]] virtual Status extract(const FileRecord& record, ByteSink& out) = 0;
  // Where the record's bytes lie: the pieces extract() would write, read from the scanned
  // partition (byte 0 = its first byte). Unsupported for engines that cannot say.
  [[nodiscard]] virtual Result<ExtractionPlan> extractionPlan(const FileRecord& record);
  // Stretches of the partition (byte offset, length) its file system shows in use by live
  // files, after a scan; empty when the engine cannot tell.
  virtual std::vector<std::pair<uint64_t, uint64_t>> liveByteRanges() { return {}; }
  // The record's content in memory (previews, thumbnails): all of it, or its first
  // min(limit, kMemoryReadLimit) bytes when it is longer.
  [[nodiscard]] Status readAll(const FileRecord& record, std::vector<uint8_t>& out, size_t limit = SIZE_MAX);
  // The first `limit` bytes of the record's content (what readAll and previews show).
  // Engines whose extract() walks a file's whole map before it writes a hole override it
  // to stop the walk at limit: a preview of a 100 GiB sparse file must not map it all.
  [[nodiscard]] virtual Status extractPrefix(const FileRecord& record, ByteSink& out, uint64_t limit);

  // Bytes of the volume the engine reads (0: not known), set by whoever opened it.
  uint64_t volumeBytes() const { return m_volumeBytes; }
  void setVolumeBytes(uint64_t bytes) { m_volumeBytes = bytes; }

  ScanFlag& scanFlag() { return m_scanFlag; }
  // The flag extractions test between their reads (a recovery's job flag): once it is
  // cleared, the file in hand ends as Cancelled within one read chunk. None: never stopped.
  void setExtractStop(const StopFlag* flag) { m_extractStop = flag; }
  // What the last scan could not read or trust.
  DamageLog& damage() { return m_damage; }
  const DamageLog& damage() const { return m_damage; }

 protected:
  bool extractStopped() const { return m_extractStop && !m_extractStop->isSet(); }

  ScanFlag m_scanFlag;
  DamageLog m_damage;
  const StopFlag* m_extractStop = nullptr;
  uint64_t m_volumeBytes = 0;
};

// The error an engine gives for a record of another engine.
Error foreignRecordError();

}  // namespace velk
