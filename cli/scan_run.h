#pragma once
// What scan, recover and preview share: their selection options, the checks made on them
// before any scan starts, and the scan itself over one partition record.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli_context.h"
#include "disk/drive_catalog.h"
#include "engines/raw/signature_catalog.h"
#include "workspace/engine.h"
#include "workspace/scan_options.h"

namespace velk::cli {

struct SelectArgs {
  std::string partition;  // an index as `drives` prints it; text so that "" is seen
  bool partitionGiven = false;
  std::string fromScan;  // a saved scan instead of a scan: the partition and task come from it
  std::string save;      // scan: keep what was found in this file
  bool carveUnclaimed = false;
  std::string task = "deleted";
  uint64_t first = 0, last = 0;
  bool firstGiven = false, lastGiven = false;
  uint32_t maxSizeKb = 512000;
  std::vector<std::string> types;
  std::string catalog, mask, folder, preset;
  int category = 0, dateMode = 0, sizeMode = 0;
  std::string date, name;
  double sizeStart = 0, sizeEnd = 0;
  bool json = false;
  bool nameFromContent = false;
  // recover / preview
  std::string out;
  std::string report;
  bool keepPartial = false;
  bool all = false;
  std::vector<uint64_t> ids;
  std::string overwrite = "ask";
  bool hex = false;
  uint64_t bytes = 0;  // preview: 0 is the page's own amount
};

void addSelectOptions(CLI::App* cmd, SelectArgs& args);

// The common front part of scan, recover and preview: catalogue, record, engine, scan.
struct ScanRun {
  DriveCatalog catalog;
  PartitionRecord record;
  int index = -1;
  ScanOptions options;
  SignatureCatalog signatures;  // the raw scan's, loaded and checked before the scan
  std::unique_ptr<RecoveryEngine> engine;
  std::unique_ptr<ResultTree> tree;
  Progress progress;
  std::optional<Error> scanError;  // the scan ended early; what it found is kept
  bool fromSavedScan = false;
  StopOnSignal signals;
};

// Attaches the drives, checks every option (a sentence and exit 2 on the first wrong one),
// runs `beforeScan` (false: stop, it has said why) and scans. False when nothing is to be
// shown; ctx.exitCode then says why.
bool runScan(CliContext& ctx, const SelectArgs& args, ScanRun& run,
             const std::function<bool(ScanRun&)>& beforeScan = {});

// The exit status and closing lines a scan leaves: an error that ended the scan early, and
// the sectors it could not read, are said and make the run count as not complete.
int scanOutcome(const ScanRun& run, bool quiet);
nlohmann::json unreadableJson(const DamageLog& damage);
// The found file with an id, or a sentence and exit 2.
FileRecord* recordWithId(CliContext& ctx, ScanRun& run, uint64_t id);

// Prints "status (current/total)" on stderr while alive, when stderr is a terminal.
class ProgressLine {
 public:
  explicit ProgressLine(const Progress& progress);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

 private:
  struct Thread;
  std::unique_ptr<Thread> m_thread;
};

void addRecoverCommand(CLI::App& app, CliContext& ctx);

}  // namespace velk::cli
