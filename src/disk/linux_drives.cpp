// Linux backend of the device namespace: physical drive N is the N-th whole-disk block
// device of /sys/block, sorted by name, described from sysfs.

#include <algorithm>
#include <fstream>
#include <string>

#include "disk/device.h"

namespace velk {
namespace {

std::string readSysText(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::string text;
  std::getline(in, text);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\t'))
    text.pop_back();
  return text;
}

bool isWholeDiskName(const std::string& name) {
  for (const char* skip : {"loop", "ram", "zram", "dm-", "md", "nbd", "fd"})
    if (name.rfind(skip, 0) == 0) return false;
  return true;
}

// STORAGE_BUS_TYPE numbering, guessed from where the device hangs in sysfs.
uint32_t busTypeOf(const std::filesystem::path& sysDevice) {
  std::error_code ec;
  std::string real = std::filesystem::canonical(sysDevice, ec).string();
  if (real.find("/usb") != std::string::npos) return 7;
  if (real.find("/nvme") != std::string::npos) return 17;
  if (real.find("/mmc") != std::string::npos) return 12;
  if (real.find("/ata") != std::string::npos) return 11;
  if (real.find("/virtio") != std::string::npos) return 1;
  if (real.find("/host") != std::string::npos) return 1;
  return 0;
}

}  // namespace

std::vector<DriveSource> enumerateSystemDrives() {
  std::vector<DriveSource> drives;
  std::error_code ec;
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/block", ec))
    if (isWholeDiskName(entry.path().filename().string())) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  for (const auto& name : names) {
    std::filesystem::path sys = std::filesystem::path("/sys/block") / name;
    DriveSource d;
    d.path = std::filesystem::path("/dev") / name;
    d.displayName = d.path.string();
    d.isBlockDevice = true;
    d.size = std::strtoull(readSysText(sys / "size").c_str(), nullptr, 10) * 512;
    d.descriptor.vendor = readSysText(sys / "device" / "vendor");
    d.descriptor.product = readSysText(sys / "device" / "model");
    if (d.descriptor.product.empty()) d.descriptor.product = name;
    d.descriptor.removable = readSysText(sys / "removable") == "1";
    d.descriptor.busType = busTypeOf(sys);
    // Optical drives are not direct-access disks.
    if (name.rfind("sr", 0) == 0) d.descriptor.deviceType = 5;
    drives.push_back(std::move(d));
  }
  return drives;
}

}  // namespace velk
