// velk-cli scan / preview, and what recover shares with them: the selection options, their
// checks before any scan starts, and the scan of one partition record.

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <thread>

#include <fmt/format.h>

#include "cli_json.h"
#include "engines/engine_registry.h"
#include "engines/raw/raw_options.h"
#include "engines/unclaimed_carving.h"
#include "output/write_guard.h"
#include "output/terminal.h"
#include "scan_run.h"
#include "support/text.h"
#include "workspace/preview.h"
#include "workspace/saved_scan.h"
#include "workspace/variant_policy.h"

namespace velk::cli {
namespace {

// What a preview shows of a file the page would dump whole: the first 64 KiB (--bytes for
// more). Reading a 100 GiB file to show its start is what a preview must never do.
constexpr uint64_t kPreviewDumpBytes = 64 * 1024;

Task taskNamed(const std::string& t) {
  return t == "formatted" ? Task::Formatted : t == "raw" ? Task::Raw : Task::Deleted;
}

bool isLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// A calendar date YYYY-MM-DD that a FAT date can hold (1980 to 2107).
bool validDate(const std::string& text, int& y, int& m, int& d) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  char tail = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) != 3) return false;
  if (y < 1980 || y > 2107 || m < 1 || m > 12 || d < 1) return false;
  return d <= kDays[m - 1] + (m == 2 && isLeapYear(y) ? 1 : 0);
}

// The filter and scope options; the sentence of the first wrong one.
std::optional<std::string> buildOptions(const SelectArgs& a, ScanOptions& o) {
  o.task = taskNamed(a.task);
  o.firstSector = a.first;
  o.lastSector = a.last;
  o.maxSizeKb = a.maxSizeKb;
  o.rawTypes = a.types;
  o.catalogPath = a.catalog;
  o.nameFromContent = a.nameFromContent;
  o.carveUnclaimed = a.carveUnclaimed;
  o.mask = a.mask;
  o.folder = a.folder;
  o.preset = a.preset == "pictures" ? kPresetPictures : a.preset == "mail" ? kPresetMail : kPresetNone;
  FileFilter f = FileFilter::withToday();
  f.setCategory(a.category);
  f.dateMode = DateMode(a.dateMode);
  if (!a.date.empty()) {
    int y = 0, m = 0, d = 0;
    if (!validDate(a.date, y, m, d)) return "--date '" + a.date + "' is not a date YYYY-MM-DD from 1980 to 2107";
    f.date = packFatDate(y, m, d);
  }
  for (const auto& [name, value] : {std::pair{"--size-start", a.sizeStart}, std::pair{"--size-end", a.sizeEnd}})
    if (!std::isfinite(value) || value < 0) return std::string(name) + " must be a size in KB (0 or more)";
  f.sizeMode = SizeMode(a.sizeMode);
  f.startSize = a.sizeStart;
  f.endSize = a.sizeEnd;
  if (f.sizeMode == SizeMode::Between && f.startSize > f.endSize) return "Start size can't larger then end size!";
  f.name = a.name;
  o.quickFilter = f;
  o.quickFilterEnabled = f.anyCriterion();
  // The raw scan's range is judged later in its options dialog's own words.
  if (o.task != Task::Raw && a.firstGiven && a.lastGiven && a.first > a.last) return "--first lies after --last";
  return std::nullopt;
}

std::optional<std::string> loadSignatures(const SelectArgs& a, ScanRun& run);

// The raw scan's range, checked as its options dialog checks it (and in its words), and
// its catalogue loaded with the types asked for: all before the scan starts.
std::optional<std::string> checkRawRequest(const SelectArgs& a, ScanRun& run) {
  if (a.firstGiven || a.lastGiven) {
    const RawOptionsLimits limits{int64_t(run.record.startSector), int64_t(run.record.endSector())};
    const uint64_t first = a.firstGiven ? a.first : uint64_t(limits.lowestStart);
    const uint64_t last = a.lastGiven ? a.last : uint64_t(limits.highestEnd);
    if (first > UINT32_MAX || last > UINT32_MAX) return "--first and --last must be sector numbers below 2^32";
    const RawOptionsCheck check = checkRawOptions({std::to_string(first), std::to_string(last), "0"}, limits);
    if (!check.message.empty()) return check.message;
    run.options.firstSector = first;
    run.options.lastSector = last;
  }
  return loadSignatures(a, run);
}

// The raw catalogue with the types asked for, loaded before a scan that carves.
std::optional<std::string> loadSignatures(const SelectArgs& a, ScanRun& run) {
  if (Status loaded = run.signatures.load(a.catalog); !loaded) return describe(loaded.error());
  if (!a.types.empty()) {
    std::vector<std::string> unknown;
    for (const std::string& type : a.types) {
      SignatureCatalog probe = run.signatures;
      if (probe.enableExtensions({type}) == 0) unknown.push_back(type);
    }
    if (!unknown.empty())
      return "--types: no signature of the catalogue '" + run.signatures.source().string() + "' is of type '" +
             fmt::format("{}", fmt::join(unknown, "', '")) + "'";
    run.signatures.enableExtensions(a.types);
  }
  run.options.rawCatalog = &run.signatures;
  return std::nullopt;
}

