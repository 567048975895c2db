#include "partition/undo_file.h"

#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <unistd.h>

#include "disk/drive_catalog.h"
#include "disk/sector_reader.h"
#include "partition/backup_store.h"

namespace velk {
namespace {

constexpr std::string_view kUndoMagic = "VELKUNDO";
constexpr uint32_t kUndoVersion = 1;
constexpr size_t kOffVersion = 8;
constexpr size_t kOffCount = 12;
constexpr size_t kOffDisk = 16;
constexpr size_t kUndoHeaderSize = kOffDisk + kDiskRecordSize;  // 304
constexpr size_t kUndoEntrySize = 8 + 2 * kSectorSize;          // 1032

}  // namespace

std::vector<uint8_t> encodeUndo(const UndoRecord& undo) {
  std::vector<uint8_t> out(kUndoHeaderSize + undo.sectors.size() * kUndoEntrySize);
  std::copy(kUndoMagic.begin(), kUndoMagic.end(), out.begin());
  putLe32(out.data() + kOffVersion, kUndoVersion);
  putLe32(out.data() + kOffCount, uint32_t(undo.sectors.size()));
  auto disk = undo.disk.encode();
  std::copy(disk.begin(), disk.end(), out.begin() + kOffDisk);
  uint8_t* p = out.data() + kUndoHeaderSize;
  for (const auto& s : undo.sectors) {
    putLe64(p, s.sector);
    std::copy(s.before.begin(), s.before.end(), p + 8);
    std::copy(s.after.begin(), s.after.end(), p + 8 + kSectorSize);
    p += kUndoEntrySize;
  }
  return out;
}

std::optional<UndoRecord> decodeUndo(ByteSpan b) {
  if (b.size() < kUndoHeaderSize || !matchesAt(b, 0, kUndoMagic) || le32At(b, kOffVersion) != kUndoVersion)
    return std::nullopt;
  const uint32_t count = le32At(b, kOffCount);
  if (count == 0 || count > kUndoMaxSectors || b.size() != kUndoHeaderSize + size_t(count) * kUndoEntrySize)
    return std::nullopt;
  UndoRecord undo;
  undo.disk = DiskRecord::decode(b.subspan(kOffDisk).first<kDiskRecordSize>());
  std::set<uint64_t> seen;
  for (uint32_t i = 0; i < count; ++i) {
    ByteSpan e = b.subspan(kUndoHeaderSize + size_t(i) * kUndoEntrySize, kUndoEntrySize);
    UndoSector s;
    s.sector = le64At(e, 0);
    if (!seen.insert(s.sector).second) return std::nullopt;
    std::copy_n(e.begin() + 8, kSectorSize, s.before.begin());
    std::copy_n(e.begin() + 8 + kSectorSize, kSectorSize, s.after.begin());
    undo.sectors.push_back(s);
  }
  return undo;
}

std::optional<std::filesystem::path> saveUndoFile(const std::filesystem::path& folder, const UndoRecord& undo) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) return std::nullopt;
  const std::string stem = fileNameSafe(undo.disk.nameText()) + "-" +
                           formatCreationTime(std::time(nullptr), "%Y%m%d-%H%M%S");
  const auto bytes = encodeUndo(undo);
  for (int n = 0; n < 1000; ++n) {
    auto path = folder / (stem + (n ? "-" + std::to_string(n) : std::string()) + std::string(kUndoExtension));
    // O_EXCL: two rewrites in the same second keep both files.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return std::nullopt;
    }
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) break;
      done += size_t(w);
    }
    // The undo file must be on stable storage before the disk is touched.
    bool ok = done == bytes.size() && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok) return std::nullopt;
    return path;
  }
  return std::nullopt;
}

std::optional<UndoRecord> loadUndoFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<uint8_t> bytes;
  constexpr size_t kMax = kUndoHeaderSize + kUndoMaxSectors * kUndoEntrySize;
  bytes.resize(kMax + 1);
  in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
  bytes.resize(size_t(in.gcount()));
  return decodeUndo(bytes);
}

int findUndoDisk(const DriveCatalog& catalog, const DiskRecord& disk) {
  int byName = -1, matches = 0;
  for (const auto& d : catalog.disks()) {
    if (d.nameText() != disk.nameText() || d.size != disk.size) continue;
    if (d.number == disk.number) return d.number;
    byName = d.number;
    ++matches;
  }
  return matches == 1 ? byName : -1;
}

UndoResult applyUndo(const UndoRecord& undo, int diskNumber, bool force) {
  UndoResult result;
  SectorReader reader;
  if (!reader.OpenPhysicalDrive(diskNumber, Access::Write)) {
    result.status = UndoStatus::DeviceFailure;
    return result;
  }
  // A damaged or crafted file may name sectors past the disk; their byte offsets could even
  // wrap round to the start of the disk. Nothing is touched unless every sector lies on it.
  const uint64_t diskSectors = reader.deviceSize() / kSectorSize;
  for (const auto& s : undo.sectors) {
    if (s.sector >= diskSectors) {
      result.status = UndoStatus::DeviceFailure;
      result.sector = s.sector;
      return result;
    }
  }
  std::vector<bool> pending(undo.sectors.size(), true);
  for (size_t i = 0; i < undo.sectors.size(); ++i) {
    const auto& s = undo.sectors[i];
    Sector now{};
    if (!reader.ReadAt(s.sector * kSectorSize, now.size(), now.data())) {
      result.status = UndoStatus::DeviceFailure;
      result.sector = s.sector;
      return result;
    }
    if (now == s.before) {
      pending[i] = false;
    } else if (now != s.after && !force) {
      result.status = UndoStatus::Changed;
      result.sector = s.sector;
      return result;
    }
  }
  for (size_t i = undo.sectors.size(); i-- > 0;) {
    const auto& s = undo.sectors[i];
    if (pending[i] && !reader.WriteAt(s.sector * kSectorSize, s.before.data(), s.before.size())) {
      result.status = UndoStatus::DeviceFailure;
      result.sector = s.sector;
      return result;
    }
    ++result.restored;
  }
  return result;
}

}  // namespace velk
