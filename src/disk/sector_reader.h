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

namespace velk {

inline constexpr uint32_t kSectorSize = 512;

class SectorReader {
 public:
  SectorReader() = default;
  SectorReader(SectorReader&&) noexcept = default;
  SectorReader& operator=(SectorReader&&) noexcept = default;
  SectorReader(const SectorReader&) = delete;
  SectorReader& operator=(const SectorReader&) = delete;

  // Close any handle held, then open the device. True when a handle was obtained.
  bool OpenPhysicalDrive(int n, Access access = Access::Read);
  bool OpenVolume(char letter, Access access = Access::Read);
  // "PhysicalDrive%d" (with or without the "\\.\" prefix) or "X:".
  bool OpenNamed(std::string_view text, Access access = Access::Read);
  // Opens an already open device object (tests hand in doubles).
  void OpenDevice(std::unique_ptr<BlockDevice> device, std::string name);

  void SetBase(uint64_t startSector) { m_base = startSector * kSectorSize; }
  void SetBaseBytes(uint64_t bytes) { m_base = bytes; }
  void SetUnit(uint32_t bytes) { m_unit = bytes; }
  // The NTFS variant: base, unit and file-record size together; 87 when the unit or the
  // record size is zero or odd.
  [[nodiscard]] int SetGeometry(uint64_t baseBytes, uint32_t unit, uint32_t recordSize);

  // Reads exactly length bytes at base + byteOffset.
  [[nodiscard]] bool ReadAt(uint64_t byteOffset, size_t length, void* buffer);
  // ReadAt(index × unit, count × unit); the product is formed in 64 bits.
  [[nodiscard]] bool ReadUnits(uint64_t index, uint64_t count, void* buffer);
  std::optional<std::vector<uint8_t>> ReadUnits(uint64_t index, uint64_t count);
  // Reads whole units from index until at least byteCount bytes arrived, copying at most
  // byteCount bytes into the buffer. Ends early (returning the short total) on a failed
  // read or the end of the device.
  uint64_t ReadUnitsLooped(uint64_t index, uint64_t byteCount, void* buffer);
  // The same, writing exactly the bytes read (at most byteCount) to a sink.
  uint64_t ReadUnitsLooped(uint64_t index, uint64_t byteCount, ByteSink& out);

  // Tells the device that [base + byteOffset, + length) will be read soon (a hint).
  void WillRead(uint64_t byteOffset, uint64_t length) {
    if (m_device && byteOffset <= UINT64_MAX - m_base) m_device->willRead(m_base + byteOffset, length);
  }

  [[nodiscard]] bool WriteAt(uint64_t byteOffset, const void* buffer, size_t length);
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
  // 0 after a success, else the errno of the last failure (EIO for a short read).
  int lastStatus() const { return m_lastStatus; }
  // Size in bytes of the open device (0 when closed).
  uint64_t deviceSize() const { return m_device ? m_device->size() : 0; }
  BlockDevice* device() const { return m_device.get(); }

 private:
  bool open(tl::expected<std::unique_ptr<BlockDevice>, int> opened, std::string name,
            int drive, char letter);

  std::unique_ptr<BlockDevice> m_device;
  std::string m_name;
  int m_drive = -1;     // physical drive number when opened as one
  char m_letter = 0;    // volume letter when opened as a volume
  uint64_t m_base = 0;
  uint32_t m_unit = kSectorSize;
  uint32_t m_recordSize = 1024;
  size_t m_lastTransferred = 0;
  int m_lastStatus = 0;
};

// "Please run this product as Administrator!" is due when this is true: physical drive 0
// exists but cannot be opened for writing because of permissions.
bool administratorProbeFails();

}  // namespace velk
