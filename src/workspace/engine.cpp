#include "workspace/engine.h"

namespace velk {

ErrorCode RecoveryEngine::readAll(const FileRecord& record, std::vector<uint8_t>& out, size_t limit) {
  VectorSink sink(limit);
  sink.bytes().reserve(size_t(std::min<uint64_t>(record.contentSize(), std::min<size_t>(limit, 64u << 20))));
  ErrorCode rc = extract(record, sink);
  // The engine stops when the sink is full; the prefix it delivered is what was asked for.
  if (rc != kOk && sink.full()) rc = kOk;
  out = std::move(sink.bytes());
  return rc;
}

}  // namespace velk
