#include "workspace/recovery_job.h"

#include <memory>
#include <system_error>

#include "support/text.h"
#include "workspace/variant_policy.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxComponentBytes = 255;

// A name with a double quote among its first three characters is never written.
bool passesQuoteRule(const std::string& name) {
  for (size_t i = 0; i < 3 && i < name.size(); ++i)
    if (name[i] == '"') return false;
  return true;
}

void appendChecked(std::vector<FileRecord*>& out, const FolderItem& folder) {
  for (FileRecord* r : folder.files)
    if (r && r->checked) out.push_back(r);
}

void depthFirst(std::vector<FileRecord*>& out, const FolderItem& folder) {
  appendChecked(out, folder);
  for (const auto& c : folder.children) depthFirst(out, *c);
}

// Whether path lies inside (or is) base, compared on normalised lexical forms.
bool isInside(const fs::path& path, const fs::path& base) {
  auto p = path.lexically_normal(), b = base.lexically_normal();
  auto bi = b.begin(), pi = p.begin();
  for (; bi != b.end(); ++bi, ++pi) {
    if (bi->empty()) continue;  // trailing separator
    if (pi == p.end() || *pi != *bi) return false;
  }
  return true;
}

// The line that reports a failed file, and why when that is known.
std::string failureLine(const char* prefix, const std::string& name, const Error* cause = nullptr) {
  std::string line = std::string(prefix) + name + "'.";
  if (cause) line += " " + describe(*cause);
  return line + "\n";
}

}  // namespace

std::string safeComponent(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    uint8_t u = uint8_t(c);
    out += (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) ? '_' : c;
  }
  out = codepageText(out);
  if (out.empty() || out == "." || out == "..") return "_";
  if (out.size() > kMaxComponentBytes) {
    std::string_view ext = extensionOf(out);
    // Keep the extension when it is short enough to leave room for a stem.
    if (!ext.empty() && ext.size() + 1 < kMaxComponentBytes / 2) {
      std::string tail = "." + std::string(ext);
      out = cutUtf8(out, kMaxComponentBytes - tail.size()) + tail;
    } else {
      out = cutUtf8(out, kMaxComponentBytes);
    }
  }
  return out;
}

std::vector<FileRecord*> checkedRecords(const ResultTree& tree) {
  std::lock_guard lock(tree.mutex());
  std::vector<FileRecord*> out;
  FolderItem* root = tree.roots().empty() ? nullptr : tree.roots().front().get();
  if (!root) return out;
  switch (policyOf(tree.variant()).walk) {
    case WalkOrder::CheckedFoldersBreadthFirst: {
      // Breadth first; a folder is visited only when it is checked itself.
      std::vector<const FolderItem*> queue{root};
      for (size_t i = 0; i < queue.size(); ++i) {
        const FolderItem* f = queue[i];
        if (!f->checked) continue;
        for (const auto& c : f->children) queue.push_back(c.get());
        appendChecked(out, *f);
      }
      break;
    }
    case WalkOrder::DepthFirst:
      for (const auto& r : tree.roots()) depthFirst(out, *r);
      break;
    case WalkOrder::FirstFolder:
      if (!root->children.empty()) appendChecked(out, *root->children.front());
      else appendChecked(out, *root);
      break;
  }
  return out;
}

fs::path recoveryTarget(const ResultTree& tree, const FileRecord& record, const fs::path& outputFolder) {
  fs::path target = outputFolder;
  switch (policyOf(tree.variant()).layout) {
    case OutputLayout::TreePath:
      if (const FolderItem* f = tree.folderOf(&record)) {
        std::lock_guard lock(tree.mutex());
        for (const auto& part : f->pathBelowRoot()) target /= safeComponent(part);
      }
      break;
    case OutputLayout::RecordFolders:
      for (const auto& part : record.recordFolders()) target /= safeComponent(part);
      break;
    case OutputLayout::ByExtension: {
      std::string_view ext = textAfterFirstDot(record.name);
      if (!ext.empty()) target /= safeComponent(ext);
      break;
    }
    case OutputLayout::Flat:
      break;
  }
  target /= safeComponent(record.name);
  if (!isInside(target, outputFolder) || target.lexically_normal() == outputFolder.lexically_normal()) return {};
  return target;
}

