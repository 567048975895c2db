#pragma once
// The EXT2/EXT3 deleted-file engines. Both open the volume the same way (superblock, group
// descriptors), list what they find under "Lost files" and read files back through their
// block maps; they differ in where candidates come from:
//   Ext2Volume — freed inodes of the inode tables that still hold a size and block pointers;
//   Ext3Volume — older copies of inode-table blocks kept in the journal (the live inode has
//                its pointers cleared), named through journal copies of directory blocks.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "disk/records.h"
#include "disk/sector_reader.h"
#include "engines/ext/ext_file_record.h"
#include "formats/ext_journal.h"
#include "formats/ext_layout.h"
#include "workspace/engine.h"

namespace velk {

inline constexpr int kExt2Ready = 2;
inline constexpr int kExt3Ready = 3;
// Five years of 365 days: how far from now a deletion (EXT2) or change (EXT3) may lie.
inline constexpr int64_t kExtAgeLimitSeconds = 157680000;
// Item data of the volume item in the tree.
inline constexpr uint64_t kExt2ItemData = 4;
inline constexpr uint64_t kExt3ItemData = 5;
inline constexpr std::string_view kExtLostFolder = "Lost files";
inline constexpr std::string_view kExtFoundStatus = "Found Deleted Files : ";

// Seconds since 1970; injectable so that tests pin "now".
using ExtClock = std::function<int64_t()>;

// Inclusive block range of a scan.
struct ExtBlockRange {
  uint64_t start = 0;
  uint64_t end = 0;
  bool contains(uint64_t block) const { return block >= start && block <= end; }
};

class ExtVolume : public RecoveryEngine {
 public:
  ExtVolume(const ExtVolume&) = delete;
  ExtVolume& operator=(const ExtVolume&) = delete;

  bool isValid() const { return m_valid; }
  const Error& openError() const { return m_openError; }
  // kExt2Ready / kExt3Ready once opened, 0 otherwise.
  int state() const { return m_valid ? m_readyState : 0; }
  const ExtSuperblock& superblock() const { return m_sb; }
  const std::vector<ExtGroupDescriptor>& groups() const { return m_groups; }
  const PartitionRecord& partition() const { return m_record; }

  void setClock(ExtClock clock) { m_clock = std::move(clock); }
  int64_t now() const { return m_clock ? m_clock() : int64_t(std::time(nullptr)); }

  Variant variant() const override { return Variant::Ext; }
  // The deleted-file scan over the whole volume (or the blocks of options' sector range).
  [[nodiscard]] Status scan(ResultSink& sink, const ScanOptions& options, Progress& progress) override;
  // Writes the record's 64-bit size worth of bytes.
  [[nodiscard]] Status extract(const FileRecord& record, ByteSink& out) override;
  [[nodiscard]] Status extractPrefix(const FileRecord& record, ByteSink& out, uint64_t limit) override {
    return copyOut(record, out, limit);
  }
  // Copies the file's bytes into buffer until it is full or the file ends; copied says how
  // many arrived.
  [[nodiscard]] Status readInto(const FileRecord& record, std::span<uint8_t> buffer, size_t& copied);

  // One block; nullopt when the number is not below the block count or the read fails.
  std::optional<std::vector<uint8_t>> readBlock(uint64_t block);
  // The group's inode bitmap block; nullopt for a group past the last.
  std::optional<std::vector<uint8_t>> readInodeBitmap(uint32_t group);
  // Inode number n (1-based, at most the inode count), at the superblock's inode size.
  std::optional<ExtInode> readInode(uint32_t number);

  // The range a scan covers: start kept when below the block count (else 0), end kept when
  // below it (else the last block), swapped when reversed.
  ExtBlockRange clampRange(uint64_t start, uint64_t end) const;

 protected:
  ExtVolume(const PartitionRecord& record, SectorReader reader, int readyState);

