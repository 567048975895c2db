#include "engines/ext/ext_volume.h"

#include <algorithm>
#include <cerrno>
#include <memory>

#include "engines/ext/ext_block_map.h"

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

}  // namespace

// ---------------------------------------------------------------------------------------
// Opening and block access

ExtVolume::ExtVolume(const PartitionRecord& record, SectorReader reader, int readyState)
    : m_record(record), m_readyState(readyState), m_reader(std::move(reader)) {
  Status opened = open();
  m_valid = opened.has_value();
  if (!opened) m_openError = opened.error();
}

Status ExtVolume::open() {
  if (!m_reader.isOpen()) return fail(notFoundError("the volume's device"));
  std::vector<uint8_t> raw(kExtSuperblockSize);
  if (Status read = m_reader.ReadAt(kExtSuperblockOffset, raw.size(), raw.data()); !read) return read;
  auto sb = ExtSuperblock::parse(raw);
  if (!sb) return fail(sb.error());
  m_sb = *sb;

  // The descriptor table is allocated only when the device can hold it.
  const uint64_t tableBytes = m_sb.descriptorTableBlocks() * m_sb.blockSize;
  const uint64_t tableOffset = m_sb.descriptorTableBlock() * m_sb.blockSize;
  const uint64_t deviceBytes = m_reader.deviceSize();
  if (deviceBytes != 0 && (tableOffset + tableBytes > deviceBytes || m_reader.base() > deviceBytes - tableOffset - tableBytes))
    return fail(corruptError("the EXT superblock", "its group descriptors lie past the volume's end"));
  std::vector<uint8_t> table(static_cast<size_t>(tableBytes));
  if (Status read = m_reader.ReadAt(tableOffset, table.size(), table.data()); !read) return read;
  auto groups = parseGroupDescriptors(table, m_sb);
  if (!groups) return fail(groups.error());
  m_groups = std::move(*groups);

  if (m_readyState == kExt3Ready && (m_sb.journalInode == 0 || m_sb.journalInode > m_sb.inodeCount))
    return fail(corruptError("the EXT superblock", "its journal inode is not on the volume"));
  return {};
}

Status ExtVolume::readBlocks(uint64_t first, uint64_t count, std::span<uint8_t> out) {
  const uint64_t b = m_sb.blockSize;
  if (count == 0 || first >= m_sb.blockCount || count > m_sb.blockCount - first || out.size() < count * b)
    return fail(corruptError("a block number", "it lies outside the volume"));
  std::lock_guard lock(m_readerMutex);
  return m_reader.ReadAt(first * b, size_t(count * b), out.data());
}

std::optional<std::vector<uint8_t>> ExtVolume::readBlock(uint64_t block) {
  if (!m_valid) return std::nullopt;
  std::vector<uint8_t> data(m_sb.blockSize);
  if (!readBlocks(block, 1, data)) return std::nullopt;
  return data;
}

std::optional<std::vector<uint8_t>> ExtVolume::readInodeBitmap(uint32_t group) {
  if (!m_valid || group >= m_groups.size()) return std::nullopt;
  return readBlock(m_groups[group].inodeBitmap);
}

std::optional<ExtInode> ExtVolume::readInode(uint32_t number) {
  if (!m_valid || number == 0 || number > m_sb.inodeCount) return std::nullopt;
  const uint32_t group = (number - 1) / m_sb.inodesPerGroup;
  const uint32_t index = (number - 1) % m_sb.inodesPerGroup;
  if (group >= m_groups.size()) return std::nullopt;
  const uint32_t perBlock = m_sb.inodesPerBlock();
  auto block = readBlock(m_groups[group].inodeTable + index / perBlock);
  if (!block) return std::nullopt;
  return ExtInode::decode(ByteSpan(*block).subspan(size_t(index % perBlock) * m_sb.inodeSize, m_sb.inodeSize));
}

