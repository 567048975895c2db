// Ext2Volume: candidates are the freed inodes of the inode tables that still hold a size
// and block pointers.

#include <algorithm>

#include "engines/ext/ext_volume.h"

namespace velk {


Ext2Volume::Ext2Volume(const PartitionRecord& record, SectorReader reader)
    : ExtVolume(record, std::move(reader), kExt2Ready) {}

std::string Ext2Volume::rootText() const { return rootTextOf("EXT2"); }

bool Ext2Volume::isCandidate(const ExtInode& inode, int64_t now) const {
  return inode.mapsBlocks() && inode.contentSize(m_sb.revision) != 0 && inode.isRegular() &&
         extWithinAge(now, inode.dtime) && inode.ctime != 0 && inode.mtime != 0;
}

Status Ext2Volume::scanVolume(ExtBlockRange range, Progress& progress,
                                 std::vector<std::unique_ptr<ExtFileRecord>>& found) {
  const int64_t now = this->now();
  progress.setStatus(extFoundStatus(0));
  progress.foundTotal.store(m_sb.inodeCount);
  progress.foundCurrent.store(0);

  const uint64_t b = m_sb.blockSize;
  const uint32_t isz = m_sb.inodeSize;
  const uint64_t perBlock = m_sb.inodesPerBlock();
  const uint64_t firstGroup = range.start < m_sb.firstDataBlock ? 0 : m_sb.groupOfBlock(range.start);
  const uint64_t lastGroup = range.end < m_sb.firstDataBlock ? 0 : m_sb.groupOfBlock(range.end);
  const uint64_t chunkBlocks = std::max<uint64_t>(1, kExtRunBytes / b);
  std::vector<uint8_t> chunk(size_t(chunkBlocks * b));
  std::vector<uint8_t> bad;

  for (uint32_t g = 0; g < m_sb.groupCount; ++g) {
    if (!m_scanFlag.isSet()) return {};
    if (g < firstGroup || g > lastGroup) continue;
    // Without its bitmap a group's inodes still tell whether they were freed: deletion
    // stamps the time and leaves no link.
    const auto bitmap = readInodeBitmap(g);
    auto inUse = [&](uint64_t index, ByteSpan slot) {
      if (bitmap) return ((u8At(*bitmap, size_t(index / 8)) >> (index % 8)) & 1) != 0;
      return le32At(slot, kInDtime) == 0 || le16At(slot, kInLinks) != 0;
    };
    const uint64_t table = m_groups[g].inodeTable;
    const uint64_t tableBlocks = m_sb.inodeTableBlocks();

    for (uint64_t j = 0; j < tableBlocks;) {
      if (inodeNumberOf(g, j * perBlock) > m_sb.inodeCount) break;
      // As many in-range table blocks at once as fit the chunk; of a chunk that does not
      // read, only the inodes on sectors that stay unreadable are lost.
      uint64_t count = 0;
      while (count < chunkBlocks && j + count < tableBlocks && range.contains(table + j + count)) ++count;
      if (count == 0) {
        ++j;  // outside the range
        continue;
      }
      if (!readSalvaging(table + j, count, std::span<uint8_t>(chunk.data(), size_t(count * b)), &bad)) {
        j += count;
        continue;
      }
      for (uint64_t k = 0; k < count; ++k) {
        ByteSpan block(chunk.data() + k * b, size_t(b));
        for (uint64_t s = 0; s < perBlock; ++s) {
          const uint64_t index = (j + k) * perBlock + s;
          const uint64_t n = inodeNumberOf(g, index);
          if (index >= m_sb.inodesPerGroup || n > m_sb.inodeCount) break;
          if (!m_scanFlag.isSet()) return {};
          progress.foundCurrent.store(n);
          // Inodes in use and never-used slots (no first block) are no candidates; telling
          // them apart by two words spares decoding most of the table.
          const ByteSpan slot = block.subspan(size_t(s * isz), isz);
          if (le32At(slot, kInBlock) == 0 || touchesBadSector(bad, size_t(k * b + s * isz), isz) || inUse(index, slot))
            continue;
          const ExtInode inode = ExtInode::decode(slot);
          if (isCandidate(inode, now)) {
            auto record = makeRecord(inode, uint32_t(n));
            record->name = generatedInodeName(uint32_t(n));
            found.push_back(std::move(record));
            progress.setStatus(extFoundStatus(found.size()));
          }
        }
      }
      j += count;
    }
  }
  return {};
}

}  // namespace velk
