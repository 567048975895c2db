// Volume information for lettered volumes that the operating system has not mounted (disk
// images, unmounted partitions): label, file-system name and free space, read from the
// file system's own structures.

#include <algorithm>
#include <bit>
#include <vector>

#include "disk/bytes.h"
#include "disk/sector_reader.h"
#include "formats/exfat_volume_facts.h"
#include "support/text.h"

namespace velk {
namespace {

constexpr uint8_t kFatAttrVolumeLabel = 0x08;
constexpr uint8_t kFatAttrLongName = 0x0F;

std::string trimRight(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

struct FatLayout {
  bool fat32 = false;
  uint32_t bytesPerSector = 0, sectorsPerCluster = 0, reserved = 0, fats = 0, rootEntries = 0;
  uint64_t sectorsPerFat = 0, totalSectors = 0, firstDataSector = 0, clusters = 0;
  uint32_t rootCluster = 0;
};

std::optional<FatLayout> fatLayout(ByteSpan bs) {
  FatLayout f;
  f.bytesPerSector = le16At(bs, 0x0B);
  f.sectorsPerCluster = u8At(bs, 0x0D);
  f.reserved = le16At(bs, 0x0E);
  f.fats = u8At(bs, 0x10);
  f.rootEntries = le16At(bs, 0x11);
  f.totalSectors = le16At(bs, 0x13) ? le16At(bs, 0x13) : le32At(bs, 0x20);
  uint32_t spf16 = le16At(bs, 0x16);
  f.fat32 = spf16 == 0;
  f.sectorsPerFat = f.fat32 ? le32At(bs, 0x24) : spf16;
  f.rootCluster = f.fat32 ? le32At(bs, 0x2C) : 0;
  if (f.bytesPerSector < 512 || f.bytesPerSector > 4096 || !std::has_single_bit(f.bytesPerSector)) return std::nullopt;
  if (f.sectorsPerCluster == 0 || !std::has_single_bit(f.sectorsPerCluster)) return std::nullopt;
  if (f.fats == 0 || f.reserved == 0 || f.sectorsPerFat == 0) return std::nullopt;
  uint64_t rootSectors = (uint64_t(f.rootEntries) * 32 + f.bytesPerSector - 1) / f.bytesPerSector;
  f.firstDataSector = f.reserved + f.fats * f.sectorsPerFat + rootSectors;
  if (f.firstDataSector >= f.totalSectors) return std::nullopt;
  f.clusters = (f.totalSectors - f.firstDataSector) / f.sectorsPerCluster;
  return f;
}

std::optional<VolumeInformation> fatVolumeInfo(SectorReader& r, ByteSpan bs) {
  auto f = fatLayout(bs);
  if (!f) return std::nullopt;
  VolumeInformation info;
  info.fsName = f->fat32 ? "FAT32" : "FAT";
  info.bytesPerSector = f->bytesPerSector;
  info.sectorsPerCluster = f->sectorsPerCluster;
  info.totalClusters = f->clusters;
  // Free clusters: zero entries of the first FAT for clusters 2 … clusters + 1.
  const uint64_t bps = f->bytesPerSector;
  uint64_t entryBytes = f->fat32 ? 4 : (f->clusters < 4085 ? 0 : 2);
  if (entryBytes) {
    uint64_t fatBytes = std::min<uint64_t>(f->sectorsPerFat * bps, (f->clusters + 2) * entryBytes);
    const uint64_t readBytes = (fatBytes + bps - 1) / bps * bps;
    // A megabyte at a time: the table of a large volume is counted, not held.
    constexpr uint64_t kPieceBytes = 1 << 20;
    std::vector<uint8_t> piece(size_t(std::min(readBytes, kPieceBytes)));
    uint64_t freeCount = 0;
    bool complete = true;
    for (uint64_t done = 0; done < readBytes && complete; done += piece.size()) {
      const size_t n = size_t(std::min<uint64_t>(piece.size(), readBytes - done));
      complete = r.ReadAt(uint64_t(f->reserved) * bps + done, n, piece.data());
      for (uint64_t c = std::max<uint64_t>(2, done / entryBytes);
           complete && c < f->clusters + 2 && (c + 1) * entryBytes <= done + n; ++c) {
        const uint8_t* e = piece.data() + (c * entryBytes - done);
        uint32_t v = entryBytes == 4 ? (le32(e) & 0x0FFFFFFF) : le16(e);
        if (v == 0) ++freeCount;
      }
    }
    if (complete) info.freeClusters = freeCount;
  }
  // The label: the root directory's volume-label entry, else the boot sector's field.
  std::vector<uint8_t> root(size_t(f->sectorsPerCluster * bps));
  uint64_t rootOffset = f->fat32 ? (f->firstDataSector + uint64_t(f->rootCluster - 2) * f->sectorsPerCluster) * bps
                                 : (f->reserved + f->fats * f->sectorsPerFat) * bps;
  if (f->rootCluster >= 2 || !f->fat32) {
    if (r.ReadAt(rootOffset, root.size(), root.data())) {
      for (size_t off = 0; off + 32 <= root.size(); off += 32) {
        uint8_t first = root[off];
        if (first == 0) break;
        uint8_t attr = root[off + 11];
        if (first != 0xE5 && attr != kFatAttrLongName && (attr & kFatAttrVolumeLabel)) {
          info.label = trimRight(std::string(reinterpret_cast<const char*>(&root[off]), 11));
          break;
        }
      }
    }
  }
  if (info.label.empty()) {
    std::string bootLabel = trimRight(fixedText(bs, f->fat32 ? 0x47 : 0x2B, 11));
    if (bootLabel != "NO NAME") info.label = bootLabel;
  }
  info.label = codepageText(info.label);
  return info;
}

// Applies the update sequence array of one MFT record in place; false when it does not match.
bool applyFixups(std::vector<uint8_t>& rec, uint32_t sectorSize) {
  uint16_t usaOff = le16At(rec, 4), usaCount = le16At(rec, 6);
  if (usaCount == 0 || !fits(rec, usaOff, size_t(usaCount) * 2)) return false;
  uint16_t usn = le16At(rec, usaOff);
  for (uint16_t i = 1; i < usaCount; ++i) {
    size_t end = size_t(i) * sectorSize - 2;
    if (end + 2 > rec.size()) return false;
    if (le16At(rec, end) != usn) return false;
    rec[end] = rec[usaOff + i * 2];
    rec[end + 1] = rec[usaOff + i * 2 + 1];
  }
  return true;
}

std::optional<VolumeInformation> ntfsVolumeInfo(SectorReader& r, ByteSpan bs) {
  uint32_t bps = le16At(bs, 0x0B);
  uint32_t spc = u8At(bs, 0x0D);
  if (bps < 256 || bps > 4096 || !std::has_single_bit(bps) || spc == 0) return std::nullopt;
  // Sectors per cluster: a power of two up to 128, or 2^(256 - value) sectors for the large
  // clusters; checked before the shift, which a wild value would push past 32 bits.
  uint64_t sectors = spc;
  if (spc > 0x80) {
    if (256 - spc > 21) return std::nullopt;
    sectors = uint64_t(1) << (256 - spc);
  } else if (!std::has_single_bit(spc)) {
    return std::nullopt;
  }
  if (sectors * bps > (1u << 21)) return std::nullopt;
  const uint32_t clusterSize = uint32_t(sectors * bps);
  uint64_t totalSectors = le64At(bs, 0x28);
  uint64_t mftCluster = le64At(bs, 0x30);
  int8_t rs = int8_t(u8At(bs, 0x40));
  uint32_t recordSize = rs < 0 ? (-rs >= 9 && -rs <= 12 ? 1u << -rs : 1024) : 1024;
  VolumeInformation info;
  info.fsName = "NTFS";
  info.bytesPerSector = bps;
  info.sectorsPerCluster = clusterSize / bps;
  info.totalClusters = totalSectors / info.sectorsPerCluster;
  if (mftCluster > UINT64_MAX / clusterSize) return info;
  auto readRecord = [&](uint64_t n, std::vector<uint8_t>& rec) {
    rec.assign(recordSize, 0);
    return r.ReadAt(mftCluster * clusterSize + n * recordSize, recordSize, rec.data()) &&
           matchesAt(rec, 0, "FILE") && applyFixups(rec, 512);
  };
  // Walks the attributes of a record, calling fn(type, offset, length).
  auto forEachAttr = [](const std::vector<uint8_t>& rec, auto&& fn) {
    size_t off = le16At(rec, 0x14);
    for (int guard = 0; guard < 64 && off + 16 <= rec.size(); ++guard) {
      uint32_t type = le32At(rec, off);
      uint32_t len = le32At(rec, off + 4);
      if (type == 0xFFFFFFFF || len < 16 || off + len > rec.size()) break;
      fn(type, off, len);
      off += len;
    }
  };
  std::vector<uint8_t> rec;
  if (readRecord(3, rec)) {  // $Volume: its $VOLUME_NAME
    forEachAttr(rec, [&](uint32_t type, size_t off, uint32_t len) {
      if (type != 0x60 || u8At(rec, off + 8) != 0) return;
      uint32_t vlen = le32At(rec, off + 0x10);
      uint16_t voff = le16At(rec, off + 0x14);
      if (voff + uint64_t(vlen) <= len) info.label = utf16leToUtf8({rec.data() + off + voff, vlen});
    });
  }
  if (readRecord(6, rec)) {  // $Bitmap: count the clear bits of its data runs
    forEachAttr(rec, [&](uint32_t type, size_t off, uint32_t len) {
      if (type != 0x80 || u8At(rec, off + 8) != 1 || u8At(rec, off + 9) != 0) return;
      size_t runOff = off + le16At(rec, off + 0x20);
      uint64_t used = 0, seen = 0;
      int64_t lcn = 0;
      std::vector<uint8_t> buf;
      while (runOff < off + len && rec[runOff] != 0) {
        uint8_t h = rec[runOff];
        unsigned lenBytes = h & 0xF, offBytes = h >> 4;
        if (lenBytes == 0 || lenBytes > 8 || offBytes > 8 || runOff + 1 + lenBytes + offBytes > off + len) break;
        uint64_t count = 0;
        for (unsigned i = 0; i < lenBytes; ++i) count |= uint64_t(rec[runOff + 1 + i]) << (8 * i);
        // The offset is signed: sign-extended from the last byte read, in unsigned arithmetic
        // so that no field width or damaged value can overflow.
        uint64_t raw = 0;
        for (unsigned i = 0; i < offBytes; ++i) raw |= uint64_t(rec[runOff + 1 + lenBytes + i]) << (8 * i);
        if (offBytes && offBytes < 8 && ((raw >> (8 * offBytes - 1)) & 1)) raw |= ~uint64_t(0) << (8 * offBytes);
        const int64_t delta = int64_t(raw);
        runOff += 1 + lenBytes + offBytes;
        if (offBytes == 0) continue;  // sparse
        if ((delta > 0 && lcn > INT64_MAX - delta) || (delta < 0 && lcn < INT64_MIN - delta)) return;
        lcn += delta;
        if (lcn < 0) return;
        for (uint64_t c = 0; c < count && seen < info.totalClusters; ++c) {
          const uint64_t cluster = uint64_t(lcn) + c;
          if (cluster < c || cluster > UINT64_MAX / clusterSize) return;
          buf.resize(clusterSize);
          if (!r.ReadAt(cluster * clusterSize, clusterSize, buf.data())) return;
          for (uint8_t b : buf) {
            for (int bit = 0; bit < 8 && seen < info.totalClusters; ++bit, ++seen) used += (b >> bit) & 1;
          }
        }
      }
      info.freeClusters = info.totalClusters - std::min(used, info.totalClusters);
    });
  }
  return info;
}

// Label from the root's volume-label entry, free space from the allocation bitmap.
std::optional<VolumeInformation> exfatVolumeInfo(SectorReader& r) {
  auto facts = readExfatVolumeFacts([&r](uint64_t o, size_t n, uint8_t* p) { return r.ReadAt(o, n, p); }, true);
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
