#pragma once
// The recovery of chosen files: walks the checked records in the variant's order, lays
// them out under the output folder, asks before replacing a file, writes each through its
// engine and collects the failures. Shared by the desktop pages and the command line.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "workspace/engine.h"
#include "workspace/overwrite.h"

namespace velk {

struct RecoveryRequest {
  std::filesystem::path outputFolder;
  // Records to write. Empty: every checked record, in the variant's walk order.
  std::vector<FileRecord*> selection;
  OverwriteQuestion ask;  // unset: never replace an existing file
  // Judges a written file whose engine left it unverified (its own format's checks); unset:
  // the engine's verdict stands.
  std::function<Verdict(const std::filesystem::path& written, std::string_view name)> verify;
};

struct RecoveryReport {
  uint64_t recovered = 0;
  uint64_t failed = 0;
  uint64_t skipped = 0;      // existing targets kept ("No") and names never written
  // The recovered files by verdict (they add up to recovered).
  uint64_t verified = 0;
  uint64_t unverified = 0;
  uint64_t damaged = 0;
  bool cancelled = false;
  std::string errorText;     // one line per failure, "\n"-terminated, in order
  std::vector<std::filesystem::path> written;
};

// The checked records in the walk order of the tree's variant: FAT breadth first over
// checked folders; NTFS and RAW depth first; EXT the root's first child.
std::vector<FileRecord*> checkedRecords(const ResultTree& tree);

// Where a record lands: output folder + the variant's sub-folders + name, every component
// made safe. Empty path when it would not lie inside the output folder.
std::filesystem::path recoveryTarget(const ResultTree& tree, const FileRecord& record,
                                     const std::filesystem::path& outputFolder);

// Makes one path component from scanned data safe: "/", "\", NUL and control characters
// become "_", "", "." and ".." become "_", cut to 255 bytes on a character boundary keeping
// the extension.
std::string safeComponent(std::string_view text);

RecoveryReport runRecovery(const ResultTree& tree, RecoveryEngine& engine,
                           const RecoveryRequest& request, JobFlag& jobFlag,
                           Progress& progress);

}  // namespace velk
