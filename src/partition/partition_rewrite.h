#pragma once
// The partition-table rewrite: the only code of the system that writes to a disk. It adds
// a table entry for a candidate: in the master boot record, as a new link of the extended
// chain, as a whole extended partition with its chain, or in both GPT entry arrays.
//
// It writes table sectors only (the MBR, EBRs in the extended partition's free space, GPT
// headers and entry arrays), and the volume's first sector when the candidate carries a boot
// sector the disk no longer holds; a sector that already holds what would be written is
// left alone. Everything is read and checked before the first write (a free entry, a chain
// that can be extended, no overlap with the table's entries, no table sector inside a
// volume); the sectors about to change are saved in an undo file first; after any write
// the catalogue is refreshed, so a second rewrite never works from the table as it was.

#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "disk/drive_catalog.h"
#include "disk/records.h"
#include "partition/partition_texts.h"

namespace velk {

// Where the candidates came from: the automatic scan and backup files offer FAT and NTFS
// volumes; the deep scan also offers EXT2/EXT3 volumes and extended partitions.
enum class CandidateSource { AutoScan, Backup, DeepScan };

struct RewriteOptions {
  // Folder of the undo file; empty: the backup folder.
  std::filesystem::path undoFolder;
};

struct RewriteResult {
  RewriteCode code = RewriteCode::Rewritten;
  std::string detail;               // why, in plain words, for logs and the command line
  std::filesystem::path undoFile;   // set once the undo file was saved
  size_t sectorsWritten = 0;
  std::vector<std::string> written; // "sector 0 (the master boot record)", in write order
};

// The name of an extended-partition candidate: it restores the logical partitions that
// come with it in one go.
inline constexpr std::string_view kExtendedName = "Extended";

// Rewrites the table of `disk` for `candidate` against the catalogue's gaps. The disk is
// opened for writing only here; callers ask the user first. A kind-1 candidate put into the
// extended partition gets its table sector moved to its start − 63, in place. An extended
// candidate brings its logical partitions (their table sectors are their EBRs).
RewriteResult Rewrite(DriveCatalog& catalog, const DiskRecord* disk, PartitionRecord* candidate,
                      CandidateSource source, const RewriteOptions& options = {},
                      std::span<const PartitionRecord> logicals = {});

// Rebuilds the damaged copy of a GPT from the intact one, under the same undo file. Code 0
// with nothing written when both copies are intact.
RewriteResult RestoreGpt(DriveCatalog& catalog, const DiskRecord* disk, const RewriteOptions& options = {});

// Re-reads the tables after a write: volume letters first, then the catalogue.
void RefreshAfterRewrite(DriveCatalog& catalog);

}  // namespace velk
