#pragma once
// Reading partition tables: the MBR with its extended chain, and GPT behind a protective
// entry. Shared by the drive catalogue (which turns entries into records and adds gaps),
// the device namespace (which letters FAT and NTFS volumes) and the table rewrite (which
// reads the table again right before it writes).

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "formats/bytes.h"
#include "formats/gpt.h"
#include "formats/mbr.h"

namespace velk {

// A volume boot sector at sector 0 means the disk holds one unpartitioned volume.
bool isVolumeBootSector(ByteSpan sector);

struct TableEntry {
  uint8_t type = 0;
  uint8_t kind = 1;            // 1 primary (MBR or GPT), 2 logical
  uint64_t tableSector = 0;    // the sector holding the entry (primary: its own start)
  uint64_t extendedBase = 0;   // logical: start of the enclosing extended partition
  uint64_t start = 0;          // absolute sectors
  uint64_t count = 0;
};

// Something the walk found damaged or could not read, as a sentence for the user.
struct TableNote {
  uint64_t sector = 0;
  std::string text;
};

// One copy of a GPT: its header and entry array, both checked.
struct GptCopy {
  uint64_t headerLba = 0;
  std::optional<GptHeader> header;   // set when the header and its array are sound
  std::vector<uint8_t> array;        // arraySectors() × 512 bytes as read
  std::string damage;                // why the copy is not used, when it is not
};

struct GptFacts {
  GptCopy primary;
  GptCopy backup;
  // The copy the entries came from.
  const GptCopy& used() const { return primary.header ? primary : backup; }
};

struct TableScan {
  enum class Layout { Empty, Unpartitioned, Mbr, Gpt, NoSignature };
  Layout layout = Layout::Empty;
  bool ok = true;              // false when a read failed (entries found so far are kept)
  std::vector<TableEntry> entries;  // in walk order
  bool hasExtended = false;
  uint64_t extendedStart = 0;
  uint64_t extendedCount = 0;
  std::vector<uint64_t> chainSectors;  // EBRs visited, in order
  std::optional<GptFacts> gpt;         // for Layout::Gpt, and an MBR whose GPT copies are both damaged
  std::vector<TableNote> notes;
};

// Reads 512-byte sector `sector` of the disk into buf; false on failure or past the end.
using SectorRead = std::function<bool(uint64_t sector, uint8_t* buf)>;

// Walks the table of a disk of diskSectors sectors. Chains are bounded by the sectors
// they visit and by the disk's end.
TableScan scanPartitionTable(const SectorRead& read, uint64_t diskSectors);

// Reads the GPT copy whose header lies at headerLba: the header, then its entry array,
// checked against the header's CRC.
GptCopy readGptCopy(const SectorRead& read, uint64_t headerLba, uint64_t diskSectors);

// The MBR type closest to a GPT partition type (0xEE when none is close), given the first
// sector of the partition for "basic data" partitions.
uint8_t mbrTypeForGpt(const Guid& typeGuid, ByteSpan firstSector);

}  // namespace velk
