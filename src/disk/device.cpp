#include "disk/device.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <linux/fs.h>

#include "disk/file_system.h"
#include "disk/image_formats.h"
#include "disk/partition_table.h"

namespace velk {
namespace {

// A file or block device opened with a plain descriptor.
class FileDevice final : public BlockDevice {
 public:
  FileDevice(int fd, uint64_t size, dev_t dev, ino_t ino) : m_fd(fd), m_size(size), m_dev(dev), m_ino(ino) {}
  ~FileDevice() override { ::close(m_fd); }

  int64_t readAt(uint64_t offset, void* buffer, size_t length) override {
    size_t done = 0;
    auto* out = static_cast<uint8_t*>(buffer);
    while (done < length) {
      ssize_t n = ::pread(m_fd, out + done, length - done, off_t(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return done ? int64_t(done) : -errno;
      }
      if (n == 0) break;
      done += size_t(n);
    }
    return int64_t(done);
  }
  int64_t writeAt(uint64_t offset, const void* buffer, size_t length) override {
    ssize_t n = ::pwrite(m_fd, buffer, length, off_t(offset));
    return n < 0 ? -errno : n;
  }
  uint64_t size() const override { return m_size; }
  void willRead(uint64_t offset, uint64_t length) override {
    if (offset < m_size)
      (void)::posix_fadvise(m_fd, off_t(offset), off_t(std::min(length, m_size - offset)), POSIX_FADV_WILLNEED);
  }
  std::optional<std::pair<uint64_t, uint64_t>> identity() const override {
    return std::make_pair(uint64_t(m_dev), uint64_t(m_ino));
  }

 private:
  int m_fd;
  uint64_t m_size;
  dev_t m_dev;
  ino_t m_ino;
};

class MemoryDevice final : public BlockDevice {
 public:
  MemoryDevice(std::shared_ptr<std::vector<uint8_t>> bytes, bool writable)
      : m_bytes(std::move(bytes)), m_writable(writable) {}
  int64_t readAt(uint64_t offset, void* buffer, size_t length) override {
    if (offset >= m_bytes->size()) return 0;
    size_t n = size_t(std::min<uint64_t>(length, m_bytes->size() - offset));
    std::memcpy(buffer, m_bytes->data() + offset, n);
    return int64_t(n);
  }
  int64_t writeAt(uint64_t offset, const void* buffer, size_t length) override {
    if (!m_writable) return -EBADF;
    if (offset >= m_bytes->size()) return -ENOSPC;
    size_t n = size_t(std::min<uint64_t>(length, m_bytes->size() - offset));
    std::memcpy(m_bytes->data() + offset, buffer, n);
    return int64_t(n);
  }
  uint64_t size() const override { return m_bytes->size(); }

 private:
  std::shared_ptr<std::vector<uint8_t>> m_bytes;
  bool m_writable;
};

// A byte window onto a drive: a lettered volume.
class WindowDevice final : public BlockDevice {
 public:
  WindowDevice(std::unique_ptr<BlockDevice> inner, uint64_t offset, uint64_t length)
      : m_inner(std::move(inner)), m_offset(offset), m_length(length) {}
  int64_t readAt(uint64_t offset, void* buffer, size_t length) override {
    if (offset >= m_length) return 0;
    size_t n = size_t(std::min<uint64_t>(length, m_length - offset));
    return m_inner->readAt(m_offset + offset, buffer, n);
  }
  int64_t writeAt(uint64_t offset, const void* buffer, size_t length) override {
    if (offset >= m_length) return -ENOSPC;
    size_t n = size_t(std::min<uint64_t>(length, m_length - offset));
    return m_inner->writeAt(m_offset + offset, buffer, n);
  }
  uint64_t size() const override { return m_length; }
  void willRead(uint64_t offset, uint64_t length) override {
    if (offset < m_length) m_inner->willRead(m_offset + offset, std::min(length, m_length - offset));
  }
  std::optional<std::pair<uint64_t, uint64_t>> identity() const override { return m_inner->identity(); }
  uint64_t driveOffset() const override { return m_inner->driveOffset() + m_offset; }

