#include "mail/mail_pages.h"

#include <optional>
#include <wx/dcbuffer.h>
#include <wx/dirdlg.h>
#include <wx/filedlg.h>
#include <wx/stdpaths.h>

#include "app/home_view.h"
#include "app/recovery_app.h"
#include "app/skin_button.h"
#include "support/text.h"
#include "workspace/overwrite_dialog.h"

namespace velk::ui {
namespace {

namespace fs = std::filesystem;

constexpr int kHeader = 213;
constexpr int kSelectionBody = 934, kReportBody = 935, kBannerArt = 932;

// Filters of the open dialogs of the two store kinds, in the Windows form ("text|pattern||").
constexpr const char* kDbxFilter = "Outlook Express files (*.dbx)|*.dbx||";
constexpr const char* kPstFilter = "Outlook files (*.pst)|*.pst||";

std::shared_ptr<MailFilePicker>& pickerSlot() {
  static std::shared_ptr<MailFilePicker> picker;
  return picker;
}
std::shared_ptr<FolderChooser>& folderSlot() {
  static std::shared_ptr<FolderChooser> chooser;
  return chooser;
}

wxString display(std::string_view s) { return wxString::FromUTF8(codepageText(s)); }

class StandardFilePicker final : public MailFilePicker {
 public:
  bool chooseFiles(wxWindow* parent, MailStoreKind kind, std::vector<wxString>& paths) override {
    wxString filter = kind == MailStoreKind::OutlookExpress ? kDbxFilter : kPstFilter;
    // wx reads the closing "||" of the Windows form as an empty pair; and names on Linux
    // keep their case, so the upper-case extension is offered too.
    while (filter.EndsWith("|")) filter.RemoveLast();
    const wxString ext = kind == MailStoreKind::OutlookExpress ? "dbx" : "pst";
    filter.Replace("|*." + ext, "|*." + ext + ";*." + ext.Upper());
    wxFileDialog dlg(parent, "Open", wxEmptyString, wxEmptyString, filter,
                     wxFD_OPEN | wxFD_MULTIPLE | wxFD_FILE_MUST_EXIST);
    if (dlg.ShowModal() != wxID_OK) return false;
    wxArrayString chosen;
    dlg.GetPaths(chosen);
    paths.assign(chosen.begin(), chosen.end());
    return true;
  }
};

class StandardFolderChooser final : public FolderChooser {
 public:
  bool choose(wxWindow* parent, wxString& path) override {
    wxDirDialog dlg(parent, "Current folder is:", path, wxDD_DEFAULT_STYLE | wxDD_DIR_MUST_EXIST);
    if (dlg.ShowModal() != wxID_OK) return false;
    path = dlg.GetPath();
    return true;
  }
};

MailFilePicker& filePicker() {
  static StandardFilePicker standard;
  return pickerSlot() ? *pickerSlot() : standard;
}
FolderChooser& folderChooser() {
  static StandardFolderChooser standard;
  return folderSlot() ? *folderSlot() : standard;
}

SkinButton* makeButton(wxWindow* parent, int id, const char* windowText, const wxRect& rect, int firstBitmap,
                       int body) {
  auto* b = new SkinButton(parent, id, windowText, rect.GetPosition(), rect.GetSize());
  b->SetBitmaps(firstBitmap, firstBitmap + 1, firstBitmap + 2, firstBitmap + 3);
  b->setBackdrop(body, wxPoint(rect.x, rect.y - 66));
  return b;
}

void addBanner(wxWindow* page) {
  // The banner of the mail pages; it does nothing when clicked.
  auto* banner = new SkinButton(page, MailSelectionPage::kBanner, "Properties", wxPoint(550, 0), wxSize(74, 44));
  banner->SetBitmaps(kBannerArt, kBannerArt, kBannerArt, kBannerArt);
  banner->setCaptionStyle(SkinButton::CaptionStyle::None);
  banner->setBackdrop(kHeader, wxPoint(550, 0));
  banner->SetCursor(wxNullCursor);
}

}  // namespace

void setMailFilePicker(std::shared_ptr<MailFilePicker> picker) { pickerSlot() = std::move(picker); }
void setMailFolderChooser(std::shared_ptr<FolderChooser> chooser) { folderSlot() = std::move(chooser); }

// ---- Selection pages ----

MailSelectionPage::MailSelectionPage(HomeView* host, int taskId, MailStoreKind kind)
    : Page(host, taskId, kind == MailStoreKind::Outlook ? kCommandOutlookRepair : kCommandOutlookExpressRepair),
      m_kind(kind) {
  SetName(kind == MailStoreKind::Outlook ? "OutlookRepairPage" : "OutlookExpressRepairPage");
  addBanner(this);
  m_list = new wxListCtrl(this, kFileList, wxPoint(12, 98), wxSize(472 - 12, 253 - 98),
                          wxLC_REPORT | wxLC_SINGLE_SEL | wxBORDER_THEME);
  m_list->SetName("MailFileList");
  m_list->AppendColumn("File", wxLIST_FORMAT_LEFT, 150);
  m_list->AppendColumn("Folder", wxLIST_FORMAT_LEFT, 180);
  // The buttons keep their historic window texts; the artwork carries what the user reads.
  auto* add = makeButton(this, kAddButton, "Property", wxRect(485, 98, 143, 25), 920, kSelectionBody);
  auto* remove = makeButton(this, kRemoveButton, "Cancel", wxRect(485, 130, 143, 25), 924, kSelectionBody);
  auto* browse = makeButton(this, kFolderButton, "Back", wxRect(487, 259, 143, 25), 928, kSelectionBody);
  m_folder = new wxTextCtrl(this, kFolderEdit, wxEmptyString, wxPoint(12, 259), wxSize(472 - 12, 25),
                            wxTE_READONLY | wxBORDER_THEME);
  auto* back = new SkinButton(this, kBackButton, "Back", wxPoint(554, 411), wxSize(91, 45));
  back->SetBitmaps(160, 159, 210, 160);
  m_next = new SkinButton(this, kNextButton, "Next", wxPoint(661, 411), wxSize(91, 45));
  m_next->SetBitmaps(162, 161, 209, 167);
  for (SkinButton* b : {back, m_next}) b->setBackdrop(kSelectionBody, wxPoint(b->GetPosition().x, b->GetPosition().y - 66));

  add->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { addFiles(); });
  remove->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { removeSelected(); });
  browse->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { chooseFolder(); });
  back->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { this->back(); });
  m_next->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { next(); });
  Bind(wxEVT_PAINT, &MailSelectionPage::onPaint, this);

  const AppState& app = wxGetApp().state();
  m_folder->SetValue(app.mailOutputFolder.empty() ? wxStandardPaths::Get().GetDocumentsDir()
                                                  : wxString::FromUTF8(app.mailOutputFolder));
  for (const std::string& f : app.mailFiles) appendFile(f);
  m_next->Enable(!m_files.empty());
}

