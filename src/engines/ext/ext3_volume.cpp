// Ext3Volume: candidates are the older inode copies the journal keeps, named through the
// journal's copies of directory blocks.

#include <algorithm>
#include <memory>

#include "engines/ext/ext_block_map.h"
#include "engines/ext/ext_volume.h"

namespace velk {


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
  progress.setStatus(extFoundStatus(0));
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
    const uint64_t maxAhead = std::max<uint64_t>(1, kExtRunBytes / b);
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
    if (old.block[0] == 0 || oldSize == 0 || !old.isRegular() || !extWithinAge(walk.now, old.ctime) || old.dtime != 0)
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
  walk.progress->setStatus(extFoundStatus(walk.found));
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
