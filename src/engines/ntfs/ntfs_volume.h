#pragma once
// NtfsVolume: one NTFS volume opened read-only. It reads the boot sector, loads the MFT
// into memory, runs the deleted-file scan (records no longer in use, with their folder
// chains) and the formatted-volume scan (every record of the known MFT, then a sweep of
// the volume for MFT records lying elsewhere), and extracts a found file's content.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "disk/records.h"
#include "disk/sector_reader.h"
#include "engines/ntfs/mft_image.h"
#include "formats/mft_record.h"
#include "formats/ntfs_boot_sector.h"
#include "engines/ntfs/ntfs_data_stream.h"
#include "engines/ntfs/ntfs_file_record.h"
#include "workspace/engine.h"

namespace velk {

// What an MFT load holds: every record (the formatted scan lists them all), or only the
// records a deleted-file scan can use (its memory then follows what it finds).
enum class MftHolding { Every, ForDeletedScan };

class NtfsVolume final : public RecoveryEngine, private ClusterSource {
 public:
  // reader: an open device whose base is the volume's first byte. startSector: where the
  // partition starts on its disk, in 512-byte sectors (scan ranges are absolute disk
  // sectors). availableBytes: bytes of the volume on the device (0: unknown).
  NtfsVolume(SectorReader reader, uint64_t startSector, char letter, uint64_t availableBytes);
  ~NtfsVolume() override = default;
  NtfsVolume(const NtfsVolume&) = delete;
  NtfsVolume& operator=(const NtfsVolume&) = delete;

  // Keeps the geometry of a boot sector that carries "NTFS" with a usable geometry;
  // Unsupported when it does not (a default geometry is assumed then), or the read error.
  [[nodiscard]] Status readBootSector();
  // Loads the MFT the boot sector points to as image 0. Unsupported without an NTFS boot
  // sector; Corrupt when the record there is not "$MFT"; a read error; Cancelled.
  [[nodiscard]] Status loadMft(MftHolding holding = MftHolding::Every);

  // Succeeds when done or stopped; fails without an NTFS boot sector or when the MFT does
  // not load.
  [[nodiscard]] Status scanDeleted(ResultSink& sink, const ScanOptions& options, Progress& progress);
  // Succeeds when done or stopped: a volume whose MFT does not load is still swept.
  [[nodiscard]] Status scanFormatted(ResultSink& sink, const ScanOptions& options, Progress& progress);

  // RecoveryEngine.
  Variant variant() const override { return Variant::Ntfs; }
  [[nodiscard]] Status scan(ResultSink& sink, const ScanOptions& options, Progress& progress) override;
  // Exactly the stream's content; Corrupt when the record's image is not there or no longer
  // parses, else the stream writer's result.
  [[nodiscard]] Status extract(const FileRecord& record, ByteSink& out) override;

  bool ntfsFound() const { return m_ntfsFound; }
  const NtfsBootSector& boot() const { return m_boot; }
  uint32_t clusterSize() const { return m_clusterSize; }
  uint32_t recordSize() const { return m_recordSize; }
  uint64_t totalClusters() const { return m_totalClusters; }
  const std::vector<MftImage>& images() const { return m_images; }
  char letter() const { return m_letter; }
  // "NTFS - Logical Disk (%c:)".
  std::string rootItemText() const;

 private:
  struct ScanContext;
  struct Chain;

  Status readVolume(uint64_t offset, size_t length, uint8_t* buffer) override;
  void useDefaultGeometry();
  std::optional<std::pair<int, uint32_t>> locate(uint64_t number, int preferImage) const;
  // A record's bytes ready to parse (fixups applied), by absolute number.
  std::optional<ByteSpan> recordBytes(uint64_t number, int preferImage) const;

  std::unique_ptr<NtfsFileRecord> buildRecord(ScanContext& ctx, int imageIndex, uint32_t recordIndex,
                                              const ParsedMftRecord& parsed);
  const Chain& folderChain(ScanContext& ctx, int imageIndex, uint64_t parent);
  void addFolderPath(ScanContext& ctx, NtfsFileRecord& record, uint64_t parent);
  void listRecord(ScanContext& ctx, int imageIndex, uint32_t recordIndex, bool applyScope);
  FolderItem* folderFor(ScanContext& ctx, const NtfsFileRecord& record);
  void addEntries(ScanContext& ctx, std::unique_ptr<NtfsFileRecord> record, const ParsedMftRecord& parsed,
                  bool applyScope);
  void listImage(ScanContext& ctx, int imageIndex, Progress& progress);
  void sweep(const ScanOptions& options, Progress& progress);
  // Keeps a record found by the sweep, extending the last found image or starting one.
  void keepFoundRecord(uint64_t position, ByteSpan record);
  Status readMftInto(MftImage& image, const std::vector<DataRun>& runs, uint64_t initializedSize);
  static LeftOut sparseVerdict(uint64_t number, ByteSpan record);

  // The unnamed $DATA size of a record whose sizes live in an extension record.
  std::optional<uint64_t> sizeThroughAttributeList(int imageIndex, uint64_t ownNumber, const ParsedMftRecord& parsed);
  // The longest $FILE_NAME of a record whose names were moved to extension records.
  bool fileNameThroughAttributeList(int imageIndex, uint64_t ownNumber, const ParsedMftRecord& parsed,
                                    FileNameView& name);
  // Bytes of a record's $ATTRIBUTE_LIST value (read from the volume when non-resident).
  bool attributeListBytes(const ParsedMftRecord& parsed, std::vector<uint8_t>& out);
  void streamLayout(int imageIndex, uint64_t ownNumber, const ParsedMftRecord& parsed, ByteSpan streamName,
                    NtfsStreamLayout& layout);

  SectorReader m_reader;
  std::mutex m_readMutex;
  uint64_t m_startSector = 0;
  char m_letter = '*';
  uint64_t m_availableBytes = 0;

  bool m_ntfsFound = false;
  NtfsBootSector m_boot;
  uint32_t m_clusterSize = 4096;
  uint32_t m_recordSize = 1024;
  uint64_t m_totalClusters = 0;
  bool m_mftKnown = false;

  std::vector<MftImage> m_images;
  // Byte ranges of the volume that image 0 was read from (the sweep skips them).
  std::vector<std::pair<uint64_t, uint64_t>> m_mftExtents;
  int32_t m_lostCounter = 0;
  uint64_t m_foundCounter = 0;  // records the formatted scan has met
};

}  // namespace velk
