#include "disk/sector_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

namespace velk {
namespace {

// Largest single transfer of the looped reads: large enough to stream at device speed,
// small enough to keep memory bounded whatever the file size.
constexpr uint64_t kLoopChunk = 1 << 20;

std::string_view stripDevicePrefix(std::string_view text) {
  if (text.rfind("\\\\.\\", 0) == 0) text.remove_prefix(4);
  return text;
}

Error closedError() { return ioError("reading a device that is not open", EBADF); }

}  // namespace

Status SectorReader::open(Result<std::unique_ptr<BlockDevice>> opened, std::string name, int drive, char letter) {
  Close();
  if (!opened) return fail(opened.error());
  m_device = std::move(*opened);
  m_name = std::move(name);
  m_drive = drive;
  m_letter = letter;
  return {};
}

Status SectorReader::OpenPhysicalDrive(int n, Access access) {
  return open(DeviceNamespace::instance().openDrive(n, access), "PhysicalDrive" + std::to_string(n), n, 0);
}

Status SectorReader::OpenVolume(char letter, Access access) {
  return open(DeviceNamespace::instance().openVolume(letter, access), std::string(1, letter), -1, letter);
}

Status SectorReader::OpenPartition(const PartitionRecord& record) {
  // A record without a length (built by hand, not by the catalogue) runs to the disk's end.
  const uint64_t length = record.length ? record.length : UINT64_MAX;
  auto device = DeviceNamespace::instance().openRange(record.diskNumber, record.startByte(), length, Access::Read);
  auto opened = open(std::move(device), "PhysicalDrive" + std::to_string(record.diskNumber), record.diskNumber, 0);
  m_partition = true;
  return opened;
}

Status SectorReader::OpenNamed(std::string_view text, Access access) {
  text = stripDevicePrefix(text);
  const std::string shown(text);
  constexpr std::string_view kDrive = "PhysicalDrive";
  if (text.rfind(kDrive, 0) == 0) {
    std::string digits(text.substr(kDrive.size()));
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), ::isdigit) || digits.size() > 4) {
      Close();
      return fail(notFoundError("the device '" + shown + "'"));
    }
    return OpenPhysicalDrive(std::stoi(digits), access);
  }
  if ((text.size() == 1 || (text.size() == 2 && text[1] == ':')) && std::isalpha(uint8_t(text[0])))
    return OpenVolume(char(std::toupper(uint8_t(text[0]))), access);
  Close();
  return fail(notFoundError("the device '" + shown + "'"));
}

void SectorReader::OpenDevice(std::unique_ptr<BlockDevice> device, std::string name) {
  Close();
  m_device = std::move(device);
  m_name = std::move(name);
}

Status SectorReader::SetGeometry(uint64_t baseBytes, uint32_t unit, uint32_t recordSize) {
  if (unit == 0 || (unit & 1) || recordSize == 0 || (recordSize & 1))
    return fail(usageError("the unit and record sizes must be even and not zero"));
  m_base = baseBytes;
  m_unit = unit;
  m_recordSize = recordSize;
  return {};
}

uint64_t SectorReader::diskSectorOf(uint64_t byteOffset) const {
  const uint64_t origin = m_device ? m_device->driveOffset() : 0;
  return (origin + m_base + byteOffset) / kSectorSize;
}

Error SectorReader::readError(uint64_t byteOffset, int errnum, const char* what) const {
  return ioError(what, errnum, diskSectorOf(byteOffset));
}

Status SectorReader::ReadAt(uint64_t byteOffset, size_t length, void* buffer) {
  m_lastTransferred = 0;
  if (!m_device) return fail(closedError());
  if (byteOffset > UINT64_MAX - m_base) return fail(usageError("a read position lies past the end of any device"));
  int64_t n = m_device->readAt(m_base + byteOffset, buffer, length);
  if (n < 0) return fail(readError(byteOffset, int(-n), "reading the disk"));
  m_lastTransferred = size_t(n);
  // A short read is the end of the device (or of the partition): the bytes are not there.
  if (size_t(n) != length) return fail(readError(byteOffset + size_t(n), EIO, "reading past the end of the disk"));
  return {};
}

