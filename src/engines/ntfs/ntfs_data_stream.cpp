#include "engines/ntfs/ntfs_data_stream.h"

#include <algorithm>
#include <cerrno>
#include <memory>

#include "codec/lznt1.h"

namespace velk {

namespace {

constexpr size_t kChunkBytes = 1u << 20;      // one read of contiguous clusters
constexpr uint64_t kMaxUnitBytes = 1u << 20;  // largest compression unit NTFS makes (16 x 64 KiB)
constexpr size_t kReadAlign = 512;            // devices take whole sectors

enum class PieceKind : uint8_t { Allocated, Sparse, Missing };

struct Piece {
  PieceKind kind = PieceKind::Missing;
  uint64_t lcn = 0;
  uint64_t count = 0;  // clusters
};

// Walks the ordered runs for ascending VCNs: what lies at a VCN and for how many clusters.
class RunCursor {
 public:
  explicit RunCursor(const std::vector<DataRun>& runs) : m_runs(runs) {}

  Piece at(uint64_t vcn, uint64_t maxCount) {
    while (m_index < m_runs.size() && m_runs[m_index].vcn + m_runs[m_index].length <= vcn) ++m_index;
    if (m_index >= m_runs.size()) return {PieceKind::Missing, 0, maxCount};
    const DataRun& r = m_runs[m_index];
    if (r.vcn > vcn) return {PieceKind::Missing, 0, std::min(maxCount, r.vcn - vcn)};
    const uint64_t off = vcn - r.vcn;
    const uint64_t n = std::min(maxCount, r.length - off);
    if (r.sparse) return {PieceKind::Sparse, 0, n};
    return {PieceKind::Allocated, r.lcn + off, n};
  }
  // True when no run covers anything at or after vcn.
  bool exhaustedAt(uint64_t vcn) {
    (void)at(vcn, 1);
    return m_index >= m_runs.size();
  }

 private:
  const std::vector<DataRun>& m_runs;
  size_t m_index = 0;
};

// What makes up one compression unit, in VCN order, with its clusters counted by kind.
struct UnitMap {
  std::vector<Piece> pieces;
  uint64_t allocated = 0;
  uint64_t missing = 0;

  void read(RunCursor& cursor, uint64_t vcn0, uint64_t unitClusters) {
    pieces.clear();
    allocated = missing = 0;
    for (uint64_t v = vcn0; v < vcn0 + unitClusters;) {
      const Piece p = cursor.at(v, vcn0 + unitClusters - v);
      pieces.push_back(p);
      if (p.kind == PieceKind::Allocated) allocated += p.count;
      if (p.kind == PieceKind::Missing) missing += p.count;
      v += p.count;
    }
  }
};

uint64_t roundUp(uint64_t v, uint64_t to) { return (v + to - 1) / to * to; }

class StreamWriter {
 public:
  StreamWriter(const NtfsStreamLayout& layout, uint32_t clusterSize, ClusterSource& source, ByteSink& out)
      : m_layout(layout), m_cs(clusterSize), m_source(source), m_out(out), m_cursor(layout.runs) {
    m_end = layout.realSize;
    m_init = std::min(layout.initializedSize, layout.realSize);
  }

  Status plain() {
    // Whole clusters, no more than the stream needs and left uninitialised: a recovery
    // writes thousands of small streams, and clearing a megabyte for each cost more than
    // reading them.
    const size_t bufBytes = size_t(std::max<uint64_t>(m_cs, std::min<uint64_t>(kChunkBytes / m_cs * m_cs,
                                                                                 roundUp(m_end, m_cs))));
    std::unique_ptr<uint8_t[]> buf(new uint8_t[bufBytes]);
    const uint64_t chunkClusters = bufBytes / m_cs;
    uint64_t pos = 0;
    while (pos < m_end) {
      if (m_source.stopRequested()) return fail(cancelledError());
      const uint64_t vcn = pos / m_cs;
      const uint64_t clustersLeft = (m_end - pos + m_cs - 1) / m_cs;
      const Piece p = m_cursor.at(vcn, std::min(clustersLeft, chunkClusters));
      const uint64_t bytes = std::min(p.count * m_cs, m_end - pos);
      if (p.kind == PieceKind::Missing) {
        m_incomplete = true;
        // Nothing further is mapped: the rest of the content is simply not there.
        if (m_cursor.exhaustedAt(vcn)) break;
        if (!m_out.writeZeros(bytes)) return fail(outputError(m_out));
      } else if (p.kind == PieceKind::Sparse || pos >= m_init) {
        if (!m_out.writeZeros(bytes)) return fail(outputError(m_out));
      } else {
        const uint64_t readable = std::min(bytes, m_init - pos);
        const uint64_t readLength = std::min<uint64_t>(roundUp(readable, kReadAlign), p.count * m_cs);
        if (Status rc = m_source.readVolume(p.lcn * m_cs, size_t(readLength), buf.get()); !rc) return rc;
        if (!m_out.write(buf.get(), size_t(readable))) return fail(outputError(m_out));
        if (!m_out.writeZeros(bytes - readable)) return fail(outputError(m_out));
      }
      pos += bytes;
    }
    return finish();
  }

