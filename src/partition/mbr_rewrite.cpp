// Rewrites of a master-boot-record disk: an entry in the MBR, a logical partition linked
// into the extended chain, or a whole extended partition with a chain of its own.

#include <algorithm>
#include <vector>

#include <fmt/format.h>

#include "partition/rewrite_plan.h"

namespace velk {
namespace {

constexpr uint64_t kEntryLimit = UINT32_MAX;  // table entries hold 32-bit sectors

Refusal noGap(std::string detail) { return Refusal{RewriteCode::NoGap, std::move(detail)}; }

// The master boot record with one more entry, or why it cannot take one. A sector without
// the signature is no table (discovery would not read it): it gets an empty signed one.
std::variant<PlannedWrite, Refusal> mbrWithEntry(RewriteContext& ctx, const MbrEntry& add) {
  if (ctx.table.layout == TableScan::Layout::Unpartitioned)
    return noGap("the disk holds one volume from its first sector on, without a table");
  Sector mbr{};
  if (!ctx.read(0, mbr)) return cannotRead(0);
  Sector table = mbr;
  if (!TableSector::of(mbr).signature) {
    clearTableEntries(table);
    setTableSignature(table);
  }
  const auto entries = TableSector::of(table).entries;
  for (size_t i = 0; i < entries.size(); ++i) {
    const auto& e = entries[i];
    if (e.type != 0 && overlaps(e.start, e.count, add.start, add.count))
      return noGap(fmt::format("the partition overlaps entry {} of the master boot record (sectors {}–{})", i + 1,
                               e.start, uint64_t(e.start) + e.count - 1));
  }
  auto slot = std::find_if(entries.begin(), entries.end(), [](const MbrEntry& e) { return e.isFree(); });
  if (slot == entries.end()) return noGap("the master boot record has no free entry");
  encodeMbrEntry(table, size_t(slot - entries.begin()), add);
  return PlannedWrite{{0, mbr, table}, "the master boot record"};
}

std::vector<Extent> volumesWith(const RewriteContext& ctx, const PartitionRecord& w) {
  auto volumes = tableVolumes(ctx.table);
  volumes.push_back({w.startSector, w.length / kSectorSize, "the partition being recovered"});
  return volumes;
}

Planned finish(Plan plan, const std::vector<Extent>& volumes) {
  if (auto r = auditTableWrites(plan, volumes)) return *r;
  return plan;
}

}  // namespace

Planned planPrimary(RewriteContext& ctx, const PartitionRecord& w) {
  const uint64_t count = w.length / kSectorSize;
  if (w.startSector == 0) return noGap("the partition would start on the master boot record");
  if (w.startSector > kEntryLimit || count > kEntryLimit)
    return noGap(fmt::format("an entry of the master boot record cannot hold a partition at sector {} of {} sectors",
                             w.startSector, count));
  auto mbr = mbrWithEntry(ctx, {0, w.type, uint32_t(w.startSector), uint32_t(count)});
  if (auto* r = std::get_if<Refusal>(&mbr)) return *r;
  Plan plan;
  if (auto r = addBootSector(ctx, w, plan)) return *r;
  plan.writes.push_back(std::get<PlannedWrite>(mbr));
  return finish(std::move(plan), volumesWith(ctx, w));
}

Planned planLogical(RewriteContext& ctx, const PartitionRecord& w, const PartitionRecord& gap, uint64_t lastChain) {
  const uint64_t e = w.tableSector, base = gap.extendedBase, count = w.length / kSectorSize;
  if (w.startSector <= e) return noGap("the partition does not start after its extended boot record");

  // The chain as it is on disk now; the catalogue's last EBR must still be its end.
  const TableScan& scan = ctx.table;
  if (!scan.ok) return cannotRead(scan.chainSectors.empty() ? 0 : scan.chainSectors.back());
  if (!scan.hasExtended || scan.extendedStart != base || scan.chainSectors.empty())
    return Refusal{RewriteCode::DeviceFailure, "the extended partition is not in the table any more"};
  if (scan.chainSectors.back() != lastChain)
    return Refusal{RewriteCode::DeviceFailure, "the extended chain changed since the disk was read"};
  const uint64_t extEnd = scan.extendedStart + scan.extendedCount;
  if (e < base || e >= extEnd || w.startSector >= extEnd || count > extEnd - w.startSector)
    return noGap("the partition does not lie inside the extended partition");
  if (count == 0 || count > kEntryLimit || w.startSector - e > kEntryLimit || e - base > kEntryLimit)
    return noGap("the partition does not fit an entry of an extended boot record");
  for (const auto& t : scan.entries)
    if (t.kind == kKindLogical && overlaps(t.start, t.count, w.startSector, count))
      return noGap(fmt::format("the partition overlaps the logical partition at sector {}", t.start));
  for (uint64_t s : scan.chainSectors)
    if (overlaps(s, 1, w.startSector, count))
      return noGap(fmt::format("the partition covers the extended boot record at sector {}", s));

  const auto relative = uint32_t(w.startSector - e);
  Plan plan;
  if (auto r = addBootSector(ctx, w, plan)) return *r;
  if (e == base) {
    // The gap opens the extended partition: the first EBR takes the entry, and a link
    // found in its first slot moves to the second.
    Sector ebr{};
    if (!ctx.read(e, ebr)) return cannotRead(e);
    auto links = TableSector::of(ebr).entries;
    const bool linkFirst = links[0].type == kTypeExtendedLink;
    const MbrEntry& kept = linkFirst ? links[1] : links[0];
    if (kept.count != 0 && kept.type != kTypeExtendedLink)
      return noGap("the first extended boot record already holds a partition");
    Sector table = ebr;
    if (linkFirst) copyMbrEntry(table, 0, 1);
    encodeMbrEntry(table, 0, {0, w.type, relative, uint32_t(count)});
    setTableSignature(table);
    plan.writes.push_back({{e, ebr, table}, "the extended boot record"});
    return finish(std::move(plan), volumesWith(ctx, w));
  }

  // A new EBR at the gap, linked from the chain's last one.
  if (e == lastChain) return noGap("the new extended boot record would be the chain's last one");
  if (std::find(scan.chainSectors.begin(), scan.chainSectors.end(), e) != scan.chainSectors.end())
    return noGap("an extended boot record already lies at the gap");
  const uint64_t linkCount = uint64_t(relative) + count;
  if (linkCount > kEntryLimit) return noGap("the link would not fit a table entry");
  Sector last{};
  if (!ctx.read(lastChain, last)) return cannotRead(lastChain);
  auto links = TableSector::of(last).entries;
  // The link goes where the last EBR keeps its (broken) link, else into the second slot,
  // which must not hold a partition.
  const size_t linkSlot = links[0].type == kTypeExtendedLink ? 0 : 1;
  if (linkSlot == 1 && links[1].type != kTypeExtendedLink && links[1].type != 0 && links[1].count != 0)
    return Refusal{RewriteCode::DeviceFailure, "the chain's last extended boot record has no free link entry"};
  Sector oldAtE{};
  if (!ctx.read(e, oldAtE)) return cannotRead(e);
  Sector ebr{};
  encodeMbrEntry(ebr, 0, {0, w.type, relative, uint32_t(count)});
  setTableSignature(ebr);
  Sector linked = last;
  encodeMbrEntry(linked, linkSlot, {0, kTypeExtendedLink, uint32_t(e - base), uint32_t(linkCount)});
  setTableSignature(linked);
  plan.writes.push_back({{e, oldAtE, ebr}, "the new extended boot record"});
  plan.writes.push_back({{lastChain, last, linked}, "the extended boot record"});
  plan.newLastChain = e;
  return finish(std::move(plan), volumesWith(ctx, w));
}

Planned planExtended(RewriteContext& ctx, const PartitionRecord& w, std::span<const PartitionRecord> logicalsIn) {
  if (logicalsIn.empty()) return Refusal{RewriteCode::InvalidPartition, "the extended partition holds no logical partition"};
  if (ctx.table.gpt) return noGap("a GPT disk has no extended partition");
  if (ctx.table.hasExtended)
    return noGap(fmt::format("the disk has an extended partition already (at sector {})", ctx.table.extendedStart));
  const uint64_t base = w.startSector, count = w.length / kSectorSize;
  if (base == 0 || base > kEntryLimit || count == 0 || count > kEntryLimit)
    return noGap("an entry of the master boot record cannot hold the extended partition");
  const uint64_t end = base + count;

  std::vector<PartitionRecord> logicals(logicalsIn.begin(), logicalsIn.end());
  std::sort(logicals.begin(), logicals.end(),
            [](const PartitionRecord& a, const PartitionRecord& b) { return a.startSector < b.startSector; });
  if (logicals.front().tableSector != base)
    return noGap("the first extended boot record is not at the extended partition's start");
  uint64_t previousEnd = base;
  for (const auto& l : logicals) {
    const uint64_t n = l.length / kSectorSize;
    if (l.tableSector < previousEnd || l.startSector <= l.tableSector || l.startSector >= end || n == 0 ||
        n > end - l.startSector || l.startSector - l.tableSector > kEntryLimit)
      return noGap(fmt::format("the logical partition at sector {} does not fit the chain", l.startSector));
    previousEnd = l.startSector + n;
  }

  auto mbr = mbrWithEntry(ctx, {0, w.type, uint32_t(base), uint32_t(count)});
  if (auto* r = std::get_if<Refusal>(&mbr)) return *r;
  Plan plan;
  std::vector<Extent> volumes = tableVolumes(ctx.table);
  for (const auto& l : logicals) {
    if (auto r = addBootSector(ctx, l, plan)) return *r;
    volumes.push_back({l.startSector, l.length / kSectorSize, fmt::format("the logical partition at sector {}", l.startSector)});
  }
  // The chain is written from its end to its start and the MBR last: until the extended
  // entry exists, the new records lie in free space and nothing reads them.
  for (size_t i = logicals.size(); i-- > 0;) {
    const auto& l = logicals[i];
    Sector before{};
    if (!ctx.read(l.tableSector, before)) return cannotRead(l.tableSector);
    // A surviving EBR keeps its bytes outside the table; anything else gives way to a clean one.
    Sector ebr = parseExtendedBootRecord(before) ? before : Sector{};
    clearTableEntries(ebr);
    encodeMbrEntry(ebr, 0, {0, l.type, uint32_t(l.startSector - l.tableSector), uint32_t(l.length / kSectorSize)});
    if (i + 1 < logicals.size()) {
      const auto& next = logicals[i + 1];
      encodeMbrEntry(ebr, 1, {0, kTypeExtendedLink, uint32_t(next.tableSector - base),
                              uint32_t(next.endSector() - next.tableSector)});
    }
    setTableSignature(ebr);
    // A surviving EBR that already says this (other CHS bytes aside) stays untouched.
    const auto old = TableSector::of(before), made = TableSector::of(ebr);
    if (old.signature && old.entries == made.entries) ebr = before;
    plan.writes.push_back({{l.tableSector, before, ebr}, "the extended boot record"});
  }
  plan.writes.push_back(std::get<PlannedWrite>(mbr));
  plan.newLastChain = logicals.back().tableSector;
  return finish(std::move(plan), volumes);
}

}  // namespace velk
