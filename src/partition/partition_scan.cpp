#include "partition/partition_scan.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "disk/partition_table.h"
#include "disk/sector_reader.h"
#include "partition/extended_finder.h"
#include "partition/volume_probe.h"
#include "workspace/progress.h"

namespace velk {
namespace {

constexpr std::string_view kGapName = "Deleted";
constexpr uint64_t kMiBSectors = 2048;
constexpr uint64_t kTrackSectors = 63;
constexpr uint64_t kFat32BackupDistance = 6;
// Sectors read around a probe point p: p − 1 (where an NTFS volume ending at p keeps its
// backup boot sector) through p + 6 (the FAT32 backup boot sector).
constexpr uint64_t kWindowBefore = 1;
constexpr uint64_t kWindowSectors = 8;
constexpr uint64_t kProgressEvery = 1024;

bool isGap(const PartitionRecord& r) { return r.fsNameText() == kGapName; }

uint64_t diskSectorsOf(const SectorReader& reader) { return reader.QueryDiskSize() / kSectorSize; }

// Reads the gap's first sector and names what it holds; a gap that lies past the disk's
// end or cannot be read keeps its "Deleted" name.
void probeGapStart(SectorReader& reader, uint64_t diskSectors, PartitionRecord& c) {
  if (c.startSector >= diskSectors) return;
  Sector first{};
  if (!reader.ReadAt(c.startSector * kSectorSize, first.size(), first.data())) return;
  c.firstSector = first;
  const VolumeKind kind = classifyGapSector(first);
  if (kind == VolumeKind::None) return;
  c.setFsName(volumeKindName(kind));
  c.type = volumeKindType(kind, c.kind == kKindLogical);
  // A gap can run on past the volume (into the extended partition's first sectors, for
  // one): the volume's own size bounds the candidate.
  const uint64_t declared = declaredSectors(first, kind);
  if (declared != 0 && declared < c.length / kSectorSize) c.length = c.freeBytes = declared * kSectorSize;
}

struct DeepFinder {
  SectorReader& reader;
  uint64_t diskSectors;
  const PartitionRecord& gap;
  uint64_t lo;  // first sector a volume of this gap may start at
  std::set<uint64_t>& seen;
  std::vector<PartitionRecord>& finds;
  std::vector<FoundEbr>* ebrs;  // set where an EBR may outlive its table (the MBR's gaps)

  bool readSector(uint64_t sector, Sector& out) {
    return sector < diskSectors && reader.ReadAt(sector * kSectorSize, out.size(), out.data());
  }

  void add(uint64_t start, const ProbedVolume& v, const Sector& first) {
    if (start < lo || !seen.insert(start).second) return;
    const bool logical = gap.kind == kKindLogical;
    PartitionRecord c;
    c.diskNumber = gap.diskNumber;
    c.letter = '*';
    c.kind = gap.kind;
    c.extendedBase = gap.extendedBase;
    c.tableSector = logical ? gap.tableSector : start;
    c.setFsName(volumeKindName(v.kind));
    c.setLabel(v.label.empty() && v.kind != VolumeKind::Ext2 && v.kind != VolumeKind::Ext3 ? "Unknown" : v.label);
    c.startSector = start;
    c.sectorsPerCluster = v.sectorsPerCluster;
    c.bytesPerSector = v.bytesPerSector;
    c.length = v.sectors * kSectorSize;
    c.freeBytes = (v.kind == VolumeKind::Ext2 || v.kind == VolumeKind::Ext3) ? v.freeBytes : c.length;
    c.firstSector = first;
    c.type = volumeKindType(v.kind, logical);
    finds.push_back(c);
  }

  // Distance from an NTFS volume's first sector to its backup boot sector (its last).
  static uint64_t ntfsBackupDistance(const ProbedVolume& v) {
    return v.sectors - std::max<uint32_t>(1, v.bytesPerSector / kSectorSize);
  }

  // A boot sector at p may be the backup copy of a volume that starts earlier; then the
  // primary (when still there) is byte-identical.
  bool isCopyAt(uint64_t sector, const Sector& bytes) {
    Sector other{};
    return sector >= lo && readSector(sector, other) && other == bytes;
  }

