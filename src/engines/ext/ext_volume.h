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
#include "engines/ext/ext_block_map.h"
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
// Largest read issued at once when copying a file or walking inode tables and journals.
inline constexpr uint64_t kExtRunBytes = 1u << 20;
// Descriptor tables tried when the primary one is lost (the primary and backup copies).
inline constexpr size_t kExtDescriptorCopiesTried = 6;
// Block bitmaps kept while files are assessed.
inline constexpr size_t kExtBitmapsCached = 64;

inline bool extWithinAge(int64_t now, uint32_t when) {
  const int64_t d = now - int64_t(when);
  return (d < 0 ? -d : d) < kExtAgeLimitSeconds;
}
inline std::string extFoundStatus(uint64_t found) { return std::string(kExtFoundStatus) + std::to_string(found); }

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
  // The group whose copy of the superblock, and of the group descriptors, the volume was
  // opened with: 0 for the primary copies.
  uint32_t superblockCopy() const { return m_superblockCopy; }
  uint32_t descriptorCopy() const { return m_descriptorCopy; }

  void setClock(ExtClock clock) { m_clock = std::move(clock); }
  int64_t now() const { return m_clock ? m_clock() : int64_t(std::time(nullptr)); }

  Variant variant() const override { return Variant::Ext; }
  // The deleted-file scan over the whole volume (or the blocks of options' sector range).
  // Every listed file gets its verdict (assess).
  [[nodiscard]] Status scan(ResultSink& sink, const ScanOptions& options, Progress& progress) override;
  // Writes the record's 64-bit size worth of bytes, one read of at most kExtRunBytes at a
  // time; clearing scanFlag() stops it between two (Cancelled). Unreadable sectors are
  // written as zeros and logged, and the copy goes on; it then fails naming the first.
  [[nodiscard]] Status extract(const FileRecord& record, ByteSink& out) override;
  [[nodiscard]] Status extractPrefix(const FileRecord& record, ByteSink& out, uint64_t limit) override {
    return copyOut(record, out, limit);
  }
  // Copies the file's bytes into buffer until it is full or the file ends; copied says how
  // many arrived.
  [[nodiscard]] Status readInto(const FileRecord& record, std::span<uint8_t> buffer, size_t& copied);
  // The file's bytes as stretches of the volume (adjacent blocks joined) and holes, cut to
  // its size; fails where the block map is cut.
  [[nodiscard]] Result<ExtractionPlan> extractionPlan(const FileRecord& record) override;
  // Damaged when the file's bytes cannot all be the file's: its block map is cut (a mapping
  // block unreadable or malformed, a pointer past the volume, fewer blocks than the inode
  // counts) or a block it names is in use now or unreadable; else Unverified.
  Verdict assess(const ExtFileRecord& record);

  // One block; nullopt when the number is not below the block count or the read fails.
  std::optional<std::vector<uint8_t>> readBlock(uint64_t block);
  // The group's inode bitmap block; nullopt for a group past the last or a bitmap that
  // cannot be read.
  std::optional<std::vector<uint8_t>> readInodeBitmap(uint32_t group);
  // Inode number n (1-based, at most the inode count), at the superblock's inode size;
  // nullopt when its bytes cannot be read.
  std::optional<ExtInode> readInode(uint32_t number);

  // The range a scan covers: start kept when below the block count (else 0), end kept when
  // below it (else the last block), swapped when reversed.
  ExtBlockRange clampRange(uint64_t start, uint64_t end) const;

 protected:
  ExtVolume(const PartitionRecord& record, SectorReader reader, int readyState);

  virtual Status scanVolume(ExtBlockRange range, Progress& progress,
                               std::vector<std::unique_ptr<ExtFileRecord>>& found) = 0;
  virtual std::string rootText() const = 0;
  // "FAMILY( label )": ext4 volumes are named EXT4 whichever way they are read.
  std::string rootTextOf(std::string_view family) const;
  virtual uint64_t rootItemData() const = 0;

  // Reads count whole blocks from first into out (count × block size bytes).
  Status readBlocks(uint64_t first, uint64_t count, std::span<uint8_t> out);
  // readBlocks that does not give up: a run that fails is read again block by block, and a
  // block that fails sector by sector. Sectors that still fail are zero-filled, logged as
  // unreadable and flagged in badSectors (one flag per 512 bytes of out) when given. The
  // number of unreadable sectors (0: everything arrived); Corrupt for blocks outside the
  // volume.
  Result<uint64_t> readSalvaging(uint64_t first, uint64_t count, std::span<uint8_t> out,
                                 std::vector<uint8_t>* badSectors = nullptr);
  // The reader an ExtBlockMap walks mapping blocks with: salvaged reads, and a block with an
  // unreadable sector is no block (its sector is kept in failedSector).
  ExtBlockReader mappingReader(std::optional<uint64_t>* failedSector = nullptr);
  // Reads [offset, offset + length) of the volume (whole sectors); when that fails, sector by
  // sector, zero-filling, logging and flagging in bad (one byte per sector) what fails. The
  // number of sectors lost.
  uint64_t salvageBytes(uint64_t offset, size_t length, uint8_t* out, uint8_t* bad = nullptr);
  // The disk sector of the first flagged sector of a salvaged run starting at firstBlock.
  uint64_t firstBadSector(uint64_t firstBlock, const std::vector<uint8_t>& bad) const;
  // Whether [offset, offset + length) of a salvaged run touches a flagged sector.
  static bool touchesBadSector(const std::vector<uint8_t>& bad, size_t offset, size_t length);
  uint64_t volumeBytes() const;
  std::unique_ptr<ExtFileRecord> makeRecord(const ExtInode& inode, uint32_t number) const;
  uint64_t inodeNumberOf(uint32_t group, uint64_t index) const {
    return uint64_t(group) * m_sb.inodesPerGroup + index + 1;
  }
  uint64_t diskSectorOfBlock(uint64_t block, uint64_t sectorInBlock = 0) const {
    return m_reader.diskSectorOf(block * m_sb.blockSize + sectorInBlock * kSectorSize);
  }
  // Hands the first size bytes of the file on in order: a stretch of the volume (byte
  // offset, at most kExtRunBytes) or a hole. A cut map ends it after what came before.
  using ContentVisitor = std::function<Status(bool hole, uint64_t offset, uint64_t length)>;
  Status walkContent(const ExtFileRecord& record, uint64_t size, const ContentVisitor& visit);
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
  Status openSuperblock();
  Status openDescriptors();
  // Whether the block bitmap marks the block in use now (bitmaps that were never written,
  // or cannot be read, mark nothing).
  bool allocatedNow(uint64_t block);
  bool inUnreadableRange(uint64_t block) const;

  std::mutex m_readerMutex;  // scan, preview and recovery may share the reader
  SectorReader m_reader;
  uint32_t m_superblockCopy = 0;
  uint32_t m_descriptorCopy = 0;
  std::map<uint64_t, std::vector<uint8_t>> m_blockBitmaps;  // by group, for assess
  std::vector<SectorRange> m_unreadable;  // what the scan met, for assess
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
  // A freed inode (its bitmap bit is clear) that still describes a regular file.
  bool isCandidate(const ExtInode& inode, int64_t now) const;
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
    uint32_t sequence = 0;  // of the transaction the inode copy came in
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
  // The journal's blocks by their index in the journal file, read ahead in runs.
  struct JournalReader {
    Ext3Volume& volume;
    ExtBlockMap& map;
    uint64_t blocks;              // in the journal
    std::vector<uint8_t>& block;  // what read() fills
    std::vector<uint8_t> ahead{};
    uint64_t aheadFirst = 0;
    uint64_t aheadCount = 0;
    uint64_t singlyUntil = 0;
    uint64_t failedSector = 0;  // of the last block that did not read
    bool read(uint64_t index);
  };
  void buildTableIndex();
  // Finds the journal (its inode, else the superblock's copy of its map) and walks it;
  // an error when neither leads to a journal superblock.
  Status walkJournal(Walk& walk);
  void walkJournalBlocks(Walk& walk, JournalReader& reader);
  uint64_t journalInodeBlock() const;
  void examineJournalBlock(Walk& walk, std::vector<uint8_t>& block);
  void examineInodeTableCopy(Walk& walk, uint64_t block, const ExtClassifiedBlock& cls, ByteSpan copy);
  void examineDirectoryCopy(ByteSpan copy);

  // Inode table starts, sorted, with their groups.
  std::vector<std::pair<uint64_t, uint32_t>> m_tableIndex;
  FoundInodes m_foundInodes;
  std::string m_names;  // the names of m_foundInodes, one after another
  std::vector<uint8_t> m_currentTable;  // the live inode-table block a journal copy is held against
  std::vector<uint8_t> m_currentBad;    // its unreadable sectors
};

}  // namespace velk
