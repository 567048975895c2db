// velk-cli recover: scan a partition and write the chosen files into a folder, with a DFXML
// report of what was written from where.

#include <iostream>

#include <fmt/format.h>

#include "cli_json.h"
#include "engines/engine_registry.h"
#include "engines/raw/content_verdict.h"
#include "output/output_folder.h"
#include "scan_run.h"
#include "support/text.h"
#include "workspace/recovery_job.h"

namespace velk::cli {
namespace {

// The output folder is usable, and on no drive being examined: found out before the scan,
// not after it.
bool outputUsable(CliContext& ctx, const SelectArgs& args, const ScanRun& run) {
  if (args.out.empty()) {
    ctx.fail("--out is empty: name the folder the files are written into", kExitUsage);
    return false;
  }
  Status allowed = checkWriteTarget(args.out, examinedRangeOf(run.record));
  if (!allowed) {
    ctx.fail(allowed.error(), kExitUsage);
    return false;
  }
  if (auto opened = OutputDir::openRoot(args.out); !opened) {
    ctx.fail(opened.error(), kExitUsage);
    return false;
  }
  return true;
}

void choose(ScanRun& run, const SelectArgs& args) {
  if (args.all) {
    for (FolderItem* f : run.tree->foldersBreadthFirst())
      for (FileRecord* r : f->files)
        if (FilterAccepts(run.options.quickFilter, *r, run.options.quickFilterEnabled))
          run.tree->setFileChecked(f, r, true);
    return;
  }
  for (uint64_t id : args.ids) {
    FileRecord* r = run.tree->record(id);
    run.tree->setFileChecked(run.tree->folderOf(r), r, true);
  }
}

// Each line of the failure text, its names escaped for the terminal.
void printLines(FILE* to, const std::string& text) {
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    fmt::print(to, "{}\n", visibleText(text.substr(at, end == std::string::npos ? std::string::npos : end - at)));
    if (end == std::string::npos) break;
    at = end + 1;
  }
}

nlohmann::json summaryJson(const ScanRun& run, const RecoveryReport& report) {
  nlohmann::json files = nlohmann::json::array();
  for (size_t i = 0; i < report.files.size(); ++i) {
    const ReportedFile& f = report.files[i];
    files.push_back({{"id", f.id},
                     {"path", report.written[i].string()},
                     {"filename", f.filename},
                     {"size", f.size},
                     {"sha256", f.sha256},
                     {"verdict", f.verdict}});
  }
  nlohmann::json out{{"task", taskName(run.options.task)},
                     {"partition", partitionJson(run.record, run.index)},
                     {"recovered", report.recovered},
                     {"failed", report.failed},
                     {"skipped", report.skipped},
                     {"cancelled", report.cancelled},
                     {"verdicts", {{"verified", report.verified}, {"unverified", report.unverified}, {"damaged", report.damaged}}},
                     {"files", files},
                     {"skipped_files", report.skippedNames},
                     {"errors", report.errorText},
                     {"report", report.reportPath.string()},
                     {"unreadable", unreadableJson(run.engine->damage())}};
  if (report.refused) out["refused"] = describe(*report.refused);
  if (run.signals.signal()) out["signal"] = run.signals.signal();
  return out;
}

void printSummary(const RecoveryReport& report) {
  if (!report.errorText.empty()) printLines(stdout, report.errorText);
  for (const std::string& name : report.skippedNames) fmt::print("Skipped: {}\n", visibleText(name));
  fmt::print("Recovered {} files, {} failed, {} skipped{}\n", report.recovered, report.failed, report.skipped,
             report.cancelled ? " (cancelled)" : "");
  fmt::print("Verdicts: {} verified, {} unverified, {} damaged\n", report.verified, report.unverified, report.damaged);
  if (!report.reportPath.empty()) fmt::print("Report: {}\n", visibleText(report.reportPath.string()));
}

}  // namespace

void addRecoverCommand(CLI::App& app, CliContext& ctx) {
  auto args = std::make_shared<SelectArgs>();
  auto* recover = app.add_subcommand("recover", "Scan a partition and write found files into a folder");
  addSelectOptions(recover, *args);
  recover->add_option("--out", args->out, "Output folder")->required();
  auto* all = recover->add_flag("--all", args->all, "Recover every file found");
  recover->add_option("--id", args->ids, "Recover these ids")->delimiter(',')->excludes(all);
  recover->add_option("--overwrite", args->overwrite, "ask, yes, all, no or cancel")
      ->check(CLI::IsMember({"ask", "yes", "all", "no", "cancel"}));
  recover->add_option("--report", args->report, "Write the DFXML report here (default: report.xml in the folder)");
  recover->add_flag("--keep-partial", args->keepPartial, "Keep what was read of a failed file as NAME.partial");
  recover->add_flag("--json", args->json, "Print the summary as JSON");
  recover->callback([&ctx, args] {
    if (!args->all && args->ids.empty()) {
      ctx.fail("recover needs --all or --id", kExitUsage);
      return;
    }
    ScanRun run;
    if (!runScan(ctx, *args, run, [&](ScanRun& r) { return outputUsable(ctx, *args, r); })) return;
    for (uint64_t id : args->ids)
      if (!recordWithId(ctx, run, id)) return;

    RecoveryRequest request;
    request.outputFolder = args->out;
    request.ask = overwritePolicy(args->overwrite);
    request.verify = verifyContent;
    request.examined = examinedRangeOf(run.record);
    request.keepPartial = args->keepPartial;
    request.reportFile = args->report;
    request.source.fileSystem = codepageText(run.record.fsNameText());
    request.source.task = std::string(taskName(run.options.task));
    JobFlag job;
    RecoveryReport report;
    if (!run.signals.signal()) {
      choose(run, *args);
      run.signals.watch(job);
      ProgressLine line(run.progress);
      report = runRecovery(*run.tree, *run.engine, request, job, run.progress);
    } else {
      report.cancelled = true;
    }
    if (args->json) std::cout << summaryJson(run, report).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    else printSummary(report);
    const int scanExit = scanOutcome(run, args->json);
    ctx.exitCode = report.refused ? kExitUsage : report.failed && scanExit == kExitOk ? kExitSomeFailed : scanExit;
  });
}

}  // namespace velk::cli
