// The mail repair pages under Xvfb: files are added and removed, the output folder chosen,
// the log page runs the repair on its worker and shows the report, the overwrite question
// reaches the user and its answer the run, and leaving the log page mid-run is safe.

#include <gtest/gtest.h>

#include <fstream>
#include <wx/stdpaths.h>

#include "app/home_view.h"
#include "app/main_frame.h"
#include "app/recovery_app.h"
#include "app/skin_button.h"
#include "mail/mail_pages.h"
#include "test_support.h"
#include "ui/ui_support.h"

namespace velk::test {
namespace {

namespace fs = std::filesystem;
using ui::MailReportPage;
using ui::MailSelectionPage;

constexpr const char* kSeparator = "-------------------------------------------\r\n";

// An Outlook Express folder file: "LocalStore" at 9409 makes it one the repair accepts.
void writeDbx(const fs::path& path, bool supported) {
  std::string bytes(supported ? 12000 : 3000, '\x5a');
  if (supported) bytes.replace(9409, 11, std::string("LocalStore\0", 11));
  std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

std::string head(const fs::path& path, size_t n) {
  std::string bytes(n, '\0');
  std::ifstream(path, std::ios::binary).read(bytes.data(), std::streamsize(n));
  return bytes;
}

class ScriptedPicker : public ui::MailFilePicker {
 public:
  bool chooseFiles(wxWindow*, MailStoreKind kind, std::vector<wxString>& paths) override {
    kinds.push_back(kind);
    if (next.empty()) return false;
    for (const auto& p : next) paths.push_back(wxString::FromUTF8(p.string()));
    next.clear();
    return true;
  }
  std::vector<fs::path> next;
  std::vector<MailStoreKind> kinds;
};

class MailPagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clearMailState();
    ui::setMailFilePicker(m_picker);
    ui::setMailFolderChooser(m_folder);
    fs::create_directories(m_dir.path() / "in");
    fs::create_directories(m_dir.path() / "out");
    frame = wxGetApp().createFrame();
    frame->Show();
  }
  void TearDown() override {
    frame->Destroy();
    wxTheApp->Yield(true);
    ui::setMailFilePicker(nullptr);
    ui::setMailFolderChooser(nullptr);
    clearMailState();
  }
  static void clearMailState() {
    AppState& app = wxGetApp().state();
    app.mailFiles.clear();
    app.mailOutputFolder.clear();
    app.mailStoreType = 0;
  }
  fs::path in(const std::string& name) const { return m_dir.path() / "in" / name; }
  fs::path out(const std::string& name = {}) const { return m_dir.path() / "out" / name; }

  template <typename T>
  T* current() {
    return dynamic_cast<T*>(frame->view()->currentPage());
  }
  template <typename T>
  T* switchTo(int command, int argument) {
    frame->view()->switchPage(command, argument);
    return current<T>();
  }
  void click(wxWindow* page, int id) {
    wxWindow* button = page->FindWindow(id);
    ASSERT_NE(button, nullptr) << id;
    wxCommandEvent e(wxEVT_BUTTON, id);
    e.SetEventObject(button);
    button->GetEventHandler()->ProcessEvent(e);
  }
  std::vector<std::string> column(wxListCtrl* list, int c) {
    std::vector<std::string> texts;
    for (long i = 0; i < list->GetItemCount(); ++i) texts.push_back(list->GetItemText(i, c).utf8_string());
    return texts;
  }
  // Next on a selection page, then the log page's run to its end.
  MailReportPage* runFrom(MailSelectionPage* page) {
    click(page, MailSelectionPage::kNextButton);
    EXPECT_TRUE(WaitFor([&] { return frame->view()->currentCommand() == kCommandMailReport; }));
    auto* log = current<MailReportPage>();
    if (!log) return nullptr;
    EXPECT_FALSE(log->runStarted());  // it starts from its timer
    EXPECT_FALSE(log->backButton()->IsEnabled());
    EXPECT_FALSE(log->nextButton()->IsEnabled());
    EXPECT_TRUE(WaitFor([&] { return log->finished(); }, 20000));
    return log;
  }

