#include "workspace/same_drive.h"

#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "disk/device.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

std::string readLine(const fs::path& p) {
  std::ifstream in(p);
  std::string s;
  std::getline(in, s);
  return s;
}

// The nearest existing ancestor of a path (the folder may not exist yet).
fs::path existingAncestor(fs::path p) {
  std::error_code ec;
  p = fs::absolute(p, ec);
  while (!p.empty() && !fs::exists(p, ec)) {
    if (p == p.parent_path()) break;
    p = p.parent_path();
  }
  return p;
}

}  // namespace

bool outputOnScannedDevice(const PartitionRecord& scanned, const fs::path& outputFolder) {
  auto source = DeviceNamespace::instance().drive(scanned.diskNumber);
  if (!source || source->memory) return false;
  struct stat out {};
  if (::stat(existingAncestor(outputFolder).c_str(), &out) != 0) return false;
  const fs::path sysDev = fs::path("/sys/dev/block") / (std::to_string(major(out.st_dev)) + ":" +
                                                        std::to_string(minor(out.st_dev)));
  std::error_code ec;
  if (!source->isBlockDevice) {
    // An image: refuse when the output lives on a loop device backed by that image.
    fs::path backing = readLine(sysDev / "loop" / "backing_file");
    if (backing.empty()) backing = readLine(sysDev / ".." / "loop" / "backing_file");
    return !backing.empty() && fs::equivalent(backing, source->path, ec);
  }
  struct stat disk {};
  if (::stat(source->path.c_str(), &disk) != 0) return false;
  if (out.st_dev == disk.st_rdev) return true;  // a file system on the whole disk
  // A partition of the scanned disk: compare byte ranges.
  fs::path real = fs::canonical(sysDev, ec);
  if (ec || real.parent_path().filename() != source->path.filename()) return false;
  uint64_t start = std::strtoull(readLine(real / "start").c_str(), nullptr, 10);
  uint64_t size = std::strtoull(readLine(real / "size").c_str(), nullptr, 10);
  uint64_t scanStart = scanned.startSector, scanEnd = scanned.startSector + scanned.length / 512;
  return start < scanEnd && scanStart < start + size;
}

}  // namespace velk
