#pragma once
// Builds small FAT16/FAT32 volumes in memory, byte by byte, for the engine's unit tests.
// Only the sectors up to the highest cluster a test touches are allocated, so a volume can
// claim many clusters (FAT16 needs 4085) without the memory behind them.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "formats/bytes.h"
#include "disk/device.h"
#include "disk/records.h"
#include "engines/fat/fat_volume.h"
#include "faulty_device.h"

namespace velk::test {

inline constexpr uint32_t kReserved16 = 1;
inline constexpr uint32_t kReserved32 = 32;
inline constexpr int kTestYear = 2026;
inline constexpr uint16_t kTestDate = uint16_t(((kTestYear - 1980) << 9) | (6 << 5) | 15);
inline constexpr uint16_t kTestTime = uint16_t((10 << 11) | (20 << 5) | 15);

struct Dirent {
  std::string name83;  // 11 bytes, space padded ("REPORT  TXT")
  uint8_t attr = 0x20;
  uint32_t cluster = 0;
  uint32_t size = 0;
  bool deleted = false;
  uint16_t date = kTestDate;
  bool keepHighWord = true;  // FAT32: false clears the high word, as deletion on Windows does
};

class FatImage {
 public:
  static FatImage fat16(uint8_t spc, uint16_t rootEntries, uint32_t clusters, uint32_t allocatedClusters);
  static FatImage fat32(uint8_t spc, uint32_t clusters, uint32_t allocatedClusters);

  std::vector<uint8_t>& bytes() { return *m_bytes; }
  uint8_t* at(uint64_t offset) { return m_bytes->data() + offset; }
  uint32_t bps() const { return 512; }
  uint32_t clusterBytes() const { return 512u * m_spc; }
  uint64_t clusterOffset(uint32_t c) const { return (uint64_t(m_dataStart) + uint64_t(c - 2) * m_spc) * 512; }
  uint64_t rootOffset() const { return uint64_t(m_rootStart) * 512; }
  uint32_t totalSectors() const { return m_total; }
  uint32_t dataStart() const { return m_dataStart; }
  uint32_t rootCluster() const { return 2; }

  void setFat(uint32_t c, uint32_t value);
  // Writes a chain c, c+1, ... of n clusters ending with end-of-chain.
  void chain(uint32_t c, uint32_t n);
  // Entry slot i of a directory that starts at byte offset dir.
  void entry(uint64_t dir, size_t i, const Dirent& d);
  // Long-name entries for name in slots i, i+1, ... (last piece first); returns slots used.
  size_t longName(uint64_t dir, size_t i, const std::u16string& name, bool deleted);
  // "." and ".." entries at the start of a folder cluster.
  void dots(uint32_t self, uint32_t parent);
  void fill(uint64_t offset, size_t n, uint8_t seed);

  // Opens the image through a device with the given faults.
  std::unique_ptr<FatVolume> open(const FaultPlan& faults = {});