  ui::CMainFrame* frame = nullptr;
  DialogAnswerer dialogs;
  TempDir m_dir;
  std::shared_ptr<ScriptedPicker> m_picker = std::make_shared<ScriptedPicker>();
  std::shared_ptr<FixedFolder> m_folder = std::make_shared<FixedFolder>(fs::path());
};

TEST_F(MailPagesTest, OutlookExpressFilesAreListedRepairedAndReported) {
  writeDbx(in("Inbox.dbx"), true);
  writeDbx(in("Short.dbx"), false);
  auto* page = switchTo<MailSelectionPage>(kCommandOutlookExpressRepair, 0);
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->GetId(), kCommandOutlookExpressRepair);
  EXPECT_EQ(page->fileList()->GetItemCount(), 0);
  EXPECT_FALSE(page->nextButton()->IsEnabled());
  // The output folder was never set: the documents folder.
  EXPECT_EQ(page->folderEdit()->GetValue(), wxStandardPaths::Get().GetDocumentsDir());

  // Added files are listed by name and folder, duplicates too; a cancelled dialog adds none.
  click(page, MailSelectionPage::kAddButton);
  EXPECT_EQ(page->fileList()->GetItemCount(), 0);
  m_picker->next = {in("Inbox.dbx"), in("Short.dbx"), in("Inbox.dbx")};
  click(page, MailSelectionPage::kAddButton);
  EXPECT_EQ(m_picker->kinds, (std::vector<MailStoreKind>{MailStoreKind::OutlookExpress, MailStoreKind::OutlookExpress}));
  EXPECT_EQ(column(page->fileList(), 0), (std::vector<std::string>{"Inbox.dbx", "Short.dbx", "Inbox.dbx"}));
  EXPECT_EQ(column(page->fileList(), 1), std::vector<std::string>(3, (m_dir.path() / "in").string()));
  EXPECT_TRUE(page->nextButton()->IsEnabled());

  // Remove takes the selected row only.
  click(page, MailSelectionPage::kRemoveButton);
  EXPECT_EQ(page->fileList()->GetItemCount(), 3);
  page->fileList()->SetItemState(0, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
  click(page, MailSelectionPage::kRemoveButton);
  EXPECT_EQ(column(page->fileList(), 0), (std::vector<std::string>{"Short.dbx", "Inbox.dbx"}));

  // The folder browser's answer goes into the read-only edit.
  m_folder->path = out();
  click(page, MailSelectionPage::kFolderButton);
  EXPECT_EQ(page->folderEdit()->GetValue().utf8_string(), out().string());

  MailReportPage* log = runFrom(page);
  ASSERT_NE(log, nullptr);
  const AppState& app = wxGetApp().state();
  EXPECT_EQ(app.mailStoreType, 1);
  EXPECT_EQ(fs::path(app.mailOutputFolder), out());
  EXPECT_EQ(app.mailFiles, (std::vector<std::string>{in("Short.dbx").string(), in("Inbox.dbx").string()}));
  EXPECT_EQ(log->taskId(), kCommandOutlookExpressRepair);
  const std::string expected = std::string("Selected file: Short.dbx\r\nUnsupported format\r\n") + kSeparator +
                               "Selected file: Inbox.dbx\r\nRepaired\r\n" + kSeparator;
  EXPECT_EQ(log->report().text, expected);
  wxString shown = wxString::FromUTF8(expected);
  shown.Replace("\r\n", "\n");
  EXPECT_EQ(log->reportEdit()->GetValue(), shown);
  EXPECT_TRUE(log->backButton()->IsEnabled());
  EXPECT_TRUE(log->nextButton()->IsEnabled());
  // The copy carries the signature words; the source is only read.
  EXPECT_EQ(head(out("Inbox.dbx"), 8), std::string("\xCF\xAD\x12\xFE\xC5\xFD\x74\x6F", 8));
  EXPECT_EQ(head(in("Inbox.dbx"), 8), std::string(8, '\x5a'));
  EXPECT_EQ(fs::file_size(out("Short.dbx")), 3000u);

  // Back shows the same selection; a second run asks before replacing: No leaves the
  // file out of the report, Yes to All ends the questions.
  click(log, MailReportPage::kBackButton);
  ASSERT_TRUE(WaitFor([&] { return frame->view()->currentCommand() == kCommandOutlookExpressRepair; }));
  page = current<MailSelectionPage>();
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(column(page->fileList(), 0), (std::vector<std::string>{"Short.dbx", "Inbox.dbx"}));
  EXPECT_EQ(page->folderEdit()->GetValue().utf8_string(), out().string());
  dialogs.overwriteScript = {OverwriteChoice::No, OverwriteChoice::YesToAll};
  log = runFrom(page);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(dialogs.count("overwrite"), 2u);
  EXPECT_EQ(dialogs.seen.front().text, "This folder already contains a file named 'Short.dbx'");
  EXPECT_EQ(log->report().text, std::string("Selected file: Inbox.dbx\r\nRepaired\r\n") + kSeparator);
  EXPECT_EQ(log->report().skipped, 1);

  // Next goes home; Back on a selection page empties the selection.
  click(log, MailReportPage::kNextButton);
  ASSERT_TRUE(WaitFor([&] { return frame->view()->currentCommand() == kCommandHome; }));
  page = switchTo<MailSelectionPage>(kCommandOutlookExpressRepair, 0);
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->fileList()->GetItemCount(), 2);
  click(page, MailSelectionPage::kBackButton);
  ASSERT_TRUE(WaitFor([&] { return frame->view()->currentCommand() == kCommandHome; }));
  EXPECT_TRUE(app.mailFiles.empty());
}

