// velk-cli partitions: lost-partition scan, partition backups and the partition-table
// rewrite (the only command that writes to a disk, after the user's confirmation).

#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include <fmt/format.h>

#include "cli_context.h"
#include "cli_json.h"
#include "output/terminal.h"
#include "output/write_guard.h"
#include "partition/backup_store.h"
#include "partition/partition_recovery.h"
#include "partition/partition_texts.h"
#include "partition/undo_file.h"
#include "support/text.h"

namespace velk::cli {
namespace {

namespace fs = std::filesystem;

struct PartitionArgs {
  int disk = -1;
  bool deep = false;
  bool json = false;
  bool yes = false;
  bool force = false;
  int candidate = -1;
  std::string from;
  std::string out;
  std::string undoFile;
};

int usageError(const std::string& message) {
  fmt::print(stderr, "velk-cli: {}\n", message);
  return kExitUsage;
}

// Attaches the devices and selects --disk N (the disk number `drives` prints).
bool openDisk(CliContext& ctx, const PartitionArgs& args, PartitionRecovery& rec) {
  if (!ctx.prepareDevices()) return false;
  rec.Refresh();
  if (!rec.SelectDiskNumber(args.disk)) {
    ctx.exitCode = usageError(fmt::format("no disk {} (see 'velk-cli drives')", args.disk));
    return false;
  }
  return true;
}

void printCandidates(const PartitionRecovery& rec, bool json, std::string_view source) {
  const auto& list = rec.Candidates();
  const auto notes = rec.Notes();
  if (json) {
    nlohmann::json out{{"disk", diskJson(*rec.SelectedDisk())}, {"source", source}, {"candidates", nlohmann::json::array()}};
    for (size_t i = 0; i < list.size(); ++i) {
      auto c = partitionJson(list[i], int(i));
      const auto& logicals = rec.LogicalsOf(int(i));
      if (!logicals.empty()) {
        c["logicals"] = nlohmann::json::array();
        for (const auto& l : logicals) c["logicals"].push_back(partitionJson(l, int(i)));
      }
      out["candidates"].push_back(std::move(c));
    }
    out["notes"] = nlohmann::json::array();
    for (const auto& n : notes) out["notes"].push_back({{"sector", n.sector}, {"text", n.text}});
    std::cout << out.dump(2) << "\n";
    return;
  }
  fmt::print("{}\n", codepageText(diskComboText(*rec.SelectedDisk())));
  if (list.empty()) fmt::print("  (no candidates)\n");
  auto printLine = [](std::string_view index, const PartitionRecord& r) {
    const auto line = candidateLine(r);
    fmt::print("  {:>3}  {:<14} {:<28} {:<26} kind {}  type 0x{:02X}  table {}\n", index, codepageText(line.name),
               line.start, line.end, r.kind, r.type, r.tableSector);
  };
  for (size_t i = 0; i < list.size(); ++i) {
    printLine(std::to_string(i), list[i]);
    // The logical partitions an extended candidate restores with it.
    for (const auto& l : rec.LogicalsOf(int(i))) printLine("+", l);
  }
  for (const auto& n : notes) fmt::print("Note: {}\n", n.text);
}

void deepProgress(uint64_t done, uint64_t total) {
  if (isTerminal(StandardStream::Error)) fmt::print(stderr, "\rDeep scan: {} of {} probes", done, total);
  if (done == total && isTerminal(StandardStream::Error)) fmt::print(stderr, "\n");
}

// A --from file that is not there is an input error, told before any disk is read.
bool backupFileReadable(CliContext& ctx, const PartitionArgs& args) {
  if (args.from.empty()) return true;
  std::error_code ec;
  if (fs::is_regular_file(args.from, ec)) return true;
  ctx.fail(notFoundError(fmt::format("the backup file '{}'", args.from)), kExitUsage);
  return false;
}

// Fills the candidate list as asked: the deep scan, a backup file, or the automatic scan.
bool loadCandidates(CliContext& ctx, const PartitionArgs& args, PartitionRecovery& rec) {
  bool ok = !args.from.empty() ? rec.LoadBackup(args.from)
            : args.deep        ? rec.DeepScan(nullptr, deepProgress)
                               : rec.AutoScan();
  if (!ok) {
    fmt::print(stderr, "{}\n", kTextCantLoadBackup);
    ctx.exitCode = kExitSomeFailed;
  }
  return ok;
}

bool confirmed(const PartitionArgs& args, CliContext& ctx) {
  if (args.yes) return true;
  if (!isTerminal(StandardStream::Input)) {
    ctx.exitCode = usageError("the rewrite writes to the disk: confirm with --yes when no terminal can answer");
    return false;
  }
  fmt::print(stderr, "{}: {} [y/N] ", kCaptionWarning, kTextDangerous);
  std::string answer;
  if (std::getline(std::cin, answer) && (answer == "y" || answer == "Y" || answer == "yes")) return true;
  fmt::print(stderr, "Nothing written.\n");
  ctx.exitCode = kExitSomeFailed;
  return false;
}

void runScan(CliContext& ctx, const PartitionArgs& args) {
  PartitionRecovery rec;
  if (!openDisk(ctx, args, rec) || !loadCandidates(ctx, args, rec)) return;
  printCandidates(rec, args.json, args.deep ? "deep" : "auto");
  ctx.exitCode = kExitOk;
}

void runLoad(CliContext& ctx, const PartitionArgs& args) {
  if (!backupFileReadable(ctx, args)) return;
  PartitionRecovery rec;
  if (!openDisk(ctx, args, rec) || !loadCandidates(ctx, args, rec)) return;
  printCandidates(rec, args.json, "backup");
  ctx.exitCode = kExitOk;
}

void runBackup(CliContext& ctx, const PartitionArgs& args) {
  PartitionRecovery rec;
  if (!openDisk(ctx, args, rec)) return;
  fs::path out = args.out;
  if (out.empty()) {
    // No --out: the backup folder, under a name the listing finds again.
    fs::path folder = backupFolder();
    std::error_code ec;
    if (folder.empty() || (fs::create_directories(folder, ec), ec)) {
      fmt::print(stderr, "{}\n", kTextBackupFailed);
      ctx.exitCode = kExitSomeFailed;
      return;
    }
    out = folder / defaultBackupName(*rec.SelectedDisk(), std::time(nullptr));
  }
  if (Status allowed = checkWriteTarget(out); !allowed) {
    ctx.fail(allowed.error(), kExitUsage);
    return;
  }
  if (!rec.WriteBackup(out)) {
    fmt::print(stderr, "{}\n", kTextBackupFailed);
    ctx.exitCode = kExitSomeFailed;
    return;
  }
  fmt::print("{}\n{}\n", kTextBackupDone, out.string());
  ctx.exitCode = kExitOk;
}

void runList(CliContext& ctx, const PartitionArgs& args) {
  PartitionRecovery rec;
  if (!openDisk(ctx, args, rec)) return;
  if (args.json) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& row : rec.BackupRows())
      if (row.kind == BackupRowKind::Found) out.push_back({{"created", row.dateText}, {"path", row.pathText}});
    std::cout << out.dump(2) << "\n";
  } else {
    for (const auto& row : rec.BackupRows()) fmt::print("{}\t{}\n", row.dateText, row.pathText);
  }
  ctx.exitCode = kExitOk;
}

