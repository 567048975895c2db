#pragma once
// Reading partition tables: the MBR with its extended chain, and GPT behind a protective
// entry. Shared by the drive catalogue (which turns entries into records and adds gaps)
// and the device namespace (which letters FAT and NTFS volumes).

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "formats/bytes.h"

namespace velk {

inline constexpr size_t kMbrEntryOffset = 0x1BE;
inline constexpr size_t kMbrSignatureOffset = 0x1FE;

struct MbrEntry {
  uint8_t bootFlag = 0;
  uint8_t type = 0;
  uint32_t start = 0;
  uint32_t count = 0;
};

// The four entries of a table sector (MBR or EBR).
std::array<MbrEntry, 4> parseMbrEntries(ByteSpan sector);
bool hasBootSignature(ByteSpan sector);
// A volume boot sector at sector 0 means the disk holds one unpartitioned volume.
bool isVolumeBootSector(ByteSpan sector);
// Types that hold an extended chain: 0x0F as Windows writes it, 0x05 as DOS and fdisk
// write it, 0x85 as some Linux tools write it.
bool isExtendedType(uint8_t type);

struct TableEntry {
  uint8_t type = 0;
  uint8_t kind = 1;            // 1 primary (MBR or GPT), 2 logical
  uint32_t tableSector = 0;    // the sector holding the entry (primary: its own start)
  uint32_t extendedBase = 0;   // logical: start of the enclosing extended partition
  uint64_t start = 0;          // absolute sectors
  uint64_t count = 0;
};

struct TableScan {
  enum class Layout { Empty, Unpartitioned, Mbr, Gpt, NoSignature };
  Layout layout = Layout::Empty;
  bool ok = true;              // false when a read failed (entries found so far are kept)
  std::vector<TableEntry> entries;  // in walk order
  bool hasExtended = false;
  uint64_t extendedStart = 0;
  uint64_t extendedCount = 0;
  std::vector<uint32_t> chainSectors;  // EBRs visited, in order
};

// Reads 512-byte sector `sector` of the disk into buf; false on failure or past the end.
using SectorRead = std::function<bool(uint64_t sector, uint8_t* buf)>;

// Walks the table of a disk of diskSectors sectors. Chains are bounded by the sectors
// they visit and by the disk's end.
TableScan scanPartitionTable(const SectorRead& read, uint64_t diskSectors);

// The MBR type closest to a GPT partition type (0 when none is close), given the first
// sector of the partition for "basic data" partitions.
uint8_t mbrTypeForGpt(const std::array<uint8_t, 16>& typeGuid, ByteSpan firstSector);

}  // namespace velk
