// Ext3Volume: candidates are the older inode copies the journal keeps, named through the
// journal's copies of directory blocks.

#include <algorithm>
#include <cerrno>
#include <memory>

#include "engines/ext/ext_block_map.h"
#include "engines/ext/ext_volume.h"

namespace velk {


struct Ext3Volume::Walk {
  ExtBlockRange range;
  int64_t now = 0;
  JournalSuperblock journal;
  std::deque<JournalTag> pending;
  uint32_t sequence = 0;  // of the transaction whose descriptor was met last
  uint64_t found = 0;
  Progress* progress = nullptr;
};

Ext3Volume::Ext3Volume(const PartitionRecord& record, SectorReader reader)
    : ExtVolume(record, std::move(reader), kExt3Ready) {
  if (m_valid) buildTableIndex();
}

std::string Ext3Volume::rootText() const { return rootTextOf("EXT3"); }

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
  const Status walked = walkJournal(walk);

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
  return walked;
}

Status Ext3Volume::walkJournal(Walk& walk) {
  // The journal inode, else the copy of its block map the superblock keeps (the inode
  // table block holding it may be unreadable or damaged).
  std::vector<ExtInode> sources;
  if (auto inode = readInode(m_sb.journalInode)) sources.push_back(*inode);
  if (auto copy = ExtInode::journalFromBackup(m_sb); copy && (sources.empty() || copy->raw != sources[0].raw))
    sources.push_back(*copy);
  if (sources.empty())
    return fail(ioError("reading the journal inode", EIO, diskSectorOfBlock(journalInodeBlock())));

  const uint64_t b = m_sb.blockSize;
  std::vector<uint8_t> block(static_cast<size_t>(b));
  std::optional<Error> failure;
  for (size_t i = 0; i < sources.size(); ++i) {
    const uint64_t journalBytes = sources[i].contentSize(m_sb.revision);
    std::optional<uint64_t> mapFailure;
    ExtBlockMap map(sources[i], m_sb.blockSize, m_sb.blockCount, mappingReader(&mapFailure));
    // A journal lies inside its volume: a damaged size (indirect blocks that name
    // themselves map every index) must not turn the walk into billions of reads.
    const uint64_t journalBlocks = std::min({(journalBytes + b - 1) / b, map.addressableBlocks(), m_sb.blockCount});
    JournalReader reader{*this, map, journalBlocks, block};
    if (journalBlocks == 0 || !reader.read(0)) {
      if (!failure) failure = ioError("reading the journal", EIO, mapFailure.value_or(reader.failedSector));
      continue;
    }
    auto journal = JournalSuperblock::parse(block);
    if (!journal) {
      if (!failure) failure = journal.error();
      continue;
    }
    if (i > 0) m_damage.damaged("journal inodes replaced by the superblock's copy of their block map");
    walk.journal = *journal;
    walk.progress->foundTotal.store(journalBytes);
    walkJournalBlocks(walk, reader);
    return {};
  }
  return fail(*failure);
}

uint64_t Ext3Volume::journalInodeBlock() const {
  const uint32_t index = (m_sb.journalInode - 1) % m_sb.inodesPerGroup;
  const uint32_t group = (m_sb.journalInode - 1) / m_sb.inodesPerGroup;
  return group < m_groups.size() ? m_groups[group].inodeTable + index / m_sb.inodesPerBlock() : 0;
}

bool Ext3Volume::JournalReader::read(uint64_t index) {
  const uint64_t b = volume.m_sb.blockSize;
  if (index >= aheadFirst && index - aheadFirst < aheadCount) {
    std::copy_n(ahead.begin() + ptrdiff_t((index - aheadFirst) * b), b, block.begin());
    return true;
  }
  aheadCount = 0;
  auto where = map.map(index);
  if (!where || *where == kExtHole) return false;
  // Consecutive journal blocks (the journal is nearly always one extent) are read as one
  // run; the blocks of a run that does not read are read one by one, so only the blocks
  // that fail are lost.
  const uint64_t maxAhead = std::max<uint64_t>(1, kExtRunBytes / b);
  uint64_t count = 1;
  while (count < maxAhead && index + count < blocks) {
    auto next = map.map(index + count);
    if (!next || *next != *where + count) break;
    ++count;
  }
  if (count > 1 && index >= singlyUntil) {
    ahead.resize(size_t(maxAhead * b));
    if (volume.readBlocks(*where, count, ahead).has_value()) {
      aheadFirst = index;
      aheadCount = count;
      std::copy_n(ahead.begin(), b, block.begin());
      return true;
    }
    singlyUntil = index + count;
  }
  std::vector<uint8_t> bad;
  auto lost = volume.readSalvaging(*where, 1, block, &bad);
  if (lost && *lost == 0) return true;
  if (lost) failedSector = volume.firstBadSector(*where, bad);
  return false;
}

