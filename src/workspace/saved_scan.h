#pragma once
// Saved scans: what a scan found, kept in a file so that files can be recovered later
// without scanning again. The file holds the partition record, the task and its options,
// the identity of the disk (its size and a hash of its first megabyte), what could not be
// read, and every found file with its row texts, its order in each sortable column and the
// plan of where its bytes lie. Recovery from it reads the disk as the plans say, after
// checking that the disk is the one scanned.
//
// Layout, little-endian: "VELKSCAN", u32 version, u32 0, u64 payload length, the payload's
// SHA-256, then the payload. A damaged or foreign file is refused with a sentence.

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "disk/damage_log.h"
#include "disk/records.h"
#include "support/error.h"
#include "workspace/engine.h"
#include "workspace/extraction_plan.h"
#include "workspace/result_tree.h"
#include "workspace/scan_options.h"

namespace velk {

inline constexpr uint32_t kSavedScanVersion = 1;

// The disk a scan was made on, as far as a saved scan can tell it again.
struct DiskIdentity {
  uint64_t size = 0;
  std::array<uint8_t, 32> headHash{};  // SHA-256 of its first MiB (or all of a smaller disk)
  bool operator==(const DiskIdentity&) const = default;
};
Result<DiskIdentity> identifyDisk(int diskNumber);

// A found file as a saved scan keeps it: everything the list, the filters and the recovery
// need, without the engine that found it.
class SavedFileRecord final : public FileRecord {
 public:
  Variant family = Variant::Fat;
  uint64_t content = 0;
  std::string sizeColumn, attributesColumn, typeColumn;
  std::array<std::string, 3> dateColumns;  // modified, created, accessed
  std::array<uint32_t, 5> ranks{};         // size, attributes, modified, created, accessed
  std::string extensionForFilter;
  std::optional<uint16_t> dateForFilter;
  std::vector<std::string> folders;
  std::vector<Field> facts;
  ExtractionPlan plan;

  Variant variant() const override { return family; }
  std::string sizeText() const override { return sizeColumn; }
  std::string attributeText() const override { return attributesColumn; }
  std::string dateText(int column) const override;
  std::string typeText() const override { return typeColumn; }
  int compareColumn(const FileRecord& other, int column) const override;
  bool extensionAccepts(std::string_view extensionList) const override;
  std::optional<uint16_t> filterDate() const override { return dateForFilter; }
  uint64_t contentSize() const override { return content; }
  std::vector<std::string> recordFolders() const override { return folders; }
  std::vector<Field> fields() const override { return facts; }
  std::string filterExtension() const override { return extensionForFilter; }
};

struct SavedScan {
  PartitionRecord partition;
  ScanOptions options;
  DiskIdentity disk;
  std::vector<SectorRange> unreadable;
  std::unique_ptr<ResultTree> tree;
};

// Writes what the engine found into the tree as a saved scan. Fails when the engine cannot
// say where a listed file's bytes lie, or the file cannot be written (nothing is left then).
[[nodiscard]] Status saveScan(const std::filesystem::path& file, const PartitionRecord& partition,
                              const ScanOptions& options, const DiskIdentity& disk, const ResultTree& tree,
                              RecoveryEngine& engine);
// Reads a saved scan; Corrupt for a damaged or foreign file, Unsupported for a later version.
[[nodiscard]] Result<SavedScan> loadScan(const std::filesystem::path& file);
// The same from bytes in memory (fuzzing, tests).
[[nodiscard]] Result<SavedScan> decodeScan(ByteSpan bytes);

// Recovers the files of a saved scan: reads the scanned partition as each file's plan says.
class SavedScanEngine final : public RecoveryEngine {
 public:
  SavedScanEngine(Variant variant, SectorReader partition) : m_variant(variant), m_reader(std::move(partition)) {}
  Variant variant() const override { return m_variant; }
  [[nodiscard]] Status scan(ResultSink& sink, const ScanOptions& options, Progress& progress) override;
  [[nodiscard]] Status extract(const FileRecord& record, ByteSink& out) override;
  [[nodiscard]] Result<ExtractionPlan> extractionPlan(const FileRecord& record) override;

 private:
  Variant m_variant;
  SectorReader m_reader;
};

// Opens the saved scan's partition on the disk of the same number, after checking that the
// disk is the one scanned (same size, same first megabyte); refused with a sentence else.
[[nodiscard]] Result<std::unique_ptr<SavedScanEngine>> openSavedScan(const SavedScan& scan);

}  // namespace velk
