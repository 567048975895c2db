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
  // The record's content in memory (previews, thumbnails): all of it, or its first limit
  // bytes when it is longer.
  [[nodiscard]] Status readAll(const FileRecord& record, std::vector<uint8_t>& out, size_t limit = SIZE_MAX);

  ScanFlag& scanFlag() { return m_scanFlag; }
  // What the last scan could not read or trust.
  DamageLog& damage() { return m_damage; }
  const DamageLog& damage() const { return m_damage; }

 protected:
  ScanFlag m_scanFlag;
  DamageLog m_damage;
};

// The error an engine gives for a record of another engine.
Error foreignRecordError();

}  // namespace velk