 private:
  bool m_fat32 = false;
  uint8_t m_spc = 1;
  uint32_t m_spf = 0;
  uint32_t m_total = 0;
  uint32_t m_rootStart = 0;
  uint32_t m_dataStart = 0;
  std::shared_ptr<std::vector<uint8_t>> m_bytes;
};

// ---- definitions



inline FatImage FatImage::fat16(uint8_t spc, uint16_t rootEntries, uint32_t clusters, uint32_t allocatedClusters) {
  FatImage f;
  f.m_spc = spc;
  f.m_spf = ((clusters + 2) * 2 + 511) / 512;
  f.m_rootStart = kReserved16 + 2 * f.m_spf;
  f.m_dataStart = f.m_rootStart + (rootEntries * 32 + 511) / 512;
  f.m_total = f.m_dataStart + clusters * spc;
  f.m_bytes = std::make_shared<std::vector<uint8_t>>(size_t(f.m_dataStart + allocatedClusters * spc) * 512, 0);
  uint8_t* b = f.m_bytes->data();
  b[0] = 0xEB, b[1] = 0x3C, b[2] = 0x90;
  putLe16(b + 0x0B, 512);
  b[0x0D] = spc;
  putLe16(b + 0x0E, kReserved16);
  b[0x10] = 2;
  putLe16(b + 0x11, rootEntries);
  if (f.m_total < 65536) putLe16(b + 0x13, uint16_t(f.m_total));
  else putLe32(b + 0x20, f.m_total);
  b[0x15] = 0xF8;
  putLe16(b + 0x16, uint16_t(f.m_spf));
  b[510] = 0x55, b[511] = 0xAA;
  f.setFat(0, 0xFFF8);
  f.setFat(1, 0xFFFF);
  return f;
}

inline FatImage FatImage::fat32(uint8_t spc, uint32_t clusters, uint32_t allocatedClusters) {
  FatImage f;
  f.m_fat32 = true;
  f.m_spc = spc;
  f.m_spf = ((clusters + 2) * 4 + 511) / 512;
  f.m_rootStart = 0;
  f.m_dataStart = kReserved32 + 2 * f.m_spf;
  f.m_total = f.m_dataStart + clusters * spc;
  f.m_bytes = std::make_shared<std::vector<uint8_t>>(size_t(f.m_dataStart + allocatedClusters * spc) * 512, 0);
  uint8_t* b = f.m_bytes->data();
  b[0] = 0xEB, b[1] = 0x58, b[2] = 0x90;
  putLe16(b + 0x0B, 512);
  b[0x0D] = spc;
  putLe16(b + 0x0E, kReserved32);
  b[0x10] = 2;
  b[0x15] = 0xF8;
  putLe32(b + 0x20, f.m_total);
  putLe32(b + 0x24, f.m_spf);
  putLe32(b + 0x2C, 2);
  b[510] = 0x55, b[511] = 0xAA;
  f.setFat(0, 0x0FFFFFF8);
  f.setFat(1, 0x0FFFFFFF);
  f.setFat(2, 0x0FFFFFFF);  // the root directory
  return f;
}

inline void FatImage::setFat(uint32_t c, uint32_t value) {
  const uint32_t reserved = m_fat32 ? kReserved32 : kReserved16;
  for (uint32_t copy = 0; copy < 2; ++copy) {
    uint64_t base = uint64_t(reserved + copy * m_spf) * 512;
    if (m_fat32) putLe32(at(base + 4ull * c), value);
    else putLe16(at(base + 2ull * c), uint16_t(value));
  }
}

inline void FatImage::chain(uint32_t c, uint32_t n) {
  for (uint32_t k = 0; k + 1 < n; ++k) setFat(c + k, c + k + 1);
  setFat(c + n - 1, m_fat32 ? 0x0FFFFFFF : 0xFFFF);
}

inline void FatImage::entry(uint64_t dir, size_t i, const Dirent& d) {
  uint8_t* e = at(dir + i * 32);
  std::memset(e, 0, 32);
  std::memcpy(e, d.name83.data(), std::min<size_t>(11, d.name83.size()));
  if (d.deleted) e[0] = 0xE5;
  e[0x0B] = d.attr;
  putLe16(e + 0x0E, kTestTime);
  putLe16(e + 0x10, d.date);
  putLe16(e + 0x12, d.date);
  putLe16(e + 0x16, kTestTime);
  putLe16(e + 0x18, d.date);
  if (m_fat32 && (!d.deleted || d.keepHighWord)) putLe16(e + 0x14, uint16_t(d.cluster >> 16));
  putLe16(e + 0x1A, uint16_t(d.cluster));
  putLe32(e + 0x1C, d.size);
}

inline size_t FatImage::longName(uint64_t dir, size_t i, const std::u16string& name, bool deleted) {
  static constexpr size_t kSlots[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  const size_t pieces = (name.size() + 12) / 13;
  for (size_t p = 0; p < pieces; ++p) {
    const size_t piece = pieces - 1 - p;  // stored last piece first
    uint8_t* e = at(dir + (i + p) * 32);
    std::memset(e, 0, 32);
    e[0] = deleted ? 0xE5 : uint8_t((piece + 1) | (p == 0 ? 0x40 : 0));
    e[0x0B] = 0x0F;
    e[0x0D] = 0x5A;  // checksum: the same for every piece of one name
    for (size_t k = 0; k < 13; ++k) {
      size_t pos = piece * 13 + k;
      uint16_t c = pos < name.size() ? uint16_t(name[pos]) : (pos == name.size() ? 0x0000 : 0xFFFF);
      putLe16(e + kSlots[k], c);
    }
  }
  return pieces;
}

inline void FatImage::dots(uint32_t self, uint32_t parent) {
  entry(clusterOffset(self), 0, Dirent{".          ", 0x10, self, 0});
  entry(clusterOffset(self), 1, Dirent{"..         ", 0x10, parent, 0});
}

inline void FatImage::fill(uint64_t offset, size_t n, uint8_t seed) {
  for (size_t k = 0; k < n; ++k) *at(offset + k) = uint8_t(seed + k * 7 + (k >> 9));
}

inline std::unique_ptr<FatVolume> FatImage::open(const FaultPlan& faults) {
  SectorReader reader;
  reader.OpenDevice(std::make_unique<FaultyDevice>(memoryDevice(m_bytes, false), faults), "fat-test");
  return std::make_unique<FatVolume>(std::move(reader), 0, 'F');
}

}  // namespace velk::test