RecoveryReport runRecovery(const ResultTree& tree, RecoveryEngine& engine, const RecoveryRequest& request,
                           JobFlag& jobFlag, Progress& progress) {
  RecoveryReport report;
  // A cancel also ends the file being copied, not only the run between files.
  engine.setExtractStop(&jobFlag);
  struct StopReset {
    RecoveryEngine& engine;
    ~StopReset() { engine.setExtractStop(nullptr); }
  } stopReset{engine};
  std::vector<FileRecord*> files = request.selection.empty() ? checkedRecords(tree) : request.selection;
  const char* writeFailure = policyOf(tree.variant()).writeFailure;
  bool ask = true;

  progress.foundTotal.store(files.size());
  progress.foundCurrent.store(0);
  progress.setStatus("Recoverying Files : 0");
  // The folder the last file went to: files come folder by folder, and asking the file
  // system about the same folder for each of them cost a system call per file.
  fs::path madeFolder;

  for (size_t i = 0; i < files.size(); ++i) {
    if (!jobFlag.isSet()) {
      report.cancelled = true;
      break;
    }
    const FileRecord& record = *files[i];
    progress.foundCurrent.store(i);
    if (!passesQuoteRule(record.name)) {
      ++report.skipped;
      continue;
    }
    progress.setStatus("Recoverying Files : " + record.name);

    fs::path target = recoveryTarget(tree, record, request.outputFolder);
    std::error_code ec;
    if (target.empty() ||
        (target.parent_path() != madeFolder && (fs::create_directories(target.parent_path(), ec), ec))) {
      report.errorText += failureLine("Can not create file '", record.name);
      ++report.failed;
      continue;
    }
    madeFolder = target.parent_path();
    // The name's own status: a link there (even a dangling one) is an existing file, and
    // writing through it would land outside the output folder.
    const fs::file_status status = fs::symlink_status(target, ec);
    if (fs::exists(status)) {
      if (fs::is_directory(status)) {
        report.errorText += failureLine("Can not create file '", record.name);
        ++report.failed;
        continue;
      }
      OverwriteChoice choice = OverwriteChoice::No;
      if (!ask) choice = OverwriteChoice::Yes;
      else if (request.ask) choice = request.ask(target.filename().string());
      if (choice == OverwriteChoice::Cancel) {
        jobFlag.clear();
        report.cancelled = true;
        break;
      }
      if (choice == OverwriteChoice::No) {
        ++report.skipped;
        continue;
      }
      if (choice == OverwriteChoice::YesToAll) ask = false;
      // Replacing a link replaces the link, never what it points to.
      if (fs::is_symlink(status) && !fs::remove(target, ec)) {
        report.errorText += failureLine("Can not create file '", record.name);
        ++report.failed;
        continue;
      }
    }

    FileSink sink;
    if (int opened = sink.open(target); opened != 0) {
      const Error cause = ioError("creating '" + target.filename().string() + "'", opened);
      report.errorText += failureLine("Can not create file '", record.name, &cause);
      ++report.failed;
      continue;
    }
    Status extracted = engine.extract(record, sink);
    const bool closed = sink.close();
    if (extracted && !closed) extracted = fail(outputError(sink));
    if (!extracted && extracted.error().is(ErrorKind::Cancelled)) {
      report.cancelled = true;
      break;
    }
    if (!extracted) {
      report.errorText += failureLine(writeFailure, record.name, &extracted.error());
      ++report.failed;
      continue;
    }
    ++report.recovered;
    report.written.push_back(target);
    if (files[i]->verdict == Verdict::Unverified && request.verify)
      files[i]->verdict = request.verify(target, record.name);
    switch (files[i]->verdict) {
      case Verdict::Verified: ++report.verified; break;
      case Verdict::Damaged: ++report.damaged; break;
      case Verdict::Unverified: ++report.unverified; break;
    }
  }
  progress.foundCurrent.store(report.recovered + report.failed + report.skipped);
  return report;
}

}  // namespace velk