int MailSelectionPage::command() const {
  return m_kind == MailStoreKind::Outlook ? kCommandOutlookRepair : kCommandOutlookExpressRepair;
}

void MailSelectionPage::appendFile(const std::string& path) {
  const fs::path p(path);
  const long row = m_list->InsertItem(m_list->GetItemCount(), display(p.filename().string()));
  m_list->SetItem(row, 1, display(p.parent_path().string()));
  m_files.push_back(path);
}

void MailSelectionPage::addFiles() {
  std::vector<wxString> chosen;
  if (!filePicker().chooseFiles(this, m_kind, chosen)) return;
  // The same file may be listed twice; it is then repaired twice.
  for (const wxString& path : chosen) appendFile(path.utf8_string());
  m_next->Enable(!m_files.empty());
}

void MailSelectionPage::removeSelected() {
  const long row = m_list->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED);
  if (row < 0 || size_t(row) >= m_files.size()) return;
  m_list->DeleteItem(row);
  m_files.erase(m_files.begin() + row);
  m_next->Enable(!m_files.empty());
}

void MailSelectionPage::chooseFolder() {
  wxString path = m_folder->GetValue();
  if (!folderChooser().choose(this, path) || path.empty()) return;
  m_folder->SetValue(path);
}

void MailSelectionPage::back() {
  wxGetApp().state().mailFiles.clear();
  requestSwitch(kCommandHome, 1);
}

