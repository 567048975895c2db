#include "partition/undo_file.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <set>

#include <fmt/format.h>

#include "disk/drive_catalog.h"
#include "disk/sector_reader.h"
#include "output/file_write.h"
#include "partition/backup_store.h"
#include "support/sha256.h"

namespace velk {
namespace {

constexpr std::string_view kUndoMagic = "VELKUNDO";
constexpr uint32_t kUndoVersion = 2;
constexpr size_t kOffVersion = 8;
constexpr size_t kOffCount = 12;
constexpr size_t kOffDisk = 16;
constexpr size_t kOffDiskBytes = kOffDisk + kDiskRecordSize;  // 304
constexpr size_t kOffAfterHash = kOffDiskBytes + 8;            // 312
constexpr size_t kHashSize = 32;
constexpr size_t kUndoHeaderSize = kOffAfterHash + kHashSize;  // 344
constexpr size_t kUndoEntrySize = 8 + 2 * kSectorSize;         // 1032
constexpr size_t kUndoMaxFile = kUndoHeaderSize + kUndoMaxSectors * kUndoEntrySize + kHashSize;

std::array<uint8_t, kHashSize> sha256Of(ByteSpan bytes) {
  Sha256 h;
  h.update(bytes);
  return h.finish();
}

Error damagedFile(std::string detail) { return corruptError("the undo file", std::move(detail)); }

bool hashAt(ByteSpan b, size_t off, const std::array<uint8_t, kHashSize>& hash) {
  return fits(b, off, kHashSize) && std::equal(hash.begin(), hash.end(), b.begin() + off);
}

}  // namespace

std::array<uint8_t, 32> UndoRecord::afterHash() const {
  Sha256 h;
  for (const auto& s : sectors) h.update(s.after);
  return h.finish();
}

std::vector<uint8_t> encodeUndo(const UndoRecord& undo) {
  std::vector<uint8_t> out(kUndoHeaderSize + undo.sectors.size() * kUndoEntrySize);
  std::copy(kUndoMagic.begin(), kUndoMagic.end(), out.begin());
  putLe32(out.data() + kOffVersion, kUndoVersion);
  putLe32(out.data() + kOffCount, uint32_t(undo.sectors.size()));
  const auto disk = undo.disk.encode();
  std::copy(disk.begin(), disk.end(), out.begin() + kOffDisk);
  putLe64(out.data() + kOffDiskBytes, undo.diskBytes);
  const auto after = undo.afterHash();
  std::copy(after.begin(), after.end(), out.begin() + kOffAfterHash);
  uint8_t* p = out.data() + kUndoHeaderSize;
  for (const auto& s : undo.sectors) {
    putLe64(p, s.sector);
    std::copy(s.before.begin(), s.before.end(), p + 8);
    std::copy(s.after.begin(), s.after.end(), p + 8 + kSectorSize);
    p += kUndoEntrySize;
  }
  const auto checksum = sha256Of(out);
  out.insert(out.end(), checksum.begin(), checksum.end());
  return out;
}

Result<UndoRecord> decodeUndo(ByteSpan b) {
  if (b.size() < kOffCount + 4 || !matchesAt(b, 0, kUndoMagic)) return fail(unsupportedError("this is not an undo file"));
  const uint32_t version = le32At(b, kOffVersion);
  if (version == 1)
    return fail(unsupportedError("this undo file was written by an older version without a checksum, so a damaged "
                                 "copy cannot be told from an intact one; it is not applied"));
  if (version != kUndoVersion)
    return fail(unsupportedError(fmt::format("this undo file has version {}, which this program does not read", version)));
  if (b.size() < kUndoHeaderSize + kHashSize) return fail(damagedFile("it is cut short"));
  const ByteSpan body = b.first(b.size() - kHashSize);
  if (!hashAt(b, body.size(), sha256Of(body))) return fail(damagedFile("its checksum does not match"));
  const uint32_t count = le32At(b, kOffCount);
  if (count == 0 || count > kUndoMaxSectors || body.size() != kUndoHeaderSize + size_t(count) * kUndoEntrySize)
    return fail(damagedFile("its sector count does not match its length"));
  UndoRecord undo;
  undo.disk = DiskRecord::decode(b.subspan(kOffDisk).first<kDiskRecordSize>());
  undo.diskBytes = le64At(b, kOffDiskBytes);
  std::set<uint64_t> seen;
  for (uint32_t i = 0; i < count; ++i) {
    ByteSpan e = b.subspan(kUndoHeaderSize + size_t(i) * kUndoEntrySize, kUndoEntrySize);
    UndoSector s;
    s.sector = le64At(e, 0);
    if (!seen.insert(s.sector).second) return fail(damagedFile(fmt::format("it lists sector {} twice", s.sector)));
    std::copy_n(e.begin() + 8, kSectorSize, s.before.begin());
    std::copy_n(e.begin() + 8 + kSectorSize, kSectorSize, s.after.begin());
    undo.sectors.push_back(s);
  }
  if (!hashAt(b, kOffAfterHash, undo.afterHash()))
    return fail(damagedFile("the hash of the rewritten sectors does not match them"));
  return undo;
}

Result<std::filesystem::path> saveUndoFile(const std::filesystem::path& folder, const UndoRecord& undo) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) return fail(ioError("creating the folder '" + folder.string() + "'", ec.value()));
  const std::string stem = fileNameSafe(undo.disk.nameText()) + "-" +
                           formatCreationTime(std::time(nullptr), "%Y%m%d-%H%M%S");
  const auto bytes = encodeUndo(undo);
  for (int n = 0; n < 1000; ++n) {
    auto path = folder / (stem + (n ? "-" + std::to_string(n) : std::string()) + std::string(kUndoExtension));
    // Never replacing: two rewrites in the same second keep both files. The writer syncs the
    // file before it carries its name, so it is on stable storage before the disk is touched.
    Status written = writeFileAtomically(path, bytes, Replace::Never);
    if (written) return path;
    if (!written.error().is(ErrorKind::Usage)) return fail(written.error());
  }
  return fail(ioError("saving the undo file in '" + folder.string() + "'", EEXIST));
}

