// Where a listed file's bytes come from, what the volume alone says of them, and how they
// are copied out. A deleted file's chain is gone from the table, so its clusters are taken
// from its first one on, stepping over the clusters the table gives to files in use (a file
// written later may sit between its runs): data known to belong to a live file is never
// counted as the deleted file's. A FAT32 entry whose high word of the start cluster was
// cleared at deletion names the start only modulo 65,536; the start is the one whose content
// the file's own format proves.

#include <algorithm>

#include "engines/fat/fat_volume.h"
#include "engines/raw/format_end.h"

namespace velk {

using namespace fatlayout;

namespace {

// Extraction streams through a buffer of this size; a stopped job ends within one.
constexpr uint64_t kBlockBytes = 1 << 20;
// Content judged while scanning is read from the device once per candidate start: larger
// files are left to the check after recovery.
constexpr uint64_t kMaxCheckedBytes = uint64_t(64) << 20;

// The planned bytes of a file, read on demand by the format rules.
class PlannedSource final : public ByteSource {
 public:
  PlannedSource(SectorReader& reader, const FatBootSector& boot, const FatFilePlan& plan)
      : m_reader(reader), m_boot(boot), m_plan(plan) {}
  uint64_t size() const override { return m_plan.bytes; }
  size_t read(uint64_t offset, uint8_t* out, size_t n) override {
    const uint64_t cb = m_boot.clusterBytes();
    size_t done = 0;
    uint64_t runStart = 0;
    for (const FatRun& run : m_plan.runs) {
      const uint64_t runBytes = uint64_t(run.count) * cb;
      const uint64_t at = offset + done;
      if (done < n && at < size() && at < runStart + runBytes) {
        const size_t take = size_t(std::min<uint64_t>({n - done, runStart + runBytes - at, size() - at}));
        if (!m_reader.ReadAt(m_boot.clusterOffset(run.first) + (at - runStart), take, out + done)) {
          m_failed = true;
          return done;
        }
        done += take;
      }
      runStart += runBytes;
    }
    return done;
  }
  bool failed() const { return m_failed; }

