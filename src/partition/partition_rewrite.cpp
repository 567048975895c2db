#include "partition/partition_rewrite.h"

#include <algorithm>
#include <optional>
#include <variant>

#include <fmt/format.h>

#include "disk/partition_table.h"
#include "disk/sector_reader.h"
#include "partition/backup_store.h"
#include "partition/table_entry.h"
#include "partition/undo_file.h"

namespace velk {
namespace {

constexpr std::string_view kGapName = "Deleted";
constexpr uint32_t kLogicalOffset = 63;  // a logical partition 63 sectors after its EBR

struct Refusal {
  RewriteCode code;
  std::string detail;
};

// What the rewrite will write, in order, and the chain's new last EBR when it makes one.
struct Plan {
  std::vector<UndoSector> writes;
  std::optional<uint32_t> newLastChain;
};

using Planned = std::variant<Plan, Refusal>;

bool acceptedName(const std::string& fs, CandidateSource source) {
  if (fs == "FAT32" || fs == "FAT16" || fs == "NTFS" || fs == "FAT") return true;
  return source == CandidateSource::DeepScan && (fs == "EXT2" || fs == "EXT3");
}

bool isExtName(const std::string& fs) { return fs == "EXT2" || fs == "EXT3"; }

bool overlaps(uint64_t aStart, uint64_t aCount, uint64_t bStart, uint64_t bCount) {
  return aStart < bStart + bCount && bStart < aStart + aCount;
}

class Planner {
 public:
  Planner(SectorReader& reader, const PartitionRecord& w, uint32_t count) : m_reader(reader), m_w(w), m_count(count) {}

  Planned primary() {
    if (m_w.startSector == 0) return Refusal{RewriteCode::NoGap, "the partition would start on the master boot record"};
    Sector mbr{};
    if (!read(0, mbr)) return deviceFailure(0);
    Sector table = mbr;
    // Discovery reads a table only under the 0xAA55 signature: without it the new entry
    // would stay invisible, and whatever lies in the entry area is not a table.
    if (!hasBootSignature(mbr)) {
      clearTableEntries(table);
      setTableSignature(table);
    }
    auto entries = parseMbrEntries(table);
    for (size_t i = 0; i < entries.size(); ++i) {
      const auto& e = entries[i];
      if (e.type != 0 && e.count != 0 && overlaps(e.start, e.count, m_w.startSector, m_count))
        return Refusal{RewriteCode::NoGap,
                       fmt::format("the partition overlaps entry {} of the master boot record (sectors {}–{})", i + 1,
                                   e.start, uint64_t(e.start) + e.count - 1)};
    }
    auto freeEntry = std::find_if(entries.begin(), entries.end(), [](const MbrEntry& e) { return e.count == 0; });
    if (freeEntry == entries.end())
      return Refusal{RewriteCode::NoGap, "the master boot record has no free entry"};
    writeTableEntry(table, size_t(freeEntry - entries.begin()), m_w.type, m_w.startSector, m_count);

    Plan plan;
    if (auto r = addFirstSector(plan)) return *r;
    plan.writes.push_back({0, mbr, table});
    return plan;
  }

