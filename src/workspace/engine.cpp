#include "workspace/engine.h"

namespace velk {

Status RecoveryEngine::readAll(const FileRecord& record, std::vector<uint8_t>& out, size_t limit) {
  VectorSink sink(limit);
  sink.bytes().reserve(size_t(std::min<uint64_t>(record.contentSize(), std::min<size_t>(limit, 64u << 20))));
  Status rc = extract(record, sink);
  out = std::move(sink.bytes());
  // The engine stops when the sink is full; the prefix it delivered is what was asked for.
  if (!rc && sink.full()) return {};
  return rc;
}

Result<ExtractionPlan> RecoveryEngine::extractionPlan(const FileRecord&) {
  return fail(unsupportedError("this engine cannot describe where a file's bytes lie"));
}

Error foreignRecordError() { return usageError("the file was found by another scan"); }

}  // namespace velk
