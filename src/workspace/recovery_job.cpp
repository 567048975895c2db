#include "workspace/recovery_job.h"

#include <cerrno>
#include <ctime>
#include <map>
#include <set>

#include "disk/device.h"
#include "output/file_write.h"
#include "output/output_folder.h"
#include "support/text.h"
#include "workspace/variant_policy.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxComponentBytes = 255;
constexpr std::string_view kReportName = "report.xml";
constexpr uint64_t kMaxNumberedNames = 100000;

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

// The line that reports a failed file, and why when that is known.
std::string failureLine(const char* prefix, const std::string& name, const Error* cause = nullptr) {
  std::string line = std::string(prefix) + name + "'.";
  if (cause) line += " " + describe(*cause);
  return line + "\n";
}

// Passes bytes on up to a cap and refuses what lies beyond it, so the engine stops there.
class CappedSink final : public ByteSink {
 public:
  CappedSink(ByteSink& inner, uint64_t cap) : m_inner(inner), m_cap(cap) {}
  [[nodiscard]] bool write(const uint8_t* data, size_t n) override {
    const size_t room = size_t(std::min<uint64_t>(n, m_cap - m_written));
    return pass(m_inner.write(data, room), room) && (room == n || beyond());
  }
  [[nodiscard]] bool writeZeros(uint64_t n) override {
    const uint64_t room = std::min(n, m_cap - m_written);
    return pass(m_inner.writeZeros(room), room) && (room == n || beyond());
  }
  // The engine wanted to write past the cap (and everything up to it was written).
  bool reached() const { return m_reached; }

 private:
  bool pass(bool ok, uint64_t n) {
    if (!ok) {
      m_errno = m_inner.lastErrno();
      return false;
    }
    m_written += n;
    return true;
  }
  bool beyond() {
    m_reached = true;
    m_errno = EFBIG;
    return false;
  }
  ByteSink& m_inner;
  uint64_t m_cap;
  bool m_reached = false;
};

// Bytes of the plan's first `cap` that take room on the output (holes do not).
uint64_t storedBytes(const ExtractionPlan& plan, uint64_t cap) {
  uint64_t bytes = 0, at = 0;
  for (const PlanPiece& p : plan.pieces) {
    if (at >= cap) break;
    if (p.kind != PlanPiece::Kind::Zeros) bytes += std::min(p.length, cap - at);
    at += p.length;
  }
  return bytes;
}

// The runs the first `written` bytes of the file were read from.
std::vector<ByteRun> runsWithin(std::vector<ByteRun> runs, uint64_t written) {
  std::erase_if(runs, [&](const ByteRun& r) { return r.fileOffset >= written; });
  for (ByteRun& r : runs) r.length = std::min(r.length, written - r.fileOffset);
  return runs;
}

// One recovery, file by file. The folder files go into stays open while files come
// folder by folder; the names this run wrote are remembered per folder.
class RecoveryRun {
 public:
  RecoveryRun(const ResultTree& tree, RecoveryEngine& engine, const RecoveryRequest& request, JobFlag& jobFlag,
              RecoveryReport& report)
      : m_tree(tree), m_engine(engine), m_request(request), m_jobFlag(jobFlag), m_report(report),
        m_writeFailure(policyOf(tree.variant()).writeFailure) {}

  bool open() {
    Status allowed = checkWriteTarget(m_request.outputFolder, m_request.examined);
    auto root = allowed ? OutputDir::openRoot(m_request.outputFolder) : Result<OutputDir>(fail(allowed.error()));
    if (!root) {
      m_report.refused = root.error();
      m_report.errorText = describe(root.error()) + "\n";
      return false;
    }
    m_root = std::move(*root);
    return true;
  }

  // False when the job stops (cancelled).
  bool recover(FileRecord& record) {
    if (!passesQuoteRule(record.name)) return skip(record.name);
    const RecoveryPlace place = recoveryPlace(m_tree, record);
    auto dir = enter(place.folders);
    if (!dir) return failed("Can not create file '", record, dir.error());
    auto& taken = m_taken[(*dir)->identity()];

    // Distinct files of this run never share a name; a file that was there before the run
    // is replaced only when the question says so.
    std::string name = place.name;
    Replace replace = Replace::Never;
    const EntryKind existing = (*dir)->entry(name);
    if (taken.count(name) || existing == EntryKind::Folder || existing == EntryKind::Other) {
      name = freeName(**dir, name, taken);
      if (name.empty()) return failed("Can not create file '", record, usageError("no free name is left for it"));
    } else if (existing != EntryKind::None) {
      OverwriteChoice choice = m_ask ? (m_request.ask ? m_request.ask(name) : OverwriteChoice::No) : OverwriteChoice::Yes;
      if (choice == OverwriteChoice::Cancel) return stop();
      if (choice == OverwriteChoice::No) return skip(record.name);
      if (choice == OverwriteChoice::YesToAll) m_ask = false;
      replace = Replace::Allowed;
    }
    return write(record, **dir, name, replace, taken);
  }