  Planned logical(const PartitionRecord& gap, uint32_t lastChain) {
    const uint32_t e = m_w.tableSector;
    const uint32_t base = gap.extendedBase;
    if (m_w.startSector <= e)
      return Refusal{RewriteCode::NoGap, "the partition does not start after its extended boot record"};

    // The chain as it is on disk now; the catalogue's last EBR must still be its end.
    const uint64_t diskSectors = m_reader.QueryDiskSize() / kSectorSize;
    bool readFailed = false;
    auto readFn = [&](uint64_t s, uint8_t* buf) {
      if (s >= diskSectors) return false;
      bool ok = m_reader.ReadAt(s * kSectorSize, kSectorSize, buf).has_value();
      readFailed |= !ok;
      return ok;
    };
    TableScan scan = scanPartitionTable(readFn, diskSectors);
    if (readFailed || !scan.ok) return deviceFailure(0);
    if (!scan.hasExtended || scan.extendedStart != base || scan.chainSectors.empty())
      return Refusal{RewriteCode::DeviceFailure, "the extended partition is not in the table any more"};
    if (scan.chainSectors.back() != lastChain)
      return Refusal{RewriteCode::DeviceFailure, "the extended chain changed since the disk was read"};
    const uint64_t extEnd = scan.extendedStart + scan.extendedCount;
    if (e < base || e >= extEnd || m_w.endSector() > extEnd)
      return Refusal{RewriteCode::NoGap, "the partition does not lie inside the extended partition"};
    for (const auto& t : scan.entries) {
      if (t.kind == kKindLogical && t.count != 0 && overlaps(t.start, t.count, m_w.startSector, m_count))
        return Refusal{RewriteCode::NoGap, fmt::format("the partition overlaps the logical partition at sector {}", t.start)};
    }
    for (uint32_t s : scan.chainSectors)
      if (s >= m_w.startSector && s < m_w.endSector())
        return Refusal{RewriteCode::NoGap, fmt::format("the partition covers the extended boot record at sector {}", s)};

    const uint32_t relative = m_w.startSector - e;
    Plan plan;
    if (e == base) {
      // The gap opens the extended partition: the first EBR takes the entry, and a link
      // found in its first slot moves to the second.
      Sector ebr{};
      if (!read(e, ebr)) return deviceFailure(e);
      auto links = parseMbrEntries(ebr);
      const bool linkFirst = links[0].type == kTypeExtendedLink;
      const MbrEntry& kept = linkFirst ? links[1] : links[0];
      if (kept.count != 0 && kept.type != kTypeExtendedLink)
        return Refusal{RewriteCode::NoGap, "the first extended boot record already holds a partition"};
      Sector table = ebr;
      if (linkFirst) copyTableEntry(table, 0, 1);
      writeTableEntry(table, 0, m_w.type, relative, m_count);
      setTableSignature(table);
      if (auto r = addFirstSector(plan)) return *r;
      plan.writes.push_back({e, ebr, table});
      return plan;
    }

    // A new EBR at the gap, linked from the chain's last one.
    if (e == lastChain)
      return Refusal{RewriteCode::NoGap, "the new extended boot record would be the chain's last one"};
    if (std::find(scan.chainSectors.begin(), scan.chainSectors.end(), e) != scan.chainSectors.end())
      return Refusal{RewriteCode::NoGap, "an extended boot record already lies at the gap"};
    const uint64_t linkCount = uint64_t(relative) + m_count;
    if (linkCount > UINT32_MAX) return Refusal{RewriteCode::NoGap, "the link would not fit a table entry"};
    Sector last{};
    if (!read(lastChain, last)) return deviceFailure(lastChain);
    auto links = parseMbrEntries(last);
    // The link goes where the last EBR keeps its (broken) link, else into the second slot,
    // which must not hold a partition.
    const size_t linkSlot = links[0].type == kTypeExtendedLink ? 0 : 1;
    if (linkSlot == 1 && links[1].type != kTypeExtendedLink && links[1].type != 0 && links[1].count != 0)
      return Refusal{RewriteCode::DeviceFailure, "the chain's last extended boot record has no free link entry"};
    Sector oldAtE{};
    if (!read(e, oldAtE)) return deviceFailure(e);
    Sector ebr{};
    writeTableEntry(ebr, 0, m_w.type, relative, m_count);
    setTableSignature(ebr);
    Sector linked = last;
    writeTableEntry(linked, linkSlot, kTypeExtendedLink, e - base, uint32_t(linkCount));
    setTableSignature(linked);
    if (auto r = addFirstSector(plan)) return *r;
    plan.writes.push_back({e, oldAtE, ebr});
    plan.writes.push_back({lastChain, last, linked});
    plan.newLastChain = e;
    return plan;
  }

 private:
  bool read(uint64_t sector, Sector& out) { return m_reader.ReadAt(sector * kSectorSize, out.size(), out.data()).has_value(); }

  static Refusal deviceFailure(uint64_t sector) {
    return Refusal{RewriteCode::DeviceFailure, fmt::format("cannot read sector {}", sector)};
  }

  // The volume's first sector goes back first, as saved with the candidate.
  std::optional<Refusal> addFirstSector(Plan& plan) {
    Sector old{};
    if (!read(m_w.startSector, old)) return deviceFailure(m_w.startSector);
    plan.writes.push_back({m_w.startSector, old, m_w.firstSector});
    return std::nullopt;
  }

