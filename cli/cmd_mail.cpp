// velk-cli mail repair: copies mail stores into a folder with their signature words
// restored and prints the repair report.

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "cli_context.h"
#include "mail/mail_repair.h"
#include "output/write_guard.h"

namespace velk::cli {
namespace {

namespace fs = std::filesystem;

struct MailArgs {
  std::string store;
  std::string out;
  std::string overwrite = "ask";
  std::vector<std::string> files;
};

// Input errors are found before anything is written.
bool checkInputs(const MailArgs& args) {
  std::error_code ec;
  if (!fs::is_directory(args.out, ec)) {
    fmt::print(stderr, "velk-cli: output folder '{}' does not exist\n", args.out);
    return false;
  }
  if (Status allowed = checkWriteTarget(args.out); !allowed) {
    fmt::print(stderr, "velk-cli: {}\n", describe(allowed.error()));
    return false;
  }
  for (const auto& file : args.files) {
    if (!fs::is_regular_file(file, ec)) {
      fmt::print(stderr, "velk-cli: '{}' is not a readable mail store file\n", file);
      return false;
    }
  }
  return true;
}

}  // namespace

void addMailCommand(CLI::App& app, CliContext& ctx) {
  auto* mail = app.add_subcommand("mail", "Mail store repair");
  mail->require_subcommand(1);
  auto args = std::make_shared<MailArgs>();
  auto* repair = mail->add_subcommand("repair", "Copy mail stores into a folder with their signature words restored");
  repair->add_option("--store", args->store, "dbx (Outlook Express folders) or pst (Outlook personal folders)")
      ->required()
      ->check(CLI::IsMember({"dbx", "pst"}));
  repair->add_option("--out", args->out, "Output folder")->required();
  repair->add_option("--overwrite", args->overwrite, "ask, yes, all, no or cancel")
      ->check(CLI::IsMember({"ask", "yes", "all", "no", "cancel"}));
  repair->add_option("files", args->files, "Mail store files")->required();
  repair->callback([&ctx, args] {
    // Attached drives are drives being examined: the copies must not land on them.
    if (!ctx.prepareDevices()) return;
    if (!checkInputs(*args)) {
      ctx.exitCode = kExitUsage;
      return;
    }
    MailRepairRequest request;
    request.kind = args->store == "dbx" ? MailStoreKind::OutlookExpress : MailStoreKind::Outlook;
    request.outDir = args->out;
    for (const auto& file : args->files) request.files.emplace_back(file);
    StopFlag stop;
    const MailRepairReport report = runMailRepair(request, overwritePolicy(args->overwrite), stop);
    std::fwrite(report.text.data(), 1, report.text.size(), stdout);
    std::fflush(stdout);
    if (report.cancelled) fmt::print(stderr, "velk-cli: repair cancelled\n");
    ctx.exitCode = report.failed || report.unsupported || report.cancelled ? kExitSomeFailed : kExitOk;
  });
}

}  // namespace velk::cli