  bool stop() {
    m_jobFlag.clear();
    m_report.cancelled = true;
    return false;
  }

  void writeReport() {
    if (!m_request.writeReport || !m_root.isOpen()) return;
    ReportSource source = m_request.source;
    if (source.image.empty() && m_request.examined) {
      if (auto drive = DeviceNamespace::instance().drive(m_request.examined->drive)) {
        source.image = drive->displayName;
        source.imageSize = drive->size;
      }
      source.volumeOffset = m_request.examined->firstByte;
    }
    const std::string text = dfxmlText(source, m_report.files, std::time(nullptr));
    const ByteSpan bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    if (!m_request.reportFile.empty()) {
      if (Status written = writeFileAtomically(m_request.reportFile, bytes, Replace::Allowed); !written)
        m_report.errorText += "Can not write the report '" + m_request.reportFile.string() + "'. " +
                              describe(written.error()) + "\n";
      else m_report.reportPath = m_request.reportFile;
      return;
    }
    std::set<std::string> none;
    const std::string name = m_root.entry(std::string(kReportName)) == EntryKind::None
                                 ? std::string(kReportName)
                                 : freeName(m_root, std::string(kReportName), none);
    auto file = name.empty() ? Result<std::unique_ptr<OutputFile>>(fail(usageError("no free name is left")))
                             : OutputFile::create(m_root, name);
    Status written = file ? Status() : Status(fail(file.error()));
    if (written) {
      (*file)->skipHash();
      written = (*file)->write(bytes.data(), bytes.size()) ? (*file)->commit(Replace::Never) : fail((*file)->failure());
    }
    if (written) m_report.reportPath = m_root.path() / name;
    else m_report.errorText += "Can not write the report '" + name + "'. " + describe(written.error()) + "\n";
  }

 private:
  bool skip(const std::string& name) {
    ++m_report.skipped;
    m_report.skippedNames.push_back(name);
    return true;
  }

  bool failed(const char* prefix, const FileRecord& record, const Error& cause) {
    m_report.errorText += failureLine(prefix, record.name, &cause);
    ++m_report.failed;
    return true;
  }

  // The record's folder, opened one name at a time below the output folder.
  Result<const OutputDir*> enter(const std::vector<std::string>& folders) {
    if (folders.empty()) return &m_root;
    if (m_current.isOpen() && folders == m_currentFolders) return &m_current;
    m_current = OutputDir();
    OutputDir dir;
    const OutputDir* at = &m_root;
    for (const std::string& folder : folders) {
      auto next = at->child(folder);
      if (!next) return fail(next.error());
      dir = std::move(*next);
      at = &dir;
    }
    m_current = std::move(dir);
    m_currentFolders = folders;
    return &m_current;
  }

  static std::string freeName(const OutputDir& dir, const std::string& name, const std::set<std::string>& taken) {
    for (uint64_t n = 2; n < kMaxNumberedNames; ++n) {
      std::string candidate = numberedName(name, n);
      if (!taken.count(candidate) && dir.entry(candidate) == EntryKind::None) return candidate;
    }
    return {};
  }

