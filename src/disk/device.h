#pragma once
// The device namespace: physical drives and lettered volumes as the rest of the system
// names them ("\\.\PhysicalDrive%d", "\\.\%c:"), backed on Linux by whole-disk block
// devices or by disk images attached by the user. Volumes are byte windows onto their
// drive, lettered from C in disk and partition order for partitions holding FAT or NTFS.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <tl/expected.hpp>

#include "disk/bytes.h"

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
};

// The container a drive's image file is in (image_formats.h); Raw (0) for plain files.
enum class ImageFormat : uint8_t;

// A byte source that backs a physical drive: a file, a block device, or memory (tests and
// fuzzing).
struct DriveSource {
  std::string displayName;             // what the user attached (path) or the device node
  std::filesystem::path path;          // empty for memory drives
  std::shared_ptr<std::vector<uint8_t>> memory;  // set for memory drives
  DeviceDescriptor descriptor;
  uint64_t size = 0;
  bool isBlockDevice = false;
  ImageFormat format{};                // of path: read through its library unless Raw
};

struct VolumeEntry {
  char letter = 0;
  int drive = -1;
  uint64_t offset = 0;  // bytes on the drive
  uint64_t length = 0;
};

// Test hooks that make the layer misbehave like damaged hardware.
struct FaultPolicy {
  bool failWrites = false;                // every write fails with EROFS
  uint64_t failReadsFrom = UINT64_MAX;    // reads touching [from, to) of a drive fail with EIO
  uint64_t failReadsTo = 0;
  int failReadsDrive = -1;                // -1: every drive
  // Counts the writes refused under failWrites (the read-only guarantee's witness).
  std::shared_ptr<std::atomic<uint64_t>> refusedWrites;
  // Counts every read asked of a drive (bounds on how often a walk reads the same place).
  std::shared_ptr<std::atomic<uint64_t>> readCalls;
};

class DeviceNamespace {
 public:
  static DeviceNamespace& instance();

  // Forgets every drive and volume.
  void reset();
  // Attaches a disk image file as the next physical drive: a raw image, or the disk inside
  // an E01/VHD/VHDX/VMDK/QCOW2 container (told by content). 0 or an errno; ENOENT when
  // missing, EINVAL when empty, not a regular file/block device, or a container that
  // cannot be read. When reason is given it receives why (the container library's words).
  [[nodiscard]] int attachImage(const std::filesystem::path& path, std::string* reason = nullptr);
  // Attaches bytes in memory as the next physical drive (tests, fuzzing).
  int attachMemory(std::string name, std::shared_ptr<std::vector<uint8_t>> bytes);
  // Adds the machine's whole-disk block devices (sorted by name) after the images.
  void attachSystemDrives();
  // Walks every drive's partition table and letters the FAT and NTFS volumes from C.
  void assignLetters();

  int driveCount() const;
  std::optional<DriveSource> drive(int n) const;
  std::vector<VolumeEntry> volumes() const;
  std::optional<VolumeEntry> volume(char letter) const;

  tl::expected<std::unique_ptr<BlockDevice>, int> openDrive(int n, Access access) const;
  tl::expected<std::unique_ptr<BlockDevice>, int> openVolume(char letter, Access access) const;

  void setFaultPolicy(const FaultPolicy& policy);
  FaultPolicy faultPolicy() const;

 private:
  mutable std::mutex m_mutex;
  std::vector<DriveSource> m_drives;
  std::vector<VolumeEntry> m_volumes;
  FaultPolicy m_faults;
};

// A file (or block device) opened read-only as a device, as a raw image is.
tl::expected<std::unique_ptr<BlockDevice>, int> openFileDevice(const std::filesystem::path& path);

// Bytes in memory as a device (memory drives, and engines that parse an image held in memory).
std::unique_ptr<BlockDevice> memoryDevice(std::shared_ptr<std::vector<uint8_t>> bytes, bool writable);

// Linux backend: the whole-disk block devices of /sys/block, sorted, with their sysfs facts.
std::vector<DriveSource> enumerateSystemDrives();

}  // namespace velk
