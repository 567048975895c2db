#pragma once
// The partition recovery page: a disk combo, the backup list (automatic scan, backup files,
// "Add backup file..."), the candidate list and the disk map. Scanning, loading, writing
// backups and the table rewrite are the core's (PartitionRecovery); the page shows its
// state and turns results into message boxes. Everything runs on the UI thread: the scan
// reads one sector per gap and the rewrite a handful of sectors.

#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <vector>
#include <wx/listctrl.h>
#include <wx/odcombo.h>
#include <wx/vlbox.h>

#include "app/page.h"
#include "disk/table_reread.h"
#include "partition/partition_recovery.h"
#include "workspace/progress.h"

namespace velk::ui {

class SkinButton;
class PartitionPage;

// The save and open dialogs of backup files, behind an interface so tests can answer them
// (GTK file dialogs cannot be driven from a modal hook).
class BackupFileDialogs {
 public:
  virtual ~BackupFileDialogs() = default;
  // A new backup's path, proposed in `folder` under `name`; false when cancelled.
  virtual bool chooseSaveFile(wxWindow* parent, const wxString& folder, const wxString& name, wxString& path) = 0;
  // An existing backup file; false when cancelled.
  virtual bool chooseOpenFile(wxWindow* parent, wxString& path) = 0;
};
// nullptr restores the file dialogs.
void setBackupFileDialogs(std::shared_ptr<BackupFileDialogs> dialogs);

// How the page makes the system see a rewritten table: the kernel re-read and the restart.
// Tests substitute both (a test never restarts the machine). Empty restores the defaults.
using TableRereader = std::function<TableRereadResult(int diskNumber)>;
using RestartRequest = std::function<bool()>;  // true when the system accepted the restart
void setTableRereader(TableRereader rereader);
void setRestartRequest(RestartRequest request);

// Disk combo (10600): one owner-drawn item per disk, each holding a copy of its record.
class DiskCombo : public wxOwnerDrawnComboBox {
 public:
  static constexpr int kFieldHeight = 34, kItemHeight = 21;
  DiskCombo(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size);
  void setDisks(const std::vector<DiskRecord>& disks);
  const DiskRecord* disk(int item) const;

 protected:
  void OnDrawItem(wxDC& dc, const wxRect& rect, int item, int flags) const override;
  void OnDrawBackground(wxDC& dc, const wxRect& rect, int item, int flags) const override;
  wxCoord OnMeasureItem(size_t item) const override;

 private:
  std::vector<DiskRecord> m_disks;
};

// Candidate list box (10601): one owner-drawn line per candidate, 25 pixels high.
class CandidateList : public wxVListBox {
 public:
  static constexpr int kItemHeight = 25;
  CandidateList(PartitionPage* page, wxWindowID id, const wxPoint& pos, const wxSize& size);
  void reload();

 protected:
  void OnDrawItem(wxDC& dc, const wxRect& rect, size_t n) const override;
  void OnDrawBackground(wxDC& dc, const wxRect& rect, size_t n) const override;
  wxCoord OnMeasureItem(size_t) const override { return kItemHeight; }

 private:
  PartitionPage* m_page;
};

// Disk map (10609): the selected disk's records as coloured boxes, and the selected
// candidate as a bar along the bottom.
class DiskMap : public wxWindow {
 public:
  DiskMap(PartitionPage* page, wxWindowID id, const wxRect& rect);
  void draw(wxDC& dc, const wxSize& size) const;
  // The map as it paints now (tests read its pixels).
  wxBitmap render() const;
  int paintCount() const { return m_paints; }

 private:
  PartitionPage* m_page;
  int m_paints = 0;
};

class ProgressDialog;

class PartitionPage : public Page {
 public:
  static constexpr int kOpenImage = 10611;
  // The deep scan's row of the backup list, right under the automatic scan's.
  static constexpr const char* kRowDeepScan = "  Deep Scan ...    ";
  static constexpr const char* kRowDeepScanNote = "(Looks inside every gap; takes longer)";
  static constexpr const char* kTitleDeepScan = "Scanning for lost partitions ...";
  static constexpr int kDiskCombo = 10600, kCandidateList = 10601, kBackupList = 10602, kBackButton = 10605,
                       kNextButton = 10606, kRecoveryButton = 10607, kBackupButton = 10608, kDiskMap = 10609;
  // What the page says after a rewrite when no restart is needed, or when it was refused.
  static constexpr const char* kTextNoRestartImage =
      "The partition has been recovered successfully. The disk is an image file, so no restart is needed.";
  static constexpr const char* kTextNoRestartReread =
      "The partition has been recovered successfully. The system has read the new partition table, so no "
      "restart is needed.";
  static constexpr const char* kTextRestartRefused =
      "The computer could not be restarted. Please restart it yourself to use the recovered partition.";

  PartitionPage(HomeView* host, int taskId);

  PartitionRecovery& model() { return m_model; }
  const PartitionRecovery& model() const { return m_model; }
  DiskCombo* diskCombo() const { return m_combo; }
  CandidateList* candidateList() const { return m_candidates; }
  wxListCtrl* backupList() const { return m_backups; }
  DiskMap* diskMap() const { return m_map; }
  SkinButton* recoveryButton() const { return m_recoveryButton; }
  SkinButton* backupButton() const { return m_backupButton; }
  SkinButton* backButton() const { return m_backButton; }
  SkinButton* nextButton() const { return m_nextButton; }
  SkinButton* openImageButton() const { return m_openImageButton; }
  ProgressDialog* progressDialog() const { return m_progress; }

  // Commands of the page, as its controls call them.
  void selectDisk(int index);          // disk combo selection
  void activateBackupRow(long row);    // double click in the backup list
  void selectCandidate(int index);     // candidate list selection (-1: none)
  void recover();                      // Recovery button
  void backup();                       // Backup button
  void deepScan();                     // the deep scan's row: on a worker, behind the progress dialog
  void openImage();                    // "Open disk image…"
  // After an image was attached: the disks again, the image's disk selected.
  void showAttachedImage();

  int selectedCandidate() const { return m_selectedCandidate; }
  const PartitionRecord* selectedCandidateRecord() const;
  // The last rewrite's result (tests: the undo file).
  const RewriteResult& lastRewrite() const { return m_lastRewrite; }

 private:
  void createControls();
  void fillDisks();
  void fillBackupList();
  // What a row of the backup list stands for: a row of the model's list, or the deep scan.
  struct ListRow {
    int modelRow = -1;
    bool deepScan = false;
  };
  std::vector<ListRow> m_listRows;
  void fillCandidates();
  void showCandidatesOrFailure(bool ok);
  void afterRecovered(int diskNumber);
  int message(const wxString& text, const wxString& caption, long style);
  void onPaint(wxPaintEvent&);

  PartitionRecovery m_model;
  int m_selectedCandidate = -1;
  RewriteResult m_lastRewrite;
  DiskCombo* m_combo = nullptr;
  CandidateList* m_candidates = nullptr;
  wxListCtrl* m_backups = nullptr;
  DiskMap* m_map = nullptr;
  SkinButton* m_backButton = nullptr;
  SkinButton* m_nextButton = nullptr;
  SkinButton* m_recoveryButton = nullptr;
  SkinButton* m_backupButton = nullptr;
  SkinButton* m_openImageButton = nullptr;
  ProgressDialog* m_progress = nullptr;
  StopFlag m_deepStop;
  // Declared last: joined first when the page goes.
  std::jthread m_worker;
};

void registerPartitionPage();

}  // namespace velk::ui
