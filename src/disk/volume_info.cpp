// Volume information for lettered volumes that the operating system has not mounted (disk
// images, unmounted partitions): label, file-system name and free space, read from the
// file system's own structures.

#include <algorithm>
#include <bit>
#include <vector>

#include "disk/sector_reader.h"
#include "formats/exfat_volume_facts.h"
#include "formats/fat_boot_sector.h"
#include "formats/fat_table.h"
#include "formats/mft_record.h"
#include "formats/ntfs_boot_sector.h"
#include "formats/runlist.h"
#include "support/text.h"

namespace velk {
namespace {

using namespace fatlayout;

std::string trimRight(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

std::optional<VolumeInformation> fatVolumeInfo(SectorReader& r, ByteSpan bs) {
  auto parsed = FatBootSector::parseBpb(bs);
  if (!parsed) return std::nullopt;
  const FatBootSector& f = *parsed;
  const bool fat32 = f.width == FatWidth::Fat32;
  VolumeInformation info;
  info.fsName = fat32 ? "FAT32" : "FAT";
  info.bytesPerSector = f.bytesPerSector;
  info.sectorsPerCluster = f.sectorsPerCluster;
  info.totalClusters = f.clusterCount;
  // Free clusters: zero entries of the first FAT for clusters 2 … clusters + 1.
  const uint64_t bps = f.bytesPerSector;
  const uint64_t entries = uint64_t(f.clusterCount) + 2;
  const uint64_t readBytes = (std::min(f.fatBytes(), fatTableBytes(entries, f.width)) + bps - 1) / bps * bps;
  // A megabyte at a time: the table of a large volume is counted, not held. FAT12 entries
  // straddle bytes, so its table (6 KiB at most) is one piece; wider ones never straddle.
  constexpr uint64_t kPieceBytes = 1 << 20;
  const uint64_t pieceBytes = f.width == FatWidth::Fat12 ? readBytes : std::min(readBytes, kPieceBytes);
  const uint64_t entryBytes = f.width == FatWidth::Fat16 ? 2 : 4;
  std::vector<uint8_t> piece(static_cast<size_t>(pieceBytes));
  uint64_t freeCount = 0;
  bool complete = true;
  for (uint64_t done = 0; done < readBytes && complete; done += piece.size()) {
    const size_t n = size_t(std::min<uint64_t>(piece.size(), readBytes - done));
    complete = r.ReadAt(uint64_t(f.reservedSectors) * bps + done, n, piece.data()).has_value();
    const uint64_t first = f.width == FatWidth::Fat12 ? 0 : done / entryBytes;
    for (uint64_t c = std::max<uint64_t>(2, first); complete && c < entries; ++c) {
      const auto v = fatEntryAt(ByteSpan(piece.data(), n), c - first, f.width);
      if (!v) break;
      if (*v == 0) ++freeCount;
    }
  }
  if (complete) info.freeClusters = freeCount;
  // The label: the root directory's volume-label entry, else the boot sector's field.
  std::vector<uint8_t> root(size_t(f.sectorsPerCluster * bps));
  const uint64_t rootOffset = fat32 ? f.clusterOffset(f.rootCluster) : uint64_t(f.rootDirStart) * bps;
  if (f.rootCluster >= 2 || !fat32) {
    if (r.ReadAt(rootOffset, root.size(), root.data())) {
      for (size_t off = 0; off + kEntrySize <= root.size(); off += kEntrySize) {
        uint8_t first = root[off];
        if (first == kNeverUsed) break;
        uint8_t attr = root[off + kAttributes];
        if (first != kDeletedMark && attr != kAttrLongName && (attr & kAttrVolumeLabel)) {
          info.label = trimRight(std::string(reinterpret_cast<const char*>(&root[off]), kNameLength + kExtensionLength));
          break;
        }
      }
    }
  }
  if (info.label.empty()) {
    std::string bootLabel = trimRight(fixedText(bs, fat32 ? 0x47 : 0x2B, 11));
    if (bootLabel != "NO NAME") info.label = bootLabel;
  }
  info.label = codepageText(info.label);
  return info;
}

std::optional<VolumeInformation> ntfsVolumeInfo(SectorReader& r, ByteSpan bs) {
  auto boot = NtfsBootSector::parse(bs);
  if (!boot) return std::nullopt;
  const uint32_t clusterSize = boot->clusterSize;
  const uint32_t recordSize = boot->recordSize;
  VolumeInformation info;
  info.fsName = "NTFS";
  info.bytesPerSector = boot->bytesPerSector;
  info.sectorsPerCluster = clusterSize / boot->bytesPerSector;
  info.totalClusters = boot->totalSectors / info.sectorsPerCluster;
  if (boot->mftCluster > UINT64_MAX / clusterSize) return info;
  auto readRecord = [&](uint64_t n, std::vector<uint8_t>& rec) {
    rec.assign(recordSize, 0);
    return r.ReadAt(boot->mftCluster * clusterSize + n * recordSize, recordSize, rec.data()) &&
           matchesAt(rec, 0, "FILE") && applyFixups(rec) == FixupResult::Applied;
  };
  std::vector<uint8_t> rec;
  if (readRecord(3, rec)) {  // $Volume: its $VOLUME_NAME
    (void)forEachAttribute(ByteSpan(rec), [&](const AttributeView& a, bool wellFormed) {
      if (wellFormed && a.type == ntfs::kTypeVolumeName && !a.nonResident) info.label = utf16leToUtf8(a.value);
      return true;
    });
  }
  if (readRecord(6, rec)) {  // $Bitmap: count the set bits of its data runs
    (void)forEachAttribute(ByteSpan(rec), [&](const AttributeView& a, bool wellFormed) {
      if (!wellFormed || a.type != ntfs::kTypeData || !a.nonResident || !a.name.empty()) return true;
      std::vector<DataRun> runs;
      if (decodeRunlist(a.runlist, a.startVcn, info.totalClusters, runs) != RunlistStatus::Ok) return false;
      uint64_t used = 0, seen = 0;
      std::vector<uint8_t> buf(clusterSize);
      for (const DataRun& run : runs) {
        if (run.sparse) continue;
        for (uint64_t c = 0; c < run.length && seen < info.totalClusters; ++c) {
          if (!r.ReadAt((run.lcn + c) * clusterSize, clusterSize, buf.data())) return false;
          for (uint8_t b : buf)
            for (int bit = 0; bit < 8 && seen < info.totalClusters; ++bit, ++seen) used += (b >> bit) & 1;
        }
      }
      info.freeClusters = info.totalClusters - std::min(used, info.totalClusters);
      return false;
    });
  }
  return info;
}

// Label from the root's volume-label entry, free space from the allocation bitmap.
std::optional<VolumeInformation> exfatVolumeInfo(SectorReader& r) {
  auto facts = readExfatVolumeFacts([&r](uint64_t o, size_t n, uint8_t* p) { return r.ReadAt(o, n, p).has_value(); }, true);
  if (!facts) return std::nullopt;
  const ExfatBootSector& b = facts->found.boot;
  VolumeInformation info;
  info.fsName = "exFAT";
  info.label = facts->label;
  info.bytesPerSector = b.bytesPerSector();
  info.sectorsPerCluster = b.sectorsPerCluster();
  info.totalClusters = b.clusterCount;
  info.freeClusters = facts->freeClusters.value_or(0);
  return info;
}

}  // namespace

std::optional<VolumeInformation> SectorReader::QueryVolume(char letter) {
  SectorReader r;
  if (!r.OpenVolume(letter, Access::Read)) return std::nullopt;
  std::array<uint8_t, 512> bs{};
  if (!r.ReadAt(0, bs.size(), bs.data())) return std::nullopt;
  if (matchesAt(bs, 3, "NTFS")) return ntfsVolumeInfo(r, bs);
  if (matchesAt(bs, 3, "EXFAT   ")) return exfatVolumeInfo(r);
  return fatVolumeInfo(r, bs);
}

}  // namespace velk