void MailSelectionPage::next() {
  AppState& app = wxGetApp().state();
  app.mailStoreType = int(m_kind);
  app.mailOutputFolder = m_folder->GetValue().utf8_string();
  app.mailFiles = m_files;
  requestSwitch(kCommandMailReport, command());
}

void MailSelectionPage::onPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(this);
  const bool express = m_kind == MailStoreKind::OutlookExpress;
  paintHeader(dc, kSelectionBody, express ? "Outlook Express Repair" : "Outlook Repair",
              express ? "Add the .dbx files to repair and choose where the repaired copies go."
                       : "Add the .pst files to repair and choose where the repaired copies go.");
  wxFont bold = GetFont();
  bold.SetWeight(wxFONTWEIGHT_BOLD);
  dc.SetFont(bold);
  dc.SetTextForeground(kPageInk);
  dc.DrawText("Files to repair", 12, 78);
  dc.DrawText("How the repair works", 30, 324);
  dc.SetFont(GetFont());
  dc.SetTextForeground(kPageMuted);
  dc.DrawText("Repaired copies go to the folder above; the selected files are only read.", 12, 290);
  const wxString lines[] = {
      express ? "Each .dbx file is copied into the output folder and the copy's header words are"
              : "Each .pst file is copied into the output folder and the copy's file signature is",
      express ? "restored, so that Outlook Express opens the folder again. Press Next to start."
              : "restored, so that Outlook opens the personal folder again. Press Next to start.",
  };
  int y = 346;
  for (const wxString& line : lines) {
    dc.DrawText(line, 30, y);
    y += dc.GetCharHeight() + 4;
  }
}

// ---- Log page ----

// What the page shares with its worker. `page` is read and written on the UI thread only.
struct MailReportPage::Run {
  StopFlag stop;
  std::mutex mutex;
  std::condition_variable answered;
  MailReportPage* page = nullptr;
};

MailReportPage::MailReportPage(HomeView* host, int returnCommand)
    : Page(host, returnCommand, kCommandMailReport), m_startTimer(this, kStartTimer), m_run(std::make_shared<Run>()) {
  SetName("MailReportPage");
  m_run->page = this;
  addBanner(this);
  const wxSize client = GetClientSize();
  m_edit = new wxTextCtrl(this, kReportEdit, wxEmptyString, wxPoint(11, 95),
                          wxSize(client.x - 14 - 11, client.y - 65 - 95),
                          wxTE_MULTILINE | wxTE_READONLY | wxTE_DONTWRAP | wxVSCROLL | wxBORDER_THEME);
  m_edit->SetName("MailReport");
  wxFont mono(wxFontInfo(GetFont().GetPointSize()).Family(wxFONTFAMILY_TELETYPE));
  if (mono.IsOk()) m_edit->SetFont(mono);
  // Next sits where every page keeps it: the place first given to it would lie over Back.
  m_back = makeButton(this, kBackButton, "Back", wxRect(554, 411, 91, 45), 908, kReportBody);
  m_next = makeButton(this, kNextButton, "Next", wxRect(661, 411, 91, 45), 912, kReportBody);
  // Leaving while the run writes would stop it half-way: both wait for its end.
  m_back->Disable();
  m_next->Disable();
  m_back->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    const int target = taskId() == kCommandOutlookRepair || taskId() == kCommandOutlookExpressRepair ? taskId() : 0;
    if (target) requestSwitch(target, 0);
    else requestSwitch(kCommandHome, 1);
  });
  m_next->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { requestSwitch(kCommandHome, 1); });
  Bind(wxEVT_PAINT, &MailReportPage::onPaint, this);
  Bind(wxEVT_TIMER, [this](wxTimerEvent&) { startRun(); }, kStartTimer);
  m_startTimer.StartOnce(kStartDelayMs);
}

MailReportPage::~MailReportPage() {
  m_startTimer.Stop();
  // Late messages from the worker find no page; a worker waiting for an answer wakes and
  // takes Cancel; the repair stops at its next block.
  m_run->page = nullptr;
  m_run->stop.clear();
  {
    std::lock_guard lock(m_run->mutex);
    m_run->answered.notify_all();
  }
  if (m_worker.joinable()) m_worker.join();
}