Result<UndoRecord> loadUndoFile(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec))
    return fail(notFoundError("the undo file '" + path.string() + "'"));
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail(ioError("reading '" + path.string() + "'", EACCES));
  std::vector<uint8_t> bytes(kUndoMaxFile + 1);
  in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
  if (in.bad()) return fail(ioError("reading '" + path.string() + "'", EIO));
  bytes.resize(size_t(in.gcount()));
  auto undo = decodeUndo(bytes);
  // Name the file in the sentence.
  if (!undo && undo.error().is(ErrorKind::Corrupt)) undo.error().subject += " '" + path.string() + "'";
  if (!undo && undo.error().is(ErrorKind::Unsupported)) undo.error().detail = "'" + path.string() + "': " + undo.error().detail;
  return undo;
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
  auto failed = [&](UndoStatus status, uint64_t sector) {
    result.status = status;
    result.sector = sector;
    return result;
  };
  SectorReader reader;
  if (!reader.OpenPhysicalDrive(diskNumber, Access::Write)) return failed(UndoStatus::DeviceFailure, 0);
  // Another size is another disk (or one that was changed wholesale): no sector of the file
  // is meant for it, forced or not.
  if (reader.deviceSize() != undo.diskBytes) return failed(UndoStatus::OtherDisk, 0);
  // A crafted file may name sectors past the disk; their byte offsets could even wrap round
  // to the start of the disk. Nothing is touched unless every sector lies on it.
  const uint64_t diskSectors = reader.deviceSize() / kSectorSize;
  for (const auto& s : undo.sectors)
    if (s.sector >= diskSectors) return failed(UndoStatus::DeviceFailure, s.sector);

  // The disk as the rewrite left it gives the file's hash; a rewrite that stopped early left
  // some sectors as they were, which is as good. Anything else was changed since.
  std::vector<Sector> now(undo.sectors.size());
  Sha256 hash;
  for (size_t i = 0; i < undo.sectors.size(); ++i) {
    if (!reader.ReadAt(undo.sectors[i].sector * kSectorSize, kSectorSize, now[i].data()))
      return failed(UndoStatus::DeviceFailure, undo.sectors[i].sector);
    hash.update(now[i]);
  }
  const bool asLeft = hash.finish() == undo.afterHash();
  std::vector<bool> pending(undo.sectors.size(), true);
  for (size_t i = 0; i < undo.sectors.size() && !asLeft; ++i) {
    const auto& s = undo.sectors[i];
    if (now[i] == s.before)
      pending[i] = false;
    else if (now[i] != s.after && !force)
      return failed(UndoStatus::Changed, s.sector);
  }
  for (size_t i = undo.sectors.size(); i-- > 0;) {
    const auto& s = undo.sectors[i];
    if (pending[i] && !reader.WriteAt(s.sector * kSectorSize, s.before.data(), s.before.size()))
      return failed(UndoStatus::DeviceFailure, s.sector);
    ++result.restored;
  }
  return result;
}

}  // namespace velk
