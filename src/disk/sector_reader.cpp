#include "disk/sector_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace velk {
namespace {

// Largest single transfer of the looped reads: large enough to stream at device speed,
// small enough to keep memory bounded whatever the file size.
constexpr uint64_t kLoopChunk = 1 << 20;

std::string_view stripDevicePrefix(std::string_view text) {
  if (text.rfind("\\\\.\\", 0) == 0) text.remove_prefix(4);
  return text;
}

}  // namespace

bool SectorReader::open(tl::expected<std::unique_ptr<BlockDevice>, int> opened, std::string name,
                        int drive, char letter) {
  Close();
  if (!opened) {
    m_lastStatus = opened.error();
    return false;
  }
  m_device = std::move(*opened);
  m_name = std::move(name);
  m_drive = drive;
  m_letter = letter;
  m_lastStatus = 0;
  return true;
}

bool SectorReader::OpenPhysicalDrive(int n, Access access) {
  return open(DeviceNamespace::instance().openDrive(n, access), "PhysicalDrive" + std::to_string(n), n, 0);
}

bool SectorReader::OpenVolume(char letter, Access access) {
  return open(DeviceNamespace::instance().openVolume(letter, access), std::string(1, letter), -1, letter);
}

bool SectorReader::OpenNamed(std::string_view text, Access access) {
  text = stripDevicePrefix(text);
  constexpr std::string_view kDrive = "PhysicalDrive";
  if (text.rfind(kDrive, 0) == 0) {
    std::string digits(text.substr(kDrive.size()));
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), ::isdigit) || digits.size() > 4) {
      Close();
      m_lastStatus = ENOENT;
      return false;
    }
    return OpenPhysicalDrive(std::stoi(digits), access);
  }
  if ((text.size() == 1 || (text.size() == 2 && text[1] == ':')) && std::isalpha(uint8_t(text[0])))
    return OpenVolume(char(std::toupper(uint8_t(text[0]))), access);
  Close();
  m_lastStatus = ENOENT;
  return false;
}

void SectorReader::OpenDevice(std::unique_ptr<BlockDevice> device, std::string name) {
  Close();
  m_device = std::move(device);
  m_name = std::move(name);
  m_lastStatus = 0;
}

int SectorReader::SetGeometry(uint64_t baseBytes, uint32_t unit, uint32_t recordSize) {
  if (unit == 0 || (unit & 1) || recordSize == 0 || (recordSize & 1)) return 87;
  m_base = baseBytes;
  m_unit = unit;
  m_recordSize = recordSize;
  return 0;
}

bool SectorReader::ReadAt(uint64_t byteOffset, size_t length, void* buffer) {
  m_lastTransferred = 0;
  if (!m_device) {
    m_lastStatus = EBADF;
    return false;
  }
  if (byteOffset > UINT64_MAX - m_base) {
    m_lastStatus = EINVAL;
    return false;
  }
  int64_t n = m_device->readAt(m_base + byteOffset, buffer, length);
  if (n < 0) {
    m_lastStatus = int(-n);
    return false;
  }
  m_lastTransferred = size_t(n);
  if (size_t(n) != length) {
    m_lastStatus = EIO;
    return false;
  }
  m_lastStatus = 0;
  return true;
}

bool SectorReader::ReadUnits(uint64_t index, uint64_t count, void* buffer) {
  if (m_unit == 0 || count > SIZE_MAX / m_unit || (index != 0 && index > UINT64_MAX / m_unit)) {
    m_lastStatus = EINVAL;
    return false;
  }
  return ReadAt(index * m_unit, size_t(count * m_unit), buffer);
}

std::optional<std::vector<uint8_t>> SectorReader::ReadUnits(uint64_t index, uint64_t count) {
  if (m_unit == 0 || count > SIZE_MAX / m_unit) return std::nullopt;
  uint64_t bytes = count * m_unit;
  // Never allocate more than the device can hold: a damaged count must not exhaust memory.
  if (m_device && bytes > m_device->size()) {
    m_lastStatus = EINVAL;
    return std::nullopt;
  }
  std::vector<uint8_t> buf(static_cast<size_t>(bytes));
  if (!ReadUnits(index, count, buf.data())) return std::nullopt;
  return buf;
}

