#pragma once
// RecoveryPage: the workspace where one volume is scanned, its findings browsed, filtered,
// previewed and copied out. One generic page; the four variants differ in their engine,
// their tree and list rules and their messages (FatRecoveryPage, NtfsRecoveryPage,
// ExtRecoveryPage, RawRecoveryPage).
//
// Threads: each long job (ScanWorker, ThumbnailWorker, RecoveryWorker) runs on a worker
// owned by the page behind the modal ProgressDialog. Workers never touch widgets: the
// engine writes into the ResultTree, whose observer copies each new folder into a queue
// that the UI thread drains in batches (the tree fills while the scan runs); when the
// worker has ended the page mirrors the model whole. Questions to the user (overwrite)
// are asked on the UI thread while the worker waits.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>
#include <wx/dialog.h>
#include <wx/timer.h>

#include "app/page.h"
#include "workspace/engine.h"
#include "workspace/file_list_model.h"
#include "workspace/recovery_job.h"
#include "workspace/result_tree.h"

class wxCheckBox;

namespace velk::ui {

class SkinButton;
class SplitPane;
class ProgressDialog;
class NoticeBar;
struct LiveChange;

// The shell's folder browser, behind an interface so tests can answer it.
class FolderChooser {
 public:
  virtual ~FolderChooser() = default;
  // False when the user cancelled.
  virtual bool choose(wxWindow* parent, wxString& path) = 0;
};
// nullptr restores the folder browser.
void setFolderChooser(std::shared_ptr<FolderChooser> chooser);

// How a page gets its engine (tests substitute engines; normally openEngine).
using EngineOpener = std::function<Result<std::unique_ptr<RecoveryEngine>>(const PartitionRecord&, Task)>;
void setEngineOpener(EngineOpener opener);

class RecoveryPage : public Page {
 public:
  static constexpr int kStartTimer = 1000;
  static constexpr int kViewIcons = 32773, kViewDetails = 32774;
  static constexpr int kPane = 1030, kFilterBox = 1031, kFilterButton = 1032, kViewModeButton = 1033,
                       kBackButton = 1034, kNextButton = 1035, kRecoveryButton = 1036, kSaveResultsButton = 1037;
  static const wxRect kFolderTotalsRect;   // 1039
  static const wxRect kCheckedTotalsRect;  // 10310

  RecoveryPage(HomeView* host, int taskId, Variant variant);
  ~RecoveryPage() override;

  Variant variant() const { return m_variant; }

  // Timer 1000: starts the scan and returns when it has ended or was cancelled.
  void startScan();
  // Shows what an earlier scan found (a saved scan) instead of scanning: the page takes the
  // tree and the engine that previews and recovers its files. False, and nothing taken,
  // when the tree is of another family than the page or the page has scanned already.
  bool showResults(std::unique_ptr<ResultTree> results, std::unique_ptr<RecoveryEngine> engine,
                   const ScanOptions& options);
  bool scanStarted() const { return m_scanStarted; }
  // Why the last scan ended early (nullopt: it did not).
  const std::optional<Error>& scanResult() const { return m_scanError; }
  bool busy() const { return m_busy; }

  // Commands of the page.
  void setFilterEnabled(bool on);  // 1031
  bool openFilter();               // 1032; true on OK
  void showViewMenu();             // 1033
  void setDetailsMode();           // 32774
  void setIconsMode();             // 32773
  void recover();                  // 1036
  // "Save results…": asks for a file and keeps what the scan found in it (1037).
  void saveResults();
  // Writes the scan's results to `file`; a failure is said in one sentence and returned.
  Status saveResultsTo(const wxString& file);
  void cancelJob();                // WM_PAGE_CANCEL

  // Views.
  void selectFolder(FolderItem* folder);
  void checkFolder(FolderItem* folder, bool checked);
  void checkRow(long row, bool checked);
  void sortColumn(int column);
  // Double click on a row: the image window or the dump (nothing when unreadable).
  void preview(long row);
  // The preview window of a row, not shown (nullptr when there is nothing to show).
  wxDialog* createPreview(long row);
  long selectedRow() const;

  int viewMode() const { return m_viewMode; }
  Totals folderTotals() const { return m_folderTotals; }
  Totals checkedTotals() const { return m_checkedTotals; }
  wxString folderTotalsLine() const;
  wxString checkedTotalsLine() const;

