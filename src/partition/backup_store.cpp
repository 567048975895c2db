#include "partition/backup_store.h"

#include <algorithm>
#include <cstdlib>

#include "output/file_write.h"
#include "partition/partition_texts.h"
#include "support/text.h"

namespace velk {
namespace {

constexpr const char* kBackupDirVariable = "VELK_BACKUP_DIR";

std::filesystem::path fromEnv(const char* name) {
  const char* v = std::getenv(name);
  return v && *v ? std::filesystem::path(v) : std::filesystem::path();
}

bool hasBackupExtension(const std::filesystem::path& p) {
  return lowerAscii(p.extension().string()) == kBackupExtension;
}

}  // namespace

std::filesystem::path backupFolder() {
  if (auto dir = fromEnv(kBackupDirVariable); !dir.empty()) return dir;
  // XDG: a relative XDG_DATA_HOME is invalid and ignored.
  if (auto xdg = fromEnv("XDG_DATA_HOME"); !xdg.empty() && xdg.is_absolute()) return xdg / "velk" / "backup";
  if (auto home = fromEnv("HOME"); !home.empty()) return home / ".local" / "share" / "velk" / "backup";
  return {};
}

std::string fileNameSafe(std::string_view name) {
  std::string out(name);
  for (char& c : out)
    if (c == '/' || c == '\\' || uint8_t(c) < 0x20) c = '_';
  if (out.empty() || out == "." || out == "..") out = "disk";
  return out;
}

std::string defaultBackupName(const DiskRecord& disk, std::time_t when) {
  return fileNameSafe(disk.nameText()) + formatCreationTime(when, " %Y-%m-%d %H%M%S") + std::string(kBackupExtension);
}

std::optional<std::time_t> fileCreationTime(const std::filesystem::path& path) { return fileBirthTime(path); }

std::string formatCreationTime(std::time_t when, const char* format) {
  std::tm tm{};
  if (!localtime_r(&when, &tm)) return {};
  char buf[64];
  size_t n = std::strftime(buf, sizeof buf, format, &tm);
  return std::string(buf, n);
}

std::vector<BackupRow> listBackups(const DiskRecord& disk, const std::filesystem::path& folder) {
  std::vector<BackupRow> rows;
  rows.push_back({BackupRowKind::AutoScan, std::string(kRowAutoScan), std::string(kRowAutoScanNote), 1, {}});
  const std::string prefix = disk.nameText();
  std::vector<BackupRow> found;
  std::error_code ec;
  if (!folder.empty()) {
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      const auto& p = it->path();
      std::string name = p.filename().string();
      if (name.rfind(prefix, 0) != 0 || !hasBackupExtension(p)) continue;
      std::error_code typeError;
      if (it->is_directory(typeError)) continue;
      auto when = fileCreationTime(p);
      if (!when) continue;
      found.push_back({BackupRowKind::Found, formatCreationTime(*when, kFoundFileTimeFormat), p.string(), 0, p});
    }
  }
  std::sort(found.begin(), found.end(), [](const BackupRow& a, const BackupRow& b) { return a.path < b.path; });
  rows.insert(rows.end(), found.begin(), found.end());
  rows.push_back({BackupRowKind::AddFile, std::string(kRowAddBackup), std::string(kRowAddBackupNote), 2, {}});
  return rows;
}

bool addBackupRow(std::vector<BackupRow>& rows, const std::filesystem::path& path) {
  auto when = fileCreationTime(path);
  if (!when) return false;
  BackupRow row{BackupRowKind::Added, formatCreationTime(*when, kAddedFileTimeFormat), path.string(), 0, path};
  auto at = rows.empty() || rows.back().kind != BackupRowKind::AddFile ? rows.end() : rows.end() - 1;
  rows.insert(at, std::move(row));
  return true;
}

}  // namespace velk