std::optional<int> partitionIndex(const std::string& text, int count) {
  size_t used = 0;
  int value = -1;
  try {
    value = std::stoi(text, &used);
  } catch (...) {
    return std::nullopt;
  }
  if (used != text.size() || value < 0 || value >= count) return std::nullopt;
  return value;
}

nlohmann::json fileJson(const FileRecord& r) {
  nlohmann::json j{{"id", r.id},
                   {"name", r.name},
                   {"size", r.contentSize()},
                   {"deleted", r.deleted},
                   {"verdict", std::string(verdictName(r.verdict))},
                   {"attributes", r.attributeText()},
                   {"modified", r.dateText(kColumnModified)},
                   {"created", r.dateText(kColumnCreated)},
                   {"accessed", r.dateText(kColumnAccessed)}};
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
  fmt::print("{}[{}]\n", indent, visibleText(f.text));
  for (const FileRecord* r : f.files) {
    if (!r || !FilterAccepts(filter, *r, filtered)) continue;
    fmt::print("{}  {:>6}  {:<40} {:>12}  {:<12} {}\n", indent, r->id, visibleText(r->nameText()), r->sizeText(),
               visibleText(r->attributeText()), r->dateText(kColumnModified));
  }
  for (const auto& c : f.children) printFolder(*c, depth + 1, filter, filtered);
}

// Hex dump lines printed as the bytes arrive: nothing of the file is held but one line.
class HexLineSink final : public ByteSink {
 public:
  explicit HexLineSink(uint64_t limit) : m_limit(limit) {}
  [[nodiscard]] bool write(const uint8_t* data, size_t n) override {
    const size_t take = size_t(std::min<uint64_t>(n, m_limit - m_written));
    for (size_t i = 0; i < take; ++i) {
      m_line[m_used++] = data[i];
      if (m_used == m_line.size()) flush();
    }
    m_written += take;
    return take == n;
  }
  void flush() {
    if (m_used == 0) return;
    // The line is dumped on its own; its offset label is the one of its place in the file.
    const std::string text = hexDumpLine(std::span<const uint8_t>(m_line.data(), m_used), 0);
    fmt::print("{}{:08X}{}", m_lines ? "\r\n" : "", m_lines * 16, text.substr(8));
    ++m_lines;
    m_used = 0;
  }
  bool full() const { return m_written == m_limit; }
  uint64_t lines() const { return m_lines; }

 private:
  uint64_t m_limit;
  std::array<uint8_t, 16> m_line{};
  size_t m_used = 0;
  uint64_t m_lines = 0;
};

// A saved scan in place of the scan: its partition (on the same disk, checked), task, options
// and files, recovered as the scan found them.
bool openFromSavedScan(CliContext& ctx, const SelectArgs& a, ScanRun& run,
                       const std::function<bool(ScanRun&)>& beforeScan) {
  if (a.partitionGiven) {
    ctx.fail("--from-scan takes the partition from the saved scan: leave out --partition", kExitUsage);
    return false;
  }
  auto saved = loadScan(a.fromScan);
  if (!saved) {
    ctx.fail("cannot use the saved scan '" + a.fromScan + "': " + describe(saved.error()), kExitUsage);
    return false;
  }
  auto engine = openSavedScan(*saved);
  if (!engine) {
    ctx.fail("cannot use the saved scan '" + a.fromScan + "': " + describe(engine.error()), kExitUsage);
    return false;
  }
  run.catalog.Refresh();
  run.record = saved->partition;
  for (int i = 0; i < run.catalog.PartitionCount(); ++i)
    if (run.catalog.PartitionAt(i).startSector == run.record.startSector &&
        run.catalog.PartitionAt(i).diskNumber == run.record.diskNumber)
      run.index = i;
  const FileFilter filter = run.options.quickFilter;  // the command line's filter applies
  const bool filtered = run.options.quickFilterEnabled;
  run.options = saved->options;
  run.options.quickFilter = filter;
  run.options.quickFilterEnabled = filtered;
  run.engine = std::move(*engine);
  run.tree = std::move(saved->tree);
  run.fromSavedScan = true;
  return !beforeScan || beforeScan(run);
}

}  // namespace

