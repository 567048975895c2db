#pragma once
// Helpers of the partition recovery tests: synthetic disks written to temporary image
// files, fixture copies, and sector access to an image file.

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>

#include "formats/bytes.h"
#include "disk/drive_catalog.h"
#include "disk/partition_table.h"
#include "disk/synthetic_disk.h"
#include "test_support.h"

namespace velk::test {

using SectorBytes = std::array<uint8_t, 512>;

// The whole image, read in one go (test::readFile goes byte by byte, slow on 100 MiB).
inline std::vector<uint8_t> imageBytes(const std::filesystem::path& image) {
  std::ifstream in(image, std::ios::binary);
  std::vector<uint8_t> bytes(std::filesystem::file_size(image));
  in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
  return bytes;
}

inline SectorBytes readImageSector(const std::filesystem::path& image, uint64_t sector) {
  SectorBytes s{};
  std::ifstream in(image, std::ios::binary);
  in.seekg(std::streamoff(sector * 512));
  in.read(reinterpret_cast<char*>(s.data()), 512);
  return s;
}

inline void writeImageBytes(const std::filesystem::path& image, uint64_t offset, const uint8_t* data, size_t n) {
  std::fstream f(image, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(std::streamoff(offset));
  f.write(reinterpret_cast<const char*>(data), std::streamsize(n));
}

inline void writeImageSector(const std::filesystem::path& image, uint64_t sector, const SectorBytes& s) {
  writeImageBytes(image, sector * 512, s.data(), s.size());
}

// Zeroes table entry `slot` of the table sector at `tableSector`.
inline void zeroTableEntry(const std::filesystem::path& image, uint64_t tableSector, int slot) {
  std::array<uint8_t, 16> zero{};
  writeImageBytes(image, tableSector * 512 + 0x1BE + uint64_t(slot) * 16, zero.data(), zero.size());
}

inline std::array<MbrEntry, 4> imageEntries(const std::filesystem::path& image, uint64_t tableSector) {
  auto s = readImageSector(image, tableSector);
  return TableSector::of(s).entries;
}

// Raw 16 bytes of a table entry.
inline std::array<uint8_t, 16> rawEntry(const std::filesystem::path& image, uint64_t tableSector, int slot) {
  auto s = readImageSector(image, tableSector);
  std::array<uint8_t, 16> e{};
  std::copy_n(s.begin() + 0x1BE + slot * 16, 16, e.begin());
  return e;
}

// Writes the disk to dir/name and attaches it as drive 0.
inline std::filesystem::path saveAndAttach(const SyntheticDisk& disk, const std::filesystem::path& dir,
                                           const std::string& name = "synthetic.img") {
  auto path = dir / name;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(disk.bytes()->data()), std::streamsize(disk.bytes()->size()));
  attachImages({path});
  return path;
}

// A temporary copy of an unpacked fixture image; skips the test when the fixture is absent.
inline std::filesystem::path copyFixture(const std::string& image, const std::filesystem::path& dir,
                                         const std::string& name = {}) {
  auto target = dir / (name.empty() ? image : name);
  std::filesystem::copy_file(fixturePath(image), target, std::filesystem::copy_options::overwrite_existing);
  return target;
}

inline const PartitionRecord* findRecord(const DriveCatalog& catalog, uint64_t start, std::string_view fs = {}) {
  for (const auto& r : catalog.partitions())
    if (r.startSector == start && (fs.empty() || r.fsNameText() == fs)) return &r;
  return nullptr;
}

}  // namespace velk::test
