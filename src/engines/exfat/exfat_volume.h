#pragma once
// An exFAT volume: geometry from the boot region (or its backup), the FAT and the allocation
// bitmap read a page at a time, the walk that lists deleted files and the files of deleted
// folders, the sweep of a formatted volume for clusters holding entry sets, and extraction
// through the FAT chain when it holds, or as a run of clusters when the file has none or
// it is gone.

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "disk/records.h"
#include "disk/sector_reader.h"
#include "engines/exfat/exfat_file_record.h"
#include "engines/fat/fat_directory.h"
#include "formats/exfat_boot.h"
#include "workspace/engine.h"

namespace velk {

struct ClusterRun {
  uint32_t first = 0;
  uint32_t count = 0;
  bool operator==(const ClusterRun&) const = default;
};

// Where an object's clusters are to be looked for.
struct ExfatExtent {
  uint32_t firstCluster = 0;
  uint64_t dataLength = 0;
  bool noFatChain = false;
  bool inUse = false;      // its set is in use: its clusters are its own in the bitmap
  bool formatted = false;  // found by the formatted scan: the FAT and bitmap are newer
};

// A table on disk (FAT, bitmap) read in pages on demand; a bounded number of pages is kept,
// so a table of millions of clusters is never held whole.
class ExfatTablePages {
 public:
  // Reads length bytes at an offset inside the table.
  using Loader = std::function<bool(uint64_t offset, size_t length, uint8_t* out)>;
  ExfatTablePages(uint64_t bytes, Loader loader) : m_bytes(bytes), m_loader(std::move(loader)) {}

  // Bytes at offset, nullopt when outside the table or unreadable.
  std::optional<uint32_t> le32(uint64_t offset);
  std::optional<uint8_t> byte(uint64_t offset);

 private:
  static constexpr size_t kPageBytes = size_t(64) << 10;
  static constexpr size_t kMaxPages = 64;
  struct Page {
    uint64_t index = 0;
    uint64_t lastUse = 0;
    std::vector<uint8_t> bytes;  // empty: could not be read
  };
  const Page& page(uint64_t index);

  uint64_t m_bytes;
  Loader m_loader;
  std::vector<Page> m_pages;
  size_t m_last = 0;
  uint64_t m_clock = 0;
};

class ExfatVolume final : public RecoveryEngine {
 public:
  // Over a reader whose byte 0 is the volume's first byte; startSector is where the volume
  // starts on its disk (scan ranges are absolute disk sectors).
  ExfatVolume(SectorReader reader, uint64_t startSector, char letter);
  ExfatVolume(const ExfatVolume&) = delete;
  ExfatVolume& operator=(const ExfatVolume&) = delete;

  bool isValid() const { return m_valid; }
  const Error& openError() const { return m_openError; }
  const ExfatBootSector& geometry() const { return m_boot; }
  bool usedBackupBoot() const { return m_fromBackup; }
  const std::string& label() const { return m_label; }
  std::string rootItemText() const;

  // Folder scope and name patterns of the deleted walk, as the FAT walk takes them.
  void setScope(std::string_view folderPath, std::string_view patternText);

  Variant variant() const override { return Variant::Fat; }
  [[nodiscard]] Status scan(ResultSink& sink, const ScanOptions& options, Progress& progress) override;
  [[nodiscard]] Status extract(const FileRecord& record, ByteSink& out) override;
  [[nodiscard]] Result<ExtractionPlan> extractionPlan(const FileRecord& record) override;

  // The clusters an object's bytes lie in, in order, at most its length; fewer when the
  // heap ends first or a chain is cut. chainGone (when given) tells whether the object had a
  // FAT chain that no longer holds, so that the clusters were guessed.
  std::vector<ClusterRun> runsFor(const ExfatExtent& extent, bool* chainGone = nullptr);
  // A removed object some of whose clusters the bitmap marks in use again: something newer
  // lies there now.
  bool overwritten(const ExfatExtent& extent);

 private:
  friend class ExfatDeletedWalk;
  friend class ExfatFormattedScan;

  void open();
  std::optional<uint32_t> fatEntry(uint32_t c);
  // True when the bitmap marks the cluster in use (false when unknown).
  bool allocated(uint32_t c);
  // The first cluster from c on not known to hold something else: marked in use in the
  // bitmap, or (formatted) found belonging to another object. Past the heap when none.
  uint64_t nextUntaken(uint64_t c, bool formatted);
  bool read(uint64_t offset, size_t length, uint8_t* out) { return m_reader.ReadAt(offset, length, out).has_value(); }
  // Cluster number of a byte offset inside the volume (the first cluster before the heap).
  uint32_t clusterAtByte(uint64_t offset) const;
  // Removes every folder below root whose subtree lists no file.
  static void prune(ResultSink& sink, const std::vector<FolderItem*>& created);

  SectorReader m_reader;
  std::mutex m_readerMutex;  // scans and extractions may come from different workers
  ExfatBootSector m_boot;
  bool m_valid = false;
  bool m_fromBackup = false;
  Error m_openError = notFoundError("the volume's device");
  char m_letter = '*';
  uint64_t m_startSector = 0;
  std::string m_label;
  std::vector<uint32_t> m_rootClusters;
  std::optional<ExfatTablePages> m_fat;
  std::optional<ExfatTablePages> m_bitmap;
  std::vector<ClusterRun> m_claimed;  // sorted, set by the formatted scan
  std::vector<std::string> m_scopePath;
  std::vector<NamePattern> m_patterns{NamePattern{}};
};

}  // namespace velk
