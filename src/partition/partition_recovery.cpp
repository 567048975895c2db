#include "partition/partition_recovery.h"

#include "disk/device.h"
#include "partition/backup_file.h"

namespace velk {

void PartitionRecovery::Refresh() {
  std::optional<int> number;
  if (const DiskRecord* d = SelectedDisk()) number = d->number;
  DeviceNamespace::instance().assignLetters();
  m_catalog.Refresh();
  m_selected = -1;
  if (number) reselect(*number);
}

bool PartitionRecovery::SelectDisk(int index) {
  if (index < -1 || index >= m_catalog.DiskCount()) index = -1;
  if (index == m_selected) return false;
  m_selected = index;
  m_candidates.clear();
  m_logicals.clear();
  ListBackups();
  return true;
}

bool PartitionRecovery::SelectDiskNumber(int number) {
  for (int i = 0; i < m_catalog.DiskCount(); ++i) {
    if (m_catalog.DiskAt(i).number == number) {
      SelectDisk(i);
      return true;
    }
  }
  return false;
}

const DiskRecord* PartitionRecovery::SelectedDisk() const {
  return m_selected >= 0 && m_selected < m_catalog.DiskCount() ? &m_catalog.DiskAt(m_selected) : nullptr;
}

bool PartitionRecovery::AutoScan() {
  m_candidates.clear();
  m_logicals.clear();
  m_source = CandidateSource::AutoScan;
  const DiskRecord* d = SelectedDisk();
  if (!d || !velk::AutoScan(m_catalog, d->number, m_candidates)) {
    m_candidates.clear();
    return false;
  }
  return true;
}

bool PartitionRecovery::DeepScan(const StopFlag* stop, const DeepScanProgress& progress) {
  m_candidates.clear();
  m_logicals.clear();
  m_source = CandidateSource::DeepScan;
  const DiskRecord* d = SelectedDisk();
  if (!d || !velk::DeepScan(m_catalog, d->number, m_candidates, m_logicals, stop, progress)) {
    m_candidates.clear();
    m_logicals.clear();
    return false;
  }
  return true;
}

bool PartitionRecovery::LoadBackup(const std::filesystem::path& path) {
  const DiskRecord* d = SelectedDisk();
  if (!d) return false;
  auto records = loadBackupFile(path, *d);
  if (!records) return false;
  m_candidates = std::move(*records);
  m_logicals.clear();
  m_source = CandidateSource::Backup;
  return true;
}

bool PartitionRecovery::WriteBackup(const std::filesystem::path& path) const {
  const DiskRecord* d = SelectedDisk();
  return d && writeBackupFile(path, *d, m_catalog.partitions());
}

const std::vector<PartitionRecord>& PartitionRecovery::LogicalsOf(int index) const {
  static const std::vector<PartitionRecord> kNone;
  return index >= 0 && size_t(index) < m_logicals.size() ? m_logicals[size_t(index)] : kNone;
}

RewriteResult PartitionRecovery::Rewrite(int index, const RewriteOptions& options) {
  const DiskRecord* d = SelectedDisk();
  PartitionRecord* w = index >= 0 && size_t(index) < m_candidates.size() ? &m_candidates[size_t(index)] : nullptr;
  std::optional<int> number;
  if (d) number = d->number;
  RewriteResult result = velk::Rewrite(m_catalog, d, w, m_source, options, LogicalsOf(index));
  if (result.sectorsWritten > 0 && number) reselect(*number);
  return result;
}

RewriteResult PartitionRecovery::RestoreGpt(const RewriteOptions& options) {
  const DiskRecord* d = SelectedDisk();
  std::optional<int> number;
  if (d) number = d->number;
  RewriteResult result = velk::RestoreGpt(m_catalog, d, options);
  if (result.sectorsWritten > 0 && number) reselect(*number);
  return result;
}

void PartitionRecovery::reselect(int number) {
  // The rewrite refreshed the catalogue after writing; find the selected disk again.
  m_selected = -1;
  for (int i = 0; i < m_catalog.DiskCount(); ++i)
    if (m_catalog.DiskAt(i).number == number) m_selected = i;
}

std::vector<CatalogNote> PartitionRecovery::Notes() const {
  const DiskRecord* d = SelectedDisk();
  return d ? m_catalog.notesOf(d->number) : std::vector<CatalogNote>{};
}

void PartitionRecovery::ListBackups() {
  const DiskRecord* d = SelectedDisk();
  if (!d) {
    m_backupRows.clear();
    return;
  }
  m_backupRows = listBackups(*d, backupFolder());
}

}  // namespace velk