  bool write(FileRecord& record, const OutputDir& dir, const std::string& name, Replace replace,
             std::set<std::string>& taken) {
    // What the file's own runs hold bounds what is written: a recorded size past them (or,
    // when the engine cannot tell its runs, past the volume) is reported and capped.
    auto plan = m_engine.extractionPlan(record);
    const uint64_t size = record.contentSize();
    uint64_t cap = size;
    if (plan) cap = std::min(cap, plan->size());
    else if (m_engine.volumeBytes()) cap = std::min(cap, m_engine.volumeBytes());
    const uint64_t need = plan ? storedBytes(*plan, cap) : cap;
    if (auto free = dir.freeBytes(); free && need > *free) {
      Error full = ioError("writing '" + name + "'", ENOSPC);
      full.detail = "no space left on the output (" + std::to_string(need) + " bytes needed, " + std::to_string(*free) +
                    " free)";
      return failed(m_writeFailure, record, full);
    }

    auto file = OutputFile::create(dir, name);
    if (!file) return failed("Can not create file '", record, file.error());
    (*file)->watch(&m_jobFlag);
    CappedSink sink(**file, cap);
    Status extracted = m_engine.extract(record, sink);
    const bool capped = cap < size && sink.written() == cap;
    if (!extracted && !m_jobFlag.isSet()) return interrupted(**file, dir);
    if (!extracted && !sink.reached() && !(capped && !extracted.error().is(ErrorKind::Io)))
      // A refusal of the output names the output file and its cause, not the engine's view.
      return keepFailed(**file, dir, record, (*file)->lastErrno() ? (*file)->failure() : extracted.error());
    if (Status committed = (*file)->commit(replace); !committed)
      return keepFailed(**file, dir, record, committed.error());

    taken.insert(name);
    const fs::path path = dir.path() / name;
    if (capped) {
      m_report.errorText += "'" + record.name + "': its recorded size of " + std::to_string(size) +
                            " bytes is more than its data can hold; written capped at " + std::to_string(cap) +
                            " bytes.\n";
      record.verdict = Verdict::Damaged;
    } else if (record.verdict == Verdict::Unverified && m_request.verify) {
      record.verdict = m_request.verify(path, record.name);
    }
    ++m_report.recovered;
    switch (record.verdict) {
      case Verdict::Verified: ++m_report.verified; break;
      case Verdict::Damaged: ++m_report.damaged; break;
      case Verdict::Unverified: ++m_report.unverified; break;
    }
    m_report.written.push_back(path);
    ReportedFile reported{record.id, path.lexically_relative(m_root.path()).generic_string(), (*file)->written(),
                          (*file)->sha256(), std::string(verdictName(record.verdict)), record.deleted, false, {}};
    if (plan) {
      reported.runs = runsWithin(byteRunsOf(*plan), reported.size);
      reported.runsKnown = true;
    }
    m_report.files.push_back(std::move(reported));
    return true;
  }

  // A stop request ended the file in hand: it is not left under its name.
  bool interrupted(OutputFile& file, const OutputDir& dir) {
    keepIfAsked(file, dir);
    return stop();
  }

  bool keepFailed(OutputFile& file, const OutputDir& dir, const FileRecord& record, const Error& cause) {
    failed(m_writeFailure, record, cause);
    if (const auto kept = keepIfAsked(file, dir))
      m_report.errorText += "  What was written is kept as '" + *kept + "'.\n";
    return true;
  }

  std::optional<std::string> keepIfAsked(OutputFile& file, const OutputDir& dir) {
    if (!m_request.keepPartial || file.written() == 0) return std::nullopt;
    auto kept = file.keepPartial();
    if (!kept) return std::nullopt;
    m_report.partial.push_back(dir.path() / *kept);
    return *kept;
  }

  const ResultTree& m_tree;
  RecoveryEngine& m_engine;
  const RecoveryRequest& m_request;
  JobFlag& m_jobFlag;
  RecoveryReport& m_report;
  const char* m_writeFailure;
  bool m_ask = true;
  OutputDir m_root;
  OutputDir m_current;
  std::vector<std::string> m_currentFolders;
  std::map<std::pair<uint64_t, uint64_t>, std::set<std::string>> m_taken;
};

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

RecoveryPlace recoveryPlace(const ResultTree& tree, const FileRecord& record) {
  RecoveryPlace place;
  switch (policyOf(tree.variant()).layout) {
    case OutputLayout::TreePath:
      if (const FolderItem* f = tree.folderOf(&record)) {
        std::lock_guard lock(tree.mutex());
        for (const auto& part : f->pathBelowRoot()) place.folders.push_back(safeComponent(part));
      }
      break;
    case OutputLayout::RecordFolders:
      for (const auto& part : record.recordFolders()) place.folders.push_back(safeComponent(part));
      break;
    case OutputLayout::ByExtension: {
      std::string_view ext = textAfterFirstDot(record.name);
      if (!ext.empty()) place.folders.push_back(safeComponent(ext));
      break;
    }
    case OutputLayout::Flat:
      break;
  }
  place.name = safeComponent(record.name);
  return place;
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
  progress.foundTotal.store(files.size());
  progress.foundCurrent.store(0);
  progress.setStatus("Recoverying Files : 0");
  RecoveryRun run(tree, engine, request, jobFlag, report);
  if (!run.open()) return report;

  for (size_t i = 0; i < files.size(); ++i) {
    if (!jobFlag.isSet()) {
      report.cancelled = true;
      break;
    }
    progress.foundCurrent.store(i);
    progress.setStatus("Recoverying Files : " + files[i]->name);
    if (!run.recover(*files[i])) break;
  }
  progress.foundCurrent.store(report.recovered + report.failed + report.skipped);
  run.writeReport();
  return report;
}

}  // namespace velk
