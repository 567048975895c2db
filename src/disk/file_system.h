#pragma once
// Which file system a catalogue record holds. The catalogue names a volume it has read
// ("FAT32", "NTFS", "EXT3" …); a partition it only knows from its table entry ("#NTFS#"),
// or a stretch it cannot name ("Unknown", "Deleted"), is told by its first sector.

#include <string_view>

#include "disk/records.h"
#include "formats/bytes.h"

namespace velk {

enum class FileSystem : uint8_t { Unknown, Fat12, Fat16, Fat32, ExFat, Ntfs, Ext2, Ext3, Ext4 };

// The file system of a name the catalogue gives a volume it has read; Unknown for any
// other name (table guesses such as "#FAT32#" included).
FileSystem namedFileSystem(std::string_view fsName);
// The record's file system: its name when the catalogue read the volume, else what its
// boot sector shows (FAT16/FAT32 boot sectors, the NTFS signature), else what its
// partition-table type promises.
FileSystem fileSystemOf(const PartitionRecord& record);
// From a volume's first sector alone.
FileSystem detectFileSystem(ByteSpan bootSector);

std::string_view fileSystemName(FileSystem fs);

// Whether a sector is the boot sector of a FAT (any width), exFAT or NTFS volume: the NTFS
// or exFAT signature, or a sane BIOS parameter block that names itself FAT. Volumes with one
// get drive letters, and a disk that starts with one holds a single unpartitioned volume.
bool isLetteredVolumeBootSector(ByteSpan sector);

}  // namespace velk
