#include "output/write_guard.h"

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "disk/device.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

constexpr const char* kNeverWritten = "; nothing is written onto a drive being examined";

std::string readLine(const fs::path& p) {
  std::ifstream in(p);
  std::string s;
  std::getline(in, s);
  return s;
}

uint64_t readNumber(const fs::path& p) { return std::strtoull(readLine(p).c_str(), nullptr, 10); }

// What sysfs tells of a block device number: the device's own folder, the whole disk it
// belongs to, the file behind it when it is a loop device, and its byte range on the disk.
struct BlockFacts {
  fs::path node;
  fs::path disk;
  fs::path backingFile;
  uint64_t firstByte = 0;
  uint64_t length = 0;
  bool partition = false;
};

std::optional<BlockFacts> blockFacts(dev_t device) {
  std::error_code ec;
  const fs::path link = fs::path("/sys/dev/block") / (std::to_string(major(device)) + ":" + std::to_string(minor(device)));
  BlockFacts facts;
  facts.node = fs::canonical(link, ec);
  if (ec) return std::nullopt;
  facts.partition = fs::exists(facts.node / "partition", ec);
  facts.disk = facts.partition ? facts.node.parent_path() : facts.node;
  facts.backingFile = readLine(facts.disk / "loop" / "backing_file");
  if (facts.partition) facts.firstByte = readNumber(facts.node / "start") * 512;
  facts.length = readNumber(facts.node / "size") * 512;
  return facts;
}

bool sameFile(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  return !a.empty() && !b.empty() && fs::equivalent(a, b, ec) && !ec;
}

// The nearest existing path at or above p (a target may not exist yet).
fs::path existingAncestor(fs::path p) {
  std::error_code ec;
  p = fs::absolute(p, ec);
  while (!p.empty() && !fs::exists(p, ec)) {
    if (p == p.parent_path()) break;
    p = p.parent_path();
  }
  return p;
}

struct Attached {
  int number = -1;
  fs::path path;
  bool blockDevice = false;
  std::optional<BlockFacts> facts;  // block devices: the device itself
};

std::vector<Attached> attachedDrives() {
  std::vector<Attached> out;
  const auto& ns = DeviceNamespace::instance();
  for (int n = 0; n < ns.driveCount(); ++n) {
    const auto source = ns.drive(n);
    if (!source || source->memory || source->path.empty()) continue;
    Attached a{n, source->path, source->isBlockDevice, std::nullopt};
    struct stat st {};
    if (a.blockDevice && ::stat(a.path.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) a.facts = blockFacts(st.st_rdev);
    out.push_back(std::move(a));
  }
  return out;
}

std::string driveText(const Attached& a) {
  return (a.blockDevice ? "drive " : "the disk image attached as drive ") + std::to_string(a.number) + " ('" +
         a.path.string() + "')";
}

// Whether a block device (a node a write would open, or the device under a file system)
// is the attached drive, one of its partitions, or a loop device over the attached image.
bool belongsTo(const BlockFacts& facts, const Attached& a) {
  if (a.blockDevice) return a.facts && facts.disk == a.facts->disk;
  return sameFile(facts.backingFile, a.path);
}

bool overlaps(const BlockFacts& facts, const ExaminedRange& range) {
  const uint64_t end = range.length ? range.firstByte + range.length : UINT64_MAX;
  const uint64_t factsEnd = facts.length ? facts.firstByte + facts.length : UINT64_MAX;
  return facts.firstByte < end && range.firstByte < factsEnd;
}

Status refused(const std::string& sentence) { return fail(usageError(sentence)); }

}  // namespace

ExaminedRange examinedRangeOf(const PartitionRecord& record) {
  return ExaminedRange{int(record.diskNumber), record.startSector * 512, record.length};
}

Status checkWriteTarget(const fs::path& target, const std::optional<ExaminedRange>& examined) {
  const std::vector<Attached> drives = attachedDrives();
  if (drives.empty()) return {};
  const std::string quoted = "'" + target.string() + "'";

  // The target itself: the image file, or a device node of an attached drive, whether
  // named directly or through a link.
  struct stat own {}, followed {};
  const bool hasOwn = ::lstat(target.c_str(), &own) == 0;
  const bool hasFollowed = ::stat(target.c_str(), &followed) == 0;
  for (const struct stat* st : {hasOwn ? &own : nullptr, hasFollowed ? &followed : nullptr}) {
    if (!st) continue;
    for (const Attached& a : drives) {
      struct stat image {};
      if (S_ISREG(st->st_mode) && !a.blockDevice && ::stat(a.path.c_str(), &image) == 0 &&
          image.st_dev == st->st_dev && image.st_ino == st->st_ino)
        return refused(quoted + " is " + driveText(a) + kNeverWritten);
      if (S_ISBLK(st->st_mode)) {
        const auto facts = blockFacts(st->st_rdev);
        if (facts && belongsTo(*facts, a)) return refused(quoted + " is a device of " + driveText(a) + kNeverWritten);
      }
    }
  }

  // Where it would be written: a file system inside an attached image changes the image;
  // one on the examined part of an attached disk may cover what is being recovered.
  struct stat where {};
  if (::stat(existingAncestor(target).c_str(), &where) != 0) return {};
  const auto facts = blockFacts(where.st_dev);
  if (!facts) return {};
  for (const Attached& a : drives) {
    if (!belongsTo(*facts, a)) continue;
    if (!a.blockDevice) return refused(quoted + " lies on a file system inside " + driveText(a) + kNeverWritten);
    if (examined && examined->drive == a.number && overlaps(*facts, *examined))
      return refused(quoted + " lies on the part of " + driveText(a) + " being examined" + kNeverWritten);
  }
  return {};
}

bool outputOnScannedDevice(const PartitionRecord& scanned, const fs::path& outputFolder) {
  return !checkWriteTarget(outputFolder, examinedRangeOf(scanned));
}

}  // namespace velk
