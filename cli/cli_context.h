#pragma once
// State shared by every velk-cli command: the attached images and output mode.

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "support/error.h"
#include "workspace/overwrite.h"
#include "workspace/progress.h"

namespace velk::cli {

// Exit status contract: 0 success, 1 some files failed, 2 usage or input error.
inline constexpr int kExitOk = 0;
inline constexpr int kExitSomeFailed = 1;
inline constexpr int kExitUsage = 2;

struct CliContext {
  std::vector<std::string> images;
  bool withSystemDrives = false;
  int exitCode = kExitOk;

  // Attaches the images (and system drives when asked) to the device namespace.
  // Prints a message and returns false on bad input.
  [[nodiscard]] bool prepareDevices();
  // Prints "velk-cli: <sentence>" on stderr and sets the exit status.
  void fail(const Error& error, int exit);
  void fail(const std::string& sentence, int exit);
};

// Exit status of a run stopped by a signal: 128 + its number (130 for SIGINT, 143 SIGTERM).
inline int exitForSignal(int signal) { return 128 + signal; }

// Names from a scanned disk as a terminal may show them: control characters (C0, DEL and
// the C1 range a terminal also obeys) and the backslash are written as visible escapes, so
// a crafted name cannot move the cursor, clear the screen or retitle the window.
std::string visibleText(std::string_view text);

// While alive, SIGINT and SIGTERM clear the flags watched (so a scan ends at its next test
// and a recovery after the piece in hand) instead of killing the process; a second signal
// kills as usual. signal() tells which one arrived (0: none).
class StopOnSignal {
 public:
  StopOnSignal();
  ~StopOnSignal();
  StopOnSignal(const StopOnSignal&) = delete;
  StopOnSignal& operator=(const StopOnSignal&) = delete;
  void watch(StopFlag& flag);
  int signal() const;
};

// The answer to "file exists" from --overwrite ask|yes|all|no|cancel. "ask" prompts on a
// terminal; without one nobody can answer, so nothing is replaced.
OverwriteQuestion overwritePolicy(const std::string& mode);

// Each command module adds its subcommand(s); the callback stores its exit status in
// ctx.exitCode.
void addDrivesCommand(CLI::App& app, CliContext& ctx);
void addScanCommands(CLI::App& app, CliContext& ctx);      // scan, recover, preview
void addCatalogCommand(CLI::App& app, CliContext& ctx);
void addPartitionsCommand(CLI::App& app, CliContext& ctx);
void addMailCommand(CLI::App& app, CliContext& ctx);

}  // namespace velk::cli
