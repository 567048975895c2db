#include "engines/ntfs/ntfs_data_stream.h"

#include <algorithm>
#include <cerrno>
#include <memory>

#include "codec/lznt1.h"

namespace velk {

namespace {

constexpr size_t kChunkBytes = 1u << 20;      // one read of contiguous clusters
constexpr uint64_t kMaxUnitBytes = 4u << 20;  // largest compression unit accepted
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
    std::vector<Piece> pieces;
    pieces.reserve(size_t(unitClusters));

    for (uint64_t unitStart = 0; unitStart < m_end; unitStart += unitBytes) {
      if (m_source.stopRequested()) return fail(cancelledError());
      const uint64_t vcn0 = unitStart / m_cs;
      const uint64_t want = std::min(unitBytes, m_end - unitStart);
      pieces.clear();
      uint64_t allocated = 0, missing = 0;
      for (uint64_t v = vcn0; v < vcn0 + unitClusters;) {
        const Piece p = m_cursor.at(v, vcn0 + unitClusters - v);
        pieces.push_back(p);
        if (p.kind == PieceKind::Allocated) allocated += p.count;
        if (p.kind == PieceKind::Missing) missing += p.count;
        v += p.count;
      }
      if (allocated == 0) {
        if (missing == unitClusters) {
          m_incomplete = true;
          if (m_cursor.exhaustedAt(vcn0)) break;
        }
        // A unit that is all hole reads as zeros.
        if (!m_out.writeZeros(want)) return fail(outputError(m_out));
        continue;
      }
      // The stored clusters, in VCN order.
      size_t filled = 0;
      for (const Piece& p : pieces) {
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

Status writeNtfsStream(const NtfsStreamLayout& layout, uint32_t clusterSize, ClusterSource& source, ByteSink& out) {
  if (layout.resident) {
    if (!out.write(layout.residentBytes.data(), layout.residentBytes.size())) return fail(outputError(out));
    return layout.incomplete ? fail(incompleteError()) : Status();
  }
  if (clusterSize == 0) return fail(usageError("a cluster size of 0"));
  if (layout.realSize > kMaxNtfsContentBytes) return fail(corruptError("the file's size", "it is larger than NTFS allows"));
  StreamWriter writer(layout, clusterSize, source, out);
  return layout.compressed ? writer.compressed() : writer.plain();
}

}  // namespace velk
