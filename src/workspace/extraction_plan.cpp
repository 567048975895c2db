#include "workspace/extraction_plan.h"

#include <algorithm>
#include <memory>

#include "codec/lznt1.h"

namespace velk {
namespace {

constexpr uint64_t kChunkBytes = 1 << 20;
// The largest NTFS compression unit (16 clusters of 64 KiB).
constexpr uint64_t kMaxUnitBytes = 1 << 20;

Error planError(const char* detail) { return corruptError("the saved file plan", detail); }

}  // namespace

uint64_t ExtractionPlan::size() const {
  uint64_t total = 0;
  for (const PlanPiece& p : pieces) total += p.length;
  return total;
}

void ExtractionPlan::disk(uint64_t offset, uint64_t length) {
  if (length == 0) return;
  if (!pieces.empty() && pieces.back().kind == PlanPiece::Kind::Disk &&
      pieces.back().offset + pieces.back().length == offset) {
    pieces.back().length += length;
    return;
  }
  PlanPiece p;
  p.kind = PlanPiece::Kind::Disk;
  p.offset = offset;
  p.length = length;
  pieces.push_back(std::move(p));
}

void ExtractionPlan::zeros(uint64_t length) {
  if (length == 0) return;
  if (!pieces.empty() && pieces.back().kind == PlanPiece::Kind::Zeros) {
    pieces.back().length += length;
    return;
  }
  PlanPiece p;
  p.kind = PlanPiece::Kind::Zeros;
  p.length = length;
  pieces.push_back(std::move(p));
}

void ExtractionPlan::bytes(std::vector<uint8_t> data) {
  if (data.empty()) return;
  PlanPiece p;
  p.kind = PlanPiece::Kind::Bytes;
  p.length = data.size();
  p.bytes = std::move(data);
  pieces.push_back(std::move(p));
}

std::vector<ByteRun> byteRunsOf(const ExtractionPlan& plan) {
  std::vector<ByteRun> runs;
  uint64_t at = 0;
  for (const PlanPiece& p : plan.pieces) {
    if (p.kind == PlanPiece::Kind::Disk) runs.push_back({at, p.offset, p.length});
    if (p.kind == PlanPiece::Kind::Lznt1)
      for (const auto& [offset, length] : p.stored) runs.push_back({at, offset, length});
    at += p.length;
  }
  return runs;
}

Status writePlan(SectorReader& partition, const ExtractionPlan& plan, ByteSink& out, const StopFlag* stop) {
  std::unique_ptr<uint8_t[]> buffer;
  auto scratch = [&] {
    if (!buffer) buffer.reset(new uint8_t[kChunkBytes]);
    return buffer.get();
  };
  for (const PlanPiece& p : plan.pieces) {
    switch (p.kind) {
      case PlanPiece::Kind::Zeros:
        if (!out.writeZeros(p.length)) return fail(outputError(out));
        break;
      case PlanPiece::Kind::Bytes:
        if (p.bytes.size() != p.length) return fail(planError("an inline piece has the wrong length"));
        if (!out.write(p.bytes.data(), p.bytes.size())) return fail(outputError(out));
        break;
      case PlanPiece::Kind::Disk:
        for (uint64_t done = 0; done < p.length;) {
          if (stop && !stop->isSet()) return fail(cancelledError());
          const size_t n = size_t(std::min(kChunkBytes, p.length - done));
          if (Status read = partition.ReadAt(p.offset + done, n, scratch()); !read) return read;
          if (!out.write(scratch(), n)) return fail(outputError(out));
          done += n;
        }
        break;
      case PlanPiece::Kind::Lznt1: {
        uint64_t storedBytes = 0;
        for (const auto& s : p.stored) storedBytes += s.second;
        if (p.unitBytes == 0 || p.unitBytes > kMaxUnitBytes || storedBytes > p.unitBytes || p.length > p.unitBytes)
          return fail(planError("a compressed unit is larger than NTFS allows"));
        std::vector<uint8_t> in(static_cast<size_t>(storedBytes));
        std::vector<uint8_t> unit(p.unitBytes, 0);
        size_t filled = 0;
        for (const auto& [offset, length] : p.stored) {
          if (Status read = partition.ReadAt(offset, size_t(length), in.data() + filled); !read) return read;
          filled += size_t(length);
        }
        if (!codec::lznt1DecompressInto(in, unit)) return fail(corruptError("a compressed unit of the file", "it does not decode"));
        if (!out.write(unit.data(), size_t(p.length))) return fail(outputError(out));
        break;
      }
    }
  }
  return {};
}

}  // namespace velk
