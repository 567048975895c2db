#include "partition/partition_rewrite.h"

#include <algorithm>

#include <fmt/format.h>

#include "disk/device.h"
#include "partition/backup_store.h"
#include "partition/rewrite_plan.h"
#include "partition/undo_file.h"

namespace velk {
namespace {

constexpr std::string_view kGapName = "Deleted";
constexpr uint64_t kLogicalOffset = 63;  // a logical partition 63 sectors after its EBR

bool isExtName(const std::string& fs) { return fs == "EXT2" || fs == "EXT3"; }

bool acceptedName(const std::string& fs, CandidateSource source, bool hasLogicals) {
  if (fs == "FAT32" || fs == "FAT16" || fs == "NTFS" || fs == "FAT") return true;
  if (source != CandidateSource::DeepScan) return false;
  return isExtName(fs) || (fs == kExtendedName && hasLogicals);
}

RewriteResult refused(RewriteCode code, std::string detail) {
  RewriteResult r;
  r.code = code;
  r.detail = std::move(detail);
  return r;
}
RewriteResult refused(const Refusal& r) { return refused(r.code, r.detail); }

// Saves the undo file, then writes the plan and reads each sector back. Sectors that
// already hold what the plan puts there are not written.
RewriteResult execute(DriveCatalog& catalog, const DiskRecord& disk, SectorReader& reader, Plan plan,
                      const RewriteOptions& options) {
  std::erase_if(plan.writes, [](const PlannedWrite& w) { return w.sector.before == w.sector.after; });
  RewriteResult result;
  if (plan.writes.empty()) {
    result.detail = "the disk holds that table already; nothing was written";
    return result;
  }
  UndoRecord undo{disk, reader.deviceSize(), {}};
  for (const auto& w : plan.writes) undo.sectors.push_back(w.sector);
  const auto folder = options.undoFolder.empty() ? backupFolder() : options.undoFolder;
  if (folder.empty()) return refused(RewriteCode::DeviceFailure, "there is no folder for the undo file");
  auto undoPath = saveUndoFile(folder, undo);
  if (!undoPath) return refused(RewriteCode::DeviceFailure, "cannot save the undo file: " + describe(undoPath.error()));
  result.undoFile = *undoPath;

  for (const auto& w : plan.writes) {
    const UndoSector& s = w.sector;
    if (!reader.WriteAt(s.sector * kSectorSize, s.after.data(), s.after.size())) {
      result.code = RewriteCode::DeviceFailure;
      result.detail = fmt::format("cannot write sector {} ({})", s.sector, w.what);
      break;
    }
    ++result.sectorsWritten;
    result.written.push_back(fmt::format("sector {} ({})", s.sector, w.what));
    Sector back{};
    if (!reader.ReadAt(s.sector * kSectorSize, back.size(), back.data()) || back != s.after) {
      result.code = RewriteCode::DeviceFailure;
      result.detail = fmt::format("sector {} does not read back as written", s.sector);
      break;
    }
  }
  reader.Close();
  if (result.code == RewriteCode::Rewritten && plan.newLastChain) catalog.SetLastChainSector(disk.number, *plan.newLastChain);
  if (result.sectorsWritten > 0) RefreshAfterRewrite(catalog);
  return result;
}

// Checks what a candidate says of itself before anything is read.
std::optional<Refusal> checkCandidate(const PartitionRecord& w, CandidateSource source, bool hasLogicals) {
  const std::string fs = w.fsNameText();
  if (!acceptedName(fs, source, hasLogicals))
    return Refusal{RewriteCode::InvalidPartition, fmt::format("a \"{}\" candidate cannot be recovered", fs)};
  // An entry of type 0 is an unused entry; a FAT or NTFS candidate without its boot sector
  // would wipe the volume's first sector.
  if (w.type == 0) return Refusal{RewriteCode::InvalidPartition, "the candidate has no partition type"};
  const bool needsBootSector = !isExtName(fs) && fs != kExtendedName;
  if (needsBootSector && std::all_of(w.firstSector.begin(), w.firstSector.end(), [](uint8_t b) { return b == 0; }))
    return Refusal{RewriteCode::InvalidPartition, "the candidate carries no boot sector"};
  const uint64_t count = w.length / kSectorSize;
  if (count == 0 || w.startSector > UINT64_MAX - count)
    return Refusal{RewriteCode::NoGap, "the candidate's length does not describe a partition"};
  return std::nullopt;
}

}  // namespace

void RefreshAfterRewrite(DriveCatalog& catalog) {
  DeviceNamespace::instance().assignLetters();
  catalog.Refresh();
}

RewriteResult Rewrite(DriveCatalog& catalog, const DiskRecord* diskPtr, PartitionRecord* candidate,
                      CandidateSource source, const RewriteOptions& options, std::span<const PartitionRecord> logicals) {
  if (!diskPtr) return refused(RewriteCode::NoDisk, "no disk selected");
  if (!candidate) return refused(RewriteCode::NoCandidate, "no candidate selected");
  const DiskRecord disk = *diskPtr;  // the catalogue is refreshed below
  PartitionRecord& w = *candidate;
  const bool extended = w.fsNameText() == kExtendedName;
  if (auto r = checkCandidate(w, source, !logicals.empty())) return refused(*r);
  if (catalog.PartitionCount() == 0) return refused(RewriteCode::NoGap, "the catalogue is empty");
  const int d = disk.number;

  const std::vector<PartitionRecord> records = catalog.partitions();
  for (const auto& y : records) {
    if (y.diskNumber != d || y.fsNameText() != kGapName || y.extendedBase != w.extendedBase ||
        y.tableSector > w.tableSector || w.endSector() > y.endSector())
      continue;
    // A primary lies in its gap; a logical after the gap's table sector (its EBR's place).
    if (y.kind == kKindPrimary && w.startSector < y.startSector) continue;
    if (y.kind != kKindPrimary && !(y.kind == kKindLogical && y.extendedBase <= w.tableSector)) continue;

    SectorReader reader;
    if (!reader.OpenPhysicalDrive(d, Access::Write))
      return refused(RewriteCode::DeviceFailure, "cannot open the disk for writing");
    RewriteContext ctx{reader, reader.QueryDiskSize() / kSectorSize, {}};
    ctx.rescan();
    if (ctx.table.layout == TableScan::Layout::Empty) return refused(cannotRead(0));
    if (w.endSector() > ctx.diskSectors) return refused(RewriteCode::NoGap, "the partition runs past the disk's end");

    Planned planned;
    if (extended) {
      planned = planExtended(ctx, w, logicals);
    } else if (ctx.table.gpt) {
      planned = planGptEntry(ctx, w);
    } else if (y.kind == kKindPrimary) {
      planned = planPrimary(ctx, w);
    } else {
      const uint64_t c = catalog.LastChainSector(d);
      if (c == DriveCatalog::kNoChain || c < y.extendedBase)
        return refused(RewriteCode::DeviceFailure, "the disk has no extended chain to extend");
      if (w.kind == kKindPrimary) {
        // A primary partition saved in a backup, put into the extended partition: its EBR
        // goes 63 sectors before it.
        if (w.tableSector < y.tableSector + kLogicalOffset)
          return refused(RewriteCode::DeviceFailure, "no room for an extended boot record before the partition");
        w.tableSector = w.startSector - kLogicalOffset;
      }
      planned = planLogical(ctx, w, y, c);
    }
    if (auto* r = std::get_if<Refusal>(&planned)) return refused(*r);
    return execute(catalog, disk, reader, std::move(std::get<Plan>(planned)), options);
  }
  return refused(RewriteCode::NoGap, "no gap of the disk can hold the partition");
}

RewriteResult RestoreGpt(DriveCatalog& catalog, const DiskRecord* diskPtr, const RewriteOptions& options) {
  if (!diskPtr) return refused(RewriteCode::NoDisk, "no disk selected");
  const DiskRecord disk = *diskPtr;
  SectorReader reader;
  if (!reader.OpenPhysicalDrive(disk.number, Access::Write))
    return refused(RewriteCode::DeviceFailure, "cannot open the disk for writing");
  RewriteContext ctx{reader, reader.QueryDiskSize() / kSectorSize, {}};
  ctx.rescan();
  Planned planned = planGptRestore(ctx);
  if (auto* r = std::get_if<Refusal>(&planned)) return refused(*r);
  RewriteResult result = execute(catalog, disk, reader, std::move(std::get<Plan>(planned)), options);
  if (result.sectorsWritten == 0 && result.code == RewriteCode::Rewritten)
    result.detail = "both copies of the GPT are intact; nothing was written";
  return result;
}

}  // namespace velk
