#pragma once
// A FAT12, FAT16 or FAT32 volume: the geometry from its boot sector (or the FAT32 backup),
// the allocation table in memory (the second copy standing in where the first cannot be
// read), the breadth-first walk that lists deleted files and the files of deleted folders,
// the scan of a formatted volume for old folder clusters, and extraction of a listed file
// from its first cluster through the clusters the table does not give to another file.
// The walk, the formatted scan and extraction live in files of their own.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "disk/records.h"
#include "disk/sector_reader.h"
#include "engines/fat/fat_directory.h"
#include "engines/fat/fat_file_record.h"
#include "formats/fat_boot_sector.h"
#include "workspace/engine.h"

namespace velk {

// Consecutive clusters.
struct FatRun {
  uint32_t first = 0;
  uint32_t count = 0;
  bool operator==(const FatRun&) const = default;
};

// Where a listed file's bytes are taken from. A deleted file's chain is gone from the table,
// so its clusters are taken from its first one on, stepping over the clusters the table
// gives to files in use, as many as its size needs.
struct FatFilePlan {
  std::vector<FatRun> runs;
  uint64_t bytes = 0;         // what the runs hold of the file: its size unless cut short
  bool startTaken = false;    // the first cluster belongs to a file in use: overwritten
  bool leavesVolume = false;  // the volume ends (or the start lies outside it) first
};

// Damage kinds the volume records while opening (see DamageLog::damaged).
inline constexpr const char* kBackupBootUsed = "FAT boot sectors taken from their backup copy";
inline constexpr const char* kSecondFatUsed = "file allocation tables taken from their second copy";

class FatVolume final : public RecoveryEngine {
 public:
  // Over a reader whose byte 0 is the volume's first byte; startSector is where the volume
  // starts on its disk (scan ranges come in absolute disk sectors).
  FatVolume(SectorReader reader, uint64_t startSector, char letter);
  FatVolume(const FatVolume&) = delete;
  FatVolume& operator=(const FatVolume&) = delete;

  // True when opening succeeded; no scan is built on an invalid engine.
  bool isValid() const { return m_valid; }
  // Why opening failed (meaningless when valid).
  const Error& openError() const { return m_openError; }
  FatWidth width() const { return m_boot.width; }
  const FatBootSector& geometry() const { return m_boot; }
  char letter() const { return m_letter; }
  uint64_t startSector() const { return m_startSector; }
  int32_t ChainEstimate() const { return m_chainEstimate; }
  // The copies opening took: the volume sector of the boot sector (0, or the FAT32 backup's)
  // and the table (1, or 2 when the first copy's head was unreadable or wiped).
  uint32_t bootSectorUsed() const { return m_bootSectorUsed; }
  uint32_t fatCopyUsed() const { return m_fatCopyUsed; }

  // Folder scope and name patterns of the deleted walk (both lowered).
  void setScope(std::string_view folderPath, std::string_view patternText);
  const std::vector<std::string>& ScopePath() const { return m_scopePath; }
  const std::vector<NamePattern>& namePatterns() const { return m_patterns; }
  // Range of the formatted scan in file-system sectors relative to the volume.
  void setScanRange(uint32_t firstSector, uint32_t lastSector);

  // The deleted-entry walk into the sink; fails only when the root cannot be read at all.
  [[nodiscard]] Status scanDeleted(ResultSink& sink, const FileFilter& filter, bool filterEnabled,
                                   Progress& progress);
  // The formatted-volume scan over the scan range (finding no folder is no error).
  [[nodiscard]] Status scanFormatted(ResultSink& sink, int preset, const FileFilter& filter, bool filterEnabled,
                                     Progress& progress);

  // RecoveryEngine.
  Variant variant() const override { return Variant::Fat; }
  [[nodiscard]] Status scan(ResultSink& sink, const ScanOptions& options, Progress& progress) override;
  [[nodiscard]] Status extract(const FileRecord& record, ByteSink& out) override;
  // The stretches extract() reads, from the same walk; fails for a file the volume cannot
  // hold whole.
  [[nodiscard]] Result<ExtractionPlan> extractionPlan(const FileRecord& record) override;

