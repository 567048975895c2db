// velk-cli scan / recover / preview: run an engine over one partition record.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <unistd.h>

#include <fmt/format.h>

#include "cli_context.h"
#include "cli_json.h"
#include "disk/drive_catalog.h"
#include "engines/engine_registry.h"
#include "engines/raw/content_verdict.h"
#include "support/text.h"
#include "workspace/preview.h"
#include "workspace/recovery_job.h"
#include "workspace/same_drive.h"

namespace velk::cli {
namespace {

struct SelectArgs {
  int partition = -1;
  std::string task = "deleted";
  uint64_t first = 0, last = 0;
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
  bool all = false;
  std::vector<uint64_t> ids;
  std::string overwrite = "ask";
  bool hex = false;
};

void addSelectOptions(CLI::App* cmd, SelectArgs& a) {
  cmd->add_option("--partition", a.partition, "Partition index as `drives` prints it")->required();
  cmd->add_option("--task", a.task, "deleted, formatted or raw")
      ->check(CLI::IsMember({"deleted", "formatted", "raw"}));
  cmd->add_option("--first", a.first, "First absolute sector of the range");
  cmd->add_option("--last", a.last, "Last absolute sector of the range");
  cmd->add_option("--max-size", a.maxSizeKb, "Largest raw file in KB");
  cmd->add_option("--types", a.types, "Raw file extensions to look for")->delimiter(',');
  cmd->add_option("--catalog", a.catalog, "Signature catalogue file (rp.dat)");
  cmd->add_flag("--name-from-content", a.nameFromContent, "Raw: name files from their own metadata");
  cmd->add_option("--mask", a.mask, "Extension list / name mask of a deleted-file scan");
  cmd->add_option("--folder", a.folder, "Only this folder (NTFS/FAT scope)");
  cmd->add_option("--preset", a.preset, "pictures or mail")->check(CLI::IsMember({"pictures", "mail"}));
  cmd->add_option("--category", a.category, "Filter category 0-6")->check(CLI::Range(0, 6));
  cmd->add_option("--date-mode", a.dateMode, "0 ignore, 1 before, 2 after, 3 on")->check(CLI::Range(0, 3));
  cmd->add_option("--date", a.date, "Filter date YYYY-MM-DD");
  cmd->add_option("--size-mode", a.sizeMode, "0 ignore, 1 equal, 2 smaller, 3 larger, 4 between")
      ->check(CLI::Range(0, 4));
  cmd->add_option("--size-start", a.sizeStart, "Filter start size in KB");
  cmd->add_option("--size-end", a.sizeEnd, "Filter end size in KB");
  cmd->add_option("--name", a.name, "Filter: part of the file name");
}

Task taskNamed(const std::string& t) {
  return t == "formatted" ? Task::Formatted : t == "raw" ? Task::Raw : Task::Deleted;
}

bool buildOptions(const SelectArgs& a, ScanOptions& o, std::string& error) {
  o.task = taskNamed(a.task);
  o.firstSector = a.first;
  o.lastSector = a.last;
  o.maxSizeKb = a.maxSizeKb;
  o.rawTypes = a.types;
  o.catalogPath = a.catalog;
  o.nameFromContent = a.nameFromContent;
  o.mask = a.mask;
  o.folder = a.folder;
  o.preset = a.preset == "pictures" ? kPresetPictures : a.preset == "mail" ? kPresetMail : kPresetNone;
  FileFilter f = FileFilter::withToday();
  f.setCategory(a.category);
  f.dateMode = DateMode(a.dateMode);
  if (!a.date.empty()) {
    int y = 0, m = 0, d = 0;
    if (std::sscanf(a.date.c_str(), "%d-%d-%d", &y, &m, &d) != 3 || y < 1980 || y > 2107 || m < 1 || m > 12 ||
        d < 1 || d > 31) {
      error = "--date must be YYYY-MM-DD (1980 to 2107)";
      return false;
    }
    f.date = packFatDate(y, m, d);
  }
  f.sizeMode = SizeMode(a.sizeMode);
  f.startSize = a.sizeStart;
  f.endSize = a.sizeEnd;
  if (f.sizeMode == SizeMode::Between && f.startSize > f.endSize) {
    error = "Start size can't larger then end size!";
    return false;
  }
  f.name = a.name;
  o.quickFilter = f;
  o.quickFilterEnabled = f.anyCriterion();
  if (a.first && a.last && a.first > a.last) {
    error = "--first lies after --last";
    return false;
  }
  return true;
}

// Prints "status — found" on stderr while a job runs, when stderr is a terminal.
class ProgressLine {
 public:
  explicit ProgressLine(const Progress& p) : m_progress(p) {
    if (!::isatty(STDERR_FILENO)) return;
    m_thread = std::thread([this] {
      std::unique_lock lock(m_mutex);
      while (!m_cv.wait_for(lock, std::chrono::milliseconds(200), [this] { return m_done; })) {
        std::string s = m_progress.status();
        fmt::print(stderr, "\r\033[K{} ({}/{})", s.substr(0, 100), m_progress.foundCurrent.load(),
                   m_progress.foundTotal.load());
        std::fflush(stderr);
      }
    });
  }
  ~ProgressLine() {
    if (!m_thread.joinable()) return;
    {
      std::lock_guard lock(m_mutex);
      m_done = true;
    }
    m_cv.notify_all();
    m_thread.join();
    fmt::print(stderr, "\r\033[K");
  }

