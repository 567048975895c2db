#include "drivers/ext_drivers.h"

#include <cstring>
#include <memory>

#include "drivers/fat_drivers.h"
#include "engines/ext/ext_block_map.h"
#include "engines/ext/ext_volume.h"
#include "formats/ext_journal.h"
#include "workspace/result_tree.h"

namespace velk {
namespace {

// Bound on the files extracted per fuzz run: enough to reach every path of the copy.
constexpr size_t kFuzzExtractions = 16;
// Files larger than this are only partly read during fuzzing.
constexpr size_t kFuzzReadLimit = 1u << 20;

}  // namespace

size_t fuzzExtSuperblock(const uint8_t* data, size_t size) {
    PartitionRecord record;
  Ext2Volume volume(record, memoryReader(data, size));
  return volume.isValid() ? volume.groups().size() : 0;
}

size_t runExtScansOnMemoryImage(const uint8_t* data, size_t size) {
    PartitionRecord record;
  record.setLabel("fuzz");
  size_t found = 0;
  for (int kind = 0; kind < 2; ++kind) {
    std::unique_ptr<ExtVolume> volume;
    if (kind == 0) volume = std::make_unique<Ext2Volume>(record, memoryReader(data, size));
    else volume = std::make_unique<Ext3Volume>(record, memoryReader(data, size));
    if (!volume->isValid()) continue;
    volume->setClock([] { return int64_t(1767323045); });  // 2026-01-02
    ResultTree tree(Variant::Ext);
    Progress progress;
    ScanOptions options;
    (void)volume->scan(tree, options, progress);
    found += tree.recordCount();
    size_t extracted = 0;
    for (FolderItem* folder : tree.foldersBreadthFirst()) {
      for (FileRecord* file : folder->files) {
        if (extracted++ >= kFuzzExtractions) break;
        std::vector<uint8_t> buffer(std::min<uint64_t>(file->contentSize(), kFuzzReadLimit));
        size_t copied = 0;
        (void)volume->readInto(*file, buffer, copied);
      }
    }
  }
  return found;
}

size_t fuzzExtBlockMap(const uint8_t* data, size_t size) {
  if (size < kInodeCopySize) return 0;
  const ExtInode inode = ExtInode::decode(ByteSpan(data, kInodeCopySize));
  constexpr uint32_t kBlock = 1024;
  const uint8_t* blocks = data + kInodeCopySize;
  const uint64_t blockCount = (size - kInodeCopySize) / kBlock;
  ExtBlockMap map(inode, kBlock, blockCount, [&](uint64_t block, std::span<uint8_t> out) {
    if (block >= blockCount || out.size() != kBlock) return false;
    std::memcpy(out.data(), blocks + block * kBlock, kBlock);
    return true;
  });
  // Every block of a file as large as its size says, capped so a run stays short.
  const uint64_t fileBlocks = std::min<uint64_t>((inode.contentSize(1) + kBlock - 1) / kBlock, 1u << 16);
  size_t mapped = 0;
  for (uint64_t b = 0; b < fileBlocks; ++b)
    if (map.map(b)) ++mapped;
  return mapped;
}

size_t fuzzExtJournalBlock(const uint8_t* data, size_t size) {
  ByteSpan block(data, size);
  size_t decoded = 0;
  for (uint32_t features : {0u, kJournalIncompat64Bit, kJournalIncompatCsumV2,
                            kJournalIncompatCsumV2 | kJournalIncompat64Bit, kJournalIncompatCsumV3}) {
    JournalSuperblock journal;
    journal.featureIncompat = features;
    decoded += descriptorTags(block, journal).size();
  }
  (void)JournalSuperblock::parse(block);
  (void)looksLikeFirstDirectoryBlock(block);
  (void)looksLikeDirectoryBlock(block, UINT32_MAX);
  decoded += directoryEntries(block, UINT32_MAX).size();
  return decoded;
}

}  // namespace velk
