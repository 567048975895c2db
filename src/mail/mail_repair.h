#pragma once
// Mail store repair: each selected store is copied into the output folder and the copy's
// header words that identify its type are rewritten, so that the mail program accepts the
// file again. The user's files are only read.
//
// Outlook Express folders (.dbx): words 0xFE12ADCF at 0 and 0x6F74FDC5 at 4; only folder
// files with "LocalStore\0" at 9409 are supported. Outlook personal folders (.pst): "!BDN"
// at 0, no other check.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "workspace/overwrite.h"
#include "workspace/progress.h"

namespace velk {

enum class MailStoreKind : int32_t { OutlookExpress = 1, Outlook = 2 };

// Results of one repair. A success is never negative: a .dbx repair gives the unsigned
// 32-bit word at 196 of the copy, a .pst repair 0.
inline constexpr int64_t kMailRepairFailed = -1;
inline constexpr int64_t kMailUnsupportedFormat = -2;

// Repairs an Outlook Express folder file into `output`, written whole under a temporary
// name beside it and then put in place (a failure leaves nothing under that name).
// Gives the u32 at 196 of the repaired copy, kMailUnsupportedFormat when the file is not a
// supported folder file (the unchanged copy stays), or kMailRepairFailed on any failure:
// a read, write or short write, an output on a drive being examined, an output that is
// the source itself (through a symlink or a hard link too), or a stop requested during
// the copy.
[[nodiscard]] int64_t repairDbx(const std::filesystem::path& source, const std::filesystem::path& output,
                                const StopFlag* stop = nullptr);

// Repairs an Outlook personal folder file into `output`: 0, or kMailRepairFailed.
[[nodiscard]] int64_t repairPst(const std::filesystem::path& source, const std::filesystem::path& output,
                                const StopFlag* stop = nullptr);

// Where the repaired copy of `source` goes: the output folder joined with the source's
// last path component.
std::filesystem::path mailRepairTarget(const std::filesystem::path& source, const std::filesystem::path& outDir);

struct MailRepairRequest {
  MailStoreKind kind = MailStoreKind::OutlookExpress;
  std::vector<std::filesystem::path> files;  // repaired in this order
  std::filesystem::path outDir;
  // Called on the worker after each reported file with the whole report so far, so the
  // log page can show it while the run goes on. May be empty.
  std::function<void(const std::string& report)> onReport;
};

struct MailRepairReport {
  // Per file, CR LF line ends: "Selected file: NAME", then "Repaired", "Unsupported
  // format" or "Repair failed", then a line of 43 dashes. Files the user chose not to
  // overwrite are left out.
  std::string text;
  int repaired = 0;
  int unsupported = 0;
  int failed = 0;
  int skipped = 0;         // the target existed and the answer was No
  bool cancelled = false;  // answered Cancel, or the stop flag was cleared
};

// Runs the repair over the request's files. Before replacing an existing target it asks
// `ask` (with the target's path) until the answer is YesToAll; an empty question counts
// as No. Safe to run on a worker thread: it touches nothing but the files and `progress`
// (found total = files, found current = files handled so far).
MailRepairReport runMailRepair(const MailRepairRequest& request, const OverwriteQuestion& ask,
                               const StopFlag& stop, Progress* progress = nullptr);

}  // namespace velk
