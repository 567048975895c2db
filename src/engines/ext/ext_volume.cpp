// Opening an EXT volume (superblock and group descriptors, from their backups when the
// primary copies are lost) and reading its blocks on media that may fail.

#include "engines/ext/ext_volume.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>

namespace velk {

ExtVolume::ExtVolume(const PartitionRecord& record, SectorReader reader, int readyState)
    : m_record(record), m_readyState(readyState), m_reader(std::move(reader)) {
  Status opened = open();
  m_valid = opened.has_value();
  if (!opened) m_openError = opened.error();
}

// ---------------------------------------------------------------------------------------
// Opening

Status ExtVolume::open() {
  if (!m_reader.isOpen()) return fail(notFoundError("the volume's device"));
  if (Status rc = openSuperblock(); !rc) return rc;
  if (Status rc = openDescriptors(); !rc) return rc;
  if (m_readyState == kExt3Ready && (m_sb.journalInode == 0 || m_sb.journalInode > m_sb.inodeCount))
    return fail(corruptError("the EXT superblock", "its journal inode is not on the volume"));
  return {};
}

uint64_t ExtVolume::volumeBytes() const {
  const uint64_t device = m_reader.deviceSize();
  return device > m_reader.base() ? device - m_reader.base() : 0;
}

Status ExtVolume::openSuperblock() {
  std::array<uint8_t, kExtSuperblockSize> raw{};
  const bool lost = salvageBytes(kExtSuperblockOffset, raw.size(), raw.data()) != 0;
  Result<ExtSuperblock> primary = lost ? fail(ioError("reading the EXT superblock", EIO,
                                                      m_reader.diskSectorOf(kExtSuperblockOffset)))
                                       : ExtSuperblock::parse(raw);
  if (primary) {
    m_sb = *primary;
    return {};
  }
  // A layout we do not read is refused whichever copy says so; a primary that is lost or
  // damaged sends us to the copies mke2fs keeps at the start of later groups.
  if (!lost && primary.error().is(ErrorKind::Unsupported) && le16At(raw, kSbMagic) == kExtMagic)
    return fail(primary.error());
  auto backup = findBackupSuperblock(volumeBytes(), [this](uint64_t offset, std::span<uint8_t> out) {
    return salvageBytes(offset, out.size(), out.data()) == 0;
  });
  if (backup) {
    m_sb = backup->sb;
    m_superblockCopy = backup->group;
    m_damage.damaged("EXT superblocks replaced by the backup in group " + std::to_string(backup->group));
    return {};
  }
  return fail(primary.error());
}

Status ExtVolume::openDescriptors() {
  const uint64_t tableBlocks = m_sb.descriptorTableBlocks();
  const uint64_t tableBytes = tableBlocks * m_sb.blockSize;
  // The primary table follows the primary superblock; every group with a backup superblock
  // keeps a copy right after it.
  std::vector<uint32_t> copies{0};
  for (uint32_t g = 1; g < m_sb.groupCount && copies.size() < kExtDescriptorCopiesTried; ++g)
    if (m_sb.groupHasSuperblock(g)) copies.push_back(g);
  std::optional<Error> firstError;
  for (uint32_t g : copies) {
    const uint64_t tableBlock = g == 0 ? m_sb.descriptorTableBlock()
                                       : m_sb.firstDataBlock + uint64_t(g) * m_sb.blocksPerGroup + 1;
    // The table is allocated only when the volume can hold it.
    const uint64_t bytes = volumeBytes();
    Result<std::vector<ExtGroupDescriptor>> groups =
        fail(corruptError("the EXT superblock", "its group descriptors lie past the volume's end"));
    if (tableBlock + tableBlocks <= m_sb.blockCount && (bytes == 0 || tableBlock * m_sb.blockSize + tableBytes <= bytes)) {
      std::vector<uint8_t> table(static_cast<size_t>(tableBytes));
      std::vector<uint8_t> bad;
      auto lost = readSalvaging(tableBlock, tableBlocks, table, &bad);
      if (!lost) groups = fail(lost.error());
      else if (*lost != 0) groups = fail(ioError("reading the EXT group descriptors", EIO, firstBadSector(tableBlock, bad)));
      else groups = parseGroupDescriptors(table, m_sb);
    }
    if (groups) {
      m_groups = std::move(*groups);
      m_descriptorCopy = g;
      if (g != 0) m_damage.damaged("EXT group descriptor tables replaced by the copy in group " + std::to_string(g));
      return {};
    }
    if (!firstError) firstError = groups.error();
  }
  return fail(*firstError);
}

// ---------------------------------------------------------------------------------------
// Reading

Status ExtVolume::readBlocks(uint64_t first, uint64_t count, std::span<uint8_t> out) {
  const uint64_t b = m_sb.blockSize;
  if (count == 0 || first >= m_sb.blockCount || count > m_sb.blockCount - first || out.size() < count * b)
    return fail(corruptError("a block number", "it lies outside the volume"));
  std::lock_guard lock(m_readerMutex);
  return m_reader.ReadAt(first * b, size_t(count * b), out.data());
}

uint64_t ExtVolume::salvageBytes(uint64_t offset, size_t length, uint8_t* out, uint8_t* bad) {
  auto read = [&](uint64_t at, size_t n, uint8_t* to) {
    std::lock_guard lock(m_readerMutex);
    return m_reader.ReadAt(at, n, to).has_value();
  };
  if (read(offset, length, out)) return 0;
  uint64_t lost = 0;
  const size_t sectors = length / kSectorSize;
  for (size_t s = 0; s < sectors; ++s) {
    uint8_t* p = out + s * kSectorSize;
    if (sectors > 1 && read(offset + s * kSectorSize, kSectorSize, p)) continue;
    std::fill_n(p, kSectorSize, 0);
    m_damage.unreadable(m_reader.diskSectorOf(offset + s * kSectorSize), 1);
    if (bad) bad[s] = 1;
    ++lost;
  }
  return lost;
}

Result<uint64_t> ExtVolume::readSalvaging(uint64_t first, uint64_t count, std::span<uint8_t> out,
                                          std::vector<uint8_t>* badSectors) {
  const uint64_t b = m_sb.blockSize;
  const uint64_t perBlock = b / kSectorSize;
  if (badSectors) badSectors->assign(size_t(count * perBlock), 0);
  if (count > 1) {
    Status whole = readBlocks(first, count, out);
    if (whole) return 0;
    if (!whole.error().is(ErrorKind::Io)) return fail(whole.error());
  } else if (count == 0 || first >= m_sb.blockCount || out.size() < b) {
    return fail(corruptError("a block number", "it lies outside the volume"));
  }
  uint64_t lost = 0;
  for (uint64_t k = 0; k < count; ++k)
    lost += salvageBytes((first + k) * b, size_t(b), out.data() + k * b,
                         badSectors ? badSectors->data() + k * perBlock : nullptr);
  return lost;
}

uint64_t ExtVolume::firstBadSector(uint64_t firstBlock, const std::vector<uint8_t>& bad) const {
  const auto it = std::find(bad.begin(), bad.end(), uint8_t(1));
  return m_reader.diskSectorOf(firstBlock * m_sb.blockSize + uint64_t(it - bad.begin()) * kSectorSize);
}

ExtBlockReader ExtVolume::mappingReader(std::optional<uint64_t>* failedSector) {
  return [this, failedSector](uint64_t block, std::span<uint8_t> data) {
    std::vector<uint8_t> bad;
    auto lost = readSalvaging(block, 1, data, &bad);
    if (lost && *lost == 0) return true;
    if (lost && failedSector && !*failedSector) *failedSector = firstBadSector(block, bad);
    return false;
  };
}

std::optional<std::vector<uint8_t>> ExtVolume::readBlock(uint64_t block) {
  if (!m_valid) return std::nullopt;
  std::vector<uint8_t> data(m_sb.blockSize);
  auto lost = readSalvaging(block, 1, data);
  if (!lost || *lost != 0) return std::nullopt;
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
  std::vector<uint8_t> block(m_sb.blockSize);
  std::vector<uint8_t> bad;
  if (!readSalvaging(m_groups[group].inodeTable + index / perBlock, 1, block, &bad)) return std::nullopt;
  const size_t at = size_t(index % perBlock) * m_sb.inodeSize;
  if (touchesBadSector(bad, at, m_sb.inodeSize)) return std::nullopt;
  return ExtInode::decode(ByteSpan(block).subspan(at, m_sb.inodeSize));
}

bool ExtVolume::touchesBadSector(const std::vector<uint8_t>& bad, size_t offset, size_t length) {
  for (size_t s = offset / kSectorSize; s < bad.size() && s * kSectorSize < offset + length; ++s)
    if (bad[s]) return true;
  return false;
}

bool ExtVolume::allocatedNow(uint64_t block) {
  if (block < m_sb.firstDataBlock) return true;  // the boot block
  const uint64_t group = m_sb.groupOfBlock(block);
  if (group >= m_groups.size() || (m_groups[group].flags & kGdBlockUninit)) return false;
  auto it = m_blockBitmaps.find(group);
  if (it == m_blockBitmaps.end()) {
    // Files lie in few groups; the cache is emptied rather than grown without end.
    if (m_blockBitmaps.size() >= kExtBitmapsCached) m_blockBitmaps.clear();
    auto bitmap = readBlock(m_groups[group].blockBitmap);
    it = m_blockBitmaps.emplace(group, bitmap ? std::move(*bitmap) : std::vector<uint8_t>()).first;
  }
  const uint64_t index = m_sb.indexInGroup(block);
  return (u8At(it->second, size_t(index / 8)) >> (index % 8)) & 1;
}

bool ExtVolume::inUnreadableRange(uint64_t block) const {
  if (m_unreadable.empty()) return false;
  const uint64_t first = diskSectorOfBlock(block);
  const uint64_t last = first + m_sb.blockSize / kSectorSize;  // one past
  auto it = std::upper_bound(m_unreadable.begin(), m_unreadable.end(), first,
                             [](uint64_t s, const SectorRange& r) { return s < r.first; });
  if (it != m_unreadable.end() && it->first < last) return true;
  return it != m_unreadable.begin() && std::prev(it)->first + std::prev(it)->count > first;
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

}  // namespace velk