void Ext3Volume::walkJournalBlocks(Walk& walk, JournalReader& reader) {
  const uint64_t b = m_sb.blockSize;
  // An unreadable journal block loses only the copy it held: its tag is used up, so the
  // blocks after it still meet their own tags (a lost descriptor leaves its copies
  // unmatched, and they are passed over).
  auto skipUnreadable = [&] {
    if (!walk.pending.empty()) walk.pending.pop_front();
  };
  for (uint64_t index = 1; index < reader.blocks && m_scanFlag.isSet(); ++index) {
    walk.progress->foundCurrent.store(index * b);
    if (!reader.read(index)) {
      skipUnreadable();
      continue;
    }
    examineJournalBlock(walk, reader.block);
  }
  // A transaction that wraps past the journal's end continues at its first log block.
  for (uint64_t index = walk.journal.first;
       !walk.pending.empty() && index != 0 && index < reader.blocks && m_scanFlag.isSet(); ++index) {
    if (!reader.read(index)) {
      skipUnreadable();
      continue;
    }
    if (JournalHeader::parse(reader.block)) break;
    examineJournalBlock(walk, reader.block);
  }
}

void Ext3Volume::examineJournalBlock(Walk& walk, std::vector<uint8_t>& block) {
  if (auto header = JournalHeader::parse(block)) {
    walk.pending.clear();
    if (header->type == kJournalDescriptor) {
      walk.sequence = header->sequence;
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
  // One buffer for every copy met: the journal holds thousands of them. Inodes on current
  // sectors that cannot be read are taken as changed: nothing shows them live.
  m_currentTable.resize(m_sb.blockSize);
  if (!readSalvaging(x, 1, m_currentTable, &m_currentBad)) return;
  const ByteSpan current(m_currentTable);
  const uint32_t isz = m_sb.inodeSize;
  const uint64_t firstIndex = cls.firstInode - 1 - uint64_t(cls.group) * m_sb.inodesPerGroup;
  for (uint64_t s = 0; s < m_sb.inodesPerBlock(); ++s) {
    const uint64_t m = cls.firstInode + s;
    if (firstIndex + s >= m_sb.inodesPerGroup || m > m_sb.inodeCount) break;
    const ExtInode old = ExtInode::decode(copy.subspan(size_t(s * isz), isz));
    const uint64_t oldSize = old.contentSize(m_sb.revision);
    if (!old.mapsBlocks() || oldSize == 0 || !old.isRegular() || !extWithinAge(walk.now, old.ctime) || old.dtime != 0)
      continue;
    if (!touchesBadSector(m_currentBad, size_t(s * isz), isz)) {
      const ExtInode now = ExtInode::decode(current.subspan(size_t(s * isz), isz));
      if (old.ctime == now.ctime && old.blockCount == now.blockCount && old.dtime == now.dtime &&
          oldSize == now.contentSize(m_sb.revision))
        continue;  // the file is still there as it was
      // An older state of a file that is still there (it grew, or was rewritten) is no
      // deleted file: the same inode generation is linked and in use now.
      if (now.isRegular() && now.links != 0 && now.dtime == 0 && now.generation == old.generation) continue;
    }
    auto it = m_foundInodes.find(uint32_t(m));
    if (it == m_foundInodes.end()) {
      if (m_foundInodes.size() >= kMaxFoundInodes) continue;
      it = m_foundInodes.try_emplace(uint32_t(m)).first;
    }
    FoundInode& entry = it->second;
    // The newest copy that still maps blocks is the file as it last was: a file that grew
    // over several transactions has older, shorter copies. Sequence numbers wrap.
    if (entry.inode && int32_t(walk.sequence - entry.sequence) < 0) continue;
    if (!entry.inode) ++walk.found;
    entry.inode = std::make_unique<ExtInode>(old);
    entry.sequence = walk.sequence;
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
