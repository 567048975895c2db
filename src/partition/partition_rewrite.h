#pragma once
// The partition-table rewrite: the only code of the system that writes to a disk. It
// writes a candidate's saved first sector back and adds a table entry for it, in the master
// boot record or as a new link of the extended chain.
//
// Everything is read and checked before the first write (a free entry, a chain that can be
// extended, no overlap with the table's entries); the sectors about to change are saved in
// an undo file first; after any write the catalogue is refreshed, so a second rewrite never
// works from the table as it was.

#include <filesystem>
#include <string>

#include "disk/drive_catalog.h"
#include "disk/records.h"
#include "partition/partition_texts.h"

namespace velk {

// Where the candidates came from: the automatic scan and backup files offer FAT and NTFS
// volumes; the deep scan also offers EXT2/EXT3 volumes.
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
};

// Rewrites the table of `disk` for `candidate` against the catalogue's gaps. The disk is
// opened for writing only here; callers ask the user first. A kind-1 candidate put into the
// extended partition gets its table sector moved to its start − 63, in place.
RewriteResult Rewrite(DriveCatalog& catalog, const DiskRecord* disk, PartitionRecord* candidate,
                      CandidateSource source, const RewriteOptions& options = {});

// Re-reads the tables after a write: volume letters first, then the catalogue.
void RefreshAfterRewrite(DriveCatalog& catalog);

}  // namespace velk