// What a rewrite did, as the command line says it: each sector written, the undo file, or
// the refusal's message and why.
void reportRewrite(CliContext& ctx, const RewriteResult& result) {
  for (const auto& w : result.written) fmt::print("Wrote {}\n", w);
  if (result.code == RewriteCode::Rewritten) {
    if (result.sectorsWritten > 0) fmt::print("Undo file: {}\n", result.undoFile.string());
    ctx.exitCode = kExitOk;
    return;
  }
  fmt::print(stderr, "{}: {}\n", kCaptionError, rewriteMessage(result.code));
  if (!result.detail.empty()) fmt::print(stderr, "  ({})\n", result.detail);
  if (result.sectorsWritten > 0)
    fmt::print(stderr, "  {} sector(s) written; undo file: {}\n", result.sectorsWritten, result.undoFile.string());
  ctx.exitCode = kExitSomeFailed;
}

void runRewrite(CliContext& ctx, const PartitionArgs& args) {
  if (args.deep && !args.from.empty()) {
    ctx.exitCode = usageError("--deep and --from exclude each other");
    return;
  }
  if (!backupFileReadable(ctx, args)) return;
  PartitionRecovery rec;
  if (!openDisk(ctx, args, rec) || !loadCandidates(ctx, args, rec)) return;
  if (args.candidate < 0 || size_t(args.candidate) >= rec.Candidates().size()) {
    ctx.exitCode = usageError(fmt::format("no candidate {} ({} listed)", args.candidate, rec.Candidates().size()));
    return;
  }
  if (!confirmed(args, ctx)) return;
  RewriteResult result = rec.Rewrite(args.candidate);
  if (result.code == RewriteCode::Rewritten) {
    // The restart question belongs to the desktop; the command line says the first line.
    fmt::print("{}\n", kTextRecovered.substr(0, kTextRecovered.find('\n')));
  }
  reportRewrite(ctx, result);
}

void runRestoreGpt(CliContext& ctx, const PartitionArgs& args) {
  PartitionRecovery rec;
  if (!openDisk(ctx, args, rec) || !confirmed(args, ctx)) return;
  RewriteResult result = rec.RestoreGpt();
  if (result.code == RewriteCode::Rewritten && !result.detail.empty()) fmt::print("{}\n", result.detail);
  if (result.code != RewriteCode::Rewritten) {
    // The rewrite's messages speak of a selected partition; here only the reason fits.
    ctx.fail(fmt::format("the GPT was not restored: {}", result.detail), kExitSomeFailed);
    return;
  }
  reportRewrite(ctx, result);
}

