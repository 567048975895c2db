#pragma once
// Undo files of partition-table rewrites: every sector a rewrite is about to overwrite,
// saved (with what the rewrite puts there) before the first write, so the disk can be put
// back as it was.
//
// Layout, little-endian: "VELKUNDO", u32 version 2, u32 sector count n (1–1024), the disk's
// 288-byte DiskRecord, u64 the disk's size in bytes as the rewrite saw it, 32 bytes SHA-256
// of the n sectors as the rewrite left them (the "after" bytes, in order), then
// n × {u64 sector, 512 bytes before, 512 bytes after}, and last the SHA-256 of everything
// before it. Version 1 files (no checksum, no identity) are refused: a damaged one could
// not be told from an intact one.

#include <array>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "disk/records.h"
#include "formats/bytes.h"
#include "formats/mbr.h"
#include "support/error.h"

namespace velk {

class DriveCatalog;

// A GPT entry array restored from its backup copy is the largest write (256 KiB at most).
inline constexpr size_t kUndoMaxSectors = 1024;
inline constexpr std::string_view kUndoExtension = ".vundo";

struct UndoSector {
  uint64_t sector = 0;
  Sector before{};
  Sector after{};
  bool operator==(const UndoSector&) const = default;
};

struct UndoRecord {
  DiskRecord disk;
  uint64_t diskBytes = 0;           // the device's size when the rewrite ran
  std::vector<UndoSector> sectors;  // in the order the rewrite writes them
  bool operator==(const UndoRecord&) const = default;

  // SHA-256 of the after bytes in order: what the disk holds once the rewrite is done.
  std::array<uint8_t, 32> afterHash() const;
};

std::vector<uint8_t> encodeUndo(const UndoRecord& undo);
// Corrupt (with a sentence's detail) for another magic, version 1, a checksum or identity
// hash that does not match, a count out of range, a length that does not match the count,
// or a sector listed twice.
Result<UndoRecord> decodeUndo(ByteSpan bytes);

// Saves into `folder` (created when missing) under "<disk name>-<time>.vundo", never
// replacing a file, on stable storage before it returns; the path written.
Result<std::filesystem::path> saveUndoFile(const std::filesystem::path& folder, const UndoRecord& undo);
// NotFound for a missing file, Io when it cannot be read, else what decodeUndo says.
Result<UndoRecord> loadUndoFile(const std::filesystem::path& path);

// The catalogue's disk that an undo file was taken of: same number, name and size, else
// the only disk with that name and size; -1 when none or several fit.
int findUndoDisk(const DriveCatalog& catalog, const DiskRecord& disk);

enum class UndoStatus {
  Restored,       // every sector holds its old bytes again
  Changed,        // a sector holds neither the rewrite's bytes nor the old ones: nothing written
  OtherDisk,      // the disk's size is not the one the rewrite saw: nothing written
  DeviceFailure,  // the disk could not be opened, read or written
};
struct UndoResult {
  UndoStatus status = UndoStatus::Restored;
  uint64_t sector = 0;  // the sector concerned for Changed and DeviceFailure
  size_t restored = 0;
};
// Puts the old bytes back on disk `diskNumber`, last write first. The disk must have the
// size the rewrite saw; unless `force`, every sector must still hold what the rewrite wrote
// (or already the old bytes) before any is touched.
UndoResult applyUndo(const UndoRecord& undo, int diskNumber, bool force);

}  // namespace velk
