// Rewrites of a GPT disk: a lost partition written into a free entry of both entry arrays
// (both CRCs and both headers follow), and a damaged copy of the table rebuilt from the
// intact one.

#include <algorithm>
#include <random>

#include <fmt/format.h>

#include "disk/file_system.h"
#include "partition/rewrite_plan.h"

namespace velk {
namespace {

constexpr size_t kBytes = gptlayout::kSectorSize;

// A random (version 4) GUID in on-disk byte order that no entry of the array uses yet.
Guid newUniqueGuid(const std::vector<GptEntry>& entries) {
  std::random_device random;
  while (true) {
    Guid g{};
    for (size_t i = 0; i < g.size(); i += 4) {
      const uint32_t r = random();
      for (size_t k = 0; k < 4; ++k) g[i + k] = uint8_t(r >> (8 * k));
    }
    g[7] = uint8_t((g[7] & 0x0F) | 0x40);  // version 4 (the third field is little-endian)
    g[8] = uint8_t((g[8] & 0x3F) | 0x80);  // RFC 4122 variant
    const bool taken = std::any_of(entries.begin(), entries.end(), [&](const GptEntry& e) { return e.unique == g; });
    if (!isZeroGuid(g) && !taken) return g;
  }
}

std::optional<Guid> typeGuidFor(const PartitionRecord& w) {
  switch (fileSystemOf(w)) {
    case FileSystem::Fat12:
    case FileSystem::Fat16:
    case FileSystem::Fat32:
    case FileSystem::ExFat:
    case FileSystem::Ntfs: return kGuidBasicData;
    case FileSystem::Ext2:
    case FileSystem::Ext3:
    case FileSystem::Ext4: return kGuidLinuxData;
    case FileSystem::Unknown: break;
  }
  return std::nullopt;
}

std::vector<GptEntry> entriesOf(const GptCopy& copy) {
  std::vector<GptEntry> out;
  const GptHeader& h = *copy.header;
  for (uint32_t i = 0; i < h.entryCount; ++i)
    out.push_back(*GptEntry::parse(ByteSpan(copy.array).subspan(size_t(i) * h.entrySize, h.entrySize)));
  return out;
}

Sector sectorOf(ByteSpan bytes, uint64_t index) {
  Sector s{};
  std::copy_n(bytes.begin() + index * kBytes, kBytes, s.begin());
  return s;
}

// The header sector as it is on disk, with `header`'s fields sealed in.
std::optional<PlannedWrite> headerWrite(RewriteContext& ctx, const GptHeader& header, uint64_t templateLba,
                                        std::string what) {
  Sector before{}, after{};
  if (!ctx.read(header.myLba, before) || !ctx.read(templateLba, after)) return std::nullopt;
  // Bytes past the header's size are reserved and zero.
  std::fill(after.begin() + std::min<uint32_t>(header.headerSize, kBytes), after.end(), uint8_t(0));
  header.encode(after);
  return PlannedWrite{{header.myLba, before, after}, std::move(what)};
}

Planned finish(Plan plan, std::vector<Extent> volumes) {
  if (auto r = auditTableWrites(plan, volumes)) return *r;
  return plan;
}

}  // namespace

Planned planGptEntry(RewriteContext& ctx, const PartitionRecord& w) {
  const GptFacts& g = *ctx.table.gpt;
  if (!g.primary.header)
    return Refusal{RewriteCode::DeviceFailure,
                   fmt::format("the primary GPT is damaged ({}): restore it from the backup first", g.primary.damage)};
  if (!g.backup.header)
    return Refusal{RewriteCode::DeviceFailure,
                   fmt::format("the backup GPT is damaged ({}): restore it from the primary first", g.backup.damage)};
  const GptHeader& p = *g.primary.header;
  const GptHeader& b = *g.backup.header;
  if (p.entryCount != b.entryCount || p.entrySize != b.entrySize ||
      !std::equal(g.primary.array.begin(), g.primary.array.begin() + long(p.arrayBytes()), g.backup.array.begin()))
    return Refusal{RewriteCode::DeviceFailure, "the primary and backup GPT list different partitions"};

  const uint64_t count = w.length / kSectorSize;
  const uint64_t first = std::max(p.firstUsable, b.firstUsable), last = std::min(p.lastUsable, b.lastUsable);
  if (count == 0 || w.startSector < first || w.startSector > last || count - 1 > last - w.startSector)
    return Refusal{RewriteCode::NoGap,
                   fmt::format("the partition lies outside the sectors the GPT can describe ({}–{})", first, last)};
  const auto entries = entriesOf(g.primary);
  for (size_t i = 0; i < entries.size(); ++i) {
    const auto& e = entries[i];
    if (e.used() && e.lastLba >= e.firstLba && overlaps(e.firstLba, e.lastLba - e.firstLba + 1, w.startSector, count))
      return Refusal{RewriteCode::NoGap, fmt::format("the partition overlaps GPT entry {} (sectors {}–{})", i + 1,
                                                     e.firstLba, e.lastLba)};
  }
  auto slot = std::find_if(entries.begin(), entries.end(), [](const GptEntry& e) { return !e.used(); });
  if (slot == entries.end()) return Refusal{RewriteCode::NoGap, "the GPT has no free entry"};
  const auto type = typeGuidFor(w);
  if (!type) return Refusal{RewriteCode::InvalidPartition, "no GPT partition type fits the file system"};

  GptEntry entry;
  entry.type = *type;
  entry.unique = newUniqueGuid(entries);
  entry.firstLba = w.startSector;
  entry.lastLba = w.startSector + count - 1;
  const size_t index = size_t(slot - entries.begin());
  std::vector<uint8_t> array = g.primary.array;
  entry.encode(MutableByteSpan(array).subspan(index * p.entrySize, p.entrySize));
  const uint32_t crc = gptArrayCrc(array, p);

  Plan plan;
  if (auto r = addBootSector(ctx, w, plan)) return *r;
  // Each copy: the array sectors holding the entry, then the header that seals them.
  const uint64_t firstIndex = index * p.entrySize / kBytes;
  const uint64_t lastIndex = (index * p.entrySize + p.entrySize - 1) / kBytes;
  for (const GptCopy* copy : {&g.primary, &g.backup}) {
    const bool primary = copy == &g.primary;
    GptHeader h = *copy->header;
    for (uint64_t i = firstIndex; i <= lastIndex; ++i)
      plan.writes.push_back({{h.entriesLba + i, sectorOf(copy->array, i), sectorOf(array, i)},
                             primary ? "the primary GPT entry array" : "the backup GPT entry array"});
    h.entriesCrc = crc;
    auto header = headerWrite(ctx, h, h.myLba, primary ? "the primary GPT header" : "the backup GPT header");
    if (!header) return cannotRead(h.myLba);
    plan.writes.push_back(*header);
  }
  auto volumes = tableVolumes(ctx.table);
  volumes.push_back({w.startSector, count, "the partition being recovered"});
  return finish(std::move(plan), std::move(volumes));
}

Planned planGptRestore(RewriteContext& ctx) {
  if (!ctx.table.gpt) return Refusal{RewriteCode::InvalidPartition, "the disk has no GPT"};
  const GptFacts& g = *ctx.table.gpt;
  if (g.primary.header && g.backup.header) return Plan{};
  if (!g.primary.header && !g.backup.header)
    return Refusal{RewriteCode::DeviceFailure, "neither copy of the GPT is intact, so neither can restore the other"};
  const bool toPrimary = !g.primary.header;
  const GptCopy& source = toPrimary ? g.backup : g.primary;
  GptHeader h = *source.header;
  const uint64_t sectors = h.arraySectors();
  h.alternateLba = h.myLba;
  if (toPrimary) {
    // The primary table lies at LBA 1 with its array right after it, before the first
    // usable sector.
    h.myLba = 1;
    h.entriesLba = 2;
    if (h.entriesLba + sectors > h.firstUsable)
      return Refusal{RewriteCode::NoGap, "the primary entry array would not fit before the first usable sector"};
  } else {
    h.myLba = source.header->alternateLba < ctx.diskSectors ? source.header->alternateLba : ctx.diskSectors - 1;
    if (h.myLba < sectors || h.myLba - sectors <= h.lastUsable)
      return Refusal{RewriteCode::NoGap, "the backup entry array would not fit after the last usable sector"};
    h.entriesLba = h.myLba - sectors;
  }

  Plan plan;
  const char* what = toPrimary ? "the primary GPT entry array" : "the backup GPT entry array";
  for (uint64_t i = 0; i < sectors; ++i) {
    Sector before{};
    if (!ctx.read(h.entriesLba + i, before)) return cannotRead(h.entriesLba + i);
    plan.writes.push_back({{h.entriesLba + i, before, sectorOf(source.array, i)}, what});
  }
  auto header = headerWrite(ctx, h, source.headerLba, toPrimary ? "the primary GPT header" : "the backup GPT header");
  if (!header) return cannotRead(h.myLba);
  plan.writes.push_back(*header);
  return finish(std::move(plan), tableVolumes(ctx.table));
}

}  // namespace velk