  // Text of the volume's tree item.
  std::string rootItemText() const;
  // The allocation table entry of cluster c (0 outside the table; an entry neither copy
  // could give reads as an end of chain).
  uint32_t fatEntry(uint32_t c) const;
  bool isEndOfChain(uint32_t value) const;
  // The table gives the cluster to a chain: it holds something other than what was deleted.
  bool allocated(uint32_t c) const;
  // The clusters a file of this size starting at firstCluster is read from.
  FatFilePlan planFile(uint32_t firstCluster, uint64_t size) const;

 private:
  struct FolderWork;
  struct Candidate;
  class DeletedWalk;
  class FormattedScan;

  void open();
  // The boot sector at volume sector 0, else the FAT32 backup; records which one held.
  Result<FatBootSector> readBootSector();
  // The first FAT into m_fat, sector by sector from the second copy where the first fails.
  Status loadTable();
  void computeChainEstimate();
  uint32_t entryCluster(const FatDirEntry& e) const { return e.cluster(m_boot.width == FatWidth::Fat32); }
  bool entryTest(const FatDirEntry& e, bool hasLongName) const;
  FolderSectorFacts sectorFacts() const;
  // Reads length bytes at a volume offset. When the read fails, each sector is read on its
  // own; those that cannot be read are zero-filled and recorded as unreadable. Returns how
  // many bytes could not be read (0: all); firstError (when given) gets the first failure.
  uint64_t readSalvaging(uint64_t offset, size_t length, uint8_t* out, Error* firstError = nullptr);
  // Reads count units starting at cluster c (cluster 1 is the fixed root), salvaging what a
  // bad sector leaves; fails when the units lie outside the volume. Sets *missing (when
  // given) to the bytes that could not be read.
  [[nodiscard]] Status readClusters(uint32_t c, uint32_t count, std::vector<uint8_t>& out,
                                    uint64_t* missing = nullptr, Error* firstError = nullptr);
  uint64_t runBytes(uint32_t c, uint32_t count) const;
  // The planned file as pieces of the volume; cutShort when the volume ends before its size.
  ExtractionPlan planOf(const FatFileRecord& record, bool& cutShort) const;
  uint32_t rangeCluster(uint32_t sector) const;
  // The record of a listed file, its first cluster the one the entry names.
  std::unique_ptr<FatFileRecord> makeRecord(const FatDirEntry& e, const ListedName& name,
                                            const std::string& attributes) const;
  // The first cluster and the verdict of a record about to be listed: the cluster its entry
  // names, or for a FAT32 entry whose high word was cleared at deletion, the start whose
  // content proves to be the file's.
  void judgeStart(FatFileRecord& record, const FatDirEntry& e);
  // What the file's own format says of the bytes planned from this start.
  Verdict checkContent(uint32_t firstCluster, uint64_t size, std::string_view extension);
  void prune(ResultSink& sink, FolderItem* root) const;

  SectorReader m_reader;
  std::mutex m_readerMutex;  // scans and extractions may come from different workers
  FatBootSector m_boot;
  uint64_t m_startSector = 0;
  char m_letter = '*';
  std::vector<uint32_t> m_fat;  // entries 0 … last data cluster of the table read
  std::vector<uint8_t> m_extractBuffer;  // reused by extract() under m_readerMutex
  int32_t m_chainEstimate = 0;
  bool m_valid = false;
  uint32_t m_bootSectorUsed = 0;
  uint32_t m_fatCopyUsed = 1;
  Error m_openError = notFoundError("the volume's device");
  uint32_t m_rangeFirst = 0;
  uint32_t m_rangeLast = 0;
  std::vector<std::string> m_scopePath;
  std::vector<NamePattern> m_patterns{NamePattern{}};
};

}  // namespace velk
