#pragma once
// The recovery of chosen files: walks the checked records in the variant's order, lays
// them out under the output folder, asks before replacing a file that was there before the
// run, writes each through its engine and collects the failures. Shared by the desktop
// pages and the command line.
//
// What it promises: nothing is written onto a drive being examined; nothing leaves the
// output folder (no link is followed below it); a file gets its real name only when it is
// complete; distinct files never share a name; and the counts say only what is on disk.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "output/dfxml_report.h"
#include "output/write_guard.h"
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
  // The scanned partition: an output folder on it is refused like one on any attached image.
  std::optional<ExaminedRange> examined;
  // A file that fails or is interrupted keeps what was written as "<name>.partial".
  bool keepPartial = false;
  // The DFXML report: "report.xml" in the output folder (a numbered variant when the name is
  // taken) unless a file is named here; none when writeReport is false.
  bool writeReport = true;
  std::filesystem::path reportFile;
  ReportSource source;  // filled from `examined` where empty
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
  // Set when the output folder itself was refused or could not be opened: nothing written.
  std::optional<Error> refused;
  std::string errorText;     // one line per failure or capped file, "\n"-terminated, in order
  std::vector<std::filesystem::path> written;
  std::vector<ReportedFile> files;          // parallel to written, for reports and JSON
  std::vector<std::string> skippedNames;    // as listed
  std::vector<std::filesystem::path> partial;  // unfinished files kept on request
  std::filesystem::path reportPath;         // where the DFXML report went (empty: none)
};

// The checked records in the walk order of the tree's variant: FAT breadth first over
// checked folders; NTFS and RAW depth first; EXT the root's first child.
std::vector<FileRecord*> checkedRecords(const ResultTree& tree);

// Where a record lands below the output folder: the variant's sub-folders and the name,
// every component made safe.
struct RecoveryPlace {
  std::vector<std::string> folders;
  std::string name;
};
RecoveryPlace recoveryPlace(const ResultTree& tree, const FileRecord& record);

// Makes one path component from scanned data safe: "/", "\", NUL and control characters
// become "_", "", "." and ".." become "_", cut to 255 bytes on a character boundary keeping
// the extension.
std::string safeComponent(std::string_view text);

RecoveryReport runRecovery(const ResultTree& tree, RecoveryEngine& engine,
                           const RecoveryRequest& request, JobFlag& jobFlag,
                           Progress& progress);

}  // namespace velk