 private:
  const Progress& m_progress;
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_done = false;
  std::thread m_thread;
};

std::string dateOrEmpty(const FileRecord& r, int column) { return r.dateText(column); }

nlohmann::json fileJson(const FileRecord& r) {
  nlohmann::json j{{"id", r.id},
                   {"name", r.name},
                   {"size", r.contentSize()},
                   {"deleted", r.deleted},
                   {"verdict", std::string(verdictName(r.verdict))},
                   {"attributes", r.attributeText()},
                   {"modified", dateOrEmpty(r, kColumnModified)},
                   {"created", dateOrEmpty(r, kColumnCreated)},
                   {"accessed", dateOrEmpty(r, kColumnAccessed)}};
  for (const auto& f : r.fields()) std::visit([&](const auto& v) { j[f.key] = v; }, f.value);
  return j;
}

nlohmann::json folderJson(const FolderItem& f, const FileFilter& filter, bool filtered) {
  nlohmann::json j{{"text", f.text}, {"files", nlohmann::json::array()}, {"children", nlohmann::json::array()}};
  for (const FileRecord* r : f.files)
    if (r && FilterAccepts(filter, *r, filtered)) j["files"].push_back(fileJson(*r));
  for (const auto& c : f.children) j["children"].push_back(folderJson(*c, filter, filtered));
  return j;
}

void printFolder(const FolderItem& f, int depth, const FileFilter& filter, bool filtered) {
  std::string indent(size_t(depth) * 2, ' ');
  fmt::print("{}[{}]\n", indent, f.text);
  for (const FileRecord* r : f.files) {
    if (!r || !FilterAccepts(filter, *r, filtered)) continue;
    fmt::print("{}  {:>6}  {:<40} {:>12}  {:<12} {}\n", indent, r->id, r->nameText(), r->sizeText(),
               r->attributeText(), r->dateText(kColumnModified));
  }
  for (const auto& c : f.children) printFolder(*c, depth + 1, filter, filtered);
}

// The common front part of scan, recover and preview: catalogue, record, engine, scan.
struct ScanRun {
  DriveCatalog catalog;
  PartitionRecord record;
  ScanOptions options;
  std::unique_ptr<RecoveryEngine> engine;
  std::unique_ptr<ResultTree> tree;
  Progress progress;
  std::optional<Error> scanError;  // the scan ended early; what it found is kept
};

// The exit status and closing lines a scan leaves: an error that ended the scan early, and
// the sectors it could not read, are said and make the run count as not complete.
int scanOutcome(const ScanRun& run, bool quiet) {
  int exit = kExitOk;
  if (run.scanError) {
    fmt::print(stderr, "velk-cli: {}\n", describe(*run.scanError));
    exit = kExitSomeFailed;
  }
  const std::string unreadable = unreadableSummary(run.engine->damage());
  if (!unreadable.empty()) {
    fmt::print(quiet ? stderr : stdout, "{}\n", unreadable);
    exit = kExitSomeFailed;
  }
  return exit;
}

nlohmann::json unreadableJson(const DamageLog& damage) {
  nlohmann::json out = nlohmann::json::array();
  for (const SectorRange& r : damage.unreadableRanges()) out.push_back({{"first", r.first}, {"count", r.count}});
  return out;
}

bool runScan(CliContext& ctx, const SelectArgs& a, ScanRun& run) {
  if (!ctx.prepareDevices()) return false;
  std::string error;
  if (!buildOptions(a, run.options, error)) {
    fmt::print(stderr, "velk-cli: {}\n", error);
    ctx.exitCode = kExitUsage;
    return false;
  }
  run.catalog.Refresh();
  if (a.partition < 0 || a.partition >= run.catalog.PartitionCount()) {
    fmt::print(stderr, "velk-cli: no partition {} (drives lists {})\n", a.partition, run.catalog.PartitionCount());
    ctx.exitCode = kExitUsage;
    return false;
  }
  run.record = run.catalog.PartitionAt(a.partition);
  auto engine = openEngine(run.record, run.options.task);
  if (!engine) {
    ctx.fail(engine.error(), kExitUsage);
    return false;
  }
  run.engine = std::move(*engine);
  run.tree = std::make_unique<ResultTree>(run.engine->variant());
  run.engine->scanFlag().set();
  Status scanned;
  {
    ProgressLine line(run.progress);
    scanned = run.engine->scan(*run.tree, run.options, run.progress);
  }
  if (!scanned) {
    // Nothing to show: the scan could not do its work at all.
    if (run.tree->recordCount() == 0 && run.tree->roots().empty()) {
      ctx.fail(scanned.error(), scanned.error().is(ErrorKind::Io) ? kExitSomeFailed : kExitUsage);
      return false;
    }
    run.scanError = scanned.error();
  }
  return true;
}

}  // namespace

void addScanCommands(CLI::App& app, CliContext& ctx) {
  auto scanArgs = std::make_shared<SelectArgs>();
  auto* scan = app.add_subcommand("scan", "Scan a partition and list what was found");
  addSelectOptions(scan, *scanArgs);
  scan->add_flag("--json", scanArgs->json, "Print JSON");
  scan->callback([&ctx, scanArgs] {
    ScanRun run;
    if (!runScan(ctx, *scanArgs, run)) return;
    const auto& filter = run.options.quickFilter;
    bool filtered = run.options.quickFilterEnabled;
    if (scanArgs->json) {
      nlohmann::json out{{"task", taskName(run.options.task)},
                         {"partition", partitionJson(run.record, scanArgs->partition)},
                         {"found", run.tree->recordCount()},
                         {"unreadable", unreadableJson(run.engine->damage())}};
      if (run.scanError) out["error"] = describe(*run.scanError);
      out["tree"] = run.tree->root() ? folderJson(*run.tree->root(), filter, filtered) : nlohmann::json(nullptr);
      std::cout << out.dump(2) << "\n";
    } else {
      for (const auto& root : run.tree->roots()) printFolder(*root, 0, filter, filtered);
      fmt::print("{}\n", run.progress.status());
      fmt::print("Found {} files\n", run.tree->recordCount());
    }
    ctx.exitCode = scanOutcome(run, scanArgs->json);
  });

  auto recArgs = std::make_shared<SelectArgs>();
  auto* recover = app.add_subcommand("recover", "Scan a partition and write found files into a folder");
  addSelectOptions(recover, *recArgs);
  recover->add_option("--out", recArgs->out, "Output folder")->required();
  auto* all = recover->add_flag("--all", recArgs->all, "Recover every file found");
  recover->add_option("--id", recArgs->ids, "Recover these ids")->delimiter(',')->excludes(all);
  recover->add_option("--overwrite", recArgs->overwrite, "ask, yes, all, no or cancel")
      ->check(CLI::IsMember({"ask", "yes", "all", "no", "cancel"}));
  recover->callback([&ctx, recArgs] {
    if (!recArgs->all && recArgs->ids.empty()) {
      fmt::print(stderr, "velk-cli: recover needs --all or --id\n");
      ctx.exitCode = kExitUsage;
      return;
    }
    ScanRun run;
    if (!runScan(ctx, *recArgs, run)) return;
    if (outputOnScannedDevice(run.record, recArgs->out)) {
      fmt::print(stderr, "Select anoter drive folder.\n");
      ctx.exitCode = kExitUsage;
      return;
    }
    RecoveryRequest request;
    request.outputFolder = recArgs->out;
    request.ask = overwritePolicy(recArgs->overwrite);
    request.verify = verifyContent;
    if (recArgs->all) {
      for (FolderItem* f : run.tree->foldersBreadthFirst())
        for (FileRecord* r : f->files)
          if (FilterAccepts(run.options.quickFilter, *r, run.options.quickFilterEnabled)) run.tree->setFileChecked(f, r, true);
    } else {
      for (uint64_t id : recArgs->ids) {
        FileRecord* r = run.tree->record(id);
        if (!r) {
          fmt::print(stderr, "velk-cli: no file with id {}\n", id);
          ctx.exitCode = kExitUsage;
          return;
        }
        run.tree->setFileChecked(run.tree->folderOf(r), r, true);
      }
    }
    JobFlag job;
    RecoveryReport report;
    {
      ProgressLine line(run.progress);
      report = runRecovery(*run.tree, *run.engine, request, job, run.progress);
    }
    if (!report.errorText.empty()) fmt::print("{}", report.errorText);
    fmt::print("Recovered {} files, {} failed, {} skipped{}\n", report.recovered, report.failed, report.skipped,
               report.cancelled ? " (cancelled)" : "");
    fmt::print("Verdicts: {} verified, {} unverified, {} damaged\n", report.verified, report.unverified,
               report.damaged);
    const int scanExit = scanOutcome(run, false);
    ctx.exitCode = report.failed ? kExitSomeFailed : scanExit;
  });

  auto prevArgs = std::make_shared<SelectArgs>();
  auto* preview = app.add_subcommand("preview", "Hex dump (or image facts) of one found file");
  addSelectOptions(preview, *prevArgs);
  preview->add_option("--id", prevArgs->ids, "The file's id")->required()->expected(1);
  preview->add_flag("--hex", prevArgs->hex, "Always print the hex dump");
  preview->callback([&ctx, prevArgs] {
    ScanRun run;
    if (!runScan(ctx, *prevArgs, run)) return;
    FileRecord* r = run.tree->record(prevArgs->ids.front());
    if (!r) {
      fmt::print(stderr, "velk-cli: no file with id {}\n", prevArgs->ids.front());
      ctx.exitCode = kExitUsage;
      return;
    }
    std::vector<uint8_t> data;
    if (Status read = run.engine->readAll(*r, data, size_t(1) << 30); !read) {
      ctx.fail("cannot read '" + r->name + "': " + describe(read.error()), kExitSomeFailed);
      return;
    }
    int type = ImageTypeOf(r->name);
    if (!prevArgs->hex && type != kImageNone)
      fmt::print("{}: image type {}, {} bytes\n", r->name, type, data.size());
    else
      fmt::print("{}\n", HexDump(data));
    ctx.exitCode = kExitOk;
  });
}

}  // namespace velk::cli
