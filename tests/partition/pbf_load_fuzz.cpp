// libFuzzer entry for the partition backup (.pbf) loader: decodes any bytes as a backup,
// checks it against a disk, and re-encodes what was accepted.
//
// Build (clang): clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I src \
//   tests/partition/pbf_load_fuzz.cpp src/partition/backup_file.cpp src/disk/records.cpp \
//   -o pbf_load_fuzz

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "partition/backup_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto decoded = velk::decodeBackup(velk::ByteSpan(data, size));
  if (!decoded) return 0;
  if (decoded->records.size() != (size - velk::kBackupHeaderSize) / velk::kPartitionRecordSize) std::abort();
  velk::DiskRecord selected;
  velk::setFixedText(selected.name, "fuzz disk");
  selected.size = 1 << 20;
  (void)velk::backupMatchesDisk(decoded->disk, selected);
  // What was read writes back as the same bytes (the trailing piece aside).
  auto records = decoded->records;
  for (auto& r : records) r.diskNumber = decoded->disk.number;
  auto again = velk::encodeBackup(decoded->disk, records);
  if (again.size() > size) std::abort();
  for (size_t i = 0; i < again.size(); ++i) {
    // Disk numbers of the records were replaced above; every other byte must match.
    size_t inRecord = i >= velk::kBackupHeaderSize ? (i - velk::kBackupHeaderSize) % velk::kPartitionRecordSize : 99;
    if (inRecord < 4) continue;
    if (again[i] != data[i]) std::abort();
  }
  return 0;
}
