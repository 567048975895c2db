#pragma once
// The raw scan's reader thread: it reads the chunks of a scan in order into a few buffers
// of its own while the matcher tests the ones before, so that reading and matching
// overlap. Memory stays at the buffers, whatever the range. Every device access of the
// scan (this thread's reads and the end rules' reads) goes through one lock: a
// SectorReader keeps per-call status and a device need not be safe for concurrent calls.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "disk/sector_reader.h"

namespace velk {

// Bytes of the scan in memory (offset relative to the reader's base).
struct RawChunkView {
  const uint8_t* data = nullptr;
  uint64_t offset = 0;
  uint64_t length = 0;
};

struct ChunkRequest {
  uint64_t offset = 0;
  uint64_t length = 0;
  size_t run = 0;  // which stretch of adjacent sectors the chunk belongs to
};

struct ReadChunk {
  RawChunkView view;
  size_t run = 0;
  bool whole = false;  // false: the read failed and the bytes are not there
};

class ChunkPipeline {
 public:
  // Reads requests in order into `slots` buffers of slotBytes (≥ every request's length).
  // Each chunk's successors up to aheadBytes are announced to the device once.
  ChunkPipeline(SectorReader& reader, std::mutex& deviceLock, std::vector<ChunkRequest> requests, size_t slots,
                size_t slotBytes, uint64_t aheadBytes);
  ~ChunkPipeline();
  ChunkPipeline(const ChunkPipeline&) = delete;
  ChunkPipeline& operator=(const ChunkPipeline&) = delete;

  // The next chunk in order (waits for its read); nullptr after the last.
  const ReadChunk* next();
  // Gives back the chunks next() handed out but the last `keep`; their buffers are read
  // into again.
  void releaseAllBut(size_t keep);
  // The chunks read and not given back that read whole, in order. They stay valid until
  // released, so the matcher's end rules may use them, those read ahead included.
  std::vector<RawChunkView> resident();

 private:
  void produce(std::stop_token stop);

  SectorReader& m_reader;
  std::mutex& m_deviceLock;
  std::vector<ChunkRequest> m_requests;
  uint64_t m_ahead;
  std::vector<std::vector<uint8_t>> m_buffers;
  std::vector<ReadChunk> m_chunks;  // one per buffer: the request it holds
  std::mutex m_mutex;
  std::condition_variable_any m_changed;
  size_t m_produced = 0;  // requests read
  size_t m_consumed = 0;  // handed out by next()
  size_t m_released = 0;  // given back
  std::jthread m_thread;  // last: it starts once everything above exists
};

}  // namespace velk
