#include "partition/volume_probe.h"

#include <bit>

#include "formats/ext_layout.h"
#include "formats/fat_boot_sector.h"
#include "formats/ntfs_boot_sector.h"
#include "formats/ntfs_layout.h"

namespace velk {
namespace {

using namespace fatlayout;

constexpr size_t kJump = 0x00;
constexpr uint16_t kBootSignatureValue = 0xAA55;

// Sizes beyond 2^32 sectors cannot be written into a table entry anyway; beyond 2^40 they
// are certainly damage.
constexpr uint64_t kMaxPlausibleSectors = uint64_t(1) << 40;

bool legalBytesPerSector(uint32_t bps) { return bps == 512 || bps == 1024 || bps == 2048 || bps == 4096; }

// A declared count in the volume's own sectors, as 512-byte sectors.
uint64_t inSectors512(uint64_t count, uint32_t bps) {
  uint32_t factor = legalBytesPerSector(bps) ? bps / 512 : 1;
  if (count == 0 || count > kMaxPlausibleSectors / factor) return 0;
  return count * factor;
}

bool hasSignature(ByteSpan s) { return le16At(s, kBootSignature) == kBootSignatureValue; }

}  // namespace

VolumeKind classifyGapSector(ByteSpan s) {
  if (u8At(s, kJump) != 0xEB || !hasSignature(s)) return VolumeKind::None;
  if (matchesAt(s, kFat32FsType, "FAT3")) return VolumeKind::Fat32;
  if (matchesAt(s, ntfs::kBootOemId, "NTFS")) return VolumeKind::Ntfs;
  if (matchesAt(s, kFat16FsType, "FAT1")) return VolumeKind::Fat16;
  return VolumeKind::None;
}

uint64_t declaredSectors(ByteSpan s, VolumeKind kind) {
  const uint32_t bps = le16At(s, kBytesPerSector);
  switch (kind) {
    case VolumeKind::Fat16:
    case VolumeKind::Fat32: {
      // Both widths keep a total below 65,536 sectors at 0x13 and leave 0x20 zero; a small
      // FAT32 volume does it too.
      uint64_t total = le16At(s, kTotalSectors16);
      if (total == 0) total = le32At(s, kTotalSectors32);
      return inSectors512(total, bps);
    }
    case VolumeKind::Ntfs: {
      uint64_t total = le64At(s, ntfs::kBootTotalSectors);
      if (total >= kMaxPlausibleSectors) return 0;
      return inSectors512(total + 1, bps);  // the backup boot sector follows the volume
    }
    default:
      return 0;
  }
}

std::optional<ProbedVolume> parseBootSector(ByteSpan s) {
  if (s.size() < 512 || !hasSignature(s)) return std::nullopt;
  const uint8_t jump = u8At(s, kJump);
  if (!((jump == 0xEB && u8At(s, kJump + 2) == 0x90) || jump == 0xE9)) return std::nullopt;
  if (!legalBytesPerSector(le16At(s, kBytesPerSector))) return std::nullopt;

  ProbedVolume v;
  if (matchesAt(s, ntfs::kBootOemId, "NTFS    ")) {
    auto boot = NtfsBootSector::parse(s);
    if (!boot || boot->mftCluster == 0 || boot->totalSectors == 0) return std::nullopt;
    v.kind = VolumeKind::Ntfs;
    v.bytesPerSector = boot->bytesPerSector;
    v.sectorsPerCluster = boot->clusterSize / boot->bytesPerSector;
    v.sectors = declaredSectors(s, VolumeKind::Ntfs);
    return v.sectors ? std::optional(v) : std::nullopt;
  }

  // The deep scan trusts a find only when its own name and its BIOS parameter block agree.
  auto bpb = FatBootSector::parseBpb(s);
  if (!bpb || bpb->numberOfFats > 4) return std::nullopt;
  v.bytesPerSector = bpb->bytesPerSector;
  v.sectorsPerCluster = bpb->sectorsPerCluster;
  if (matchesAt(s, kFat32FsType, "FAT32   ") && bpb->width == FatWidth::Fat32) {
    v.kind = VolumeKind::Fat32;
    v.backupOffset = le16At(s, kBackupBootSector);
  } else if (matchesAt(s, kFat16FsType, "FAT16   ") && bpb->width != FatWidth::Fat32) {
    // A small volume labelled FAT16 is FAT12 by its cluster count; it is found all the same.
    v.kind = VolumeKind::Fat16;
  } else {
    return std::nullopt;
  }
  v.sectors = declaredSectors(s, v.kind);
  return v.sectors ? std::optional(v) : std::nullopt;
}

std::optional<ProbedVolume> parseExtSuperblock(ByteSpan bytes) {
  auto sb = ExtSuperblock::parse(bytes);
  if (!sb) return std::nullopt;
  // Only a primary superblock (block group 0) is accepted: the backups in later groups would
  // otherwise look like volumes starting in the middle of the real one. 1 KiB blocks keep
  // the boot block as block 0, so the first data block is 1; else 0.
  if (sb->blockGroupNumber != 0 || sb->firstDataBlock != (sb->blockSize == 1024 ? 1u : 0u)) return std::nullopt;
  ProbedVolume v;
  v.kind = sb->journalInode != 0 ? VolumeKind::Ext3 : VolumeKind::Ext2;
  v.sectors = sb->blockCount * (sb->blockSize / 512);
  v.sectorsPerCluster = sb->blocksPerGroup;
  v.bytesPerSector = sb->blockSize;
  v.freeBytes = sb->freeBlocks * sb->blockSize;
  v.label = sb->volumeName;
  return v;
}

const char* volumeKindName(VolumeKind kind) {
  switch (kind) {
    case VolumeKind::Fat16: return "FAT16";
    case VolumeKind::Fat32: return "FAT32";
    case VolumeKind::Ntfs: return "NTFS";
    case VolumeKind::Ext2: return "EXT2";
    case VolumeKind::Ext3: return "EXT3";
    case VolumeKind::None: break;
  }
  return "Deleted";
}

uint8_t volumeKindType(VolumeKind kind, bool logical) {
  switch (kind) {
    case VolumeKind::Fat16: return 0x06;
    case VolumeKind::Fat32: return logical ? 0x0B : 0x0C;
    case VolumeKind::Ntfs: return 0x07;
    case VolumeKind::Ext2:
    case VolumeKind::Ext3: return 0x83;
    case VolumeKind::None: break;
  }
  return 0;
}

}  // namespace velk
