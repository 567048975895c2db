#pragma once
// Builds small disks in memory for table-walk tests: MBR and EBR entries, boot sectors
// and EXT superblocks at chosen sectors.

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "formats/bytes.h"
#include "disk/device.h"

namespace velk::test {

class SyntheticDisk {
 public:
  explicit SyntheticDisk(uint64_t sectors) : m_bytes(std::make_shared<std::vector<uint8_t>>(sectors * 512)) {}

  uint8_t* sector(uint64_t n) { return m_bytes->data() + n * 512; }
  std::shared_ptr<std::vector<uint8_t>> bytes() const { return m_bytes; }
  uint64_t sectors() const { return m_bytes->size() / 512; }

  // Table entry i (0–3) of the table sector at `at`, with the boot signature.
  void entry(uint64_t at, int i, uint8_t type, uint32_t start, uint32_t count) {
    uint8_t* e = sector(at) + 0x1BE + i * 16;
    e[4] = type;
    putLe32(e + 8, start);
    putLe32(e + 12, count);
    signature(at);
  }
  void signature(uint64_t at) {
    sector(at)[0x1FE] = 0x55;
    sector(at)[0x1FF] = 0xAA;
  }
  // A FAT32 boot sector describing `count` sectors.
  void fat32Boot(uint64_t at, uint32_t count) {
    uint8_t* b = sector(at);
    b[0] = 0xEB; b[1] = 0x58; b[2] = 0x90;
    std::memcpy(b + 3, "MSWIN4.1", 8);
    putLe16(b + 0x0B, 512);
    b[0x0D] = 1;
    putLe16(b + 0x0E, 32);
    b[0x10] = 2;
    putLe32(b + 0x20, count);
    putLe32(b + 0x24, (count / 128) + 1);
    putLe32(b + 0x2C, 2);
    std::memcpy(b + 0x47, "SYNTH      ", 11);
    std::memcpy(b + 0x52, "FAT32   ", 8);
    signature(at);
  }
  void ntfsBoot(uint64_t at, uint64_t count) {
    uint8_t* b = sector(at);
    b[0] = 0xEB; b[1] = 0x52; b[2] = 0x90;
    std::memcpy(b + 3, "NTFS    ", 8);
    putLe16(b + 0x0B, 512);
    b[0x0D] = 8;
    putLe64(b + 0x28, count - 1);
    putLe64(b + 0x30, 4);
    b[0x40] = 0xF6;
    signature(at);
  }
  // An EXT superblock at partition start + 2 sectors.
  void extSuperblock(uint64_t partStart, const std::string& name, bool journal, uint32_t logBlock = 0) {
    uint8_t* sb = sector(partStart + 2);
    putLe32(sb + 0x0C, 100);         // free blocks
    putLe32(sb + 0x18, logBlock);
    putLe32(sb + 0x20, 8192);        // blocks per group
    putLe16(sb + 0x38, 0xEF53);
    std::memcpy(sb + 0x78, name.data(), std::min<size_t>(16, name.size()));
    if (journal) putLe32(sb + 0xE0, 8);
  }

  // Attaches to a fresh device namespace as drive 0.
  void attach() const {
    auto& ns = DeviceNamespace::instance();
    ns.reset();
    ns.attachMemory("synthetic", m_bytes);
    ns.assignLetters();
  }

 private:
  std::shared_ptr<std::vector<uint8_t>> m_bytes;
};

}  // namespace velk::test
