#pragma once
// NtfsVolume: one NTFS volume opened read-only. It reads the boot sector (or its backup at
// the volume's end), loads the MFT into memory (through $MFTMirr when the MFT's first
// record is damaged), runs the deleted-file scan (records no longer in use, with their
// folder chains) and the formatted-volume scan (every record of the known MFT, then a sweep
// of the volume for MFT records lying elsewhere), and extracts a found file's content.
// Listing records is NtfsLister's work (ntfs_lister.h).

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "disk/records.h"
#include "disk/sector_reader.h"
#include "engines/ntfs/mft_image.h"
#include "engines/ntfs/ntfs_bitmap.h"
#include "engines/ntfs/ntfs_data_stream.h"
#include "engines/ntfs/ntfs_file_record.h"
#include "formats/mft_record.h"
#include "formats/ntfs_boot_sector.h"
#include "workspace/engine.h"

namespace velk {

class NtfsLister;

// What an MFT load holds: every record (the formatted scan lists them all), or only the
// records a deleted-file scan can use (its memory then follows what it finds).
enum class MftHolding { Every, ForDeletedScan };

// Kinds of damage the NTFS scans count (each completes "n …"), the copies read instead of
// damaged originals among them.
struct NtfsDamage {
  static inline const std::string kFixups = "MFT records whose update sequence does not match";
  static inline const std::string kRunlists = "runlists that break off";
  static inline const std::string kMirrorCopies = "MFT records replaced by their copy in $MFTMirr";
  static inline const std::string kBackupBoot = "boot sectors replaced by the backup in the volume's last sector";
};

// Which copy of a structure the volume was read through.
enum class NtfsCopy : uint8_t { None, Primary, Backup };

class NtfsVolume final : public RecoveryEngine, private ClusterSource {
 public:
  // reader: an open device whose base is the volume's first byte. startSector: where the
  // partition starts on its disk, in 512-byte sectors (scan ranges are absolute disk
  // sectors). availableBytes: bytes of the volume on the device (0: unknown).
  NtfsVolume(SectorReader reader, uint64_t startSector, char letter, uint64_t availableBytes);
  ~NtfsVolume() override;
  NtfsVolume(const NtfsVolume&) = delete;
  NtfsVolume& operator=(const NtfsVolume&) = delete;

  // Keeps the geometry of the boot sector, or of its backup in the volume's last sector when
  // the first is unreadable or no NTFS boot sector. Unsupported when neither carries "NTFS"
  // with a usable geometry (a default geometry is assumed then); the read error when the
  // first could not be read and the backup is no help.
  [[nodiscard]] Status readBootSector();
  // Loads the MFT the boot sector points to as image 0, from the runs of $MFTMirr's first
  // record when the MFT's own is damaged. Unsupported without an NTFS boot sector; Corrupt
  // when neither record is a usable "$MFT"; a read error; Cancelled.
  [[nodiscard]] Status loadMft(MftHolding holding = MftHolding::Every);

  // Succeeds when done or stopped; fails without an NTFS boot sector or when the MFT does
  // not load (the sink then holds nothing).
  [[nodiscard]] Status scanDeleted(ResultSink& sink, const ScanOptions& options, Progress& progress);
  // Succeeds when done or stopped: a volume whose MFT does not load is still swept.
  [[nodiscard]] Status scanFormatted(ResultSink& sink, const ScanOptions& options, Progress& progress);

  // RecoveryEngine.
  Variant variant() const override { return Variant::Ntfs; }
  [[nodiscard]] Status scan(ResultSink& sink, const ScanOptions& options, Progress& progress) override;
  // Exactly the stream's content; Corrupt when the record's image is not there or no longer
  // parses, else the stream writer's result (an unreadable sector fails it, naming the
  // sector; a cleared extraction stop ends it as Cancelled within one read chunk).
  [[nodiscard]] Status extract(const FileRecord& record, ByteSink& out) override;
  // The same content as pieces of the partition (what extract writes, without reading it).
  [[nodiscard]] Result<ExtractionPlan> extractionPlan(const FileRecord& record) override;

