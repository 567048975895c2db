#include "drivers/ntfs_drivers.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "formats/ntfs_boot_sector.h"
#include "engines/ntfs/ntfs_data_stream.h"
#include "formats/runlist.h"
#include "drivers/fat_drivers.h"
#include "engines/ntfs/ntfs_volume.h"
#include "formats/mft_record.h"
#include "formats/ntfs_layout.h"
#include "workspace/result_tree.h"

namespace velk {
namespace {

constexpr size_t kHeaderBytes = 11;
constexpr uint64_t kMaxFuzzContent = 16u << 20;

class MemoryClusters final : public ClusterSource {
 public:
  explicit MemoryClusters(ByteSpan volume) : m_volume(volume) {}
  Status readVolume(uint64_t offset, size_t length, uint8_t* buffer) override {
    if (!fits(m_volume, size_t(std::min<uint64_t>(offset, SIZE_MAX)), length)) return fail(ioError("reading", EIO));
    std::memcpy(buffer, m_volume.data() + offset, length);
    return {};
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
  const Status rc = writeNtfsStream(layout, clusterSize, source, sink);
  if (sink.written() > layout.realSize) return false;
  return !rc || sink.written() == layout.realSize;
}

bool fuzzNtfsBootSector(const uint8_t* data, size_t size) {
  std::array<uint8_t, 512> sector{};
  std::memcpy(sector.data(), data, std::min(size, sector.size()));
  const auto boot = NtfsBootSector::parse(sector);
  if (!boot) return true;
  return boot->clusterSize != 0 && boot->recordSize >= 512 && boot->bytesPerSector != 0 &&
         boot->volumeBytes() / boot->bytesPerSector == boot->totalSectors;
}

size_t fuzzParseMftRecord(const uint8_t* data, size_t size) {
  std::array<uint8_t, ntfs::kMaxRecordSize> scratch{};
  const size_t n = size < scratch.size() ? size : scratch.size();
  if (n) std::memcpy(scratch.data(), data, n);
  // Whole 512-byte stretches only, as records come in.
  const size_t recordSize = n < ntfs::kMinRecordSize ? ntfs::kMinRecordSize : n & ~(ntfs::kFixupStride - 1);
  MutableByteSpan record(scratch.data(), recordSize);
  size_t digest = size_t(applyFixups(record));

  ParsedMftRecord parsed;
  if (parseMftRecord(record, parsed)) {
    digest += parsed.dataCount + (parsed.hasFileName ? parsed.fileName.nameLength : 0);
    std::vector<DataRun> runs;
    for (size_t i = 0; i < parsed.dataCount; ++i) {
      const AttributeView& a = parsed.data[i];
      if (a.nonResident) digest += size_t(decodeRunlist(a.runlist, a.startVcn, uint64_t(1) << 32, runs));
    }
    if (parsed.hasAttributeList && !parsed.attributeList.nonResident) {
      (void)forEachAttributeListEntry(parsed.attributeList.value, [&](const AttributeListEntry& e) {
        digest += e.type + e.name.size();
        return true;
      });
    }
    digest += runs.size();
  }
  FileNameView name;
  bool hasName = false;
  if (quickParseMftRecord(record, name, hasName) && hasName) digest += name.nameLength;
  return digest;
}

size_t runNtfsScansOnMemoryImage(const uint8_t* data, size_t size) {
  size_t found = 0;
  for (Task task : {Task::Deleted, Task::Formatted}) {
    NtfsVolume volume(memoryReader(data, size), 0, 'C', size);
    ResultTree tree(Variant::Ntfs);
    Progress progress;
    ScanOptions options;
    options.task = task;
    (void)volume.scan(tree, options, progress);
    found += tree.recordCount();
    size_t extracted = 0;
    for (FolderItem* folder : tree.foldersBreadthFirst()) {
      for (FileRecord* file : folder->files) {
        // Bounded work per input: a few files, none of fuzzer-sized holes.
        if (extracted++ >= 64 || file->contentSize() > (64u << 20)) continue;
        NullSink sink;
        (void)volume.extract(*file, sink);
      }
    }
  }
  return found;
}

}  // namespace velk
