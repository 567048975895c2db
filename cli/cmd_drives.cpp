// velk-cli drives: the disks and partition records, indexed as --partition takes them.

#include <cstdio>
#include <iostream>

#include <fmt/format.h>

#include "cli_context.h"
#include "cli_json.h"
#include "disk/drive_catalog.h"
#include "support/text.h"

namespace velk::cli {
namespace {

std::string humanSize(uint64_t bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double v = double(bytes);
  int u = 0;
  while (v >= 1024 && u < 4) {
    v /= 1024;
    ++u;
  }
  return u == 0 ? fmt::format("{} B", bytes) : fmt::format("{:.1f} {}", v, units[u]);
}

void printTables(const DriveCatalog& catalog) {
  fmt::print("Disks\n");
  fmt::print("  {:>3}  {:<32} {:>11}  {:<8} {}\n", "#", "Name", "Size", "Bus", "Removable");
  for (const auto& d : catalog.disks())
    fmt::print("  {:>3}  {:<32} {:>11}  {:<8} {}\n", d.number, codepageText(d.nameText()), humanSize(d.size),
               std::string(busTypeName(d.busType)), d.removable ? "yes" : "no");
  fmt::print("\nPartitions\n");
  fmt::print("  {:>3} {:>4} {:>3} {:>4} {:<8} {:<16} {:>10} {:>11} {:>5} {:>10} {:>10}\n", "idx", "disk", "ltr",
             "kind", "fs", "label", "start", "length", "type", "table", "ext_base");
  for (int i = 0; i < catalog.PartitionCount(); ++i) {
    const auto& r = catalog.PartitionAt(i);
    fmt::print("  {:>3} {:>4} {:>3} {:>4} {:<8} {:<16} {:>10} {:>11} {:>5} {:>10} {:>10}\n", i, r.diskNumber,
               letterText(r.letter), r.kind, codepageText(r.fsNameText()), codepageText(r.labelText()),
               r.startSector, humanSize(r.length), fmt::format("0x{:02X}", r.type), r.tableSector,
               r.extendedBase);
  }
  // What the table walks found damaged or could not read, so no partition vanishes unsaid.
  for (const auto& n : catalog.notes()) fmt::print("Note: disk {}: {}\n", n.disk, n.text);
}

}  // namespace

void addDrivesCommand(CLI::App& app, CliContext& ctx) {
  auto* cmd = app.add_subcommand("drives", "List disks and partition records");
  auto json = std::make_shared<bool>(false);
  cmd->add_flag("--json", *json, "Print JSON");
  cmd->callback([&ctx, json] {
    if (!ctx.prepareDevices()) return;
    DriveCatalog catalog;
    catalog.Refresh();
    if (*json) {
      nlohmann::json out{{"disks", nlohmann::json::array()}, {"partitions", nlohmann::json::array()}};
      for (const auto& d : catalog.disks()) out["disks"].push_back(diskJson(d));
      for (int i = 0; i < catalog.PartitionCount(); ++i)
        out["partitions"].push_back(partitionJson(catalog.PartitionAt(i), i));
      out["notes"] = nlohmann::json::array();
      for (const auto& n : catalog.notes()) out["notes"].push_back({{"disk", n.disk}, {"sector", n.sector}, {"text", n.text}});
      std::cout << out.dump(2) << "\n";
    } else {
      printTables(catalog);
    }
    ctx.exitCode = kExitOk;
  });
}

}  // namespace velk::cli
