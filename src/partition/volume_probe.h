#pragma once
// Recognising a lost volume from its own first sectors: the loose boot-sector test of the
// automatic gap scan, the size a boot sector declares, and the strict parses the deep scan
// uses before it trusts a find (FAT16/FAT32/NTFS boot sectors, EXT superblocks).

#include <cstdint>
#include <optional>
#include <string>

#include "formats/bytes.h"

namespace velk {

enum class VolumeKind { None, Fat16, Fat32, Ntfs, Ext2, Ext3 };

// The automatic scan's test of a gap's first sector: byte 0 is 0xEB and the sector ends
// with 0xAA55, then "FAT3" at 0x52, "NTFS" at 3 or "FAT1" at 0x36, in that order.
VolumeKind classifyGapSector(ByteSpan sector);

// The volume size in 512-byte sectors that a FAT or NTFS boot sector declares (FAT: the
// 16-bit total at 0x13, or the 32-bit one at 0x20 when that is zero; NTFS: the 64-bit
// count at 0x28 plus the backup boot sector). 0 when the field is absent or absurd.
uint64_t declaredSectors(ByteSpan bootSector, VolumeKind kind);

struct ProbedVolume {
  VolumeKind kind = VolumeKind::None;
  uint64_t sectors = 0;             // length in 512-byte sectors
  uint32_t sectorsPerCluster = 0;   // EXT: blocks per group
  uint32_t bytesPerSector = 0;      // EXT: block size
  uint64_t freeBytes = 0;           // EXT only: free blocks × block size
  std::string label;                // EXT volume name; empty for FAT/NTFS
  uint32_t backupOffset = 0;        // FAT32: sector of the backup boot sector
};

// Strict parse of a FAT16, FAT32 or NTFS boot sector: jump, bytes per sector, cluster size,
// signature and total size must all be legal.
std::optional<ProbedVolume> parseBootSector(ByteSpan sector);
// Strict parse of the 1024-byte EXT superblock (bytes 1024–2047 of the partition). Only a
// primary superblock (block group 0) is accepted: the backups in later groups would
// otherwise look like volumes starting in the middle of the real one.
std::optional<ProbedVolume> parseExtSuperblock(ByteSpan superblock);

// File-system name and partition type of a find: "FAT32" 0x0C (0x0B inside the extended
// partition), "FAT16" 0x06, "NTFS" 0x07, "EXT2"/"EXT3" 0x83.
const char* volumeKindName(VolumeKind kind);
uint8_t volumeKindType(VolumeKind kind, bool logical);

}  // namespace velk
