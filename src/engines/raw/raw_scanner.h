#pragma once
// RAW signature recovery: RawScanner reads a range of sectors, tests the start of every
// sector against the signature catalogue and cuts the data between one header and the
// next (or a size limit) into RawFileRecords. Where a file's own structure says where it
// ends, the file is cut there instead. RawEngine drives it for the pages and the CLI.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "disk/records.h"
#include "disk/sector_reader.h"
#include "engines/raw/chunk_pipeline.h"
#include "engines/raw/format_end.h"
#include "engines/raw/signature_catalog.h"
#include "engines/raw/signature_matcher.h"
#include "engines/engine_registry.h"
#include "workspace/engine.h"

namespace velk {

inline constexpr uint32_t kRawLargeChunkSectors = 4000;
inline constexpr uint32_t kRawSmallChunkSectors = 8;
// Chunks announced to the device ahead of the one being tested.
inline constexpr uint64_t kRawReadAheadChunks = 2;
inline constexpr uint32_t kRawDefaultMaxSizeKb = 512000;
// A record's length is a 32-bit byte count.
inline constexpr uint32_t kRawMaxSizeKbCap = 4194303;

class RawFileRecord final : public FileRecord {
 public:
  std::string description;
  std::string extension;
  uint64_t startSector = 0;  // relative to the scanner's start sector
  uint64_t diskSector = 0;   // the same position in absolute disk sectors
  uint32_t length = 0;       // bytes
  int32_t entryIndex = -1;   // catalogue entry that matched
  // The name the file's own metadata gives (EXIF date and camera, document title, artist
  // and title), with the extension; empty when none was asked for or found. The listed
  // name is then this one, and carvedName keeps "File%d.ext".
  std::string contentName;
  std::string carvedName;
  // A file found in two pieces: the second begins at joinSector (relative, like
  // startSector) and holds the last joinLength bytes; extraction reads both.
  uint64_t joinSector = 0;
  uint32_t joinLength = 0;

  RawFileRecord() { deleted = true; }
  Variant variant() const override { return Variant::Raw; }
  std::string sizeText() const override;
  std::string attributeText() const override { return {}; }
  std::string dateText(int) const override { return {}; }
  int compareColumn(const FileRecord& other, int column) const override;
  bool extensionAccepts(std::string_view extensionList) const override;
  std::optional<uint16_t> filterDate() const override { return std::nullopt; }
  uint64_t contentSize() const override { return length; }
  std::vector<Field> fields() const override;
};

// A stretch of sectors to scan, relative to the start sector.
struct SectorExtent {
  uint64_t first = 0;
  uint64_t count = 0;
};

class RawScanner {
 public:
  RawScanner() = default;
  RawScanner(const RawScanner&) = delete;
  RawScanner& operator=(const RawScanner&) = delete;

  // "PhysicalDrive%d" when isPhysicalDrive, else a drive letter. True when opened.
  bool open(const std::string& name, bool isPhysicalDrive);
  // Takes an already open reader (tests, benchmarks).
  void open(SectorReader reader) { m_reader = std::move(reader); }

  void setStart(uint64_t startSector, uint32_t sectorSize = kRawSectorSize);
  // Range relative to the start sector, last exclusive.
  void setRange(uint64_t first, uint64_t last) {
    m_rangeFirst = first;
    m_rangeLast = last;
  }
  // Kilobytes; 0 leaves the value unchanged.
  void setMaximumSize(uint32_t kilobytes) {
    if (kilobytes != 0) m_maxSizeKb = kilobytes;
  }
  // Borrowed; nullptr leaves it unchanged.
  void setCatalog(const SignatureCatalog* catalog) {
    if (catalog) m_catalog = catalog;
  }
  // Scans these extents instead of the range: sorted, not overlapping. A file may run from
  // one extent into the next only where they touch. An empty list scans the range.
  void setExtents(std::vector<SectorExtent> extents) { m_extents = std::move(extents); }
  // Cut files at the end their structure gives (on by default).
  void setFormatEnds(bool on) { m_formatEnds = on; }
  // Names files from their own metadata (off by default).
  void setNameFromContent(bool on) { m_nameFromContent = on; }
  // Absolute disk sector of the start sector, for the records' diskSector.
  void setDiskSectorBase(uint64_t sector) { m_diskBase = sector; }
  void setScanFlag(ScanFlag* flag) { m_flag = flag ? flag : &m_ownFlag; }
  // Where unreadable sectors are noted (borrowed; nullptr: nowhere).
  void setDamageLog(DamageLog* log) { m_damage = log; }
  ScanFlag& scanFlag() { return *m_flag; }

  // Succeeds when the range was scanned or the scan stopped; Usage without a usable
  // catalogue or with no entry enabled.
  [[nodiscard]] Status scan(Progress* progress = nullptr);

  const std::vector<std::unique_ptr<RawFileRecord>>& found() const { return m_found; }
  std::vector<std::unique_ptr<RawFileRecord>> takeFound() { return std::move(m_found); }