void runUndo(CliContext& ctx, const PartitionArgs& args) {
  auto undo = loadUndoFile(args.undoFile);
  if (!undo) {
    ctx.fail(undo.error(), kExitUsage);
    return;
  }
  if (!ctx.prepareDevices()) return;
  DriveCatalog catalog;
  catalog.Refresh();
  int disk = findUndoDisk(catalog, undo->disk);
  if (disk < 0) {
    ctx.exitCode = usageError(fmt::format("no attached disk is '{}' of {} bytes", codepageText(undo->disk.nameText()),
                                          undo->disk.size));
    return;
  }
  UndoResult r = applyUndo(*undo, disk, args.force);
  switch (r.status) {
    case UndoStatus::Restored:
      fmt::print("Restored {} sector(s) of disk {}.\n", undo->sectors.size(), disk);
      ctx.exitCode = kExitOk;
      return;
    case UndoStatus::Changed:
      fmt::print(stderr, "velk-cli: sector {} changed since the rewrite; nothing written (--force to restore anyway)\n",
                 r.sector);
      break;
    case UndoStatus::OtherDisk:
      fmt::print(stderr, "velk-cli: disk {} is not the size it had when the rewrite ran; nothing written\n", disk);
      break;
    case UndoStatus::DeviceFailure:
      fmt::print(stderr, "{}\n  (sector {}; {} sector(s) restored)\n", kTextCannotAccessDisk, r.sector, r.restored);
      break;
  }
  ctx.exitCode = kExitSomeFailed;
}

}  // namespace

void addPartitionsCommand(CLI::App& app, CliContext& ctx) {
  auto* cmd = app.add_subcommand("partitions", "Lost-partition scan, partition backups and table rewrite");
  cmd->require_subcommand(1);
  auto args = std::make_shared<PartitionArgs>();

  auto* scan = cmd->add_subcommand("scan", "List the candidates of the disk's gaps");
  scan->add_option("--disk", args->disk, "Disk number")->required();
  scan->add_flag("--deep", args->deep, "Probe every 1 MiB and 63-sector boundary of the gaps");
  scan->add_flag("--json", args->json, "Print JSON");
  scan->callback([&ctx, args] { runScan(ctx, *args); });

  auto* backup = cmd->add_subcommand("backup", "Write a partition backup file (.pbf) of the disk");
  backup->add_option("--disk", args->disk, "Disk number")->required();
  backup->add_option("--out", args->out, "Backup file (default: the backup folder)");
  backup->callback([&ctx, args] { runBackup(ctx, *args); });

  auto* load = cmd->add_subcommand("load", "List the candidates of a partition backup file");
  load->add_option("--disk", args->disk, "Disk number")->required();
  load->add_option("--from", args->from, "Backup file")->required();
  load->add_flag("--json", args->json, "Print JSON");
  load->callback([&ctx, args] { runLoad(ctx, *args); });

  auto* list = cmd->add_subcommand("list", "List the disk's backup files in the backup folder");
  list->add_option("--disk", args->disk, "Disk number")->required();
  list->add_flag("--json", args->json, "Print JSON");
  list->callback([&ctx, args] { runList(ctx, *args); });

  auto* rewrite = cmd->add_subcommand("rewrite", "Write a candidate's table entry (asks first)");
  rewrite->add_option("--disk", args->disk, "Disk number")->required();
  rewrite->add_flag("--deep", args->deep, "Candidates of the deep scan");
  rewrite->add_option("--from", args->from, "Candidates of a backup file");
  rewrite->add_option("--candidate", args->candidate, "Candidate index as listed")->required();
  rewrite->add_flag("--yes", args->yes, "Do not ask (scripts)");
  rewrite->callback([&ctx, args] { runRewrite(ctx, *args); });

  auto* restore = cmd->add_subcommand("restore-gpt", "Rebuild a damaged GPT copy from the intact one (asks first)");
  restore->add_option("--disk", args->disk, "Disk number")->required();
  restore->add_flag("--yes", args->yes, "Do not ask (scripts)");
  restore->callback([&ctx, args] { runRestoreGpt(ctx, *args); });

  auto* undo = cmd->add_subcommand("undo", "Put back the sectors a rewrite overwrote");
  undo->add_option("FILE", args->undoFile, "Undo file written by the rewrite")->required();
  undo->add_flag("--force", args->force, "Restore even sectors changed since the rewrite (an intact file only)");
  undo->callback([&ctx, args] { runUndo(ctx, *args); });
}

}  // namespace velk::cli