ExtBlockRange ExtVolume::clampRange(uint64_t start, uint64_t end) const {
  ExtBlockRange r;
  r.start = start < m_sb.blockCount ? start : 0;
  r.end = end < m_sb.blockCount ? end : m_sb.blockCount - 1;
  if (r.end < r.start) std::swap(r.start, r.end);
  return r;
}

std::unique_ptr<ExtFileRecord> ExtVolume::makeRecord(const ExtInode& inode, uint32_t number) const {
  auto r = std::make_unique<ExtFileRecord>();
  r->inode = inode.raw;
  r->inodeNumber = number;
  r->size = inode.contentSize(m_sb.revision);
  r->contentBytes = inode.contentSize(m_sb.revision);
  r->name = std::string(kExtUnnamed);
  r->deleted = true;
  r->checked = false;
  return r;
}

// ---------------------------------------------------------------------------------------
// Scan entry and tree

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

  FolderItem* root = sink.addFolder(nullptr, rootText(), rootItemData());
  FolderItem* lost = sink.addFolder(root, std::string(kExtLostFolder));
  for (auto& record : found) (void)sink.addFile(lost, std::move(record));
  return rc;
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

Status ExtVolume::copyOut(const FileRecord& base, ByteSink& out, uint64_t limit) {
  const auto* record = dynamic_cast<const ExtFileRecord*>(&base);
  if (!record) return fail(foreignRecordError());
  if (!m_valid) return fail(m_openError);
  const uint64_t size = std::min(record->contentBytes, limit);
  if (size == 0) return {};

  const uint64_t b = m_sb.blockSize;
  ExtBlockMap map(record->decoded(), m_sb.blockSize, m_sb.blockCount,
                  [this](uint64_t block, std::span<uint8_t> data) { return readBlocks(block, 1, data).has_value(); });
  const uint64_t blocks = (size + b - 1) / b;
  const auto tooLarge = [] { return fail(corruptError("the file's inode", "its size is larger than its blocks can hold")); };
  if (blocks > map.addressableBlocks()) return tooLarge();

  // Consecutive blocks are read as one run; holes are written as zeros. A file cannot
  // hold more blocks than the volume has: past that, indirect blocks loop.
  const uint64_t maxRun = std::max<uint64_t>(1, kExtRunBytes / b);
  uint64_t mappedBlocks = 0;
  // Left uninitialised: only bytes just read are written out, and clearing a buffer per
  // file is felt when thousands of small files are recovered.
  const size_t bufferBytes = size_t(std::min(maxRun, blocks) * b);
  const std::unique_ptr<uint8_t[]> storage(new uint8_t[bufferBytes]);
  const std::span<uint8_t> buffer(storage.get(), bufferBytes);
  uint64_t done = 0;
  uint64_t runStart = 0;
  uint64_t runLength = 0;
  uint64_t zeros = 0;  // hole bytes not yet written
  auto flush = [&]() -> Status {
    if (zeros > 0) {
      if (!out.writeZeros(zeros)) return fail(outputError(out));
      done += zeros;
      zeros = 0;
    }
    if (runLength == 0) return {};
    if (Status read = readBlocks(runStart, runLength, buffer); !read) {
      runLength = 0;
      return read;
    }
    const uint64_t n = std::min(runLength * b, size - done);
    runLength = 0;
    if (!out.write(buffer.data(), size_t(n))) return fail(outputError(out));
    done += n;
    return {};
  };

  for (uint64_t fileBlock = 0; fileBlock < blocks; ++fileBlock) {
    auto mapped = map.map(fileBlock);
    if (!mapped) {
      Status rc = flush();  // what was found before the bad pointer stays written
      return rc ? fail(mapped.error()) : rc;
    }
    if (*mapped == kExtHole) {
      if (runLength > 0)
        if (Status rc = flush(); !rc) return rc;
      zeros += std::min(b, size - done - zeros);
      continue;
    }
    if (++mappedBlocks > m_sb.blockCount) {
      Status rc = flush();
      return rc ? tooLarge() : rc;
    }
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


}  // namespace velk
