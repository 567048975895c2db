#pragma once
// RecoveryEngine: what every file-system engine offers the pages and the command line —
// a scan into a result sink and the extraction of one found file.

#include <cstdint>
#include <vector>

#include "disk/byte_sink.h"
#include "disk/error_codes.h"
#include "workspace/progress.h"
#include "workspace/result_tree.h"
#include "workspace/scan_options.h"

namespace velk {

class RecoveryEngine {
 public:
  virtual ~RecoveryEngine() = default;

  virtual Variant variant() const = 0;
  // Scans into the sink. 0 or an error code; clearing scanFlag() stops the scan at its
  // next test and leaves what was found so far in the sink.
  [[nodiscard]] virtual ErrorCode scan(ResultSink& sink, const ScanOptions& options,
                                       Progress& progress) = 0;
  // Writes exactly the record's content to out. 0 on success.
  [[nodiscard]] virtual ErrorCode extract(const FileRecord& record, ByteSink& out) = 0;
  // The record's content in memory (previews, thumbnails): all of it, or its first limit
  // bytes when it is longer.
  [[nodiscard]] ErrorCode readAll(const FileRecord& record, std::vector<uint8_t>& out,
                                  size_t limit = SIZE_MAX);

  ScanFlag& scanFlag() { return m_scanFlag; }

 protected:
  ScanFlag m_scanFlag;
};

}  // namespace velk
