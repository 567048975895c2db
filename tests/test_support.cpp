#include "test_support.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/wait.h>

#include "disk/device.h"
#include "disk/drive_catalog.h"
#include "support/sha256.h"

namespace velk::test {

std::filesystem::path fixturePath(const std::string& name) {
  return std::filesystem::path(VELK_FIXTURE_DIR) / name;
}

bool fixtureExists(const std::string& name) { return std::filesystem::exists(fixturePath(name)); }

std::vector<ManifestEntry> loadManifest(const std::string& name) {
  std::vector<ManifestEntry> rows;
  std::ifstream in(std::filesystem::path(VELK_FIXTURE_SOURCE_DIR) / (name + ".manifest.tsv"));
  std::string line;
  bool header = true;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (header) {
      header = false;
      continue;
    }
    std::vector<std::string> cols;
    std::stringstream ss(line);
    std::string col;
    while (std::getline(ss, col, '\t')) cols.push_back(col);
    if (cols.size() < 5) continue;
    ManifestEntry e;
    e.part = std::atoi(cols[0].c_str());
    e.path = cols[1];
    e.size = std::strtoull(cols[2].c_str(), nullptr, 10);
    e.sha256 = cols[3];
    e.state = cols[4];
    if (cols.size() > 5) e.notes = cols[5];
    rows.push_back(std::move(e));
  }
  return rows;
}

std::string sha256Hex(const std::vector<uint8_t>& bytes) { return Sha256::hex(bytes); }

std::vector<uint8_t> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string sha256File(const std::filesystem::path& path) { return sha256Hex(readFile(path)); }

TempDir::TempDir() {
  std::random_device rd;
  auto base = std::filesystem::temp_directory_path();
  for (;;) {
    m_path = base / ("velk-test-" + std::to_string(rd()));
    if (std::filesystem::create_directory(m_path)) break;
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

void attachImages(const std::vector<std::filesystem::path>& images) {
  auto& ns = DeviceNamespace::instance();
  ns.reset();
  for (const auto& image : images) (void)ns.attachImage(image);
  ns.assignLetters();
}

std::vector<PartitionRecord> catalogOf(const std::filesystem::path& image) {
  attachImages({image});
  DriveCatalog catalog;
  catalog.Refresh();
  return catalog.partitions();
}

int runCommand(const std::string& command, std::string* output) {
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return -1;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0)
    if (output) output->append(buf.data(), n);
  int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace velk::test
