#pragma once
// The partition backup file (.pbf): magic 0x89ABCDEF, the disk's 288-byte DiskRecord, then
// 600-byte PartitionRecords to the end of the file. There is no count and no checksum; the
// number of records follows from the length, and a trailing piece shorter than a record is
// ignored.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "formats/bytes.h"
#include "disk/records.h"

namespace velk {

inline constexpr uint32_t kBackupMagic = 0x89ABCDEF;
inline constexpr size_t kBackupMagicSize = 4;
inline constexpr size_t kBackupHeaderSize = kBackupMagicSize + kDiskRecordSize;  // 292
// A backup holds one disk's records; far more than any table can describe means the file
// is not one of ours, and is refused rather than read into memory.
inline constexpr size_t kBackupMaxRecords = 65536;

struct BackupFile {
  DiskRecord disk;
  std::vector<PartitionRecord> records;
};

// The bytes of a backup: magic, the disk record, then the records whose disk number is the
// disk's, in the order given.
std::vector<uint8_t> encodeBackup(const DiskRecord& disk, const std::vector<PartitionRecord>& records);
// Decodes a whole backup; nullopt for another magic, a short header or too many records.
std::optional<BackupFile> decodeBackup(ByteSpan bytes);
// A backup belongs to a disk when the names are equal byte for byte and the sizes match.
bool backupMatchesDisk(const DiskRecord& inFile, const DiskRecord& selected);

// Writes the backup of `disk` (the records of `catalogRecords` on that disk). False when
// the file cannot be written whole (nothing is left under its name then) or lies on a
// drive being examined.
[[nodiscard]] bool writeBackupFile(const std::filesystem::path& path, const DiskRecord& disk,
                                   const std::vector<PartitionRecord>& catalogRecords);
// Reads a backup and checks it against the selected disk; nullopt when the file cannot be
// read, is not a backup, or belongs to another disk.
std::optional<std::vector<PartitionRecord>> loadBackupFile(const std::filesystem::path& path,
                                                           const DiskRecord& selected);

}  // namespace velk