  ResultTree& results() { return *m_results; }
  FileListModel& model() { return m_model; }
  FileFilter& filter() { return m_filter; }
  RecoveryEngine* engine() const { return m_engine.get(); }
  SplitPane* pane() const { return m_pane; }
  ProgressDialog* progressDialog() const { return m_progress; }
  wxCheckBox* filterBox() const { return m_filterBox; }
  NoticeBar* notice() const { return m_notice; }
  // Folders the live tree took while the last scan ran (tests, the latency bench).
  uint64_t liveFoldersShown() const { return m_liveFolders; }
  SkinButton* filterButton() const { return m_filterButton; }
  SkinButton* recoveryButton() const { return m_recoveryButton; }
  SkinButton* saveResultsButton() const { return m_saveButton; }
  const RecoveryReport& lastReport() const { return m_report; }
  // Milliseconds the last list refill took (model and control).
  double lastFillMs() const { return m_lastFillMs; }

 private:
  void createControls();
  // After a scan or showResults: the tree, the list, the totals and the notice.
  void showFindings();
  void onPaint(wxPaintEvent&);
  // Runs work on the page's worker behind the modal progress dialog.
  void runJob(const wxString& title, int mode, std::function<void()> work);
  void refreshInCurrentMode();
  void refillList();
  void updateCheckedTotals();
  void buildThumbnails();
  OverwriteChoice askOverwrite(const std::string& fileName);
  bool readRecord(const FileRecord& record, std::vector<uint8_t>& data, size_t limit);
  void showMessage(const wxString& text, const wxString& caption, long style);
  // Live results: the observer (worker thread) and the drain (UI thread).
  void observeScan(bool on);
  void drainLive();

  Variant m_variant;
  int m_viewMode = kViewDetails;
  FileFilter m_filter = FileFilter::withToday();
  std::unique_ptr<ResultTree> m_results;
  FileListModel m_model;
  Totals m_folderTotals, m_checkedTotals;
  RecoveryReport m_report;
  ScanOptions m_options;  // what the results were found with (kept by Save results)
  std::optional<Error> m_scanError;
  bool m_scanStarted = false;
  bool m_busy = false;
  double m_lastFillMs = 0;

  SplitPane* m_pane = nullptr;
  wxCheckBox* m_filterBox = nullptr;
  NoticeBar* m_notice = nullptr;
  SkinButton* m_filterButton = nullptr;
  SkinButton* m_viewButton = nullptr;
  SkinButton* m_backButton = nullptr;
  SkinButton* m_nextButton = nullptr;
  SkinButton* m_recoveryButton = nullptr;
  SkinButton* m_saveButton = nullptr;
  ProgressDialog* m_progress = nullptr;
  wxTimer m_startTimer;

  // Shared with the worker.
  JobFlag m_jobFlag;
  std::atomic<bool> m_cancelled{false};
  std::atomic<RecoveryEngine*> m_liveEngine{nullptr};
  std::unique_ptr<RecoveryEngine> m_engine;
  std::mutex m_askMutex;
  std::condition_variable m_askAnswered;
  std::mutex m_liveMutex;
  std::vector<LiveChange> m_liveQueue;
  bool m_liveDrainPending = false;
  bool m_liveActive = false;  // UI thread only
  std::atomic<uint64_t> m_liveFiles{0}, m_liveBytes{0};
  uint64_t m_liveFolders = 0;
  // Declared last: joined first when the page goes.
  std::jthread m_worker;
};

class FatRecoveryPage : public RecoveryPage {
 public:
  FatRecoveryPage(HomeView* host, int taskId) : RecoveryPage(host, taskId, Variant::Fat) {}
};
class NtfsRecoveryPage : public RecoveryPage {
 public:
  NtfsRecoveryPage(HomeView* host, int taskId) : RecoveryPage(host, taskId, Variant::Ntfs) {}
};
class ExtRecoveryPage : public RecoveryPage {
 public:
  ExtRecoveryPage(HomeView* host, int taskId) : RecoveryPage(host, taskId, Variant::Ext) {}
};
class RawRecoveryPage : public RecoveryPage {
 public:
  RawRecoveryPage(HomeView* host, int taskId) : RecoveryPage(host, taskId, Variant::Raw) {}
};

void registerRecoveryPages();

}  // namespace velk::ui