void addSelectOptions(CLI::App* cmd, SelectArgs& a) {
  cmd->add_option("--partition", a.partition, "Partition index as `drives` prints it (required without --from-scan)")
      ->each([&a](const std::string&) { a.partitionGiven = true; });
  cmd->add_option("--from-scan", a.fromScan, "Use a scan saved by `scan --save` instead of scanning again");
  cmd->add_flag("--carve-unclaimed", a.carveUnclaimed,
                "Deleted/formatted: also carve what no found or live file claims (listed under Carved)");
  cmd->add_option("--task", a.task, "deleted, formatted or raw")
      ->check(CLI::IsMember({"deleted", "formatted", "raw"}));
  cmd->add_option("--first", a.first, "First absolute sector of the range")->each([&a](const std::string&) {
    a.firstGiven = true;
  });
  cmd->add_option("--last", a.last, "Last absolute sector of the range")->each([&a](const std::string&) {
    a.lastGiven = true;
  });
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

bool runScan(CliContext& ctx, const SelectArgs& a, ScanRun& run, const std::function<bool(ScanRun&)>& beforeScan) {
  if (!ctx.prepareDevices()) return false;
  if (auto wrong = buildOptions(a, run.options)) {
    ctx.fail(*wrong, kExitUsage);
    return false;
  }
  if (!a.fromScan.empty()) return openFromSavedScan(ctx, a, run, beforeScan);
  if (!a.partitionGiven) {
    ctx.fail("--partition is required (or --from-scan FILE)", kExitUsage);
    return false;
  }
  run.catalog.Refresh();
  const auto index = partitionIndex(a.partition, run.catalog.PartitionCount());
  if (!index) {
    ctx.fail(fmt::format("--partition '{}' is not a partition index: `drives` lists {} (0 to {})", a.partition,
                         run.catalog.PartitionCount(), run.catalog.PartitionCount() - 1),
             kExitUsage);
    return false;
  }
  run.index = *index;
  run.record = run.catalog.PartitionAt(*index);
  if (run.options.task == Task::Raw || run.options.carveUnclaimed) {
    if (auto wrong = run.options.task == Task::Raw ? checkRawRequest(a, run) : loadSignatures(a, run)) {
      ctx.fail(*wrong, kExitUsage);
      return false;
    }
  }
  auto engine = openEngine(run.record, run.options.task);
  if (!engine) {
    ctx.fail(engine.error(), kExitUsage);
    return false;
  }
  run.engine = std::move(*engine);
  if (run.options.carveUnclaimed && run.options.task != Task::Raw)
    run.engine = withUnclaimedCarving(std::move(run.engine), run.record);
  run.tree = std::make_unique<ResultTree>(run.engine->variant());
  if (beforeScan && !beforeScan(run)) return false;
  run.engine->scanFlag().set();
  run.signals.watch(run.engine->scanFlag());
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
  // Copies used in place of damaged structures are said, but the scan did its work.
  if (const std::string damaged = damageSummary(run.engine->damage()); !damaged.empty())
    fmt::print(quiet ? stderr : stdout, "{}\n", visibleText(damaged));
  if (run.signals.signal()) exit = exitForSignal(run.signals.signal());
  return exit;
}

nlohmann::json unreadableJson(const DamageLog& damage) {
  nlohmann::json out = nlohmann::json::array();
  for (const SectorRange& r : damage.unreadableRanges()) out.push_back({{"first", r.first}, {"count", r.count}});
  return out;
}

FileRecord* recordWithId(CliContext& ctx, ScanRun& run, uint64_t id) {
  FileRecord* r = run.tree->record(id);
  if (!r) ctx.fail(fmt::format("--id {} is not a file of this scan ({} found)", id, run.tree->recordCount()), kExitUsage);
  return r;
}

struct ProgressLine::Thread {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  std::thread thread;
};

ProgressLine::ProgressLine(const Progress& progress) {
  if (!isTerminal(StandardStream::Error)) return;
  m_thread = std::make_unique<Thread>();
  m_thread->thread = std::thread([t = m_thread.get(), &progress] {
    std::unique_lock lock(t->mutex);
    while (!t->cv.wait_for(lock, std::chrono::milliseconds(200), [t] { return t->done; })) {
      fmt::print(stderr, "\r\033[K{} ({}/{})", visibleText(cutUtf8(progress.status(), 100)),
                 progress.foundCurrent.load(), progress.foundTotal.load());
      std::fflush(stderr);
    }
  });
}

ProgressLine::~ProgressLine() {
  if (!m_thread) return;
  {
    std::lock_guard lock(m_thread->mutex);
    m_thread->done = true;
  }
  m_thread->cv.notify_all();
  m_thread->thread.join();
  fmt::print(stderr, "\r\033[K");
}

namespace {

void saveFound(CliContext& ctx, ScanRun& run, const std::string& file, bool quiet) {
  auto disk = identifyDisk(run.record.diskNumber);
  Status saved = disk ? saveScan(file, run.record, run.options, *disk, *run.tree, *run.engine) : fail(disk.error());
  if (!saved) {
    fmt::print(stderr, "velk-cli: the scan could not be saved to '{}': {}\n", visibleText(file), describe(saved.error()));
    ctx.exitCode = kExitSomeFailed;
    return;
  }
  fmt::print(quiet ? stderr : stdout, "Saved: {}\n", visibleText(file));
}

}  // namespace

void addScanCommands(CLI::App& app, CliContext& ctx) {
  auto scanArgs = std::make_shared<SelectArgs>();
  auto* scan = app.add_subcommand("scan", "Scan a partition and list what was found");
  addSelectOptions(scan, *scanArgs);
  scan->add_flag("--json", scanArgs->json, "Print JSON");
  scan->add_option("--save", scanArgs->save, "Keep what was found in this file (recover --from-scan FILE)");
  scan->callback([&ctx, scanArgs] {
    ScanRun run;
    const auto saveTargetUsable = [&](ScanRun& r) {
      if (scanArgs->save.empty()) return true;
      Status allowed = checkWriteTarget(scanArgs->save, examinedRangeOf(r.record));
      if (!allowed) ctx.fail(allowed.error(), kExitUsage);
      return allowed.has_value();
    };
    if (!runScan(ctx, *scanArgs, run, saveTargetUsable)) return;
    const auto& filter = run.options.quickFilter;
    bool filtered = run.options.quickFilterEnabled;
    if (scanArgs->json) {
      nlohmann::json out{{"task", taskName(run.options.task)},
                         {"partition", partitionJson(run.record, run.index)},
                         {"found", run.tree->recordCount()},
                         {"unreadable", unreadableJson(run.engine->damage())},
                         {"damaged", run.engine->damage().damagedCounts()}};
      if (run.scanError) out["error"] = describe(*run.scanError);
      out["tree"] = run.tree->root() ? folderJson(*run.tree->root(), filter, filtered) : nlohmann::json(nullptr);
      std::cout << out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    } else {
      for (const auto& root : run.tree->roots()) printFolder(*root, 0, filter, filtered);
      fmt::print("{}\n", visibleText(run.progress.status()));
      fmt::print("Found {} files\n", run.tree->recordCount());
    }
    ctx.exitCode = scanOutcome(run, scanArgs->json);
    if (!scanArgs->save.empty()) saveFound(ctx, run, scanArgs->save, scanArgs->json);
  });

  addRecoverCommand(app, ctx);

  auto prevArgs = std::make_shared<SelectArgs>();
  auto* preview = app.add_subcommand("preview", "Hex dump (or image facts) of the start of one found file");
  addSelectOptions(preview, *prevArgs);
  preview->add_option("--id", prevArgs->ids, "The file's id")->required()->expected(1);
  preview->add_flag("--hex", prevArgs->hex, "Always print the hex dump");
  preview->add_option("--bytes", prevArgs->bytes, "Bytes to dump (default: the page's own amount, at most 64 KiB)");
  preview->callback([&ctx, prevArgs] {
    ScanRun run;
    if (!runScan(ctx, *prevArgs, run)) return;
    FileRecord* r = recordWithId(ctx, run, prevArgs->ids.front());
    if (!r) return;
    const int type = ImageTypeOf(r->name);
    if (!prevArgs->hex && type != kImageNone) {
      // An image is judged on its first bytes; more than a preview holds is not read.
      std::vector<uint8_t> data;
      if (Status read = run.engine->readAll(*r, data, kMemoryReadLimit); !read) {
        ctx.fail("cannot read '" + visibleText(r->name) + "': " + describe(read.error()), kExitSomeFailed);
        return;
      }
      fmt::print("{}: image type {}, {} bytes", visibleText(r->name), type, r->contentSize());
      fmt::print("{}\n", data.size() < r->contentSize() ? fmt::format(" (first {} read)", data.size()) : "");
      ctx.exitCode = kExitOk;
      return;
    }
    const size_t pageBytes = policyOf(run.tree->variant()).dumpBytes;
    const uint64_t limit = prevArgs->bytes ? prevArgs->bytes : std::min<uint64_t>(pageBytes, kPreviewDumpBytes);
    HexLineSink dump(limit);
    Status read = run.engine->extractPrefix(*r, dump, limit);
    dump.flush();
    if (dump.lines()) fmt::print("\n");
    if (!read && !dump.full()) {
      ctx.fail("cannot read '" + visibleText(r->name) + "': " + describe(read.error()), kExitSomeFailed);
      return;
    }
    if (dump.written() < r->contentSize())
      fmt::print(stderr, "(the first {} of {} bytes; --bytes N shows more)\n", dump.written(), r->contentSize());
    ctx.exitCode = kExitOk;
  });
}

}  // namespace velk::cli