 private:
  SectorReader& m_reader;
  const FatBootSector& m_boot;
  const FatFilePlan& m_plan;
  bool m_failed = false;
};

Error outsideVolumeError() { return corruptError("the file's entry", "its data lies outside the volume"); }

}  // namespace

FatFilePlan FatVolume::planFile(uint32_t firstCluster, uint64_t size) const {
  FatFilePlan plan;
  if (size == 0) return plan;
  if (!m_boot.isDataCluster(firstCluster)) {
    plan.leavesVolume = true;
    return plan;
  }
  const uint64_t cb = m_boot.clusterBytes();
  uint64_t need = (size + cb - 1) / cb;
  plan.startTaken = allocated(firstCluster);
  // Bounded by the volume's last cluster: no size field makes this walk longer.
  for (uint32_t c = firstCluster; need > 0 && c <= m_boot.lastDataCluster; ++c) {
    if (c != firstCluster && allocated(c)) continue;
    if (!plan.runs.empty() && plan.runs.back().first + plan.runs.back().count == c) ++plan.runs.back().count;
    else plan.runs.push_back({c, 1});
    --need;
  }
  plan.leavesVolume = need > 0;
  uint64_t held = 0;
  for (const FatRun& r : plan.runs) held += uint64_t(r.count) * cb;
  plan.bytes = std::min(size, held);
  return plan;
}

Verdict FatVolume::checkContent(uint32_t firstCluster, uint64_t size, std::string_view extension) {
  const FatFilePlan plan = planFile(firstCluster, size);
  if (plan.startTaken || plan.leavesVolume) return Verdict::Damaged;
  PlannedSource source(m_reader, m_boot, plan);
  const FormatEnd end = findFormatEnd(extension, source);
  // A structure that ends inside the file and checks out is this file's; an unreadable
  // sector or a broken structure is damage.
  if (source.failed()) return Verdict::Damaged;
  if (end.verdict == Verdict::Verified && end.end > 0 && end.end <= size) return Verdict::Verified;
  return end.verdict == Verdict::Damaged ? Verdict::Damaged : Verdict::Unverified;
}

void FatVolume::judgeStart(FatFileRecord& r, const FatDirEntry& e) {
  r.firstCluster = entryCluster(e);
  if (r.size == 0) return;
  // What the table says without reading: overwritten at the start, or longer than what the
  // volume has after it.
  const uint64_t cb = m_boot.clusterBytes();
  const bool fits = m_boot.isDataCluster(r.firstCluster) &&
                    (r.size + cb - 1) / cb <= uint64_t(m_boot.lastDataCluster) - r.firstCluster + 1;
  r.verdict = fits && !allocated(r.firstCluster) ? Verdict::Unverified : Verdict::Damaged;

  // Windows clears the high word of a deleted entry's start on volumes of more than 65,535
  // clusters; the file may start at any cluster with the same low word.
  const bool highWordMayBeGone = m_boot.width == FatWidth::Fat32 && e.deleted() && e.clusterHigh == 0 &&
                                 m_boot.lastDataCluster > 0xFFFF;
  if (!highWordMayBeGone) return;
  // Without a check for the type, nothing tells the starts apart: the low word stays.
  if (endModeOf(r.extension) != EndMode::Decoded || r.size > kMaxCheckedBytes) return;
  const Verdict low = r.verdict == Verdict::Damaged ? Verdict::Damaged : checkContent(r.firstCluster, r.size, r.extension);
  if (low == Verdict::Verified) {
    r.verdict = low;
    return;
  }
  const uint32_t lastHigh = uint32_t(std::min<uint64_t>(m_boot.fatBytes() >> 18, m_boot.lastDataCluster >> 16));
  for (uint32_t k = 1; k <= lastHigh; ++k) {
    const uint32_t c = (k << 16) | e.clusterLow;
    if (!m_boot.isDataCluster(c) || allocated(c)) continue;
    if (checkContent(c, r.size, r.extension) == Verdict::Verified) {
      r.firstCluster = c;
      r.verdict = Verdict::Verified;
      return;
    }
  }
  // No start proves to be the file's: the low word's verdict stands (damaged when its
  // cluster is taken or its content fails the check).
  r.verdict = low;
}

ExtractionPlan FatVolume::planOf(const FatFileRecord& record, bool& cutShort) const {
  const FatFilePlan runs = planFile(record.firstCluster, record.size);
  ExtractionPlan plan;
  uint64_t left = runs.bytes;
  for (const FatRun& run : runs.runs) {
    const uint64_t bytes = std::min(left, uint64_t(run.count) * m_boot.clusterBytes());
    plan.disk(m_boot.clusterOffset(run.first), bytes);
    left -= bytes;
  }
  cutShort = runs.leavesVolume;
  return plan;
}

Result<ExtractionPlan> FatVolume::extractionPlan(const FileRecord& base) {
  const auto* record = dynamic_cast<const FatFileRecord*>(&base);
  if (!record) return fail(foreignRecordError());
  if (!m_valid) return fail(m_openError);
  bool cutShort = false;
  ExtractionPlan plan = planOf(*record, cutShort);
  // A plan is written without the volume at hand: a file the volume cannot hold whole has none.
  if (cutShort) return fail(outsideVolumeError());
  return plan;
}

Status FatVolume::extract(const FileRecord& base, ByteSink& out) {
  const auto* record = dynamic_cast<const FatFileRecord*>(&base);
  if (!record) return fail(foreignRecordError());
  if (!m_valid) return fail(m_openError);
  if (record->size == 0) return {};  // an empty file owns no cluster: nothing to read
  bool cutShort = false;
  const ExtractionPlan plan = planOf(*record, cutShort);
  if (plan.pieces.empty()) return fail(outsideVolumeError());

  std::lock_guard lock(m_readerMutex);
  // One buffer for every file extracted: a recovery extracts thousands of small files.
  const uint64_t bps = m_boot.bytesPerSector;
  const size_t bufBytes = size_t(std::min<uint64_t>(kBlockBytes, (plan.size() + bps - 1) / bps * bps));
  if (m_extractBuffer.size() < bufBytes) m_extractBuffer.resize(bufBytes);
  uint8_t* const buf = m_extractBuffer.data();
  for (const PlanPiece& piece : plan.pieces) {
    for (uint64_t done = 0; done < piece.length;) {
      if (extractStopped()) return fail(cancelledError());
      const size_t n = size_t(std::min<uint64_t>(bufBytes, piece.length - done));
      // Whole sectors are read; the file's last bytes end inside its last sector. A bad
      // sector is retried on its own and noted, and fails the file.
      const size_t read = size_t(std::min<uint64_t>(bufBytes, (n + bps - 1) / bps * bps));
      Error error;
      if (readSalvaging(piece.offset + done, read, buf, &error) != 0) return fail(error);
      if (!out.write(buf, n)) return fail(outputError(out));
      done += n;
    }
  }
  // A run past the volume's end is copied as far as the volume goes and reported as failed.
  return cutShort ? fail(outsideVolumeError()) : Status();
}

}  // namespace velk
