#include "engines/ext/ext_volume.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "engines/ext/ext_block_map.h"

namespace velk {

namespace {

// Largest read issued at once when copying a file or walking inode tables.
constexpr uint64_t kRunBytes = 1u << 20;

bool withinAge(int64_t now, uint32_t when) { return std::llabs(now - int64_t(when)) < kExtAgeLimitSeconds; }

std::string foundStatus(uint64_t found) { return std::string(kExtFoundStatus) + std::to_string(found); }

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
  const uint64_t maxRun = std::max<uint64_t>(1, kRunBytes / b);
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

// ---------------------------------------------------------------------------------------
// Ext2Volume: freed inodes of the inode tables

Ext2Volume::Ext2Volume(const PartitionRecord& record, SectorReader reader)
    : ExtVolume(record, std::move(reader), kExt2Ready) {}

std::string Ext2Volume::rootText() const { return "EXT2( " + m_record.labelText() + " )"; }

bool Ext2Volume::isCandidate(const ExtInode& inode, ByteSpan bitmap, uint64_t indexInGroup, int64_t now) const {
  const bool inUse = (u8At(bitmap, size_t(indexInGroup / 8)) >> (indexInGroup % 8)) & 1;
  return !inUse && inode.block[0] != 0 && inode.contentSize(m_sb.revision) != 0 && inode.isRegular() &&
         withinAge(now, inode.dtime) && inode.ctime != 0 && inode.mtime != 0;
}

Status Ext2Volume::scanVolume(ExtBlockRange range, Progress& progress,
                                 std::vector<std::unique_ptr<ExtFileRecord>>& found) {
  const int64_t now = this->now();
  progress.setStatus(foundStatus(0));
  progress.foundTotal.store(m_sb.inodeCount);
  progress.foundCurrent.store(0);

  const uint64_t b = m_sb.blockSize;
  const uint32_t isz = m_sb.inodeSize;
  const uint64_t perBlock = m_sb.inodesPerBlock();
  const uint64_t firstGroup = range.start < m_sb.firstDataBlock ? 0 : m_sb.groupOfBlock(range.start);
  const uint64_t lastGroup = range.end < m_sb.firstDataBlock ? 0 : m_sb.groupOfBlock(range.end);
  const uint64_t chunkBlocks = std::max<uint64_t>(1, kRunBytes / b);
  std::vector<uint8_t> chunk(size_t(chunkBlocks * b));

  for (uint32_t g = 0; g < m_sb.groupCount; ++g) {
    if (!m_scanFlag.isSet()) return {};
    if (g < firstGroup || g > lastGroup) continue;
    auto bitmap = readInodeBitmap(g);
    if (!bitmap) continue;
    const uint64_t table = m_groups[g].inodeTable;
    const uint64_t tableBlocks = m_sb.inodeTableBlocks();

    for (uint64_t j = 0; j < tableBlocks;) {
      if (inodeNumberOf(g, j * perBlock) > m_sb.inodeCount) break;
      // Read as many in-range table blocks at once as fit the chunk; a chunk that fails is
      // read again block by block so that only unreadable blocks are skipped.
      uint64_t count = 0;
      while (count < chunkBlocks && j + count < tableBlocks && range.contains(table + j + count)) ++count;
      if (count == 0) {
        ++j;  // outside the range
        continue;
      }
      const bool whole = readBlocks(table + j, count, chunk).has_value();
      for (uint64_t k = 0; k < count; ++k) {
        ByteSpan block(chunk.data() + k * b, size_t(b));
        if (!whole && !readBlocks(table + j + k, 1, std::span<uint8_t>(chunk.data() + k * b, size_t(b)))) continue;
        for (uint64_t s = 0; s < perBlock; ++s) {
          const uint64_t index = (j + k) * perBlock + s;
          const uint64_t n = inodeNumberOf(g, index);
          if (index >= m_sb.inodesPerGroup || n > m_sb.inodeCount) break;
          if (!m_scanFlag.isSet()) return {};
          progress.foundCurrent.store(n);
          // Inodes in use and never-used slots (no first block) are no candidates; telling
          // them apart by two words spares decoding most of the table.
          const ByteSpan slot = block.subspan(size_t(s * isz), isz);
          if (((u8At(*bitmap, size_t(index / 8)) >> (index % 8)) & 1) || le32At(slot, kInBlock) == 0) continue;
          const ExtInode inode = ExtInode::decode(slot);
          if (isCandidate(inode, *bitmap, index, now)) {
            auto record = makeRecord(inode, uint32_t(n));
            record->name = generatedInodeName(uint32_t(n));
            found.push_back(std::move(record));
            progress.setStatus(foundStatus(found.size()));
          }
        }
      }
      j += count;
    }
  }
  return {};
}

// ---------------------------------------------------------------------------------------
// Ext3Volume: the journal

struct Ext3Volume::Walk {
  ExtBlockRange range;
  int64_t now = 0;
  JournalSuperblock journal;
  std::deque<JournalTag> pending;
  uint64_t found = 0;
  Progress* progress = nullptr;
};

Ext3Volume::Ext3Volume(const PartitionRecord& record, SectorReader reader)
    : ExtVolume(record, std::move(reader), kExt3Ready) {
  if (m_valid) buildTableIndex();
}

std::string Ext3Volume::rootText() const { return "EXT3( " + m_record.labelText() + " )"; }

void Ext3Volume::buildTableIndex() {
  m_tableIndex.clear();
  for (uint32_t g = 0; g < m_groups.size(); ++g) m_tableIndex.emplace_back(m_groups[g].inodeTable, g);
  std::sort(m_tableIndex.begin(), m_tableIndex.end());
}

ExtClassifiedBlock Ext3Volume::classify(uint64_t x) const {
  ExtClassifiedBlock c;
  if (x < m_sb.firstDataBlock || x >= m_sb.blockCount) return c;
  const uint64_t group = m_sb.groupOfBlock(x);
  if (group >= m_groups.size()) return c;

  // Inode tables first: with flex_bg a group's table may lie among another group's blocks;
  // without it the table never shares a block with the slots tested below.
  auto it = std::upper_bound(m_tableIndex.begin(), m_tableIndex.end(), std::make_pair(x, UINT32_MAX));
  if (it != m_tableIndex.begin()) {
    --it;
    if (x - it->first < m_sb.inodeTableBlocks()) {
      c.kind = ExtBlockClass::InodeTable;
      c.group = it->second;
      c.firstInode = (x - it->first) * m_sb.inodesPerBlock() + uint64_t(c.group) * m_sb.inodesPerGroup + 1;
      return c;
    }
  }
  const uint64_t index = m_sb.indexInGroup(x);
  // Groups without a backup (sparse_super) hold ordinary blocks in these two slots.
  if (m_sb.groupHasSuperblock(group) && index == 0) {
    c.kind = ExtBlockClass::Superblock;
  } else if (m_sb.groupHasSuperblock(group) && index == 1) {
    c.kind = ExtBlockClass::Descriptor;
  } else if (x == m_groups[group].blockBitmap) {
    c.kind = ExtBlockClass::BlockBitmap;
  } else if (x == m_groups[group].inodeBitmap) {
    c.kind = ExtBlockClass::InodeBitmap;
  }
  return c;
}

Status Ext3Volume::scanVolume(ExtBlockRange range, Progress& progress,
                                 std::vector<std::unique_ptr<ExtFileRecord>>& found) {
  m_scanFlag.set();
  m_foundInodes.clear();
  m_names.clear();
  progress.setStatus(foundStatus(0));
  progress.foundCurrent.store(0);
  progress.foundTotal.store(0);

  Walk walk;
  walk.range = range;
  walk.now = now();
  walk.progress = &progress;

  const uint64_t b = m_sb.blockSize;
  if (auto journalInode = readInode(m_sb.journalInode)) {
    const uint64_t journalBytes = journalInode->contentSize(m_sb.revision);
    progress.foundTotal.store(journalBytes);
    ExtBlockMap map(*journalInode, m_sb.blockSize, m_sb.blockCount,
                    [this](uint64_t block, std::span<uint8_t> data) { return readBlocks(block, 1, data).has_value(); });
    // A journal lies inside its volume: a damaged size (indirect blocks that name
    // themselves map every index) must not turn the walk into billions of reads.
    const uint64_t journalBlocks =
        std::min({(journalBytes + b - 1) / b, map.addressableBlocks(), m_sb.blockCount});
    std::vector<uint8_t> block(static_cast<size_t>(b));
    // Consecutive journal blocks (the journal is nearly always one extent) are read as one
    // run; the blocks of a run that does not read are read one by one, so only the blocks
    // that fail are lost.
    const uint64_t maxAhead = std::max<uint64_t>(1, kRunBytes / b);
    std::vector<uint8_t> ahead;
    uint64_t aheadFirst = 0;
    uint64_t aheadCount = 0;
    uint64_t singlyUntil = 0;
    auto readJournalBlock = [&](uint64_t index) {
      if (index >= aheadFirst && index - aheadFirst < aheadCount) {
        std::copy_n(ahead.begin() + ptrdiff_t((index - aheadFirst) * b), b, block.begin());
        return true;
      }
      aheadCount = 0;
      auto where = map.map(index);
      if (!where || *where == kExtHole) return false;
      uint64_t count = 1;
      while (count < maxAhead && index + count < journalBlocks) {
        auto next = map.map(index + count);
        if (!next || *next != *where + count) break;
        ++count;
      }
      if (count > 1 && index >= singlyUntil) {
        ahead.resize(size_t(maxAhead * b));
        if (readBlocks(*where, count, ahead).has_value()) {
          aheadFirst = index;
          aheadCount = count;
          std::copy_n(ahead.begin(), b, block.begin());
          return true;
        }
        singlyUntil = index + count;
      }
      return readBlocks(*where, 1, block).has_value();
    };
    // An unreadable journal block loses only the copy it held: its tag is used up, so the
    // blocks after it still meet their own tags (a lost descriptor leaves its copies
    // unmatched, and they are passed over).
    auto skipUnreadable = [&] {
      if (!walk.pending.empty()) walk.pending.pop_front();
    };

    bool walkedToEnd = true;
    for (uint64_t index = 0; index < journalBlocks && m_scanFlag.isSet(); ++index) {
      progress.foundCurrent.store(index * b);
      if (!readJournalBlock(index)) {
        if (index == 0) {
          walkedToEnd = false;
          break;
        }
        skipUnreadable();
        continue;
      }
      if (index == 0) {
        auto journal = JournalSuperblock::parse(block);
        if (!journal) {
          walkedToEnd = false;
          break;
        }
        walk.journal = *journal;
        continue;
      }
      examineJournalBlock(walk, block);
    }
    // A transaction that wraps past the journal's end continues at its first log block.
    for (uint64_t index = walk.journal.first;
         walkedToEnd && !walk.pending.empty() && index != 0 && index < journalBlocks && m_scanFlag.isSet(); ++index) {
      if (!readJournalBlock(index)) {
        skipUnreadable();
        continue;
      }
      if (JournalHeader::parse(block)) break;
      examineJournalBlock(walk, block);
    }
  }

  for (auto& [number, entry] : m_foundInodes) {
    if (!entry.inode) continue;  // a name that never met an inode
    auto record = makeRecord(*entry.inode, number);
    if (entry.named) {
      record->name = extListedName(std::string_view(m_names).substr(entry.nameAt, entry.nameLength));
      record->extension = extExtensionOf(record->name);
    } else {
      record->name = generatedInodeName(number);
    }
    found.push_back(std::move(record));
  }
  m_foundInodes.clear();
  m_names.clear();
  return {};
}

void Ext3Volume::examineJournalBlock(Walk& walk, std::vector<uint8_t>& block) {
  if (auto header = JournalHeader::parse(block)) {
    walk.pending.clear();
    if (header->type == kJournalDescriptor) {
      const auto tags = descriptorTags(block, walk.journal);
      walk.pending.assign(tags.begin(), tags.end());
    }
    return;
  }
  if (walk.pending.empty()) return;
  const JournalTag tag = walk.pending.front();
  walk.pending.pop_front();
  // The journal zeroes a copy's first word when it equals the magic; put it back.
  if (tag.flags & kTagEscaped) {
    block[0] = uint8_t(kJournalMagic >> 24);
    block[1] = uint8_t(kJournalMagic >> 16);
    block[2] = uint8_t(kJournalMagic >> 8);
    block[3] = uint8_t(kJournalMagic);
  }
  if (tag.block >= m_sb.blockCount) return;
  const ExtClassifiedBlock cls = classify(tag.block);
  if (cls.kind == ExtBlockClass::InodeTable) {
    if (walk.range.contains(tag.block)) examineInodeTableCopy(walk, tag.block, cls, block);
  } else if (cls.kind == ExtBlockClass::Other) {
    if (looksLikeFirstDirectoryBlock(block) || looksLikeDirectoryBlock(block, m_sb.inodeCount))
      examineDirectoryCopy(block);
  }
}

void Ext3Volume::examineInodeTableCopy(Walk& walk, uint64_t x, const ExtClassifiedBlock& cls, ByteSpan copy) {
  // One buffer for every copy met: the journal holds thousands of them.
  m_currentTable.resize(m_sb.blockSize);
  if (!readBlocks(x, 1, m_currentTable)) return;
  const ByteSpan current(m_currentTable);
  const uint32_t isz = m_sb.inodeSize;
  const uint64_t firstIndex = cls.firstInode - 1 - uint64_t(cls.group) * m_sb.inodesPerGroup;
  for (uint64_t s = 0; s < m_sb.inodesPerBlock(); ++s) {
    const uint64_t m = cls.firstInode + s;
    if (firstIndex + s >= m_sb.inodesPerGroup || m > m_sb.inodeCount) break;
    const ExtInode old = ExtInode::decode(copy.subspan(size_t(s * isz), isz));
    const uint64_t oldSize = old.contentSize(m_sb.revision);
    if (old.block[0] == 0 || oldSize == 0 || !old.isRegular() || !withinAge(walk.now, old.ctime) || old.dtime != 0)
      continue;
    const ExtInode now = ExtInode::decode(current.subspan(size_t(s * isz), isz));
    if (old.ctime == now.ctime && old.blockCount == now.blockCount && old.dtime == now.dtime &&
        oldSize == now.contentSize(m_sb.revision))
      continue;  // the file is still there as it was
    auto it = m_foundInodes.find(uint32_t(m));
    if (it == m_foundInodes.end()) {
      if (m_foundInodes.size() >= kMaxFoundInodes) continue;
      it = m_foundInodes.try_emplace(uint32_t(m)).first;
    }
    if (it->second.inode) continue;  // the first copy in the journal wins
    it->second.inode = std::make_unique<ExtInode>(old);
    ++walk.found;
  }
  walk.progress->setStatus(foundStatus(walk.found));
}

void Ext3Volume::examineDirectoryCopy(ByteSpan copy) {
  // Visited in place: most names met are already known (every copy of a folder block
  // names its files again), and only a new one is copied out.
  forEachDirectoryEntry(copy, m_sb.inodeCount, [&](uint32_t inode, uint8_t, std::string_view name) {
    auto it = m_foundInodes.find(inode);
    if (it == m_foundInodes.end()) {
      if (m_foundInodes.size() >= kMaxFoundInodes) return;
      it = m_foundInodes.try_emplace(inode).first;
    }
    if (it->second.named) return;  // the first name met stays
    it->second.nameAt = uint32_t(m_names.size());
    it->second.nameLength = uint8_t(name.size());
    m_names.append(name);
    it->second.named = true;
  });
}

}  // namespace velk
