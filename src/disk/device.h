#pragma once
// The device namespace: physical drives and lettered volumes as the rest of the system
// names them ("\\.\PhysicalDrive%d", "\\.\%c:"), backed on Linux by whole-disk block
// devices or by disk images attached by the user. Volumes are byte windows onto their
// drive, lettered from C in disk and partition order for partitions holding FAT or NTFS.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "formats/bytes.h"
#include "support/error.h"

namespace velk {

// What an opener asks for. Everything that examines a device opens it Read; only the
// partition-table rewrite asks for Write, after the user has confirmed.
enum class Access { Query, Read, Write };

// STORAGE_DEVICE_DESCRIPTOR facts the catalogue uses.
struct DeviceDescriptor {
  uint8_t deviceType = 0;  // 0 = direct-access disk
  bool removable = false;
  std::string vendor;      // empty when the device has no vendor identifier
  std::string product;
  uint32_t busType = 0;    // STORAGE_BUS_TYPE numbering
};

struct PartitionInfo {
  uint64_t startingOffset = 0;  // bytes
  uint64_t length = 0;          // bytes
};

struct VolumeInformation {
  std::string label;   // at most 23 bytes
  std::string fsName;  // "FAT", "FAT32", "NTFS"
  uint32_t sectorsPerCluster = 0;
  uint32_t bytesPerSector = 0;
  uint64_t freeClusters = 0;
  uint64_t totalClusters = 0;
};

// One open device. Reads may come back short at the end of the device; positions are
// absolute bytes on the device (volumes: on the volume).
class BlockDevice {
 public:
  virtual ~BlockDevice() = default;
  // Bytes read (0 at the end), or a negative errno.
  virtual int64_t readAt(uint64_t offset, void* buffer, size_t length) = 0;
  // Bytes written, or a negative errno (-EBADF on a device opened for reading).
  virtual int64_t writeAt(uint64_t offset, const void* buffer, size_t length) = 0;
  virtual uint64_t size() const = 0;
  // A hint that [offset, offset + length) will be read soon, so the system can start
  // reading it now (sequential scans keep the device busy while they work on a chunk).
  virtual void willRead(uint64_t /*offset*/, uint64_t /*length*/) {}
  // Identity of the underlying storage (st_dev/st_ino of the image or device node), so an
  // output folder on the scanned device can be refused.
  virtual std::optional<std::pair<uint64_t, uint64_t>> identity() const { return std::nullopt; }
  // Where byte 0 of this device lies on its physical drive (a volume's start), so that a
  // failure can name the absolute sector.
  virtual uint64_t driveOffset() const { return 0; }
};

using DeviceOpener = std::function<Result<std::unique_ptr<BlockDevice>>(Access)>;

// A byte source that backs a physical drive: a file, a block device, memory, or any device
// an opener makes (tests wrap devices that fail on purpose).
struct DriveSource {
  std::string displayName;             // what the user attached (path) or the device node
  std::filesystem::path path;          // empty for memory drives
  std::shared_ptr<std::vector<uint8_t>> memory;  // set for memory drives
  DeviceOpener opener;                 // set for drives of their own kind
  DeviceDescriptor descriptor;
  uint64_t size = 0;
  bool isBlockDevice = false;
};

struct VolumeEntry {
  char letter = 0;
  int drive = -1;
  uint64_t offset = 0;  // bytes on the drive
  uint64_t length = 0;
};

class DeviceNamespace {
 public:
  static DeviceNamespace& instance();

  // Forgets every drive and volume.
  void reset();
  // Attaches a disk image file (or a block device) as the next physical drive: NotFound when
  // missing, Unsupported when empty, too small or not a regular file/block device, Io when
  // it cannot be opened.
  [[nodiscard]] Status attachImage(const std::filesystem::path& path);
  // Attaches bytes in memory as the next physical drive (tests, fuzzing); its number.
  int attachMemory(std::string name, std::shared_ptr<std::vector<uint8_t>> bytes);
  // Attaches a drive that an opener makes (size and descriptor given); its number.
  int attachSource(DriveSource source);
  // Adds the machine's whole-disk block devices (sorted by name) after the images.
  void attachSystemDrives();
  // Walks every drive's partition table and letters the FAT and NTFS volumes from C.
  void assignLetters();

  int driveCount() const;
  std::optional<DriveSource> drive(int n) const;
  std::vector<VolumeEntry> volumes() const;
  std::optional<VolumeEntry> volume(char letter) const;

  Result<std::unique_ptr<BlockDevice>> openDrive(int n, Access access) const;
  Result<std::unique_ptr<BlockDevice>> openVolume(char letter, Access access) const;
  // The byte range [offset, offset + length) of drive n as a device of its own (a partition);
  // the range is cut at the drive's end.
  Result<std::unique_ptr<BlockDevice>> openRange(int n, uint64_t offset, uint64_t length, Access access) const;

 private:
  mutable std::mutex m_mutex;
  std::vector<DriveSource> m_drives;
  std::vector<VolumeEntry> m_volumes;
};

// Bytes in memory as a device (memory drives, and engines that parse an image held in memory).
std::unique_ptr<BlockDevice> memoryDevice(std::shared_ptr<std::vector<uint8_t>> bytes, bool writable);
// A file or block device opened as a device (what attached images are).
Result<std::unique_ptr<BlockDevice>> openDeviceFile(const std::filesystem::path& path, Access access);
// A byte window [offset, offset + length) onto another device.
std::unique_ptr<BlockDevice> windowDevice(std::unique_ptr<BlockDevice> inner, uint64_t offset, uint64_t length);

// Linux backend: the whole-disk block devices of /sys/block, sorted, with their sysfs facts.
std::vector<DriveSource> enumerateSystemDrives();

}  // namespace velk
