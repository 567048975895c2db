#pragma once
// What a partition-table rewrite will write, worked out and checked before the disk is
// touched. A plan holds table sectors only (the master boot record, extended boot records
// in the extended partition's free space, GPT headers and entry arrays), plus the volume's
// own first sector when the candidate carries a boot sector that the disk no longer holds.
// A table sector that would land inside a volume refuses the whole plan.

#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "disk/partition_table.h"
#include "disk/records.h"
#include "disk/sector_reader.h"
#include "partition/partition_texts.h"
#include "partition/undo_file.h"

namespace velk {

struct PlannedWrite {
  UndoSector sector;        // where, what is there now, what goes there
  std::string what;         // "the master boot record", "the extended boot record", …
  bool bootSector = false;  // the volume's own first sector, not a table sector
};

struct Refusal {
  RewriteCode code;
  std::string detail;
};

struct Plan {
  std::vector<PlannedWrite> writes;  // in the order they are written
  std::optional<uint64_t> newLastChain;
};

using Planned = std::variant<Plan, Refusal>;

// Sectors a volume occupies, for the check that no table write lands inside one.
struct Extent {
  uint64_t start = 0;
  uint64_t count = 0;
  std::string name;
  bool contains(uint64_t sector) const { return sector >= start && sector - start < count; }
};

// The disk as a planner sees it: open for writing, its table read right now.
struct RewriteContext {
  SectorReader& reader;
  uint64_t diskSectors = 0;
  TableScan table;

  bool read(uint64_t sector, Sector& out) {
    return sector < diskSectors && reader.ReadAt(sector * kSectorSize, out.size(), out.data()).has_value();
  }
  // Reads the table again through the reader.
  void rescan();
};

Refusal cannotRead(uint64_t sector);
bool overlaps(uint64_t aStart, uint64_t aCount, uint64_t bStart, uint64_t bCount);
// The volumes of the table as read now: MBR primaries, logical partitions, GPT entries.
std::vector<Extent> tableVolumes(const TableScan& table);

// Adds the candidate's first sector when the disk holds other bytes there: only a sound
// FAT or NTFS boot sector of the candidate's own file system that fits the candidate goes
// back (the saved copy of a backup file, or the backup boot sector the deep scan found).
std::optional<Refusal> addBootSector(RewriteContext& ctx, const PartitionRecord& w, Plan& plan);
// Refuses (code 5) a plan whose table sector lies inside one of the volumes.
std::optional<Refusal> auditTableWrites(const Plan& plan, const std::vector<Extent>& volumes);

// The planners. `count` is the candidate's length in sectors.
Planned planPrimary(RewriteContext& ctx, const PartitionRecord& w);
Planned planLogical(RewriteContext& ctx, const PartitionRecord& w, const PartitionRecord& gap, uint64_t lastChain);
// A whole extended partition: its entry in the master boot record and a chain of EBRs, one
// for each logical partition (EBR at its table sector).
Planned planExtended(RewriteContext& ctx, const PartitionRecord& w, std::span<const PartitionRecord> logicals);
// A GPT disk: an entry in a free slot of both arrays, both headers updated.
Planned planGptEntry(RewriteContext& ctx, const PartitionRecord& w);
// A GPT copy that is damaged, rebuilt from the intact one (an empty plan when both are).
Planned planGptRestore(RewriteContext& ctx);

}  // namespace velk