  Status compressed() {
    const uint64_t unitClusters = m_layout.compressionUnitClusters;
    const uint64_t unitBytes = unitClusters * m_cs;
    if (unitClusters < 2 || unitBytes > kMaxUnitBytes) return plain();
    std::vector<uint8_t> in(size_t(unitBytes), 0);
    std::vector<uint8_t> decoded(size_t(unitBytes), 0);
    UnitMap unit;

    for (uint64_t unitStart = 0; unitStart < m_end; unitStart += unitBytes) {
      if (m_source.stopRequested()) return fail(cancelledError());
      const uint64_t vcn0 = unitStart / m_cs;
      const uint64_t want = std::min(unitBytes, m_end - unitStart);
      unit.read(m_cursor, vcn0, unitClusters);
      const uint64_t allocated = unit.allocated;
      if (allocated == 0) {
        if (unit.missing == unitClusters) {
          m_incomplete = true;
          if (m_cursor.exhaustedAt(vcn0)) break;
        }
        // A unit that is all hole reads as zeros.
        if (!m_out.writeZeros(want)) return fail(outputError(m_out));
        continue;
      }
      // The stored clusters, in VCN order.
      size_t filled = 0;
      for (const Piece& p : unit.pieces) {
        if (p.kind != PieceKind::Allocated) continue;
        const size_t n = size_t(p.count * m_cs);
        if (Status rc = m_source.readVolume(p.lcn * m_cs, n, in.data() + filled); !rc) return rc;
        filled += n;
      }
      const uint8_t* data = in.data();
      if (allocated < unitClusters) {
        // Fewer clusters than a unit, the rest holes: the unit is stored as LZNT1.
        auto produced = codec::lznt1DecompressInto(std::span<const uint8_t>(in.data(), filled), decoded);
        if (produced) {
          std::fill(decoded.begin() + std::ptrdiff_t(*produced), decoded.end(), uint8_t(0));
          data = decoded.data();
        } else {
          // Not a valid unit: hand over what is stored, and say the file is not whole.
          std::fill(in.begin() + std::ptrdiff_t(filled), in.end(), uint8_t(0));
          m_incomplete = true;
        }
      }
      uint64_t valid = want;
      if (m_init < unitStart + want) valid = m_init > unitStart ? m_init - unitStart : 0;
      if (!m_out.write(data, size_t(valid))) return fail(outputError(m_out));
      if (!m_out.writeZeros(want - valid)) return fail(outputError(m_out));
    }
    return finish();
  }

 private:
  Status finish() const { return m_incomplete || m_layout.incomplete ? fail(incompleteError()) : Status(); }

