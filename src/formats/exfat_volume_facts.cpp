#include "formats/exfat_volume_facts.h"

#include <algorithm>
#include <bit>
#include <memory>
#include <unordered_set>

#include "formats/exfat_entries.h"

namespace velk {

using namespace exfatlayout;

namespace {

// The bitmap is counted a megabyte at a time.
constexpr size_t kPieceBytes = size_t(1) << 20;

}  // namespace

ExfatChain followExfatChain(const ExfatBootSector& boot, uint32_t first, uint64_t maxClusters,
                            const ExfatFatEntry& fatEntry) {
  ExfatChain chain;
  std::unordered_set<uint32_t> seen;
  uint32_t c = first;
  while (boot.isCluster(c) && chain.clusters.size() < maxClusters && seen.insert(c).second) {
    chain.clusters.push_back(c);
    const auto next = fatEntry(c);
    if (!next) return chain;
    if (*next == kEndOfChain) {
      chain.complete = true;
      return chain;
    }
    c = *next;
  }
  return chain;
}

ExfatFatEntry exfatFatReader(const ExfatBootSector& boot, ExfatRead read) {
  struct Cache {
    uint64_t sector = UINT64_MAX;
    std::vector<uint8_t> bytes;
  };
  auto cache = std::make_shared<Cache>();
  const uint64_t fat = boot.activeFatOffset();
  const uint32_t bps = boot.bytesPerSector();
  return [cache, fat, bps, read = std::move(read)](uint32_t c) -> std::optional<uint32_t> {
    const uint64_t at = uint64_t(c) * 4;
    const uint64_t sector = at / bps;
    if (sector != cache->sector) {
      cache->bytes.resize(bps);
      cache->sector = UINT64_MAX;
      if (!read(fat + sector * bps, bps, cache->bytes.data())) return std::nullopt;
      cache->sector = sector;
    }
    return le32(cache->bytes.data() + at % bps);
  };
}

std::optional<ExfatVolumeFacts> readExfatVolumeFacts(const ExfatRead& read, bool countFree) {
  // Both regions, or as much of them as the volume holds.
  std::vector<uint8_t> head(kBothRegionsMaxBytes);
  size_t have = head.size();
  while (have >= kBootSectorSize && !read(0, have, head.data())) have /= 2;
  if (have < kBootSectorSize) return std::nullopt;
  auto found = locateExfatBoot(ByteSpan(head.data(), have));
  if (!found) return std::nullopt;

  ExfatVolumeFacts facts;
  facts.found = *found;
  const ExfatBootSector& b = found->boot;
  const ExfatFatEntry fat = exfatFatReader(b, read);
  const uint64_t cb = b.clusterBytes();
  facts.rootClusters = followExfatChain(b, b.rootCluster, std::max<uint64_t>(1, kExfatMaxDirectoryBytes / cb), fat).clusters;

  // The root holds the label and one bitmap per FAT; the one of the FAT in use counts.
  const uint8_t activeFat = (b.numberOfFats == 2 && (b.flags & kFlagActiveFat)) ? 1 : 0;
  bool haveLabel = false, haveBitmap = false;
  uint32_t bitmapFirst = 0;
  ExfatDirectoryReader root({nullptr,
                             [&](std::string label) {
                               if (!haveLabel) facts.label = std::move(label);
                               haveLabel = true;
                             },
                             [&](uint8_t flags, uint32_t first, uint64_t) {
                               if (haveBitmap || (flags & 1) != activeFat) return;
                               haveBitmap = true;
                               bitmapFirst = first;
                             }});
  std::vector<uint8_t> cluster(static_cast<size_t>(cb));
  for (uint32_t c : facts.rootClusters) {
    if (!read(b.clusterOffset(c), cluster.size(), cluster.data())) break;
    root.feed(cluster);
  }
  if (!haveBitmap) return facts;
  facts.bitmapBytes = (uint64_t(b.clusterCount) + 7) / 8;
  facts.bitmapClusters = followExfatChain(b, bitmapFirst, (facts.bitmapBytes + cb - 1) / cb, fat).clusters;
  if (!countFree) return facts;

  uint64_t used = 0, seen = 0;
  std::vector<uint8_t> piece;
  for (uint32_t c : facts.bitmapClusters) {
    for (uint64_t off = 0; off < cb && seen < b.clusterCount;) {
      const size_t n = size_t(std::min<uint64_t>({kPieceBytes, cb - off, (b.clusterCount - seen + 7) / 8}));
      piece.resize(n);
      if (!read(b.clusterOffset(c) + off, n, piece.data())) return facts;
      for (uint8_t byte : piece) {
        const uint64_t bits = std::min<uint64_t>(8, b.clusterCount - seen);
        used += std::popcount(unsigned(byte & ((1u << bits) - 1)));
        seen += bits;
      }
      off += n;
    }
  }
  if (seen == b.clusterCount) facts.freeClusters = b.clusterCount - used;
  return facts;
}

}  // namespace velk
