#pragma once
// The mail repair pages: a selection page per store kind (Outlook personal folders .pst,
// Outlook Express folders .dbx) where the user lists the files and the output folder, and
// the log page that runs the repair and shows its report.
//
// Threads: the log page runs the repair (runMailRepair) on its own worker. The worker never
// touches the page: reports and the overwrite question travel to the UI thread through
// wxTheApp->CallAfter and a shared Run record whose page pointer the page clears when it
// goes; the page's destructor stops the run and joins the worker.

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <wx/listctrl.h>
#include <wx/textctrl.h>
#include <wx/timer.h>

#include "app/page.h"
#include "mail/mail_repair.h"
#include "workspace/recovery_page.h"

namespace velk::ui {

class SkinButton;

// The multi-select open dialog of mail files, behind an interface so tests can answer it.
class MailFilePicker {
 public:
  virtual ~MailFilePicker() = default;
  // Full paths of the chosen files; false when cancelled.
  virtual bool chooseFiles(wxWindow* parent, MailStoreKind kind, std::vector<wxString>& paths) = 0;
};
// nullptr restores the file dialog.
void setMailFilePicker(std::shared_ptr<MailFilePicker> picker);
// The output-folder browser of the selection pages; nullptr restores the folder browser.
void setMailFolderChooser(std::shared_ptr<FolderChooser> chooser);

class MailSelectionPage : public Page {
 public:
  static constexpr int kBanner = 10701, kFileList = 10704, kAddButton = 10705, kRemoveButton = 10706,
                       kFolderButton = 10707, kBackButton = 10710, kNextButton = 10711, kFolderEdit = 10714;

  MailSelectionPage(HomeView* host, int taskId, MailStoreKind kind);

  MailStoreKind kind() const { return m_kind; }
  // The page's own command: 107 for Outlook, 108 for Outlook Express.
  int command() const;

  // Commands of the page, as its buttons call them.
  void addFiles();        // 10705
  void removeSelected();  // 10706
  void chooseFolder();    // 10707
  void back();            // 10710
  void next();            // 10711

  wxListCtrl* fileList() const { return m_list; }
  wxTextCtrl* folderEdit() const { return m_folder; }
  SkinButton* nextButton() const { return m_next; }
  const std::vector<std::string>& files() const { return m_files; }

 private:
  void appendFile(const std::string& path);
  void onPaint(wxPaintEvent&);

  MailStoreKind m_kind;
  std::vector<std::string> m_files;  // full paths, one per list row
  wxListCtrl* m_list = nullptr;
  wxTextCtrl* m_folder = nullptr;
  SkinButton* m_next = nullptr;
};

class OutlookRepairPage : public MailSelectionPage {
 public:
  OutlookRepairPage(HomeView* host, int taskId) : MailSelectionPage(host, taskId, MailStoreKind::Outlook) {}
};
class OutlookExpressRepairPage : public MailSelectionPage {
 public:
  OutlookExpressRepairPage(HomeView* host, int taskId)
      : MailSelectionPage(host, taskId, MailStoreKind::OutlookExpress) {}
};

class MailReportPage : public Page {
 public:
  static constexpr int kStartTimer = 1001, kBanner = 10701, kBackButton = 10710, kNextButton = 10713,
                       kReportEdit = 10715;
  static constexpr int kStartDelayMs = 300;

  // `returnCommand` is the selection page that opened this one (107 or 108).
  MailReportPage(HomeView* host, int returnCommand);
  ~MailReportPage() override;

  // Timer 1001: starts the repair on the page's worker (once).
  void startRun();
  bool runStarted() const { return m_started; }
  bool finished() const { return m_finished; }
  // The finished run's report (its text keeps the CR LF line ends).
  const MailRepairReport& report() const { return m_report; }

  wxTextCtrl* reportEdit() const { return m_edit; }
  SkinButton* backButton() const { return m_back; }
  SkinButton* nextButton() const { return m_next; }

 private:
  struct Run;
  void showReport(const std::string& text);
  void finishRun(const MailRepairReport& report);
  OverwriteChoice askOverwrite(const std::string& target);
  void onPaint(wxPaintEvent&);

  MailRepairReport m_report;
  bool m_started = false;
  bool m_finished = false;
  wxTextCtrl* m_edit = nullptr;
  SkinButton* m_back = nullptr;
  SkinButton* m_next = nullptr;
  wxTimer m_startTimer;
  std::shared_ptr<Run> m_run;
  // Declared last: joined before anything the worker could reach goes.
  std::jthread m_worker;
};

void registerMailPages();

}  // namespace velk::ui