  const NtfsStreamLayout& m_layout;
  uint64_t m_cs;
  ClusterSource& m_source;
  ByteSink& m_out;
  RunCursor m_cursor;
  uint64_t m_end = 0;
  uint64_t m_init = 0;
  bool m_incomplete = false;
};

}  // namespace

Error incompleteError() {
  return corruptError("the file's data runs", "they do not cover the whole file or a compressed unit does not decode");
}

bool layoutCoversContent(const NtfsStreamLayout& layout, uint32_t clusterSize) {
  if (layout.resident) return true;
  if (clusterSize == 0) return false;
  const uint64_t needed = layout.realSize / clusterSize + (layout.realSize % clusterSize != 0);
  // The runs are ordered by VCN: each must start where the mapped part ends.
  uint64_t mapped = 0;
  for (const DataRun& r : layout.runs) {
    if (mapped >= needed) break;
    if (r.vcn > mapped) return false;
    mapped = std::max(mapped, r.vcn + r.length);
  }
  return mapped >= needed;
}

namespace {

// A plan covers the whole file, or a saved scan holding it would not load: where the runs
// end early (a damaged file), the rest reads as zeros.
ExtractionPlan padded(ExtractionPlan plan, uint64_t size) {
  const uint64_t planned = plan.size();
  if (planned < size) plan.zeros(size - planned);
  return plan;
}

// What neither the writer nor the plan can stand for.
Status checkNonResident(const NtfsStreamLayout& layout, uint32_t clusterSize) {
  if (clusterSize == 0) return fail(usageError("a cluster size of 0"));
  if (layout.realSize > kMaxNtfsContentBytes) return fail(corruptError("the file's size", "it is larger than NTFS allows"));
  return {};
}

}  // namespace

Status writeNtfsStream(const NtfsStreamLayout& layout, uint32_t clusterSize, ClusterSource& source, ByteSink& out) {
  if (layout.resident) {
    if (!out.write(layout.residentBytes.data(), layout.residentBytes.size())) return fail(outputError(out));
    return layout.incomplete ? fail(incompleteError()) : Status();
  }
  if (Status usable = checkNonResident(layout, clusterSize); !usable) return usable;
  StreamWriter writer(layout, clusterSize, source, out);
  return layout.compressed ? writer.compressed() : writer.plain();
}

Result<ExtractionPlan> ntfsStreamPlan(const NtfsStreamLayout& layout, uint32_t clusterSize) {
  ExtractionPlan plan;
  if (layout.resident) {
    plan.bytes(layout.residentBytes);
    return plan;
  }
  if (Status usable = checkNonResident(layout, clusterSize); !usable) return fail(usable.error());
  const uint64_t cs = clusterSize;
  const uint64_t end = layout.realSize;
  const uint64_t init = std::min(layout.initializedSize, layout.realSize);
  RunCursor cursor(layout.runs);
  // Stored bytes of the file at pos: from the disk up to the initialized size, zeros after.
  const auto stored = [&](uint64_t pos, uint64_t lcn, uint64_t bytes) {
    const uint64_t readable = pos < init ? std::min(bytes, init - pos) : 0;
    plan.disk(lcn * cs, readable);
    plan.zeros(bytes - readable);
  };
  const uint64_t unitClusters = layout.compressionUnitClusters;
  const uint64_t unitBytes = unitClusters * cs;
  if (!layout.compressed || unitClusters < 2 || unitBytes > kMaxUnitBytes) {
    for (uint64_t pos = 0; pos < end;) {
      const uint64_t vcn = pos / cs;
      const Piece p = cursor.at(vcn, (end - pos + cs - 1) / cs);
      if (p.kind == PieceKind::Missing && cursor.exhaustedAt(vcn)) break;
      const uint64_t bytes = std::min(p.count * cs, end - pos);
      if (p.kind == PieceKind::Allocated) stored(pos, p.lcn, bytes);
      else plan.zeros(bytes);
      pos += bytes;
    }
    return padded(std::move(plan), end);
  }
  UnitMap map;
  for (uint64_t unitStart = 0; unitStart < end; unitStart += unitBytes) {
    const uint64_t vcn0 = unitStart / cs;
    const uint64_t want = std::min(unitBytes, end - unitStart);
    map.read(cursor, vcn0, unitClusters);
    if (map.allocated == 0) {
      if (map.missing == unitClusters && cursor.exhaustedAt(vcn0)) break;
      plan.zeros(want);
    } else if (map.allocated == unitClusters) {
      // A unit stored in all its clusters is not compressed.
      for (uint64_t at = unitStart; const Piece& p : map.pieces) {
        const uint64_t bytes = std::min(p.count * cs, unitStart + want - at);
        stored(at, p.lcn, bytes);
        at += bytes;
      }
    } else {
      PlanPiece unit;
      unit.kind = PlanPiece::Kind::Lznt1;
      unit.unitBytes = uint32_t(unitBytes);
      unit.length = unitStart < init ? std::min(want, init - unitStart) : 0;
      for (const Piece& p : map.pieces)
        if (p.kind == PieceKind::Allocated) unit.stored.emplace_back(p.lcn * cs, p.count * cs);
      const uint64_t tail = want - unit.length;
      if (unit.length) plan.pieces.push_back(std::move(unit));
      plan.zeros(tail);
    }
  }
  return padded(std::move(plan), end);
}

}  // namespace velk