  bool ntfsFound() const { return m_ntfsFound; }
  const NtfsBootSector& boot() const { return m_boot; }
  // Which boot sector gave the geometry, and which record 0 mapped the MFT.
  NtfsCopy bootCopy() const { return m_bootCopy; }
  NtfsCopy mftCopy() const { return m_mftCopy; }
  uint32_t clusterSize() const { return m_clusterSize; }
  uint32_t recordSize() const { return m_recordSize; }
  uint64_t totalClusters() const { return m_totalClusters; }
  const std::vector<MftImage>& images() const { return m_images; }
  char letter() const { return m_letter; }
  // "NTFS - Logical Disk (%c:)".
  std::string rootItemText() const;

 private:
  friend class NtfsLister;
  struct MftHead;

  // Reads through the device; a failed read is tried again sector by sector, the sectors
  // that still fail are zero-filled and logged as unreadable, and the first failure is
  // returned (what could be read is in the buffer).
  Status readVolume(uint64_t offset, size_t length, uint8_t* buffer) override;
  bool stopRequested() const override { return extractStopped(); }
  void useDefaultGeometry();
  std::optional<NtfsBootSector> backupBootSector();

  // ntfs_mft_load.cpp
  Result<MftHead> readMftHead(uint64_t cluster);
  void addExtensionRuns(MftHead& head);
  Status readMftInto(MftImage& image, const std::vector<DataRun>& runs, uint64_t initializedSize);
  void repairFromMirror(MftImage& image);
  void loadBitmap();
  static LeftOut sparseVerdict(uint64_t number, ByteSpan record);

  // Whether the records of an image are the volume's current MFT (their clusters are then
  // their own) rather than records found elsewhere by the sweep.
  bool isCurrentMft(int imageIndex) const { return m_mftKnown && imageIndex == 0; }
  std::optional<std::pair<int, uint32_t>> locate(uint64_t number, int preferImage) const;
  // A record's bytes ready to parse (fixups applied), by absolute number.
  std::optional<ByteSpan> recordBytes(uint64_t number, int preferImage) const;

  // ntfs_scans.cpp
  void listImage(NtfsLister& lister, int imageIndex, Progress& progress);
  void sweep(const ScanOptions& options, Progress& progress);
  // Keeps a record found by the sweep, extending the last found image or starting one.
  void keepFoundRecord(uint64_t position, ByteSpan record);

  // ntfs_extensions.cpp: what a record keeps in its extension records.
  // The unnamed $DATA size of a record whose sizes live in an extension record.
  std::optional<uint64_t> sizeThroughAttributeList(int imageIndex, uint64_t ownNumber, const ParsedMftRecord& parsed);
  // The longest $FILE_NAME of a record whose names were moved to extension records.
  bool fileNameThroughAttributeList(int imageIndex, uint64_t ownNumber, const ParsedMftRecord& parsed,
                                    FileNameView& name);
  // Bytes of a record's $ATTRIBUTE_LIST value (read from the volume when non-resident).
  bool attributeListBytes(const ParsedMftRecord& parsed, std::vector<uint8_t>& out);
  void streamLayout(int imageIndex, uint64_t ownNumber, const ParsedMftRecord& parsed, ByteSpan streamName,
                    NtfsStreamLayout& layout);
  // The layout of a found file's stream, from its record in memory.
  Status recordLayout(const FileRecord& record, NtfsStreamLayout& layout);

  SectorReader m_reader;
  std::mutex m_readMutex;
  uint64_t m_startSector = 0;
  char m_letter = '*';
  uint64_t m_availableBytes = 0;

  bool m_ntfsFound = false;
  NtfsBootSector m_boot;
  NtfsCopy m_bootCopy = NtfsCopy::None;
  NtfsCopy m_mftCopy = NtfsCopy::None;
  uint32_t m_clusterSize = 4096;
  uint32_t m_recordSize = 1024;
  uint64_t m_totalClusters = 0;
  bool m_mftKnown = false;

  std::vector<MftImage> m_images;
  // Byte ranges of the volume that image 0 was read from (the sweep skips them).
  std::vector<std::pair<uint64_t, uint64_t>> m_mftExtents;
  ClusterBitmap m_bitmap;
  int32_t m_lostCounter = 0;
  uint64_t m_foundCounter = 0;  // records the formatted scan has met
};

}  // namespace velk
