#include "cli_context.h"

#include <unistd.h>

#include <string>
#include <iostream>

#include <fmt/format.h>

#include "disk/device.h"

namespace velk::cli {

bool CliContext::prepareDevices() {
  auto& ns = DeviceNamespace::instance();
  ns.reset();
  for (const auto& image : images) {
    std::string reason;
    if (ns.attachImage(image, &reason) != 0) {
      std::cerr << "velk-cli: cannot open image '" << image << "': " << reason << "\n";
      exitCode = kExitUsage;
      return false;
    }
  }
  if (images.empty() || withSystemDrives) ns.attachSystemDrives();
  ns.assignLetters();
  return true;
}

OverwriteQuestion overwritePolicy(const std::string& mode) {
  if (mode == "yes") return [](const std::string&) { return OverwriteChoice::Yes; };
  if (mode == "all") return [](const std::string&) { return OverwriteChoice::YesToAll; };
  if (mode == "no") return [](const std::string&) { return OverwriteChoice::No; };
  if (mode == "cancel") return [](const std::string&) { return OverwriteChoice::Cancel; };
  return [](const std::string& name) {
    if (!::isatty(STDIN_FILENO)) return OverwriteChoice::No;
    for (;;) {
      fmt::print(stderr, "'{}' exists. Overwrite? [y]es / [a]ll / [n]o / [c]ancel: ", name);
      std::string answer;
      if (!std::getline(std::cin, answer)) return OverwriteChoice::Cancel;
      if (answer == "y" || answer == "yes") return OverwriteChoice::Yes;
      if (answer == "a" || answer == "all") return OverwriteChoice::YesToAll;
      if (answer == "n" || answer == "no") return OverwriteChoice::No;
      if (answer == "c" || answer == "cancel") return OverwriteChoice::Cancel;
    }
  };
}


}  // namespace velk::cli