  // The record's bytes (none for a zero length), or the device error.
  [[nodiscard]] Status readFile(const RawFileRecord& record, std::vector<uint8_t>& out);
  // Writes exactly the record's length to out.
  [[nodiscard]] Status writeFile(ByteSink& out, const RawFileRecord& record);

  // The recovery selection (borrowed records).
  void addRecovery(RawFileRecord* record);
  void removeRecovery(RawFileRecord* record);
  const std::vector<RawFileRecord*>& recoveryList() const { return m_recovery; }

  SectorReader& reader() { return m_reader; }
  uint64_t maximumSizeBytes() const;

 private:
  struct OpenFile {
    uint64_t start = 0;
    int32_t entry = -1;
    FormatEnd end;  // what its rule found (a guessed end caps it, damage is kept)
  };
  void scanRun(ChunkPipeline& pipeline, const SignatureMatcher& matcher, uint64_t begin, uint64_t end,
               Progress* progress, uint64_t& done);
  void closeFile(uint64_t at);
  void addRecord(uint64_t start, uint64_t length, int32_t entry, const FormatEnd& end);
  // The rule's end in [start, start + length).
  FormatEnd formatEndOf(uint64_t start, uint64_t length, int32_t entry);
  void openHeader(uint64_t n, uint64_t q, int32_t entry, uint64_t runEnd);
  // A JPEG whose data stops being JPEG: its continuation within a window after it.
  bool joinJpeg(uint64_t start, uint64_t runEnd, int32_t entry);
  void nameFromContent(RawFileRecord& rec);

  SectorReader m_reader;
  std::mutex m_deviceLock;  // the reader thread and the end rules share the device
  uint64_t m_start = 0;
  uint32_t m_sectorSize = kRawSectorSize;
  uint64_t m_rangeFirst = 0;
  uint64_t m_rangeLast = 0;
  std::vector<SectorExtent> m_extents;
  uint32_t m_maxSizeKb = kRawDefaultMaxSizeKb;
  const SignatureCatalog* m_catalog = nullptr;
  bool m_formatEnds = true;
  bool m_nameFromContent = false;
  uint64_t m_diskBase = 0;
  ScanFlag m_ownFlag;
  ScanFlag* m_flag = &m_ownFlag;
  DamageLog* m_damage = nullptr;

  // Scan state.
  ChunkPipeline* m_pipeline = nullptr;  // set while scan() runs
  std::optional<OpenFile> m_open;
  // Where the last file whose structure gave its end stops: headers before it lie inside
  // that file and list only files that prove themselves.
  uint64_t m_claimEnd = 0;
  bool m_claimVerified = false;
  // Second pieces of joined pictures still ahead of the scan, in order.
  std::vector<std::pair<uint64_t, uint64_t>> m_joinedPieces;

  std::vector<std::unique_ptr<RawFileRecord>> m_found;
  std::vector<RawFileRecord*> m_recovery;
};

// Range, limit, catalogue and types of a raw scan, resolved from ScanOptions for a
// partition record. Exposed so that callers can check options before scanning.
struct RawScanPlan {
  uint64_t first = 0;  // sectors relative to the partition start, last exclusive
  uint64_t last = 0;
  uint32_t maxSizeKb = kRawDefaultMaxSizeKb;
};
// Usage (rangeError) when the range is empty or outside the partition.
[[nodiscard]] Status planRawScan(const PartitionRecord& record, const ScanOptions& options, uint64_t deviceSectors,
                                 RawScanPlan& plan);
Error rangeError();

// The engine behind the RAW page and "velk-cli scan --task raw".
class RawEngine final : public RecoveryEngine {
 public:
  RawEngine(const PartitionRecord& record, SectorReader reader);

  Variant variant() const override { return Variant::Raw; }
  // Scans these extents (sectors relative to the partition start) instead of the range
  // the options give; see RawScanner::setExtents.
  void setExtents(std::vector<SectorExtent> extents) { m_extents = std::move(extents); }
  // Uses options.rawCatalog when given (its enabled flags as they are unless
  // options.rawTypes names types), else loads the catalogue (options.catalogPath, or the
  // usual places); then scans. The catalogue's error when there is none usable, Usage when
  // no type is enabled.
  [[nodiscard]] Status scan(ResultSink& sink, const ScanOptions& options, Progress& progress) override;
  [[nodiscard]] Status extract(const FileRecord& record, ByteSink& out) override;
  [[nodiscard]] Result<ExtractionPlan> extractionPlan(const FileRecord& record) override;

  RawScanner& scanner() { return m_scanner; }

 private:
  PartitionRecord m_record;
  RawScanner m_scanner;
  SignatureCatalog m_catalog;
  std::vector<SectorExtent> m_extents;
};

// Root text of the tree: "RAW - Logical Disk (%c:)".
std::string rawRootText(char letter);

// Opens the engine over a partition (Task::Raw only).
Result<std::unique_ptr<RecoveryEngine>> openRawEngine(EngineSource source, Task task);

}  // namespace velk
