#include "workspace/engine.h"

namespace velk {

Status RecoveryEngine::readAll(const FileRecord& record, std::vector<uint8_t>& out, size_t limit) {
  limit = std::min(limit, kMemoryReadLimit);
  VectorSink sink(limit);
  sink.bytes().reserve(size_t(std::min<uint64_t>(record.contentSize(), limit)));
  Status rc = extract(record, sink);
  out = std::move(sink.bytes());
  // The engine stops when the sink is full; the prefix it delivered is what was asked for.
  if (!rc && sink.full()) return {};
  return rc;
}

Result<std::vector<ByteRun>> RecoveryEngine::byteRuns(const FileRecord&) {
  return fail(unsupportedError("this engine does not tell where a file's content lies"));
}

Error foreignRecordError() { return usageError("the file was found by another scan"); }

}  // namespace velk
