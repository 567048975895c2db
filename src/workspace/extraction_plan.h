#pragma once
// A found file's content as a list of pieces read from its partition: stretches of the
// disk, holes, bytes the file system keeps inline (NTFS resident data) and compressed
// units. An engine describes a file this way once it has scanned; the plan can then be
// written without the engine (recovery from a saved scan) and names every stretch of the
// disk the file came from (the report's byte runs).

#include <cstdint>
#include <utility>
#include <vector>

#include "disk/byte_sink.h"
#include "disk/sector_reader.h"
#include "support/error.h"
#include "workspace/progress.h"

namespace velk {

struct PlanPiece {
  enum class Kind : uint8_t {
    Disk,   // length bytes at offset (bytes from the partition's first byte)
    Zeros,  // length zero bytes (a hole, bytes past the initialized size)
    Bytes,  // the bytes held in `bytes` (length = bytes.size())
    Lznt1,  // one LZNT1 compression unit stored in `stored`; length bytes of its output
  };
  Kind kind = Kind::Disk;
  uint64_t offset = 0;
  uint64_t length = 0;
  std::vector<uint8_t> bytes;
  std::vector<std::pair<uint64_t, uint64_t>> stored;  // (offset, length) of the unit's clusters
  uint32_t unitBytes = 0;                               // Lznt1: bytes the whole unit decodes to

  bool operator==(const PlanPiece&) const = default;
};

struct ExtractionPlan {
  std::vector<PlanPiece> pieces;

  uint64_t size() const;
  // Appends, joining a stretch of the disk or a hole to the one before when they touch.
  void disk(uint64_t offset, uint64_t length);
  void zeros(uint64_t length);
  void bytes(std::vector<uint8_t> data);
  bool operator==(const ExtractionPlan&) const = default;
};

// A stretch of the disk a file's bytes came from, for reports: where in the file, where on
// the partition, how long.
struct ByteRun {
  uint64_t fileOffset = 0;
  uint64_t partitionOffset = 0;
  uint64_t length = 0;
};
std::vector<ByteRun> byteRunsOf(const ExtractionPlan& plan);

// Writes the plan's bytes through the partition reader into the sink, a megabyte at most
// in memory; a cleared stop flag ends it between reads (Cancelled).
[[nodiscard]] Status writePlan(SectorReader& partition, const ExtractionPlan& plan, ByteSink& out,
                               const StopFlag* stop = nullptr);

}  // namespace velk