 private:
  std::unique_ptr<BlockDevice> m_inner;
  uint64_t m_offset;
  uint64_t m_length;
};

Result<std::unique_ptr<BlockDevice>> openSource(const DriveSource& src, Access access) {
  if (src.opener) return src.opener(access);
  if (src.memory) return memoryDevice(src.memory, access == Access::Write);
  int flags = (access == Access::Write ? O_RDWR : O_RDONLY) | O_CLOEXEC;
  int fd = ::open(src.path.c_str(), flags);
  if (fd < 0) return fail(ioError("opening '" + src.displayName + "'", errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    int e = errno;
    ::close(fd);
    return fail(ioError("opening '" + src.displayName + "'", e));
  }
  uint64_t size = uint64_t(st.st_size);
  if (S_ISBLK(st.st_mode)) {
    uint64_t bytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0) size = bytes;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  return std::make_unique<FileDevice>(fd, size, st.st_dev, st.st_ino);
}

}  // namespace

std::unique_ptr<BlockDevice> memoryDevice(std::shared_ptr<std::vector<uint8_t>> bytes, bool writable) {
  return std::make_unique<MemoryDevice>(std::move(bytes), writable);
}

Result<std::unique_ptr<BlockDevice>> openDeviceFile(const std::filesystem::path& path, Access access) {
  DriveSource src;
  src.displayName = path.string();
  src.path = path;
  return openSource(src, access);
}

std::unique_ptr<BlockDevice> windowDevice(std::unique_ptr<BlockDevice> inner, uint64_t offset, uint64_t length) {
  return std::make_unique<WindowDevice>(std::move(inner), offset, length);
}

DeviceNamespace& DeviceNamespace::instance() {
  static DeviceNamespace ns;
  return ns;
}

void DeviceNamespace::reset() {
  std::lock_guard lock(m_mutex);
  m_drives.clear();
  m_volumes.clear();
}

Status DeviceNamespace::attachImage(const std::filesystem::path& path) {
  const std::string shown = "the disk image '" + path.string() + "'";
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return fail(notFoundError(shown));
    return fail(ioError("opening " + shown, errno));
  }
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
    return fail(unsupportedError(shown + " is not a regular file or a block device"));
  DriveSource src;
  src.displayName = path.string();
  src.path = path;
  src.isBlockDevice = S_ISBLK(st.st_mode);
  // A forensic or virtual-machine container is told by its content and read through its
  // library; its disk is never written through it.
  const ImageFormat format = src.isBlockDevice ? ImageFormat::Raw : probeImageFormat(path);
  if (format != ImageFormat::Raw) {
    src.opener = [path, format](Access access) -> Result<std::unique_ptr<BlockDevice>> {
      if (access == Access::Write) return fail(ioError("writing into a disk-image container", EROFS));
      return openImageContainer(path, format);
    };
  }
  auto dev = openSource(src, Access::Read);
  if (!dev) return fail(dev.error());
  src.size = (*dev)->size();
  if (src.size < 512) return fail(unsupportedError(shown + " is empty or smaller than one sector"));
  src.descriptor.product = path.filename().string();
  src.descriptor.busType = 0;
  std::lock_guard lock(m_mutex);
  m_drives.push_back(std::move(src));
  return {};
}

int DeviceNamespace::attachMemory(std::string name, std::shared_ptr<std::vector<uint8_t>> bytes) {
  DriveSource src;
  src.displayName = name;
  src.descriptor.product = std::move(name);
  src.size = bytes->size();
  src.memory = std::move(bytes);
  std::lock_guard lock(m_mutex);
  m_drives.push_back(std::move(src));
  return int(m_drives.size()) - 1;
}

int DeviceNamespace::attachSource(DriveSource src) {
  std::lock_guard lock(m_mutex);
  m_drives.push_back(std::move(src));
  return int(m_drives.size()) - 1;
}

void DeviceNamespace::attachSystemDrives() {
  auto found = enumerateSystemDrives();
  std::lock_guard lock(m_mutex);
  for (auto& d : found) m_drives.push_back(std::move(d));
}

void DeviceNamespace::assignLetters() {
  std::vector<VolumeEntry> volumes;
  char next = 'C';
  int count = driveCount();
  for (int n = 0; n < count && next <= 'Z'; ++n) {
    auto dev = openDrive(n, Access::Read);
    if (!dev) continue;
    BlockDevice& d = **dev;
    uint64_t sectors = d.size() / 512;
    auto read = [&](uint64_t sector, uint8_t* buf) {
      return sector < sectors && d.readAt(sector * 512, buf, 512) == 512;
    };
    TableScan scan = scanPartitionTable(read, sectors);
    std::array<uint8_t, 512> first{};
    if (scan.layout == TableScan::Layout::Unpartitioned) {
      volumes.push_back({next++, n, 0, d.size()});
      continue;
    }
    auto entries = scan.entries;
    std::stable_sort(entries.begin(), entries.end(),
                     [](const TableEntry& a, const TableEntry& b) { return a.tableSector < b.tableSector; });
    for (const auto& e : entries) {
      if (next > 'Z') break;
      if (e.start >= sectors || !read(e.start, first.data()) || !isLetteredVolumeBootSector(first)) continue;
      uint64_t length = std::min<uint64_t>(e.count, sectors - e.start) * 512;
      volumes.push_back({next++, n, e.start * 512, length});
    }
  }
  std::lock_guard lock(m_mutex);
  m_volumes = std::move(volumes);
}

int DeviceNamespace::driveCount() const {
  std::lock_guard lock(m_mutex);
  return int(m_drives.size());
}

std::optional<DriveSource> DeviceNamespace::drive(int n) const {
  std::lock_guard lock(m_mutex);
  if (n < 0 || size_t(n) >= m_drives.size()) return std::nullopt;
  return m_drives[size_t(n)];
}

std::vector<VolumeEntry> DeviceNamespace::volumes() const {
  std::lock_guard lock(m_mutex);
  return m_volumes;
}

std::optional<VolumeEntry> DeviceNamespace::volume(char letter) const {
  std::lock_guard lock(m_mutex);
  for (const auto& v : m_volumes)
    if (v.letter == letter) return v;
  return std::nullopt;
}

Result<std::unique_ptr<BlockDevice>> DeviceNamespace::openDrive(int n, Access access) const {
  auto src = drive(n);
  if (!src) return fail(notFoundError("physical drive " + std::to_string(n)));
  return openSource(*src, access);
}

Result<std::unique_ptr<BlockDevice>> DeviceNamespace::openVolume(char letter, Access access) const {
  auto v = volume(letter);
  if (!v) return fail(notFoundError(std::string("volume ") + letter + ":"));
  return openRange(v->drive, v->offset, v->length, access);
}

Result<std::unique_ptr<BlockDevice>> DeviceNamespace::openRange(int n, uint64_t offset, uint64_t length,
                                                                Access access) const {
  auto dev = openDrive(n, access);
  if (!dev) return dev;
  const uint64_t size = (*dev)->size();
  const uint64_t start = std::min(offset, size);
  return windowDevice(std::move(*dev), start, std::min(length, size - start));
}

}  // namespace velk