  void probe(uint64_t p) {
    const uint64_t from = p >= kWindowBefore ? p - kWindowBefore : p;
    const uint64_t to = std::min(diskSectors, p + kWindowSectors - kWindowBefore);
    if (from >= to || p >= diskSectors) return;
    std::vector<uint8_t> window(size_t(to - from) * kSectorSize);
    if (!reader.ReadAt(from * kSectorSize, window.size(), window.data())) return;
    auto sectorAt = [&](uint64_t s, Sector& out) {
      if (s < from || s >= to) return false;
      std::memcpy(out.data(), window.data() + (s - from) * kSectorSize, kSectorSize);
      return true;
    };

    Sector at{};
    (void)sectorAt(p, at);
    if (ebrs) {
      if (auto ebr = parseExtendedBootRecord(at)) ebrs->push_back({p, *ebr});
    }
    bool found = false;
    if (auto boot = parseBootSector(at)) {
      found = true;
      uint64_t start = p;
      if (boot->kind == VolumeKind::Fat32 && boot->backupOffset == kFat32BackupDistance && p >= kFat32BackupDistance &&
          isCopyAt(p - kFat32BackupDistance, at))
        start = p - kFat32BackupDistance;
      if (boot->kind == VolumeKind::Ntfs) {
        const uint64_t d = ntfsBackupDistance(*boot);
        if (d != 0 && p >= d && isCopyAt(p - d, at)) start = p - d;
      }
      add(start, *boot, at);
    }
    if (!found && fits(window, size_t(p + 2 - from) * kSectorSize, 1024)) {
      ByteSpan sb = ByteSpan(window).subspan(size_t(p + 2 - from) * kSectorSize, 1024);
      if (auto ext = parseExtSuperblock(sb)) {
        found = true;
        add(p, *ext, at);
      }
    }
    // The primary boot sector is gone but its backup survives: the candidate carries the
    // backup, which the rewrite writes back as the volume's first sector.
    // A copy of the same sector one backup distance further on means the sector is a
    // primary itself, of a volume that starts off the boundary.
    Sector backup{};
    if (!found && sectorAt(p + kFat32BackupDistance, backup)) {
      auto boot = parseBootSector(backup);
      if (boot && boot->kind == VolumeKind::Fat32 && boot->backupOffset == kFat32BackupDistance) {
        const uint64_t own = p + kFat32BackupDistance;
        add(isCopyAt(own + kFat32BackupDistance, backup) ? own : p, *boot, backup);
      }
    }
    if (p >= 1 && p - 1 >= lo && sectorAt(p - 1, backup)) {
      auto boot = parseBootSector(backup);
      if (boot && boot->kind == VolumeKind::Ntfs) {
        const uint64_t d = ntfsBackupDistance(*boot);
        if (d != 0 && p - 1 > UINT64_MAX - d) return;
        if (d != 0 && isCopyAt(p - 1 + d, backup))
          add(p - 1, *boot, backup);
        else if (d != 0 && p - 1 >= d)
          add(p - 1 - d, *boot, backup);
      }
    }
  }
};

}  // namespace

uint64_t nextProbePoint(uint64_t sector) {
  auto up = [&](uint64_t step) {
    uint64_t r = sector % step;
    return r == 0 ? sector : (sector > UINT64_MAX - (step - r) ? UINT64_MAX : sector + (step - r));
  };
  return std::min(up(kMiBSectors), up(kTrackSectors));
}

uint64_t countProbePoints(uint64_t first, uint64_t end) {
  if (first >= end) return 0;
  // Multiples of m in [0, n): ceil(n / m).
  auto below = [](uint64_t n, uint64_t m) { return n == 0 ? 0 : (n - 1) / m + 1; };
  auto inRange = [&](uint64_t m) { return below(end, m) - below(first, m); };
  return inRange(kMiBSectors) + inRange(kTrackSectors) - inRange(kMiBSectors * kTrackSectors);
}

bool AutoScan(const DriveCatalog& catalog, int diskNumber, std::vector<PartitionRecord>& candidates) {
  candidates.clear();
  SectorReader reader;
  if (!reader.OpenPhysicalDrive(diskNumber, Access::Read)) return false;
  const uint64_t diskSectors = diskSectorsOf(reader);
  for (const auto& r : catalog.partitions()) {
    if (r.diskNumber != diskNumber) continue;
    PartitionRecord c = r;
    if (isGap(c)) probeGapStart(reader, diskSectors, c);
    candidates.push_back(c);
  }
  return true;
}

namespace {

// What a master-boot-record disk without an extended partition allows: EBR chains and new
// extended partitions. The free entries of its MBR, or nullopt for any other disk.
std::optional<size_t> freeMbrEntries(const TableScan& table, const SectorRead& read) {
  const bool mbr = table.layout == TableScan::Layout::Mbr || table.layout == TableScan::Layout::NoSignature;
  if (!mbr || table.gpt || table.hasExtended) return std::nullopt;
  Sector sector{};
  if (!read(0, sector.data())) return std::nullopt;
  const TableSector t = TableSector::of(sector);
  if (!t.signature) return t.entries.size();
  return size_t(std::count_if(t.entries.begin(), t.entries.end(), [](const MbrEntry& e) { return e.isFree(); }));
}

// Folds the MBR gaps' finds into extended candidates where EBRs or their number call for one,
// and puts every candidate in disk order with its logical partitions beside it.
void gatherExtended(std::vector<PartitionRecord>& candidates, LogicalSets& logicals, std::vector<FoundEbr> ebrs,
                    const TableScan& table, size_t freeEntries, const SectorRead& read, uint64_t diskSectors,
                    int disk) {
  std::vector<UsedRange> used;
  for (const auto& e : table.entries) used.push_back({e.start, e.count});
  auto extended = chainsFromEbrs(std::move(ebrs), read, diskSectors, disk, used, candidates);
  if (extended.empty()) {
    if (auto proposal = proposeExtended(candidates, freeEntries, read, used)) extended.push_back(std::move(*proposal));
  }
  logicals.assign(candidates.size(), {});
  for (auto& x : extended) {
    candidates.push_back(x.extended);
    logicals.push_back(std::move(x.logicals));
  }
  std::vector<size_t> order(candidates.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return candidates[a].startSector < candidates[b].startSector; });
  std::vector<PartitionRecord> sortedCandidates;
  LogicalSets sortedLogicals;
  for (size_t i : order) {
    sortedCandidates.push_back(candidates[i]);
    sortedLogicals.push_back(std::move(logicals[i]));
  }
  candidates = std::move(sortedCandidates);
  logicals = std::move(sortedLogicals);
}

}  // namespace

