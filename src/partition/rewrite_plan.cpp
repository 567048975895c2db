#include "partition/rewrite_plan.h"

#include <fmt/format.h>

#include "partition/volume_probe.h"

namespace velk {
namespace {

// The volume kind a candidate's name promises; None for names without a boot sector we
// can check (EXT keeps no boot sector of its own).
VolumeKind kindOfName(const std::string& fs) {
  if (fs == "FAT32") return VolumeKind::Fat32;
  if (fs == "FAT16" || fs == "FAT") return VolumeKind::Fat16;
  if (fs == "NTFS") return VolumeKind::Ntfs;
  return VolumeKind::None;
}

}  // namespace

void RewriteContext::rescan() {
  bool readFailed = false;
  auto read = [&](uint64_t s, uint8_t* buf) {
    if (s >= diskSectors) return false;
    const bool ok = reader.ReadAt(s * kSectorSize, kSectorSize, buf).has_value();
    readFailed |= !ok;
    return ok;
  };
  table = scanPartitionTable(read, diskSectors);
  if (readFailed) table.ok = false;
}

Refusal cannotRead(uint64_t sector) { return Refusal{RewriteCode::DeviceFailure, fmt::format("cannot read sector {}", sector)}; }

bool overlaps(uint64_t aStart, uint64_t aCount, uint64_t bStart, uint64_t bCount) {
  if (aCount == 0 || bCount == 0) return false;
  // Differences, not ends: start + count may not fit 64 bits on a crafted record.
  return aStart < bStart ? bStart - aStart < aCount : aStart - bStart < bCount;
}

std::vector<Extent> tableVolumes(const TableScan& table) {
  std::vector<Extent> out;
  for (const auto& e : table.entries)
    if (e.count != 0) out.push_back({e.start, e.count, fmt::format("the partition at sector {}", e.start)});
  return out;
}

std::optional<Refusal> addBootSector(RewriteContext& ctx, const PartitionRecord& w, Plan& plan) {
  Sector now{};
  if (!ctx.read(w.startSector, now)) return cannotRead(w.startSector);
  if (now == w.firstSector) return std::nullopt;
  const VolumeKind expected = kindOfName(w.fsNameText());
  // An EXT volume is found by its superblock, not by its first sector: nothing to put back.
  if (expected == VolumeKind::None) return std::nullopt;
  auto boot = parseBootSector(w.firstSector);
  if (!boot || boot->kind != expected)
    return Refusal{RewriteCode::InvalidPartition,
                   fmt::format("the saved first sector is not a {} boot sector, and the disk holds other bytes at "
                               "sector {}",
                               w.fsNameText(), w.startSector)};
  if (boot->sectors > w.length / kSectorSize)
    return Refusal{RewriteCode::InvalidPartition,
                   fmt::format("the saved boot sector describes {} sectors, more than the partition's {}", boot->sectors,
                               w.length / kSectorSize)};
  plan.writes.push_back({{w.startSector, now, w.firstSector}, "the volume's boot sector", true});
  return std::nullopt;
}

std::optional<Refusal> auditTableWrites(const Plan& plan, const std::vector<Extent>& volumes) {
  for (const auto& write : plan.writes) {
    if (write.bootSector) continue;
    for (const auto& v : volumes) {
      if (!v.contains(write.sector.sector)) continue;
      return Refusal{RewriteCode::NoGap,
                     fmt::format("{} at sector {} would land inside {} (sectors {}–{})", write.what, write.sector.sector,
                                 v.name, v.start, v.start + v.count - 1)};
    }
  }
  return std::nullopt;
}

}  // namespace velk
