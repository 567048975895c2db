#include "cli_context.h"

#include <array>
#include <csignal>
#include <iostream>
#include <string>

#include <fmt/format.h>

#include "disk/device.h"
#include "output/terminal.h"

namespace velk::cli {

bool CliContext::prepareDevices() {
  auto& ns = DeviceNamespace::instance();
  ns.reset();
  for (const auto& image : images) {
    if (Status attached = ns.attachImage(image); !attached) {
      fail(attached.error(), kExitUsage);
      return false;
    }
  }
  if (images.empty() || withSystemDrives) ns.attachSystemDrives();
  ns.assignLetters();
  return true;
}

void CliContext::fail(const Error& error, int exit) { fail(describe(error), exit); }

void CliContext::fail(const std::string& sentence, int exit) {
  fmt::print(stderr, "velk-cli: {}\n", sentence);
  exitCode = exit;
}

OverwriteQuestion overwritePolicy(const std::string& mode) {
  if (mode == "yes") return [](const std::string&) { return OverwriteChoice::Yes; };
  if (mode == "all") return [](const std::string&) { return OverwriteChoice::YesToAll; };
  if (mode == "no") return [](const std::string&) { return OverwriteChoice::No; };
  if (mode == "cancel") return [](const std::string&) { return OverwriteChoice::Cancel; };
  return [](const std::string& name) {
    if (!isTerminal(StandardStream::Input)) return OverwriteChoice::No;
    for (;;) {
      fmt::print(stderr, "'{}' exists. Overwrite? [y]es / [a]ll / [n]o / [c]ancel: ", visibleText(name));
      std::string answer;
      if (!std::getline(std::cin, answer)) return OverwriteChoice::Cancel;
      if (answer == "y" || answer == "yes") return OverwriteChoice::Yes;
      if (answer == "a" || answer == "all") return OverwriteChoice::YesToAll;
      if (answer == "n" || answer == "no") return OverwriteChoice::No;
      if (answer == "c" || answer == "cancel") return OverwriteChoice::Cancel;
    }
  };
}

std::string visibleText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = uint8_t(text[i]);
    // U+0080 to U+009F arrive as C2 80 … C2 9F.
    if (c == 0xC2 && i + 1 < text.size() && uint8_t(text[i + 1]) >= 0x80 && uint8_t(text[i + 1]) <= 0x9F) {
      out += fmt::format("\\u{:04x}", uint8_t(text[++i]));
    } else if (c < 0x20 || c == 0x7F) {
      out += fmt::format("\\x{:02x}", c);
    } else if (c == '\\') {
      out += "\\\\";
    } else {
      out += char(c);
    }
  }
  return out;
}

namespace {

constexpr size_t kWatchedFlags = 4;
std::array<std::atomic<StopFlag*>, kWatchedFlags> g_watched{};
std::atomic<int> g_signal{0};

void stopOnSignal(int signal) {
  g_signal.store(signal);
  for (auto& slot : g_watched)
    if (StopFlag* flag = slot.load()) flag->clear();
  // A second signal ends the process the ordinary way.
  std::signal(signal, SIG_DFL);
}

}  // namespace

StopOnSignal::StopOnSignal() {
  g_signal.store(0);
  for (auto& slot : g_watched) slot.store(nullptr);
  std::signal(SIGINT, stopOnSignal);
  std::signal(SIGTERM, stopOnSignal);
}

StopOnSignal::~StopOnSignal() {
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  for (auto& slot : g_watched) slot.store(nullptr);
}

void StopOnSignal::watch(StopFlag& flag) {
  for (auto& slot : g_watched) {
    StopFlag* empty = nullptr;
    if (slot.compare_exchange_strong(empty, &flag)) break;
  }
  if (g_signal.load() != 0) flag.clear();
}

int StopOnSignal::signal() const { return g_signal.load(); }

}  // namespace velk::cli
