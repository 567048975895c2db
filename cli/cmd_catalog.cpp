// velk-cli catalog: the raw signature catalogue (rp.dat) as the raw scan reads it.

#include <iostream>
#include <memory>
#include <string>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "cli_context.h"
#include "engines/raw/format_end.h"
#include "engines/raw/signature_catalog.h"

namespace velk::cli {
namespace {

std::string patternsText(const SignatureEntry& e) {
  std::string out;
  for (int k = 0; k < e.patternCount; ++k) {
    if (k) out += " ";
    out += fmt::format("{}@{}", e.patterns[size_t(k)], e.offsets[size_t(k)]);
  }
  return out;
}

nlohmann::json entryJson(const SignatureEntry& e, size_t index) {
  nlohmann::json patterns = nlohmann::json::array();
  for (int k = 0; k < e.patternCount; ++k)
    patterns.push_back({{"offset", e.offsets[size_t(k)]}, {"pattern", e.patterns[size_t(k)]}});
  return {{"index", index},
          {"extension", e.extension},
          {"description", e.description},
          {"patterns", patterns},
          {"enabled", e.enabled},
          {"end_rule", std::string(endRuleText(e.extension))}};
}

}  // namespace

void addCatalogCommand(CLI::App& app, CliContext& ctx) {
  auto* cmd = app.add_subcommand("catalog", "List the raw signature catalogue");
  auto path = std::make_shared<std::string>();
  auto json = std::make_shared<bool>(false);
  cmd->add_option("--catalog", *path, "Catalogue file (default: rp.dat in the usual places)");
  cmd->add_flag("--json", *json, "Print JSON");
  cmd->callback([&ctx, path, json] {
    SignatureCatalog catalog;
    if (Status loaded = catalog.load(*path); !loaded) {
      ctx.fail(loaded.error(), kExitUsage);
      return;
    }
    const auto& entries = catalog.entries();
    if (*json) {
      nlohmann::json out{{"source", catalog.source().string()}, {"entries", nlohmann::json::array()}};
      for (size_t i = 0; i < entries.size(); ++i) out["entries"].push_back(entryJson(entries[i], i));
      std::cout << out.dump(2) << "\n";
    } else {
      fmt::print("Catalogue: {} ({} signatures)\n", catalog.source().string(), entries.size());
      fmt::print("  {:>3}  {:<8} {:<40} {:<7} {:<52} {}\n", "#", "Ext", "Description", "Enabled", "End", "Patterns");
      for (size_t i = 0; i < entries.size(); ++i)
        fmt::print("  {:>3}  {:<8} {:<40} {:<7} {:<52} {}\n", i, entries[i].extension, entries[i].description,
                   entries[i].enabled ? "yes" : "no", endRuleText(entries[i].extension), patternsText(entries[i]));
    }
    ctx.exitCode = kExitOk;
  });
}

}  // namespace velk::cli