uint64_t SectorReader::ReadUnitsLooped(uint64_t index, uint64_t byteCount, void* buffer) {
  auto* out = static_cast<uint8_t*>(buffer);
  struct Copy final : ByteSink {
    uint8_t* p;
    bool write(const uint8_t* data, size_t n) override {
      std::memcpy(p + m_written, data, n);
      m_written += n;
      return true;
    }
  } sink;
  sink.p = out;
  return ReadUnitsLooped(index, byteCount, sink);
}

uint64_t SectorReader::ReadUnitsLooped(uint64_t index, uint64_t byteCount, ByteSink& out) {
  if (!m_device || m_unit == 0 || (index != 0 && index > UINT64_MAX / m_unit)) {
    m_lastStatus = m_device ? EINVAL : EBADF;
    return 0;
  }
  uint64_t chunkUnits = std::max<uint64_t>(1, kLoopChunk / m_unit);
  // Left uninitialised: every byte handed on was read first, and a recovery of thousands
  // of files would otherwise clear a buffer per file.
  const size_t bufBytes =
      size_t(std::min<uint64_t>(chunkUnits * m_unit, ((byteCount + m_unit - 1) / m_unit) * m_unit));
  std::unique_ptr<uint8_t[]> buf(new uint8_t[bufBytes]);
  uint64_t total = 0;
  uint64_t offset = m_base + index * m_unit;
  m_lastStatus = 0;
  while (total < byteCount) {
    uint64_t want = std::min<uint64_t>(bufBytes, ((byteCount - total + m_unit - 1) / m_unit) * m_unit);
    int64_t n = m_device->readAt(offset, buf.get(), size_t(want));
    if (n < 0) {
      m_lastStatus = int(-n);
      break;
    }
    if (n == 0) {  // the end of the device: the loop would never reach its total
      m_lastStatus = EIO;
      break;
    }
    uint64_t keep = std::min<uint64_t>(uint64_t(n), byteCount - total);
    if (!out.write(buf.get(), size_t(keep))) {
      m_lastStatus = EIO;
      break;
    }
    total += keep;
    offset += uint64_t(n);
  }
  m_lastTransferred = size_t(std::min<uint64_t>(total, SIZE_MAX));
  return total;
}

bool SectorReader::WriteAt(uint64_t byteOffset, const void* buffer, size_t length) {
  m_lastTransferred = 0;
  if (!m_device) {
    m_lastStatus = EBADF;
    return false;
  }
  int64_t n = m_device->writeAt(m_base + byteOffset, buffer, length);
  if (n < 0) {
    m_lastStatus = int(-n);
    return false;
  }
  m_lastTransferred = size_t(n);
  m_lastStatus = size_t(n) == length ? 0 : EIO;
  return m_lastStatus == 0;
}

void SectorReader::Close() {
  m_device.reset();
  m_drive = -1;
  m_letter = 0;
}

std::optional<DeviceDescriptor> SectorReader::QueryDescriptor() const {
  if (!m_device) return std::nullopt;
  auto& ns = DeviceNamespace::instance();
  int drive = m_drive;
  if (drive < 0 && m_letter) {
    auto v = ns.volume(m_letter);
    if (!v) return std::nullopt;
    drive = v->drive;
  }
  auto src = ns.drive(drive);
  if (!src) return std::nullopt;
  return src->descriptor;
}

uint64_t SectorReader::QueryDiskSize() const {
  auto d = QueryDescriptor();
  if (!d || d->deviceType != 0) return 0;
  return m_device->size();
}

std::optional<PartitionInfo> SectorReader::QueryPartitionInfo() const {
  if (!m_device) return std::nullopt;
  if (m_letter) {
    auto v = DeviceNamespace::instance().volume(m_letter);
    if (!v) return std::nullopt;
    return PartitionInfo{v->offset, v->length};
  }
  return PartitionInfo{0, m_device->size()};
}

bool administratorProbeFails() {
  auto& ns = DeviceNamespace::instance();
  if (ns.driveCount() == 0) return false;
  auto src = ns.drive(0);
  if (!src || !src->isBlockDevice) return false;  // images need no privileges
  auto dev = ns.openDrive(0, Access::Write);
  return !dev && (dev.error() == EACCES || dev.error() == EPERM);
}

}  // namespace velk