bool DeepScan(const DriveCatalog& catalog, int diskNumber, std::vector<PartitionRecord>& candidates,
              LogicalSets& logicals, const StopFlag* stop, const DeepScanProgress& progress) {
  candidates.clear();
  logicals.clear();
  SectorReader reader;
  if (!reader.OpenPhysicalDrive(diskNumber, Access::Read)) return false;
  const uint64_t diskSectors = diskSectorsOf(reader);
  const SectorRead read = [&](uint64_t sector, uint8_t* buf) {
    return sector < diskSectors && reader.ReadAt(sector * kSectorSize, kSectorSize, buf).has_value();
  };
  const TableScan table = scanPartitionTable(read, diskSectors);
  const std::optional<size_t> freeEntries = freeMbrEntries(table, read);

  struct Range {
    const PartitionRecord* gap;
    uint64_t lo, hi;
  };
  std::vector<Range> ranges;
  uint64_t total = 0;
  for (const auto& r : catalog.partitions()) {
    if (r.diskNumber != diskNumber || !isGap(r)) continue;
    // Inside the extended partition a volume needs its EBR before it; in the master boot
    // record's gaps sector 0 is the table itself.
    uint64_t lo = r.kind == kKindLogical ? r.tableSector + 1 : std::max<uint64_t>(r.startSector, 1);
    uint64_t hi = std::min(r.endSector(), diskSectors);
    if (lo >= hi) continue;
    ranges.push_back({&r, lo, hi});
    total += countProbePoints(lo, hi) + 1;
  }

  std::set<uint64_t> seen;
  std::vector<FoundEbr> ebrs;
  uint64_t done = 0;
  for (const auto& range : ranges) {
    std::vector<PartitionRecord> finds;
    const bool mbrGap = freeEntries && range.gap->kind == kKindPrimary;
    DeepFinder finder{reader, diskSectors, *range.gap, range.lo, seen, finds, mbrGap ? &ebrs : nullptr};
    // The gap's own first sector (EBR + 63 inside the extended partition) is where older
    // tools put a volume, boundary or not.
    if (range.gap->startSector >= range.lo && range.gap->startSector < range.hi) finder.probe(range.gap->startSector);
    ++done;
    for (uint64_t p = nextProbePoint(range.lo); p < range.hi; p = nextProbePoint(p + 1)) {
      if (stop && !stop->isSet()) break;
      finder.probe(p);
      if (++done % kProgressEvery == 0 && progress) progress(done, total);
    }
    std::stable_sort(finds.begin(), finds.end(),
                     [](const PartitionRecord& a, const PartitionRecord& b) { return a.startSector < b.startSector; });
    candidates.insert(candidates.end(), finds.begin(), finds.end());
    if (stop && !stop->isSet()) break;
  }
  if (freeEntries)
    gatherExtended(candidates, logicals, std::move(ebrs), table, *freeEntries, read, diskSectors, diskNumber);
  else
    logicals.assign(candidates.size(), {});
  if (progress) progress(std::min(done, total), total);
  return true;
}

}  // namespace velk
