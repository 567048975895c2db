#include "partition/backup_file.h"

#include <cstdio>
#include <memory>

#include "output/file_write.h"

namespace velk {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::array<uint8_t, kBackupMagicSize> magicBytes() {
  std::array<uint8_t, kBackupMagicSize> m{};
  putLe32(m.data(), kBackupMagic);
  return m;
}

}  // namespace

std::vector<uint8_t> encodeBackup(const DiskRecord& disk, const std::vector<PartitionRecord>& records) {
  std::vector<uint8_t> out;
  auto magic = magicBytes();
  out.insert(out.end(), magic.begin(), magic.end());
  auto d = disk.encode();
  out.insert(out.end(), d.begin(), d.end());
  for (const auto& r : records) {
    if (r.diskNumber != disk.number) continue;
    auto b = r.encode();
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}

std::optional<BackupFile> decodeBackup(ByteSpan bytes) {
  if (bytes.size() < kBackupHeaderSize || le32At(bytes, 0) != kBackupMagic) return std::nullopt;
  const size_t count = (bytes.size() - kBackupHeaderSize) / kPartitionRecordSize;
  if (count > kBackupMaxRecords) return std::nullopt;
  BackupFile file;
  file.disk = DiskRecord::decode(bytes.subspan(kBackupMagicSize).first<kDiskRecordSize>());
  file.records.reserve(count);
  for (size_t i = 0; i < count; ++i)
    file.records.push_back(PartitionRecord::decode(
        bytes.subspan(kBackupHeaderSize + i * kPartitionRecordSize).first<kPartitionRecordSize>()));
  return file;
}

bool backupMatchesDisk(const DiskRecord& inFile, const DiskRecord& selected) {
  return inFile.nameText() == selected.nameText() && inFile.size == selected.size;
}

bool writeBackupFile(const std::filesystem::path& path, const DiskRecord& disk,
                     const std::vector<PartitionRecord>& catalogRecords) {
  // Whole or not at all, and never onto a drive being examined (the image named as --out).
  return writeFileAtomically(path, encodeBackup(disk, catalogRecords), Replace::Allowed).has_value();
}

std::optional<std::vector<PartitionRecord>> loadBackupFile(const std::filesystem::path& path,
                                                           const DiskRecord& selected) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) return std::nullopt;
  std::array<uint8_t, kBackupHeaderSize> header{};
  if (std::fread(header.data(), 1, header.size(), f.get()) != header.size()) return std::nullopt;
  if (le32At(header, 0) != kBackupMagic) return std::nullopt;
  DiskRecord disk = DiskRecord::decode(std::span(header).subspan<kBackupMagicSize, kDiskRecordSize>());
  if (!backupMatchesDisk(disk, selected)) return std::nullopt;
  std::vector<PartitionRecord> records;
  std::array<uint8_t, kPartitionRecordSize> buf{};
  while (std::fread(buf.data(), 1, buf.size(), f.get()) == buf.size()) {
    if (records.size() == kBackupMaxRecords) return std::nullopt;
    records.push_back(PartitionRecord::decode(buf));
  }
  if (std::ferror(f.get())) return std::nullopt;
  return records;
}

}  // namespace velk
