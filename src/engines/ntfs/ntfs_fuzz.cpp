#include "engines/ntfs/ntfs_fuzz.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "engines/ntfs/ntfs_boot_sector.h"
#include "engines/ntfs/ntfs_data_stream.h"
#include "engines/ntfs/runlist.h"

namespace velk {
namespace {

constexpr size_t kHeaderBytes = 11;
constexpr uint64_t kMaxFuzzContent = 16u << 20;

class MemoryClusters final : public ClusterSource {
 public:
  explicit MemoryClusters(ByteSpan volume) : m_volume(volume) {}
  ErrorCode readVolume(uint64_t offset, size_t length, uint8_t* buffer) override {
    if (!fits(m_volume, size_t(std::min<uint64_t>(offset, SIZE_MAX)), length)) return EIO;
    std::memcpy(buffer, m_volume.data() + offset, length);
    return kOk;
  }

 private:
  ByteSpan m_volume;
};

}  // namespace

bool fuzzNtfsStream(const uint8_t* data, size_t size) {
  if (size < kHeaderBytes) return true;
  const ByteSpan in(data, size);
  const uint32_t clusterSize = 512u << (in[0] % 4);
  const size_t runlistLength = std::min<size_t>(in[10], size - kHeaderBytes);
  const ByteSpan runlist = in.subspan(kHeaderBytes, runlistLength);
  const ByteSpan volume = in.subspan(kHeaderBytes + runlistLength);

  NtfsStreamLayout layout;
  layout.compressed = (in[1] & 1) != 0;
  layout.compressionUnitClusters = 1u << ((in[1] >> 1) & 7);
  layout.realSize = le32(data + 2) % (kMaxFuzzContent + 1);
  layout.initializedSize = le32(data + 6) % (kMaxFuzzContent + 1);
  layout.incomplete =
      decodeRunlist(runlist, 0, volume.size() / clusterSize, layout.runs) != RunlistStatus::Ok;

  MemoryClusters source(volume);
  NullSink sink;
  const ErrorCode rc = writeNtfsStream(layout, clusterSize, source, sink);
  if (sink.written() > layout.realSize) return false;
  return rc != kOk || sink.written() == layout.realSize;
}

bool fuzzNtfsBootSector(const uint8_t* data, size_t size) {
  std::array<uint8_t, 512> sector{};
  std::memcpy(sector.data(), data, std::min(size, sector.size()));
  const auto boot = NtfsBootSector::parse(sector);
  if (!boot) return true;
  return boot->clusterSize != 0 && boot->recordSize >= 512 && boot->bytesPerSector != 0 &&
         boot->volumeBytes() / boot->bytesPerSector == boot->totalSectors;
}

}  // namespace velk
