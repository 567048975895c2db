#pragma once
// Undo files of partition-table rewrites: every sector a rewrite is about to overwrite,
// saved (with what the rewrite puts there) before the first write, so the disk can be put
// back as it was.
//
// Layout, little-endian: "VELKUNDO", u32 version 1, u32 sector count n (1–16), the disk's
// 288-byte DiskRecord, then n × {u64 sector, 512 bytes before, 512 bytes after}.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "formats/bytes.h"
#include "disk/records.h"
#include "partition/table_entry.h"

namespace velk {

class DriveCatalog;

inline constexpr size_t kUndoMaxSectors = 16;
inline constexpr std::string_view kUndoExtension = ".vundo";

struct UndoSector {
  uint64_t sector = 0;
  Sector before{};
  Sector after{};
  bool operator==(const UndoSector&) const = default;
};

struct UndoRecord {
  DiskRecord disk;
  std::vector<UndoSector> sectors;  // in the order the rewrite writes them
  bool operator==(const UndoRecord&) const = default;
};

std::vector<uint8_t> encodeUndo(const UndoRecord& undo);
// nullopt for another magic or version, a count out of range, a length that does not match
// the count, or a sector listed twice.
std::optional<UndoRecord> decodeUndo(ByteSpan bytes);

// Saves into `folder` (created when missing) under "<disk name>-<time>.vundo", never
// replacing a file; the path written, or nullopt when the file could not be written whole.
std::optional<std::filesystem::path> saveUndoFile(const std::filesystem::path& folder, const UndoRecord& undo);
std::optional<UndoRecord> loadUndoFile(const std::filesystem::path& path);

// The catalogue's disk that an undo file was taken of: same number, name and size, else
// the only disk with that name and size; -1 when none or several fit.
int findUndoDisk(const DriveCatalog& catalog, const DiskRecord& disk);

enum class UndoStatus {
  Restored,       // every sector holds its old bytes again
  Changed,        // a sector holds neither the rewrite's bytes nor the old ones: nothing written
  DeviceFailure,  // the disk could not be opened, read or written
};
struct UndoResult {
  UndoStatus status = UndoStatus::Restored;
  uint64_t sector = 0;  // the sector concerned for Changed and DeviceFailure
  size_t restored = 0;
};
// Puts the old bytes back on disk `diskNumber`, last write first. Unless `force`, every
// sector must still hold what the rewrite wrote (or already the old bytes) before any is
// touched.
UndoResult applyUndo(const UndoRecord& undo, int diskNumber, bool force);

}  // namespace velk
