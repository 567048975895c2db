#pragma once
// FAT16 and FAT32 volumes: geometry and the first allocation table read at opening, the
// breadth-first walk that lists deleted files and the files of deleted folders, the scan of
// a formatted volume for old folder clusters, and extraction of a listed file as one
// contiguous run starting at its first cluster.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "disk/records.h"
#include "disk/sector_reader.h"
#include "formats/fat_boot_sector.h"
#include "engines/fat/fat_directory.h"
#include "engines/fat/fat_file_record.h"
#include "workspace/engine.h"

namespace velk {

class FatVolume : public RecoveryEngine {
 public:
  ~FatVolume() override = default;
  FatVolume(const FatVolume&) = delete;
  FatVolume& operator=(const FatVolume&) = delete;

  // 1 when opening succeeded; the page builds no scan on an invalid engine.
  bool isValid() const { return m_valid; }
  // Why opening failed (meaningless when valid).
  const Error& openError() const { return m_openError; }
  FatWidth width() const { return m_width; }
  const FatBootSector& geometry() const { return m_boot; }
  char letter() const { return m_letter; }
  uint32_t startSector() const { return m_startSector; }
  int32_t ChainEstimate() const { return m_chainEstimate; }
  // The year the date windows are relative to (the current local year unless set).
  void setCurrentYear(int year) { m_currentYear = year; }

  // Folder scope and name patterns of the deleted walk (both lowered).
  void setScope(std::string_view folderPath, std::string_view patternText);
  const std::vector<std::string>& ScopePath() const { return m_scopePath; }
  const std::vector<NamePattern>& namePatterns() const { return m_patterns; }
  // Range of the formatted scan in file-system sectors relative to the volume.
  void setScanRange(uint32_t firstSector, uint32_t lastSector);

  // The deleted-entry walk into the sink; fails with the device error that ended it.
  [[nodiscard]] Status scanDeleted(ResultSink& sink, const FileFilter& filter, bool filterEnabled,
                                      Progress& progress);
  // The formatted-volume scan over the scan range (finding no folder is no error).
  [[nodiscard]] Status scanFormatted(ResultSink& sink, int preset, const FileFilter& filter, bool filterEnabled,
                                     Progress& progress);

  // RecoveryEngine.
  Variant variant() const override { return Variant::Fat; }
  [[nodiscard]] Status scan(ResultSink& sink, const ScanOptions& options, Progress& progress) override;
  [[nodiscard]] Status extract(const FileRecord& record, ByteSink& out) override;

  // Text of the volume's tree item.
  std::string rootItemText() const;
  // The allocation table entry of cluster c (0 outside the table).
  uint32_t fatEntry(uint32_t c) const;
  bool isEndOfChain(uint32_t value) const;

 protected:
  // Over a reader whose byte 0 is the volume's first byte.
  FatVolume(FatWidth width, SectorReader reader, uint32_t startSector, char letter);

 private:
  struct FolderWork;
  struct Candidate;
  class DeletedWalk;
  class FormattedScan;

  void open();
  void computeChainEstimate();
  // The first cluster an entry names (FAT32 with the high word).
  uint32_t entryCluster(const uint8_t* entry) const;
  bool entryTest(const uint8_t* entry, bool hasLongName) const;
  FolderSectorFacts sectorFacts() const;
  // Reads count units starting at cluster c (cluster 1 is the FAT16 root area).
  [[nodiscard]] Status readClusters(uint32_t c, uint32_t count, std::vector<uint8_t>& out);
  uint64_t runBytes(uint32_t c, uint32_t count) const;
  uint32_t rangeCluster(uint32_t sector) const;
  std::unique_ptr<FatFileRecord> makeRecord(const uint8_t* entry, const ListedName& name,
                                            const std::string& attributes) const;
  void prune(ResultSink& sink, FolderItem* root) const;

  FatWidth m_width;
  SectorReader m_reader;
  std::mutex m_readerMutex;  // scans and extractions may come from different workers
  FatBootSector m_boot;
  uint32_t m_startSector = 0;
  char m_letter = '*';
  std::vector<uint32_t> m_fat;  // entries 0 … last data cluster of the first FAT
  std::vector<uint8_t> m_extractBuffer;  // reused by extract() under m_readerMutex
  int32_t m_chainEstimate = 0;
  bool m_valid = false;
  Error m_openError = notFoundError("the volume's device");
  int m_currentYear = 0;
  uint32_t m_rangeFirst = 0;
  uint32_t m_rangeLast = 0;
  std::vector<std::string> m_scopePath;
  std::vector<NamePattern> m_patterns{NamePattern{}};
};

class Fat16Volume final : public FatVolume {
 public:
  Fat16Volume(SectorReader reader, uint32_t startSector, char letter)
      : FatVolume(FatWidth::Fat16, std::move(reader), startSector, letter) {}
};

class Fat32Volume final : public FatVolume {
 public:
  Fat32Volume(SectorReader reader, uint32_t startSector, char letter)
      : FatVolume(FatWidth::Fat32, std::move(reader), startSector, letter) {}
};

}  // namespace velk