TEST_F(MailPagesTest, OutlookPageRepairsPersonalFolders) {
  std::ofstream(in("Archive.pst"), std::ios::binary) << "XXXX and the rest of the store";
  auto* page = switchTo<MailSelectionPage>(kCommandOutlookRepair, 0);
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->kind(), MailStoreKind::Outlook);
  m_picker->next = {in("Archive.pst")};
  click(page, MailSelectionPage::kAddButton);
  EXPECT_EQ(m_picker->kinds, std::vector<MailStoreKind>{MailStoreKind::Outlook});
  m_folder->path = out();
  click(page, MailSelectionPage::kFolderButton);
  MailReportPage* log = runFrom(page);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(wxGetApp().state().mailStoreType, 2);
  EXPECT_EQ(log->taskId(), kCommandOutlookRepair);
  EXPECT_EQ(log->report().text, std::string("Selected file: Archive.pst\r\nRepaired\r\n") + kSeparator);
  EXPECT_EQ(head(out("Archive.pst"), 30), "!BDN and the rest of the store");
  click(log, MailReportPage::kBackButton);
  EXPECT_TRUE(WaitFor([&] { return frame->view()->currentCommand() == kCommandOutlookRepair; }));
}

TEST_F(MailPagesTest, LeavingTheLogPageMidRunStopsTheWorker) {
  AppState& app = wxGetApp().state();
  app.mailStoreType = 2;
  app.mailOutputFolder = out().string();

  // Waiting for the overwrite question: the page goes before the question is shown.
  std::ofstream(in("Mail.pst"), std::ios::binary) << "source";
  std::ofstream(out("Mail.pst"), std::ios::binary) << "keep me";
  app.mailFiles = {in("Mail.pst").string()};
  auto* log = switchTo<MailReportPage>(kCommandMailReport, kCommandOutlookRepair);
  ASSERT_NE(log, nullptr);
  wxTheApp->Yield(true);
  ASSERT_FALSE(wxTheApp->HasPendingEvents());
  log->startRun();
  // The worker's question is queued for the UI thread, which does not run it yet.
  const wxLongLong end = wxGetLocalTimeMillis() + 10000;
  while (!wxTheApp->HasPendingEvents() && wxGetLocalTimeMillis() < end) wxMilliSleep(2);
  ASSERT_TRUE(wxTheApp->HasPendingEvents());
  frame->view()->switchPage(kCommandHome, 1);
  WaitFor([] { return !wxTheApp->HasPendingEvents(); }, 2000);
  EXPECT_EQ(dialogs.count("overwrite"), 0u);
  EXPECT_EQ(head(out("Mail.pst"), 7), "keep me");

  // In the middle of a large copy: the run stops at its next block.
  const fs::path big = in("Big.pst");
  std::ofstream(big, std::ios::binary).close();
  fs::resize_file(big, uint64_t(1) << 30);  // sparse
  app.mailFiles = {big.string()};
  log = switchTo<MailReportPage>(kCommandMailReport, kCommandOutlookRepair);
  ASSERT_NE(log, nullptr);
  log->startRun();
  // The copy grows under a temporary name and takes its own only when complete.
  const auto partial = [&] {
    for (const auto& e : fs::directory_iterator(out()))
      if (e.path().extension() == ".part" && e.file_size() > 0) return true;
    return false;
  };
  ASSERT_TRUE(WaitFor(partial));
  frame->view()->switchPage(kCommandHome, 1);
  WaitFor([] { return !wxTheApp->HasPendingEvents(); }, 2000);
  WaitFor([&] { return !partial(); }, 5000);
  EXPECT_FALSE(fs::exists(out("Big.pst"))) << "a stopped copy left a file under its name";
  EXPECT_FALSE(partial());
}

}  // namespace
}  // namespace velk::test
