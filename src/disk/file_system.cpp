#include "disk/file_system.h"

#include <array>
#include <utility>

#include "formats/exfat_boot.h"
#include "formats/fat_boot_sector.h"
#include "formats/ntfs_boot_sector.h"

namespace velk {
namespace {

// Names the catalogue gives a volume whose own structures it read, and the older names of
// the same file systems.
constexpr std::array<std::pair<std::string_view, FileSystem>, 8> kNames{{
    {"exFAT", FileSystem::ExFat},
    {"FAT32", FileSystem::Fat32},
    {"FAT16", FileSystem::Fat16},
    {"FAT", FileSystem::Fat16},
    {"NTFS", FileSystem::Ntfs},
    {"EXT2", FileSystem::Ext2},
    {"EXT3", FileSystem::Ext3},
    {"EXT4", FileSystem::Ext4},
}};

// What a partition-table type promises, for a volume whose first sector shows nothing we
// know: a formatted NTFS volume has lost its boot sector, yet its old records remain.
constexpr std::array<std::pair<std::string_view, FileSystem>, 3> kTableGuesses{{
    {"#FAT32#", FileSystem::Fat32},
    {"#FAT16#", FileSystem::Fat16},
    {"#NTFS#", FileSystem::Ntfs},
}};

}  // namespace

FileSystem namedFileSystem(std::string_view fsName) {
  for (const auto& [name, fs] : kNames)
    if (name == fsName) return fs;
  return FileSystem::Unknown;
}

FileSystem detectFileSystem(ByteSpan bootSector) {
  // exFAT lives in type 0x07 entries too: its own signature decides before the table's guess.
  if (looksLikeExfatBootSector(bootSector)) return FileSystem::ExFat;
  if (NtfsBootSector::hasSignature(bootSector)) return FileSystem::Ntfs;
  if (auto width = detectFatWidth(bootSector)) {
    switch (*width) {
      case FatWidth::Fat12: return FileSystem::Fat12;
      case FatWidth::Fat16: return FileSystem::Fat16;
      case FatWidth::Fat32: return FileSystem::Fat32;
    }
  }
  return FileSystem::Unknown;
}

FileSystem fileSystemOf(const PartitionRecord& record) {
  const FileSystem named = namedFileSystem(record.fsNameText());
  if (named != FileSystem::Unknown) return named;
  const FileSystem detected = detectFileSystem(ByteSpan(record.firstSector));
  if (detected != FileSystem::Unknown) return detected;
  for (const auto& [name, fs] : kTableGuesses)
    if (name == record.fsNameText()) return fs;
  return FileSystem::Unknown;
}

bool isLetteredVolumeBootSector(ByteSpan sector) {
  if (NtfsBootSector::hasSignature(sector) || looksLikeExfatBootSector(sector)) return true;
  using namespace fatlayout;
  const bool namesFat = matchesAt(sector, kFat32FsType, "FAT32") || matchesAt(sector, kFat16FsType, "FAT1") ||
                        matchesAt(sector, kFat16FsType, "FAT ");
  return namesFat && FatBootSector::parseBpb(sector).has_value();
}

std::string_view fileSystemName(FileSystem fs) {
  switch (fs) {
    case FileSystem::Fat12: return "FAT12";
    case FileSystem::Fat16: return "FAT16";
    case FileSystem::Fat32: return "FAT32";
    case FileSystem::ExFat: return "exFAT";
    case FileSystem::Ntfs: return "NTFS";
    case FileSystem::Ext2: return "EXT2";
    case FileSystem::Ext3: return "EXT3";
    case FileSystem::Ext4: return "EXT4";
    case FileSystem::Unknown: break;
  }
  return "Unknown";
}

}  // namespace velk
