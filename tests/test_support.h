#pragma once
// Shared helpers for tests: fixture images and their manifests, temporary folders, and
// attaching images to the device namespace.

#include <cstdint>
#include <memory>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "disk/records.h"
#include "disk/sector_reader.h"
#include "support/error.h"

namespace velk {

// The kind of a failure; nullopt when the operation succeeded.
template <typename T>
std::optional<ErrorKind> failureKind(const tl::expected<T, Error>& result) {
  if (result) return std::nullopt;
  return result.error().kind;
}
inline std::optional<ErrorKind> failureKind(const std::optional<Error>& error) {
  if (!error) return std::nullopt;
  return error->kind;
}

}  // namespace velk

namespace velk::test {

// Unpacked fixture image in the build tree (e.g. "fat32_deleted.img").
std::filesystem::path fixturePath(const std::string& name);
bool fixtureExists(const std::string& name);

struct ManifestEntry {
  int part = 0;
  std::string path;   // "/" separated, inside the file system
  uint64_t size = 0;
  std::string sha256;
  std::string state;  // live, deleted, deleted-in-deleted-folder, formatted, overwritten
  std::string notes;
};
// Rows of tests/fixtures/<name>.manifest.tsv (name without extension).
std::vector<ManifestEntry> loadManifest(const std::string& name);

std::string sha256Hex(const std::vector<uint8_t>& bytes);
std::string sha256File(const std::filesystem::path& path);
std::vector<uint8_t> readFile(const std::filesystem::path& path);

// A fresh directory removed when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return m_path; }

 private:
  std::filesystem::path m_path;
};

// A read-only reader over bytes in memory, base 0.
inline SectorReader memoryReader(std::shared_ptr<std::vector<uint8_t>> bytes) {
  SectorReader reader;
  reader.OpenDevice(memoryDevice(std::move(bytes), /*writable=*/false), "memory-image");
  return reader;
}

// Resets the device namespace, attaches the images as drives 0.. and letters volumes.
void attachImages(const std::vector<std::filesystem::path>& images);
// Attaches one image and returns the catalogue's partition records.
std::vector<PartitionRecord> catalogOf(const std::filesystem::path& image);

// Runs a command, returns its exit status and captures stdout.
int runCommand(const std::string& command, std::string* output = nullptr);

}  // namespace velk::test
