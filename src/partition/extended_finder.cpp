#include "partition/extended_finder.h"

#include <algorithm>
#include <map>
#include <set>

#include "disk/sector_reader.h"
#include "partition/partition_rewrite.h"

namespace velk {
namespace {

constexpr size_t kMaxChain = 1024;
// Where tools put an EBR before its logical partition: a MiB before it, or a track.
constexpr uint64_t kEbrDistances[] = {2048, 63};

uint64_t sectorsOf(const PartitionRecord& r) { return r.length / kSectorSize; }

bool overlapsAny(uint64_t start, uint64_t count, const std::vector<UsedRange>& used) {
  return std::any_of(used.begin(), used.end(), [&](const UsedRange& u) {
    return u.count != 0 && count != 0 && (start < u.start ? u.start - start < count : start - u.start < u.count);
  });
}

PartitionRecord baseRecord(int disk) {
  PartitionRecord r;
  r.diskNumber = disk;
  r.letter = '*';
  r.sectorsPerCluster = 8;
  r.bytesPerSector = 512;
  r.setLabel("Unknown");
  return r;
}

// A logical partition: the volume found at its start when there is one, else its bare
// table facts with the sector that is there now.
PartitionRecord logicalRecord(int disk, uint64_t ebr, uint64_t start, uint64_t count, uint8_t type,
                              std::vector<PartitionRecord>& volumes, const SectorRead& read) {
  PartitionRecord r = baseRecord(disk);
  auto found = std::find_if(volumes.begin(), volumes.end(), [&](const PartitionRecord& v) { return v.startSector == start; });
  if (found != volumes.end()) {
    r = *found;
    volumes.erase(found);
  } else {
    r.setFsName("Unknown");
    r.freeBytes = count * kSectorSize;
    if (!read(start, r.firstSector.data())) r.firstSector.fill(0);
  }
  // The EBR's own words decide where the partition ends and what type it has.
  r.kind = kKindLogical;
  r.tableSector = ebr;
  r.startSector = start;
  r.length = count * kSectorSize;
  r.type = type;
  return r;
}

ExtendedCandidate candidateOf(int disk, std::vector<PartitionRecord> logicals, const SectorRead& read) {
  ExtendedCandidate c;
  const uint64_t base = logicals.front().tableSector;
  uint64_t end = base;
  for (auto& l : logicals) {
    l.extendedBase = base;
    end = std::max(end, l.endSector());
  }
  PartitionRecord& x = c.extended;
  x = baseRecord(disk);
  x.kind = kKindPrimary;
  x.tableSector = x.startSector = base;
  x.length = x.freeBytes = (end - base) * kSectorSize;
  x.type = kTypeExtendedLba;
  x.setFsName(kExtendedName);
  if (!read(base, x.firstSector.data())) x.firstSector.fill(0);
  c.logicals = std::move(logicals);
  return c;
}

}  // namespace

std::vector<ExtendedCandidate> chainsFromEbrs(std::vector<FoundEbr> ebrs, const SectorRead& read, uint64_t diskSectors,
                                              int disk, const std::vector<UsedRange>& used,
                                              std::vector<PartitionRecord>& volumes) {
  std::sort(ebrs.begin(), ebrs.end(), [](const FoundEbr& a, const FoundEbr& b) { return a.sector < b.sector; });
  std::map<uint64_t, TableSector> found;
  for (const auto& e : ebrs) found.emplace(e.sector, e.table);
  std::set<uint64_t> taken;
  std::vector<ExtendedCandidate> out;
  for (const auto& head : ebrs) {
    if (taken.count(head.sector)) continue;
    // Link by link from the head; each link counts from the head, the extended start.
    struct Link {
      uint64_t ebr, start, count;
      uint8_t type;
    };
    std::vector<Link> chain;
    std::set<uint64_t> visited;
    uint64_t current = head.sector;
    TableSector table = head.table;
    while (chain.size() < kMaxChain && visited.insert(current).second) {
      const MbrEntry& part = table.entries[0];
      const uint64_t start = current + part.start;
      if (start >= diskSectors || part.count > diskSectors - start) break;
      if (!chain.empty() && current < chain.back().start + chain.back().count) break;  // chains do not overlap
      chain.push_back({current, start, part.count, part.type});
      const MbrEntry& link = table.entries[1];
      if (link.isFree()) break;
      const uint64_t next = head.sector + link.start;
      if (next >= diskSectors) break;
      if (auto it = found.find(next); it != found.end()) {
        table = it->second;
      } else {
        Sector s{};
        auto ebr = read(next, s.data()) ? parseExtendedBootRecord(s) : std::nullopt;
        if (!ebr) break;
        table = *ebr;
      }
      current = next;
    }
    for (const auto& l : chain) taken.insert(l.ebr);
    if (chain.empty()) continue;
    const uint64_t end = chain.back().start + chain.back().count;
    if (overlapsAny(head.sector, end - head.sector, used)) continue;
    std::vector<PartitionRecord> logicals;
    for (const auto& l : chain) logicals.push_back(logicalRecord(disk, l.ebr, l.start, l.count, l.type, volumes, read));
    out.push_back(candidateOf(disk, std::move(logicals), read));
  }
  return out;
}

std::optional<ExtendedCandidate> proposeExtended(std::vector<PartitionRecord>& volumes, size_t freeEntries,
                                                 const SectorRead& read, const std::vector<UsedRange>& used) {
  if (freeEntries == 0 || volumes.size() <= freeEntries) return std::nullopt;
  std::vector<PartitionRecord> sorted = volumes;
  std::sort(sorted.begin(), sorted.end(),
            [](const PartitionRecord& a, const PartitionRecord& b) { return a.startSector < b.startSector; });
  const size_t kept = freeEntries - 1;
  // What the new EBRs must keep clear of: the table's partitions, the primaries that stay,
  // and each logical partition before the next.
  std::vector<UsedRange> occupied = used;
  for (size_t i = 0; i < kept; ++i) occupied.push_back({sorted[i].startSector, sectorsOf(sorted[i])});
  std::vector<PartitionRecord> logicals;
  for (size_t i = kept; i < sorted.size(); ++i) {
    const PartitionRecord& v = sorted[i];
    if (overlapsAny(v.startSector, sectorsOf(v), occupied)) return std::nullopt;
    uint64_t lowest = 1;  // sector 0 is the master boot record
    for (const auto& u : occupied)
      if (u.start + u.count <= v.startSector) lowest = std::max(lowest, u.start + u.count);
    std::optional<uint64_t> ebr;
    for (uint64_t distance : kEbrDistances)
      if (!ebr && v.startSector >= distance && v.startSector - distance >= lowest) ebr = v.startSector - distance;
    if (!ebr && lowest < v.startSector) ebr = lowest;
    if (!ebr) return std::nullopt;
    PartitionRecord l = v;
    l.kind = kKindLogical;
    l.tableSector = *ebr;
    // FAT32 inside the extended partition takes its LBA type.
    if (l.type == 0x0C) l.type = 0x0B;
    logicals.push_back(l);
    occupied.push_back({v.startSector, sectorsOf(v)});
  }
  const uint64_t base = logicals.front().tableSector, end = logicals.back().endSector();
  if (overlapsAny(base, end - base, used)) return std::nullopt;
  for (size_t i = 0; i < kept; ++i)
    if (overlapsAny(base, end - base, {{sorted[i].startSector, sectorsOf(sorted[i])}})) return std::nullopt;
  std::erase_if(volumes, [&](const PartitionRecord& v) {
    return std::any_of(logicals.begin(), logicals.end(), [&](const PartitionRecord& l) { return l.startSector == v.startSector; });
  });
  const int disk = logicals.front().diskNumber;  // before the move: arguments have no order
  return candidateOf(disk, std::move(logicals), read);
}

}  // namespace velk
