// Raw signature scan throughput on cached data, one core, the whole catalogue enabled.
//
//   raw_scan_bench [rp.dat] [MiB]
//
// Times the sector test alone over an in-memory buffer, then a whole RawScanner pass over
// the same bytes as a device (chunked reads, state machine, records), and prints GB/s.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "drivers/raw_drivers.h"
#include "engines/raw/raw_scanner.h"

using namespace velk;

int main(int argc, char** argv) {
  std::string path = argc > 1 ? argv[1] : std::string();
  const size_t mib = argc > 2 ? size_t(std::strtoul(argv[2], nullptr, 10)) : 1024;
  SignatureCatalog catalog;
  if (Status loaded = catalog.load(path); !loaded) {
    std::fprintf(stderr, "%s\n", describe(loaded.error()).c_str());
    return 2;
  }

  // Random data (what unallocated space mostly looks like), with a header every 4 MiB.
  auto bytes = std::make_shared<std::vector<uint8_t>>(mib << 20);
  std::mt19937_64 rng(42);
  for (size_t i = 0; i + 8 <= bytes->size(); i += 8) {
    const uint64_t v = rng();
    std::memcpy(bytes->data() + i, &v, 8);
  }
  for (size_t off = 0; off + 512 <= bytes->size(); off += 4u << 20) {
    const uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F'};
    std::memcpy(bytes->data() + off, jpeg, sizeof jpeg);
  }

  using Clock = std::chrono::steady_clock;
  const SignatureMatcher matcher(catalog);
  MatchState state;
  size_t headers = 0;
  double best = 1e9;
  for (int rep = 0; rep < 3; ++rep) {
    const auto t0 = Clock::now();
    for (size_t off = 0; off < bytes->size(); off += kRawSectorSize)
      headers += matcher.testSector(bytes->data() + off, state).result == kHeader ? 1 : 0;
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  const double gb = double(bytes->size()) / 1e9;
  std::printf("sector test: %zu entries enabled, %.2f GB in %.3f s = %.2f GB/s (%zu headers)\n",
              matcher.enabledEntries(), gb, best, gb / best, headers / 3);

  SectorReader reader;
  reader.OpenDevice(std::make_unique<MemoryBlockDevice>(bytes), "memory");
  RawScanner scanner;
  scanner.open(std::move(reader));
  scanner.setStart(0);
  scanner.setRange(0, bytes->size() / kRawSectorSize);
  scanner.setCatalog(&catalog);
  scanner.setFormatEnds(false);
  const auto t0 = Clock::now();
  if (!scanner.scan()) return 1;
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  std::printf("whole scan (reads + state, no end rules): %.2f GB/s, %zu files\n", gb / s, scanner.found().size());

  scanner.setFormatEnds(true);
  const auto t1 = Clock::now();
  if (!scanner.scan()) return 1;
  const double s2 = std::chrono::duration<double>(Clock::now() - t1).count();
  std::printf("whole scan with end rules: %.2f GB/s, %zu files\n", gb / s2, scanner.found().size());
  return 0;
}