  SectorReader& m_reader;
  const PartitionRecord& m_w;
  uint32_t m_count;
};

RewriteResult refused(RewriteCode code, std::string detail) {
  RewriteResult r;
  r.code = code;
  r.detail = std::move(detail);
  return r;
}

}  // namespace

void RefreshAfterRewrite(DriveCatalog& catalog) {
  DeviceNamespace::instance().assignLetters();
  catalog.Refresh();
}

RewriteResult Rewrite(DriveCatalog& catalog, const DiskRecord* diskPtr, PartitionRecord* candidate,
                      CandidateSource source, const RewriteOptions& options) {
  if (!diskPtr) return refused(RewriteCode::NoDisk, "no disk selected");
  if (!candidate) return refused(RewriteCode::NoCandidate, "no candidate selected");
  const DiskRecord disk = *diskPtr;  // the catalogue is refreshed below
  PartitionRecord& w = *candidate;
  const std::string fs = w.fsNameText();
  if (!acceptedName(fs, source))
    return refused(RewriteCode::InvalidPartition, fmt::format("a \"{}\" candidate cannot be recovered", fs));
  // An entry of type 0 is an unused entry; a FAT or NTFS candidate without its boot sector
  // would wipe the volume's first sector.
  if (w.type == 0) return refused(RewriteCode::InvalidPartition, "the candidate has no partition type");
  if (!isExtName(fs) && std::all_of(w.firstSector.begin(), w.firstSector.end(), [](uint8_t b) { return b == 0; }))
    return refused(RewriteCode::InvalidPartition, "the candidate carries no boot sector");
  if (catalog.PartitionCount() == 0) return refused(RewriteCode::NoGap, "the catalogue is empty");
  const uint64_t count64 = w.length / kSectorSize;
  if (count64 == 0 || count64 > UINT32_MAX) return refused(RewriteCode::NoGap, "the length does not fit a table entry");
  const uint32_t count = uint32_t(count64);
  const int d = disk.number;

  const std::vector<PartitionRecord> records = catalog.partitions();
  for (const auto& y : records) {
    if (y.diskNumber != d || y.fsNameText() != kGapName || y.extendedBase != w.extendedBase ||
        y.tableSector > w.tableSector || w.endSector() > y.endSector())
      continue;
    if (y.kind != kKindPrimary && !(y.kind == kKindLogical && y.extendedBase <= w.tableSector)) continue;

    SectorReader reader;
    if (!reader.OpenPhysicalDrive(d, Access::Write))
      return refused(RewriteCode::DeviceFailure, "cannot open the disk for writing");

    Planned planned;
    if (y.kind == kKindPrimary) {
      planned = Planner(reader, w, count).primary();
    } else {
      const uint32_t c = catalog.LastChainSector(d);
      if (c == DriveCatalog::kNoChain || c < y.extendedBase)
        return refused(RewriteCode::DeviceFailure, "the disk has no extended chain to extend");
      if (w.kind == kKindPrimary) {
        // A primary partition saved in a backup, put into the extended partition: its EBR
        // goes 63 sectors before it.
        if (w.tableSector < y.tableSector + kLogicalOffset)
          return refused(RewriteCode::DeviceFailure, "no room for an extended boot record before the partition");
        w.tableSector = w.startSector - kLogicalOffset;
      }
      planned = Planner(reader, w, count).logical(y, c);
    }
    if (auto* r = std::get_if<Refusal>(&planned)) return refused(r->code, r->detail);
    Plan& plan = std::get<Plan>(planned);

    RewriteResult result;
    const auto folder = options.undoFolder.empty() ? backupFolder() : options.undoFolder;
    auto undoPath = folder.empty() ? std::nullopt : saveUndoFile(folder, UndoRecord{disk, plan.writes});
    if (!undoPath) return refused(RewriteCode::DeviceFailure, "cannot save the undo file in " + folder.string());
    result.undoFile = *undoPath;

    for (const auto& s : plan.writes) {
      if (!reader.WriteAt(s.sector * kSectorSize, s.after.data(), s.after.size())) {
        result.code = RewriteCode::DeviceFailure;
        result.detail = fmt::format("cannot write sector {}", s.sector);
        break;
      }
      ++result.sectorsWritten;
      Sector back{};
      if (!reader.ReadAt(s.sector * kSectorSize, back.size(), back.data()) || back != s.after) {
        result.code = RewriteCode::DeviceFailure;
        result.detail = fmt::format("sector {} does not read back as written", s.sector);
        break;
      }
    }
    reader.Close();
    if (result.code == RewriteCode::Rewritten && plan.newLastChain) catalog.SetLastChainSector(d, *plan.newLastChain);
    if (result.sectorsWritten > 0) RefreshAfterRewrite(catalog);
    return result;
  }
  return refused(RewriteCode::NoGap, "no gap of the disk can hold the partition");
}

}  // namespace velk
