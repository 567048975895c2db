// The scan entry both EXT engines share, and what follows a found file's block map: its
// verdict, and its bytes (one walk of the map, as a plan or as a copy).

#include <algorithm>
#include <cerrno>
#include <memory>

#include "engines/ext/ext_block_map.h"
#include "engines/ext/ext_volume.h"

namespace velk {

namespace {

// Copies into a caller's buffer and stops when it is full.
class SpanSink final : public ByteSink {
 public:
  explicit SpanSink(std::span<uint8_t> target) : m_target(target) {}
  [[nodiscard]] bool write(const uint8_t* data, size_t n) override {
    if (n > m_target.size() - m_written) return false;
    std::copy_n(data, n, m_target.begin() + ptrdiff_t(m_written));
    m_written += n;
    return true;
  }

 private:
  std::span<uint8_t> m_target;
};

Error mapTooLarge() { return corruptError("the file's inode", "its size is larger than its blocks can hold"); }

}  // namespace

// ---------------------------------------------------------------------------------------
// Scan entry and tree

std::string ExtVolume::rootTextOf(std::string_view family) const {
  return std::string(m_sb.isExt4() ? "EXT4" : family) + "( " + m_record.labelText() + " )";
}

Status ExtVolume::scan(ResultSink& sink, const ScanOptions& options, Progress& progress) {
  if (!m_valid) return fail(m_openError);
  if (options.task != Task::Deleted) return fail(unsupportedError("EXT volumes have no formatted-volume scan"));

  // A sector range (absolute on the disk) narrows the scan to its blocks; none means all.
  uint64_t start = 0;
  uint64_t end = UINT64_MAX;
  if (options.firstSector != 0 || options.lastSector != 0) {
    const uint64_t base = m_record.startSector;
    const uint64_t perBlock = m_sb.blockSize / kSectorSize;
    start = options.firstSector > base ? (options.firstSector - base) / perBlock : 0;
    end = options.lastSector > base ? (options.lastSector - base) / perBlock : 0;
  }
  const ExtBlockRange range = clampRange(start, end);

  std::vector<std::unique_ptr<ExtFileRecord>> found;
  const Status rc = scanVolume(range, progress, found);

  m_unreadable = m_damage.unreadableRanges();
  m_blockBitmaps.clear();  // the volume may have changed since the last scan
  for (auto& record : found) {
    if (!m_scanFlag.isSet()) break;
    record->verdict = assess(*record);
  }
  FolderItem* root = sink.addFolder(nullptr, rootText(), rootItemData());
  FolderItem* lost = sink.addFolder(root, std::string(kExtLostFolder));
  for (auto& record : found) (void)sink.addFile(lost, std::move(record));
  return rc;
}

// ---------------------------------------------------------------------------------------
// Verdict

Verdict ExtVolume::assess(const ExtFileRecord& record) {
  const ExtInode inode = record.decoded();
  const uint64_t b = m_sb.blockSize;
  const uint64_t blocks = (record.contentBytes + b - 1) / b;
  ExtBlockMap map(inode, m_sb.blockSize, m_sb.blockCount, mappingReader());
  if (blocks > map.addressableBlocks()) return Verdict::Damaged;
  uint64_t data = 0;
  for (uint64_t fileBlock = 0; fileBlock < blocks; ++fileBlock) {
    auto mapped = map.map(fileBlock);
    if (!mapped) return Verdict::Damaged;
    if (*mapped == kExtHole) continue;
    // Past the volume's block count the map repeats itself.
    if (++data > m_sb.blockCount || allocatedNow(*mapped) || inUnreadableRange(*mapped)) return Verdict::Damaged;
  }
  for (uint64_t block : map.mappingBlocks())
    if (allocatedNow(block)) return Verdict::Damaged;
  // A classic map holds exactly the blocks the inode counts (data, indirect blocks and an
  // attribute block): fewer means indirect blocks have been emptied since. Extent trees may
  // hold blocks past the size (preallocated), and their damage shows in the nodes.
  if (!inode.usesExtents()) {
    const uint64_t held = inode.blocksHeld(m_sb.blockSize);
    const uint64_t attributes = inode.fileAcl != 0 ? 1 : 0;
    if (data + map.mappingBlocks().size() + attributes != held) return Verdict::Damaged;
  }
  return Verdict::Unverified;
}

// ---------------------------------------------------------------------------------------
// Extraction

Status ExtVolume::extract(const FileRecord& record, ByteSink& out) { return copyOut(record, out, UINT64_MAX); }

Status ExtVolume::readInto(const FileRecord& record, std::span<uint8_t> buffer, size_t& copied) {
  SpanSink sink(buffer);
  Status rc = copyOut(record, sink, buffer.size());
  copied = size_t(sink.written());
  return rc;
}

Result<ExtractionPlan> ExtVolume::extractionPlan(const FileRecord& base) {
  const auto* record = dynamic_cast<const ExtFileRecord*>(&base);
  if (!record) return fail(foreignRecordError());
  if (!m_valid) return fail(m_openError);
  ExtractionPlan plan;
  Status walked = walkContent(*record, record->contentBytes, [&](bool hole, uint64_t offset, uint64_t length) -> Status {
    if (hole) {
      plan.zeros(length);
    } else {
      plan.disk(offset, length);
    }
    return {};
  });
  if (!walked) return fail(walked.error());
  return plan;
}

Status ExtVolume::walkContent(const ExtFileRecord& record, uint64_t size, const ContentVisitor& visit) {
  if (size == 0) return {};
  const uint64_t b = m_sb.blockSize;
  std::optional<uint64_t> mapFailure;
  ExtBlockMap map(record.decoded(), m_sb.blockSize, m_sb.blockCount, mappingReader(&mapFailure));
  const uint64_t blocks = (size + b - 1) / b;
  if (blocks > map.addressableBlocks()) return fail(mapTooLarge());

  // Consecutive blocks make one stretch of at most kExtRunBytes, consecutive holes one hole.
  // A file cannot hold more blocks than the volume has: past that, indirect blocks loop.
  const uint64_t maxRun = std::max<uint64_t>(1, kExtRunBytes / b);
  uint64_t mappedBlocks = 0;
  uint64_t done = 0;
  uint64_t runStart = 0;
  uint64_t runLength = 0;
  uint64_t zeros = 0;
  auto flush = [&]() -> Status {
    if (zeros > 0) {
      if (Status rc = visit(true, 0, zeros); !rc) return rc;
      done += zeros;
      zeros = 0;
    }
    if (runLength == 0) return {};
    const uint64_t n = std::min(runLength * b, size - done);
    runLength = 0;
    if (Status rc = visit(false, runStart * b, n); !rc) return rc;
    done += n;
    return {};
  };
  // What came before a cut in the map is still handed on; the walk ends there.
  auto stop = [&](Error why) -> Status {
    if (Status rc = flush(); !rc) return rc;
    if (why.is(ErrorKind::Io) && mapFailure) why.sector = *mapFailure;
    return fail(std::move(why));
  };

  for (uint64_t fileBlock = 0; fileBlock < blocks; ++fileBlock) {
    auto mapped = map.map(fileBlock);
    if (!mapped) return stop(mapped.error());
    if (*mapped == kExtHole) {
      if (runLength > 0)
        if (Status rc = flush(); !rc) return rc;
      zeros += std::min(b, size - done - zeros);
      continue;
    }
    if (++mappedBlocks > m_sb.blockCount) return stop(mapTooLarge());
    if (runLength > 0 && *mapped == runStart + runLength && runLength < maxRun) {
      ++runLength;
      continue;
    }
    if (Status rc = flush(); !rc) return rc;
    runStart = *mapped;
    runLength = 1;
  }
  return flush();
}

Status ExtVolume::copyOut(const FileRecord& base, ByteSink& out, uint64_t limit) {
  const auto* record = dynamic_cast<const ExtFileRecord*>(&base);
  if (!record) return fail(foreignRecordError());
  if (!m_valid) return fail(m_openError);
  const uint64_t size = std::min(record->contentBytes, limit);
  if (size == 0) return {};
  // Each copy is a job of its own: a stop meant for an earlier one does not reach it.
  m_scanFlag.set();

  // Stretches come at most kExtRunBytes long, so one buffer of that size serves them all.
  // Left uninitialised: only bytes just read are written out, and clearing a buffer per
  // file is felt when thousands of small files are recovered.
  const uint64_t b = m_sb.blockSize;
  const size_t bufferBytes = size_t(std::min(std::max(kExtRunBytes, b), (size + b - 1) / b * b));
  const std::unique_ptr<uint8_t[]> storage(new uint8_t[bufferBytes]);
  const std::span<uint8_t> buffer(storage.get(), bufferBytes);
  std::vector<uint8_t> bad;
  std::optional<uint64_t> firstUnreadable;  // disk sector
  Status walked = walkContent(*record, size, [&](bool hole, uint64_t offset, uint64_t length) -> Status {
    if (hole) {
      for (uint64_t left = length; left > 0;) {
        if (!m_scanFlag.isSet()) return fail(cancelledError());
        const uint64_t n = std::min(left, kExtRunBytes);
        if (!out.writeZeros(n)) return fail(outputError(out));
        left -= n;
      }
      return {};
    }
    if (!m_scanFlag.isSet()) return fail(cancelledError());
    const uint64_t first = offset / b;
    auto lost = readSalvaging(first, (length + b - 1) / b, buffer, &bad);
    if (!lost) return fail(lost.error());
    if (*lost != 0 && !firstUnreadable) firstUnreadable = firstBadSector(first, bad);
    if (!out.write(buffer.data(), size_t(length))) return fail(outputError(out));
    return {};
  });
  if (!walked) return walked;
  if (firstUnreadable) return fail(ioError("reading the file's data", EIO, *firstUnreadable));
  return {};
}

}  // namespace velk
