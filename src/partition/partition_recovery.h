#pragma once
// The state behind the partition recovery page: its own catalogue, the selected disk, the
// candidate list (from the automatic scan, the deep scan or a backup file) and the backup
// list. Toolkit-free: the page shows what this holds and turns results into message boxes
// with the texts of partition_texts.h.

#include <filesystem>
#include <optional>
#include <vector>

#include "disk/drive_catalog.h"
#include "partition/backup_store.h"
#include "partition/partition_rewrite.h"
#include "partition/partition_scan.h"

namespace velk {

class PartitionRecovery {
 public:
  // Refreshes the catalogue (volume letters included) and keeps the disk selection by
  // number when the disk is still there.
  void Refresh();

  const DriveCatalog& catalog() const { return m_catalog; }
  DriveCatalog& catalog() { return m_catalog; }

  // Selects the disk at `index` of the catalogue's disk list (−1: none). A change empties
  // the candidates and rebuilds the backup list; true when the selection changed.
  bool SelectDisk(int index);
  // Selects the disk with that number; false when the catalogue has none.
  bool SelectDiskNumber(int number);
  const DiskRecord* SelectedDisk() const;
  int SelectedIndex() const { return m_selected; }

  // Candidates of the selected disk. False (message kTextCantLoadBackup) when no disk is
  // selected or it cannot be read; the candidates are then empty.
  [[nodiscard]] bool AutoScan();
  [[nodiscard]] bool DeepScan(const StopFlag* stop = nullptr, const DeepScanProgress& progress = {});
  // Replaces the candidates with a backup's records when it matches the selected disk;
  // else false and the candidates stay as they were.
  [[nodiscard]] bool LoadBackup(const std::filesystem::path& path);
  // Writes a backup of the selected disk (kTextBackupDone / kTextBackupFailed).
  [[nodiscard]] bool WriteBackup(const std::filesystem::path& path) const;

  const std::vector<PartitionRecord>& Candidates() const { return m_candidates; }
  // The logical partitions an extended candidate restores with it (empty for others).
  const std::vector<PartitionRecord>& LogicalsOf(int index) const;
  CandidateSource Source() const { return m_source; }

  // Rewrites for candidate `index` (−1 or out of range: none selected).
  RewriteResult Rewrite(int index, const RewriteOptions& options = {});
  // Rebuilds the selected disk's damaged GPT copy from the intact one.
  RewriteResult RestoreGpt(const RewriteOptions& options = {});
  // What the catalogue's walk of the selected disk found damaged or unreadable.
  std::vector<CatalogNote> Notes() const;

  void ListBackups();
  const std::vector<BackupRow>& BackupRows() const { return m_backupRows; }
  bool AddBackupFile(const std::filesystem::path& path) { return addBackupRow(m_backupRows, path); }

 private:
  void reselect(int diskNumber);

  DriveCatalog m_catalog;
  int m_selected = -1;
  std::vector<PartitionRecord> m_candidates;
  LogicalSets m_logicals;  // parallel to m_candidates
  CandidateSource m_source = CandidateSource::AutoScan;
  std::vector<BackupRow> m_backupRows;
};

}  // namespace velk