Status SectorReader::ReadUnits(uint64_t index, uint64_t count, void* buffer) {
  if (m_unit == 0 || count > SIZE_MAX / m_unit || (index != 0 && index > UINT64_MAX / m_unit))
    return fail(usageError("a read position lies past the end of any device"));
  return ReadAt(index * m_unit, size_t(count * m_unit), buffer);
}

Result<std::vector<uint8_t>> SectorReader::ReadUnits(uint64_t index, uint64_t count) {
  if (m_unit == 0 || count > SIZE_MAX / m_unit) return fail(usageError("a read larger than memory was asked for"));
  uint64_t bytes = count * m_unit;
  // Never allocate more than the device can hold: a damaged count must not exhaust memory.
  if (m_device && bytes > m_device->size()) return fail(corruptError("a size field", "it is larger than the disk"));
  std::vector<uint8_t> buf(static_cast<size_t>(bytes));
  if (auto read = ReadUnits(index, count, buf.data()); !read) return fail(read.error());
  return buf;
}

Status SectorReader::ReadUnitsLooped(uint64_t index, uint64_t byteCount, ByteSink& out) {
  if (!m_device) return fail(closedError());
  if (m_unit == 0 || (index != 0 && index > UINT64_MAX / m_unit))
    return fail(usageError("a read position lies past the end of any device"));
  uint64_t chunkUnits = std::max<uint64_t>(1, kLoopChunk / m_unit);
  // Left uninitialised: every byte handed on was read first, and a recovery of thousands
  // of files would otherwise clear a buffer per file.
  const size_t bufBytes =
      size_t(std::min<uint64_t>(chunkUnits * m_unit, ((byteCount + m_unit - 1) / m_unit) * m_unit));
  std::unique_ptr<uint8_t[]> buf(new uint8_t[bufBytes]);
  uint64_t total = 0;
  const uint64_t first = index * m_unit;
  while (total < byteCount) {
    const uint64_t at = first + total;
    uint64_t want = std::min<uint64_t>(bufBytes, ((byteCount - total + m_unit - 1) / m_unit) * m_unit);
    int64_t n = m_device->readAt(m_base + at, buf.get(), size_t(want));
    if (n < 0) return fail(readError(at, int(-n), "reading the disk"));
    // The end of the device: the loop would never reach its total.
    if (n == 0) return fail(readError(at, EIO, "reading past the end of the disk"));
    uint64_t keep = std::min<uint64_t>(uint64_t(n), byteCount - total);
    if (!out.write(buf.get(), size_t(keep))) return fail(ioError("writing the output", out.lastErrno()));
    total += keep;
  }
  m_lastTransferred = size_t(std::min<uint64_t>(total, SIZE_MAX));
  return {};
}

Status SectorReader::WriteAt(uint64_t byteOffset, const void* buffer, size_t length) {
  m_lastTransferred = 0;
  if (!m_device) return fail(closedError());
  int64_t n = m_device->writeAt(m_base + byteOffset, buffer, length);
  if (n < 0) return fail(ioError("writing the disk", int(-n), diskSectorOf(byteOffset)));
  m_lastTransferred = size_t(n);
  if (size_t(n) != length) return fail(ioError("writing the disk", EIO, diskSectorOf(byteOffset + size_t(n))));
  return {};
}

void SectorReader::Close() {
  m_device.reset();
  m_drive = -1;
  m_letter = 0;
  m_partition = false;
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
  if (m_partition) return PartitionInfo{m_device->driveOffset(), m_device->size()};
  return PartitionInfo{0, m_device->size()};
}

bool administratorProbeFails() {
  auto& ns = DeviceNamespace::instance();
  if (ns.driveCount() == 0) return false;
  auto src = ns.drive(0);
  if (!src || !src->isBlockDevice) return false;  // images need no privileges
  // The probe never opens a disk for writing: it opens it for reading and asks the
  // permissions whether a write would be allowed.
  const auto denied = [](int errnum) { return errnum == EACCES || errnum == EPERM; };
  auto dev = ns.openDrive(0, Access::Read);
  if (!dev) return dev.error().kind == ErrorKind::Io && denied(dev.error().errnum);
  return !src->path.empty() && ::faccessat(AT_FDCWD, src->path.c_str(), W_OK, AT_EACCESS) != 0 && denied(errno);
}

}  // namespace velk
