#include "partition/volume_probe.h"

#include <bit>

namespace velk {
namespace {

// Boot sector (FAT BPB and NTFS) layout.
constexpr size_t kJump = 0x00;
constexpr size_t kOemName = 0x03;
constexpr size_t kBytesPerSector = 0x0B;
constexpr size_t kSectorsPerCluster = 0x0D;
constexpr size_t kReservedSectors = 0x0E;
constexpr size_t kFatCount = 0x10;
constexpr size_t kTotalSectors16 = 0x13;
constexpr size_t kSectorsPerFat16 = 0x16;
constexpr size_t kTotalSectors32 = 0x20;
constexpr size_t kSectorsPerFat32 = 0x24;
constexpr size_t kNtfsTotalSectors = 0x28;
constexpr size_t kNtfsMftCluster = 0x30;
constexpr size_t kFat32BackupBoot = 0x32;
constexpr size_t kFat16FsType = 0x36;
constexpr size_t kFat32FsType = 0x52;
constexpr size_t kBootSignature = 0x1FE;
constexpr uint16_t kBootSignatureValue = 0xAA55;

// EXT superblock layout (offsets inside the 1024-byte superblock).
constexpr size_t kExtInodeCount = 0x00;
constexpr size_t kExtBlockCount = 0x04;
constexpr size_t kExtFreeBlocks = 0x0C;
constexpr size_t kExtFirstDataBlock = 0x14;
constexpr size_t kExtLogBlockSize = 0x18;
constexpr size_t kExtBlocksPerGroup = 0x20;
constexpr size_t kExtMagic = 0x38;
constexpr size_t kExtBlockGroupNumber = 0x5A;
constexpr size_t kExtVolumeName = 0x78;
constexpr size_t kExtJournalInode = 0xE0;
constexpr uint16_t kExtMagicValue = 0xEF53;
constexpr uint32_t kExtMaxLogBlockSize = 6;

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
  if (matchesAt(s, kOemName, "NTFS")) return VolumeKind::Ntfs;
  if (matchesAt(s, kFat16FsType, "FAT1")) return VolumeKind::Fat16;
  return VolumeKind::None;
}

uint64_t declaredSectors(ByteSpan s, VolumeKind kind) {
  const uint32_t bps = le16At(s, kBytesPerSector);
  switch (kind) {
    case VolumeKind::Fat16: {
      uint64_t total = le16At(s, kTotalSectors16);
      if (total == 0) total = le32At(s, kTotalSectors32);
      return inSectors512(total, bps);
    }
    case VolumeKind::Fat32:
      return inSectors512(le32At(s, kTotalSectors32), bps);
    case VolumeKind::Ntfs: {
      uint64_t total = le64At(s, kNtfsTotalSectors);
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
  const uint32_t bps = le16At(s, kBytesPerSector);
  if (!legalBytesPerSector(bps)) return std::nullopt;
  const uint8_t spc = u8At(s, kSectorsPerCluster);

  ProbedVolume v;
  v.bytesPerSector = bps;
  if (matchesAt(s, kOemName, "NTFS    ")) {
    // Large clusters are written as a negative power of two of the cluster's bytes.
    uint32_t clusterSectors = 0;
    if (spc != 0 && spc <= 0x80 && std::has_single_bit(spc)) {
      clusterSectors = spc;
    } else if (spc > 0x80) {
      const uint32_t shift = 256u - spc;
      if (shift <= 31 && (uint64_t(1) << shift) >= bps) clusterSectors = uint32_t((uint64_t(1) << shift) / bps);
    }
    if (clusterSectors == 0 || le64At(s, kNtfsMftCluster) == 0 || le64At(s, kNtfsTotalSectors) == 0)
      return std::nullopt;
    v.kind = VolumeKind::Ntfs;
    v.sectorsPerCluster = clusterSectors;
    v.sectors = declaredSectors(s, VolumeKind::Ntfs);
    return v.sectors ? std::optional(v) : std::nullopt;
  }

  if (spc == 0 || !std::has_single_bit(spc)) return std::nullopt;
  if (le16At(s, kReservedSectors) == 0) return std::nullopt;
  const uint8_t fats = u8At(s, kFatCount);
  if (fats == 0 || fats > 4) return std::nullopt;
  v.sectorsPerCluster = spc;
  if (matchesAt(s, kFat32FsType, "FAT32   ")) {
    if (le16At(s, kSectorsPerFat16) != 0 || le32At(s, kSectorsPerFat32) == 0) return std::nullopt;
    v.kind = VolumeKind::Fat32;
    v.backupOffset = le16At(s, kFat32BackupBoot);
  } else if (matchesAt(s, kFat16FsType, "FAT16   ")) {
    if (le16At(s, kSectorsPerFat16) == 0) return std::nullopt;
    v.kind = VolumeKind::Fat16;
  } else {
    return std::nullopt;
  }
  v.sectors = declaredSectors(s, v.kind);
  return v.sectors ? std::optional(v) : std::nullopt;
}

std::optional<ProbedVolume> parseExtSuperblock(ByteSpan sb) {
  if (sb.size() < 1024 || le16At(sb, kExtMagic) != kExtMagicValue) return std::nullopt;
  const uint32_t logBlock = le32At(sb, kExtLogBlockSize);
  if (logBlock > kExtMaxLogBlockSize) return std::nullopt;
  const uint32_t blockSize = 1024u << logBlock;
  const uint32_t blocks = le32At(sb, kExtBlockCount);
  const uint32_t perGroup = le32At(sb, kExtBlocksPerGroup);
  if (blocks == 0 || perGroup == 0 || le32At(sb, kExtInodeCount) == 0) return std::nullopt;
  // 1 KiB blocks keep the boot block as block 0, so the first data block is 1; else 0.
  if (le32At(sb, kExtFirstDataBlock) != (blockSize == 1024 ? 1u : 0u)) return std::nullopt;
  if (le16At(sb, kExtBlockGroupNumber) != 0) return std::nullopt;
  ProbedVolume v;
  v.kind = le32At(sb, kExtJournalInode) != 0 ? VolumeKind::Ext3 : VolumeKind::Ext2;
  v.sectors = uint64_t(blocks) * (blockSize / 512);
  v.sectorsPerCluster = perGroup;
  v.bytesPerSector = blockSize;
  v.freeBytes = uint64_t(le32At(sb, kExtFreeBlocks)) * blockSize;
  v.label = fixedText(sb, kExtVolumeName, 16);
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
