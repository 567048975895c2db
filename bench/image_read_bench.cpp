// Sequential read throughput of disk images attached as drives: a raw image next to the
// same disk in containers (E01, VHD, VHDX, VMDK, QCOW2).
//
//   image_read_bench IMAGE...
//
// Each image is attached as the engines see it (DeviceNamespace::openDrive) and read
// whole, first once to warm the page cache, then three times in 1 MiB and in 64 KiB
// pieces (the sizes of a raw scan's and of a recovery's reads); the best pass counts.
// Prints MB/s per image and piece size, and a checksum of the bytes so that every image
// can be seen to hold the same disk.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "disk/device.h"
#include "disk/image_formats.h"

using namespace velk;

namespace {

// Seconds for one whole pass, and a checksum of what was read; negative on a failed read.
double readPass(BlockDevice& device, size_t piece, uint64_t& checksum) {
  std::vector<uint8_t> buffer(piece);
  checksum = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (uint64_t at = 0; at < device.size(); at += piece) {
    const int64_t n = device.readAt(at, buffer.data(), piece);
    if (n <= 0) return -1;
    for (int64_t i = 0; i < n; i += 4096) checksum = checksum * 31 + buffer[size_t(i)];
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: image_read_bench IMAGE...\n");
    return 2;
  }
  auto& ns = DeviceNamespace::instance();
  std::printf("%-40s %-5s %10s %12s %12s %18s\n", "image", "kind", "MiB", "1 MiB MB/s", "64 KiB MB/s", "checksum");
  for (int i = 1; i < argc; ++i) {
    ns.reset();
    std::string reason;
    if (ns.attachImage(argv[i], &reason) != 0) {
      std::fprintf(stderr, "%s: %s\n", argv[i], reason.c_str());
      return 2;
    }
    auto device = ns.openDrive(0, Access::Read);
    if (!device) return 2;
    uint64_t checksum = 0;
    if (readPass(**device, 1 << 20, checksum) < 0) return 1;  // warm-up
    double best[2] = {1e9, 1e9};
    const size_t pieces[2] = {1 << 20, 64 << 10};
    for (int p = 0; p < 2; ++p)
      for (int rep = 0; rep < 3; ++rep) {
        const double s = readPass(**device, pieces[p], checksum);
        if (s < 0) return 1;
        best[p] = std::min(best[p], s);
      }
    const double mb = double((*device)->size()) / 1e6;
    std::printf("%-40s %-5s %10.0f %12.0f %12.0f %18llx\n", argv[i],
                std::string(imageFormatName(probeImageFormat(argv[i]))).c_str(), mb / 1.048576, mb / best[0],
                mb / best[1], static_cast<unsigned long long>(checksum));
  }
  return 0;
}