void MailReportPage::startRun() {
  if (m_started) return;
  m_started = true;
  m_startTimer.Stop();
  const AppState& app = wxGetApp().state();
  MailRepairRequest request;
  request.kind = app.mailStoreType == int(MailStoreKind::OutlookExpress) ? MailStoreKind::OutlookExpress
                                                                        : MailStoreKind::Outlook;
  for (const std::string& f : app.mailFiles) request.files.emplace_back(f);
  request.outDir = fs::path(app.mailOutputFolder);
  std::shared_ptr<Run> run = m_run;
  request.onReport = [run](const std::string& text) {
    wxTheApp->CallAfter([run, text] {
      if (run->page) run->page->showReport(text);
    });
  };
  m_worker = std::jthread([run, request = std::move(request)] {
    // Asked on the UI thread while the worker waits; a stop request answers Cancel.
    OverwriteQuestion ask = [run](const std::string& target) {
      auto answer = std::make_shared<std::optional<OverwriteChoice>>();
      wxTheApp->CallAfter([run, answer, target] {
        OverwriteChoice choice = OverwriteChoice::Cancel;
        if (run->page && run->stop.isSet()) choice = run->page->askOverwrite(target);
        std::lock_guard lock(run->mutex);
        *answer = choice;
        run->answered.notify_all();
      });
      std::unique_lock lock(run->mutex);
      run->answered.wait(lock, [&] { return answer->has_value() || !run->stop.isSet(); });
      return answer->value_or(OverwriteChoice::Cancel);
    };
    MailRepairReport report = runMailRepair(request, ask, run->stop);
    wxTheApp->CallAfter([run, report] {
      if (run->page) run->page->finishRun(report);
    });
  });
  RefreshRect(wxRect(0, 0, GetClientSize().x, 66));
}

OverwriteChoice MailReportPage::askOverwrite(const std::string& target) {
  OverwriteDialog dlg(this, display(fs::path(target).filename().string()));
  dlg.ShowModal();
  return dlg.choice();
}

void MailReportPage::showReport(const std::string& text) {
  wxString shown = display(text);
  shown.Replace("\r\n", "\n");
  m_edit->ChangeValue(shown);
  m_edit->SetInsertionPointEnd();
  m_edit->ShowPosition(m_edit->GetLastPosition());
}

void MailReportPage::finishRun(const MailRepairReport& report) {
  m_report = report;
  m_finished = true;
  showReport(report.text);
  m_back->Enable();
  m_next->Enable();
  RefreshRect(wxRect(0, 0, GetClientSize().x, 66));
}

void MailReportPage::onPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(this);
  wxString status = "Getting ready to repair the selected files ...";
  if (m_finished) {
    status = m_report.cancelled ? wxString("The repair was stopped.")
                                : wxString::Format("Finished: %d repaired, %d unsupported, %d failed.",
                                                   m_report.repaired, m_report.unsupported, m_report.failed);
  } else if (m_started) {
    status = "Repairing the selected files ...";
  }
  paintHeader(dc, kReportBody, "Mail Repair Report", status);
  wxFont bold = GetFont();
  bold.SetWeight(wxFONTWEIGHT_BOLD);
  dc.SetFont(bold);
  dc.SetTextForeground(kPageInk);
  dc.DrawText("Report", 12, 75);
}

void addMailScreenshotSteps();

void registerMailPages() {
  static bool stepsAdded = false;
  if (!stepsAdded) {
    stepsAdded = true;
    addMailScreenshotSteps();
  }
  registerPage(PageKind::OutlookRepair,
               [](HomeView* host, int task) -> Page* { return new OutlookRepairPage(host, task); });
  registerPage(PageKind::OutlookExpressRepair,
               [](HomeView* host, int task) -> Page* { return new OutlookExpressRepairPage(host, task); });
  registerPage(PageKind::MailReport, [](HomeView* host, int task) -> Page* { return new MailReportPage(host, task); });
}

}  // namespace velk::ui
