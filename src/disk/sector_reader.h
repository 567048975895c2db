#pragma once
// SectorReader: one open device, a base offset and a unit size; exact whole-unit reads at
// 64-bit byte offsets. Every engine, page and the partition rewrite own their own reader.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "disk/byte_sink.h"
#include "disk/device.h"
#include "disk/records.h"
#include "support/error.h"

namespace velk {

inline constexpr uint32_t kSectorSize = 512;

class SectorReader {
 public:
  SectorReader() = default;
  SectorReader(SectorReader&&) noexcept = default;
  SectorReader& operator=(SectorReader&&) noexcept = default;
  SectorReader(const SectorReader&) = delete;
  SectorReader& operator=(const SectorReader&) = delete;

  // Close any handle held, then open the device.
  [[nodiscard]] Status OpenPhysicalDrive(int n, Access access = Access::Read);
  [[nodiscard]] Status OpenVolume(char letter, Access access = Access::Read);
  // "PhysicalDrive%d" (with or without the "\\.\" prefix) or "X:".
  [[nodiscard]] Status OpenNamed(std::string_view text, Access access = Access::Read);
  // The partition a catalogue record describes, read-only, as a device of its own: byte 0
  // is the partition's first byte and reads end at its last (or the disk's end; a record
  // of length 0 runs to the disk's end).
  [[nodiscard]] Status OpenPartition(const PartitionRecord& record);
  // Opens an already open device object (tests hand in doubles).
  void OpenDevice(std::unique_ptr<BlockDevice> device, std::string name);

  void SetBase(uint64_t startSector) { m_base = startSector * kSectorSize; }
  void SetBaseBytes(uint64_t bytes) { m_base = bytes; }
  void SetUnit(uint32_t bytes) { m_unit = bytes; }
  // The NTFS variant: base, unit and file-record size together; refused when the unit or the
  // record size is zero or odd.
  [[nodiscard]] Status SetGeometry(uint64_t baseBytes, uint32_t unit, uint32_t recordSize);

  // Reads exactly length bytes at base + byteOffset. A failure names the absolute sector
  // where the read began.
  [[nodiscard]] Status ReadAt(uint64_t byteOffset, size_t length, void* buffer);
  // ReadAt(index × unit, count × unit); the product is formed in 64 bits.
  [[nodiscard]] Status ReadUnits(uint64_t index, uint64_t count, void* buffer);
  Result<std::vector<uint8_t>> ReadUnits(uint64_t index, uint64_t count);
  // Reads whole units from index until byteCount bytes arrived, writing exactly those bytes
  // to the sink (out.written() tells how far it got). Fails on a failed read, on the end of
  // the device before the count, or when the sink refuses bytes.
  [[nodiscard]] Status ReadUnitsLooped(uint64_t index, uint64_t byteCount, ByteSink& out);

  // Tells the device that [base + byteOffset, + length) will be read soon (a hint).
  void WillRead(uint64_t byteOffset, uint64_t length) {
    if (m_device && byteOffset <= UINT64_MAX - m_base) m_device->willRead(m_base + byteOffset, length);
  }

  [[nodiscard]] Status WriteAt(uint64_t byteOffset, const void* buffer, size_t length);
  void Close();

  // Device queries on the open handle.
  std::optional<DeviceDescriptor> QueryDescriptor() const;
  uint64_t QueryDiskSize() const;
  std::optional<PartitionInfo> QueryPartitionInfo() const;
  static std::optional<VolumeInformation> QueryVolume(char letter);

  bool isOpen() const { return m_device != nullptr; }
  const std::string& name() const { return m_name; }
  uint64_t base() const { return m_base; }
  uint32_t unit() const { return m_unit; }
  uint32_t recordSize() const { return m_recordSize; }
  size_t lastTransferred() const { return m_lastTransferred; }
  // Size in bytes of the open device (0 when closed).
  uint64_t deviceSize() const { return m_device ? m_device->size() : 0; }
  BlockDevice* device() const { return m_device.get(); }
  // The absolute disk sector of a byte offset from the base (for messages).
  uint64_t diskSectorOf(uint64_t byteOffset) const;

 private:
  Status open(Result<std::unique_ptr<BlockDevice>> opened, std::string name, int drive, char letter);
  Error readError(uint64_t byteOffset, int errnum, const char* what) const;

  std::unique_ptr<BlockDevice> m_device;
  std::string m_name;
  int m_drive = -1;     // physical drive number when opened as one
  char m_letter = 0;    // volume letter when opened as a volume
  bool m_partition = false;  // opened as a partition's byte range
  uint64_t m_base = 0;
  uint32_t m_unit = kSectorSize;
  uint32_t m_recordSize = 1024;
  size_t m_lastTransferred = 0;
};

// "Please run this product as Administrator!" is due when this is true: physical drive 0
// exists but cannot be opened for writing because of permissions.
bool administratorProbeFails();

}  // namespace velk
