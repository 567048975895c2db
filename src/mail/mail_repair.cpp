#include "mail/mail_repair.h"

#include <array>
#include <fstream>
#include <utility>

#include "formats/bytes.h"
#include "output/output_folder.h"
#include "output/write_guard.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

// Stores are copied in blocks of this size; a shorter read is the end of the source. A
// stop request is heard at every block, so a cancelled run does not wait for a
// multi-gigabyte .pst to finish.
constexpr size_t kCopyBlock = 64 * 1024;

constexpr std::streamoff kDbxTagOffset = 9409;
constexpr std::array<uint8_t, 11> kDbxTag = {'L', 'o', 'c', 'a', 'l', 'S', 't', 'o', 'r', 'e', 0};
constexpr uint32_t kDbxSignature = 0xFE12ADCF;
constexpr uint32_t kDbxSecondSignature = 0x6F74FDC5;
constexpr std::streamoff kDbxResultOffset = 196;
constexpr std::array<uint8_t, 4> kPstSignature = {'!', 'B', 'D', 'N'};

constexpr const char* kCrLf = "\r\n";
constexpr const char* kSeparator = "-------------------------------------------";

// True when `output` exists and is the same file as `source`, however it is reached
// (the same path, a symlink, a hard link): the store itself is never replaced.
bool isSameFile(const fs::path& source, const fs::path& output) {
  std::error_code ec;
  if (!fs::exists(output, ec)) return false;
  const bool same = fs::equivalent(source, output, ec);
  return !ec && same;
}

// Reads n bytes at offset of the source; false when they are not all there.
bool readAt(std::ifstream& in, std::streamoff offset, uint8_t* out, size_t n) {
  in.clear();
  in.seekg(offset);
  in.read(reinterpret_cast<char*>(out), std::streamsize(n));
  return in.gcount() == std::streamsize(n);
}

// The store copied into the output's folder under a temporary name, its first bytes
// replaced by `head`, then renamed into place: a failed or stopped copy leaves nothing
// under the output's name, and whatever was there stays until the copy is whole.
bool writeRepairedCopy(std::ifstream& in, const fs::path& output, std::span<const uint8_t> head, const StopFlag* stop) {
  if (!checkWriteTarget(output)) return false;
  auto dir = OutputDir::openRoot(output.has_parent_path() ? output.parent_path() : fs::path("."), false);
  if (!dir) return false;
  auto file = OutputFile::create(*dir, output.filename().string());
  if (!file) return false;
  (*file)->skipHash();
  (*file)->watch(stop);
  in.clear();
  in.seekg(0);
  std::vector<uint8_t> block(kCopyBlock);
  for (size_t blocks = 1;; ++blocks) {
    in.read(reinterpret_cast<char*>(block.data()), std::streamsize(block.size()));
    const size_t got = size_t(in.gcount());
    if (in.bad()) return false;
    size_t length = got;
    if (blocks == 1) {
      // The signature goes in even when the store is shorter than it.
      length = std::max(got, head.size());
      std::copy(head.begin(), head.end(), block.begin());
    }
    if (length != 0 && !(*file)->write(block.data(), length)) return false;
    if (got < block.size()) break;
  }
  return (*file)->commit(Replace::Allowed).has_value();
}

// The source, when it can be read as a regular file that is not the output itself.
bool openSource(const fs::path& source, const fs::path& output, std::ifstream& in) {
  std::error_code ec;
  if (isSameFile(source, output) || !fs::is_regular_file(source, ec)) return false;
  in.open(source, std::ios::binary);
  return bool(in);
}

}  // namespace

int64_t repairDbx(const fs::path& source, const fs::path& output, const StopFlag* stop) {
  std::ifstream in;
  if (!openSource(source, output, in)) return kMailRepairFailed;
  std::array<uint8_t, kDbxTag.size()> tag{};
  const bool supported = readAt(in, kDbxTagOffset, tag.data(), tag.size()) && tag == kDbxTag;
  std::array<uint8_t, 4> word{};
  // The signatures lie before 196, so the copy's word there is the source's.
  if (supported && !readAt(in, kDbxResultOffset, word.data(), word.size())) return kMailRepairFailed;
  std::array<uint8_t, 8> signatures{};
  putLe32(signatures.data(), kDbxSignature);
  putLe32(signatures.data() + 4, kDbxSecondSignature);
  // Not a supported folder file: the unchanged copy stays.
  const std::span<const uint8_t> head = supported ? std::span<const uint8_t>(signatures) : std::span<const uint8_t>();
  if (!writeRepairedCopy(in, output, head, stop)) return kMailRepairFailed;
  return supported ? int64_t(le32(word.data())) : kMailUnsupportedFormat;
}

int64_t repairPst(const fs::path& source, const fs::path& output, const StopFlag* stop) {
  std::ifstream in;
  if (!openSource(source, output, in)) return kMailRepairFailed;
  return writeRepairedCopy(in, output, kPstSignature, stop) ? 0 : kMailRepairFailed;
}

fs::path mailRepairTarget(const fs::path& source, const fs::path& outDir) { return outDir / source.filename(); }

MailRepairReport runMailRepair(const MailRepairRequest& request, const OverwriteQuestion& ask, const StopFlag& stop,
                               Progress* progress) {
  MailRepairReport report;
  bool askBeforeOverwriting = true;
  if (progress) {
    progress->foundTotal.store(request.files.size());
    progress->foundCurrent.store(0);
  }
  for (size_t i = 0; i < request.files.size(); ++i) {
    if (!stop.isSet()) {
      report.cancelled = true;
      break;
    }
    const fs::path& source = request.files[i];
    const fs::path target = mailRepairTarget(source, request.outDir);
    if (progress) progress->setStatus(source.string());

    std::error_code ec;
    // A folder in the way (or no file name at all) cannot be replaced: fail without asking.
    const bool blocked = source.filename().empty() || fs::is_directory(target, ec);
    const bool exists = !blocked && fs::exists(target, ec);
    // Replacing the source itself is refused by the repair; asking first would be moot.
    if (exists && askBeforeOverwriting && !isSameFile(source, target)) {
      const OverwriteChoice choice = ask ? ask(target.string()) : OverwriteChoice::No;
      if (choice == OverwriteChoice::Cancel) {
        report.cancelled = true;
        break;
      }
      if (choice == OverwriteChoice::No) {
        ++report.skipped;
        if (progress) progress->foundCurrent.store(i + 1);
        continue;
      }
      if (choice == OverwriteChoice::YesToAll) askBeforeOverwriting = false;
    }

    int64_t result = kMailRepairFailed;
    if (!blocked)
      result = request.kind == MailStoreKind::OutlookExpress ? repairDbx(source, target, &stop)
                                                             : repairPst(source, target, &stop);
    report.text += "Selected file: " + source.filename().string() + kCrLf;
    if (result == kMailUnsupportedFormat) {
      report.text += std::string("Unsupported format") + kCrLf;
      ++report.unsupported;
    } else if (result == kMailRepairFailed) {
      report.text += std::string("Repair failed") + kCrLf;
      ++report.failed;
    } else {
      report.text += std::string("Repaired") + kCrLf;
      ++report.repaired;
    }
    report.text += std::string(kSeparator) + kCrLf;
    if (progress) progress->foundCurrent.store(i + 1);
    if (request.onReport) request.onReport(report.text);
  }
  return report;
}

}  // namespace velk
