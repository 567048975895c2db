#include "engines/raw/chunk_pipeline.h"

#include <algorithm>

namespace velk {

ChunkPipeline::ChunkPipeline(SectorReader& reader, std::mutex& deviceLock, std::vector<ChunkRequest> requests,
                             size_t slots, size_t slotBytes, uint64_t aheadBytes)
    : m_reader(reader), m_deviceLock(deviceLock), m_requests(std::move(requests)), m_ahead(aheadBytes) {
  slots = std::max<size_t>(slots, 3);
  for (size_t i = 0; i < slots; ++i) {
    // Left uninitialised: every byte is read before it is used.
    m_buffers.emplace_back();
    m_buffers.back().reserve(slotBytes);
    m_buffers.back().resize(slotBytes);
  }
  m_chunks.resize(slots);
  m_thread = std::jthread([this](std::stop_token stop) { produce(stop); });
}

ChunkPipeline::~ChunkPipeline() {
  m_thread.request_stop();
  m_changed.notify_all();
}

void ChunkPipeline::produce(std::stop_token stop) {
  const size_t slots = m_buffers.size();
  uint64_t announced = 0;
  for (size_t i = 0; i < m_requests.size(); ++i) {
    {
      std::unique_lock lock(m_mutex);
      if (!m_changed.wait(lock, stop, [&] { return i - m_released < slots; })) return;
    }
    const ChunkRequest& req = m_requests[i];
    ReadChunk& chunk = m_chunks[i % slots];
    uint8_t* buffer = m_buffers[i % slots].data();
    {
      const std::lock_guard device(m_deviceLock);
      // The stretch after this chunk is announced once: the device reads it while this
      // one is tested, and the end rules' steps back do not leave its read-ahead behind.
      uint64_t runEnd = req.offset + req.length;
      for (size_t k = i + 1; k < m_requests.size() && m_requests[k].run == req.run; ++k)
        runEnd = m_requests[k].offset + m_requests[k].length;
      const uint64_t aheadEnd = std::min(runEnd, req.offset + req.length + m_ahead);
      const uint64_t from = std::max(announced, req.offset + req.length);
      if (aheadEnd > from) {
        m_reader.WillRead(from, aheadEnd - from);
        announced = aheadEnd;
      }
      chunk.whole = m_reader.ReadAt(req.offset, size_t(req.length), buffer).has_value();
    }
    chunk.view = {buffer, req.offset, req.length};
    chunk.run = req.run;
    {
      const std::lock_guard lock(m_mutex);
      ++m_produced;
    }
    m_changed.notify_all();
  }
}

const ReadChunk* ChunkPipeline::next() {
  std::unique_lock lock(m_mutex);
  if (m_consumed >= m_requests.size()) return nullptr;
  m_changed.wait(lock, [&] { return m_produced > m_consumed; });
  return &m_chunks[m_consumed++ % m_buffers.size()];
}

void ChunkPipeline::releaseAllBut(size_t keep) {
  {
    const std::lock_guard lock(m_mutex);
    while (m_consumed - m_released > keep) ++m_released;
  }
  m_changed.notify_all();
}

std::vector<RawChunkView> ChunkPipeline::resident() {
  const std::lock_guard lock(m_mutex);
  std::vector<RawChunkView> out;
  for (size_t i = m_released; i < m_produced; ++i) {
    const ReadChunk& c = m_chunks[i % m_buffers.size()];
    if (c.whole) out.push_back(c.view);
  }
  return out;
}

}  // namespace velk