  virtual Status scanVolume(ExtBlockRange range, Progress& progress,
                               std::vector<std::unique_ptr<ExtFileRecord>>& found) = 0;
  virtual std::string rootText() const = 0;
  virtual uint64_t rootItemData() const = 0;

  // Reads count whole blocks from first into out (count × block size bytes).
  Status readBlocks(uint64_t first, uint64_t count, std::span<uint8_t> out);
  std::unique_ptr<ExtFileRecord> makeRecord(const ExtInode& inode, uint32_t number) const;
  uint64_t inodeNumberOf(uint32_t group, uint64_t index) const {
    return uint64_t(group) * m_sb.inodesPerGroup + index + 1;
  }
  Status copyOut(const FileRecord& record, ByteSink& out, uint64_t limit);

  PartitionRecord m_record;
  ExtSuperblock m_sb;
  std::vector<ExtGroupDescriptor> m_groups;
  bool m_valid = false;
  Error m_openError = notFoundError("the volume's device");
  int m_readyState;
  ExtClock m_clock;

 private:
  Status open();

  std::mutex m_readerMutex;  // scan, preview and recovery may share the reader
  SectorReader m_reader;
};

class Ext2Volume final : public ExtVolume {
 public:
  // Over a reader whose byte 0 is the volume's first byte.
  Ext2Volume(const PartitionRecord& record, SectorReader reader);

 protected:
  Status scanVolume(ExtBlockRange range, Progress& progress,
                       std::vector<std::unique_ptr<ExtFileRecord>>& found) override;
  std::string rootText() const override;
  uint64_t rootItemData() const override { return kExt2ItemData; }

 private:
  bool isCandidate(const ExtInode& inode, ByteSpan bitmap, uint64_t indexInGroup, int64_t now) const;
};

// What a block number of the volume holds, by the group it falls in.
enum class ExtBlockClass { Superblock, Descriptor, BlockBitmap, InodeBitmap, InodeTable, Other };

struct ExtClassifiedBlock {
  ExtBlockClass kind = ExtBlockClass::Other;
  uint32_t group = 0;        // the group whose inode table holds the block (InodeTable)
  uint64_t firstInode = 0;   // inode number of the block's first slot (InodeTable)
};

class Ext3Volume final : public ExtVolume {
 public:
  Ext3Volume(const PartitionRecord& record, SectorReader reader);

  // Class of block x (below the block count). Groups are counted from the first data
  // block; a group past the last is Other.
  ExtClassifiedBlock classify(uint64_t block) const;

  // An inode met in the journal, and the name a directory entry gave it. Most entries only
  // name a live file, so the inode is held apart and the name lies in the volume's name
  // store: an entry costs a few bytes, not a copy of an inode and a string.
  struct FoundInode {
    std::unique_ptr<ExtInode> inode;
    uint32_t nameAt = 0;  // in m_names
    uint8_t nameLength = 0;
    bool named = false;
  };
  // By inode number; bounded by kMaxFoundInodes.
  using FoundInodes = std::map<uint32_t, FoundInode>;
  static constexpr size_t kMaxFoundInodes = size_t(1) << 22;

 protected:
  Status scanVolume(ExtBlockRange range, Progress& progress,
                       std::vector<std::unique_ptr<ExtFileRecord>>& found) override;
  std::string rootText() const override;
  uint64_t rootItemData() const override { return kExt3ItemData; }

 private:
  struct Walk;
  void buildTableIndex();
  void examineJournalBlock(Walk& walk, std::vector<uint8_t>& block);
  void examineInodeTableCopy(Walk& walk, uint64_t block, const ExtClassifiedBlock& cls, ByteSpan copy);
  void examineDirectoryCopy(ByteSpan copy);

  // Inode table starts, sorted, with their groups.
  std::vector<std::pair<uint64_t, uint32_t>> m_tableIndex;
  FoundInodes m_foundInodes;
  std::string m_names;  // the names of m_foundInodes, one after another
  std::vector<uint8_t> m_currentTable;  // the live inode-table block a journal copy is held against
};

}  // namespace velk
