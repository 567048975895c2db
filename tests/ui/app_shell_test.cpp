// The application shell under Xvfb: the command line, the home page's categories and task
// buttons, keyboard use of the skin buttons, the drive page's facts and "Open disk image…",
// the About dialog, the filter dialogs' checks, and the recovery page's smaller dialogs.

#include <gtest/gtest.h>

#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/listctrl.h>
#include <wx/textctrl.h>
#include <wx/uiaction.h>

#include "app/about_dialog.h"
#include "app/command_line.h"
#include "app/drive_page.h"
#include "app/home_view.h"
#include "app/main_frame.h"
#include "app/open_image_dialog.h"
#include "app/recovery_app.h"
#include "app/settings.h"
#include "test_support.h"
#include "ui/ui_support.h"
#include "workspace/filter_dialog.h"
#include "workspace/notice_bar.h"
#include "workspace/preview_dialogs.h"
#include "workspace/recovery_dialogs.h"

namespace velk::test {
namespace {

namespace fs = std::filesystem;
using ui::CHomeView;

TEST(CommandLine, ImagesAfterOneFlagOrRepeatedFlags) {
  struct Case {
    std::vector<wxString> args;
    std::vector<wxString> images;
    wxString screenshot;
    bool error;
  };
  const Case cases[] = {
      {{"--image", "a.img", "b.img"}, {"a.img", "b.img"}, "", false},
      {{"--image", "a.img", "--image", "b.vhd"}, {"a.img", "b.vhd"}, "", false},
      {{"--image=a.img", "b.img", "--screenshot", "out"}, {"a.img", "b.img"}, "out", false},
      {{"--image"}, {}, "", true},
      {{"--image", "--screenshot", "out"}, {}, "", true},
      {{"--screenshot"}, {}, "", true},
      {{"a.img"}, {}, "", true},
  };
  for (const Case& c : cases) {
    const ui::CommandLine line = ui::parseCommandLine(c.args);
    EXPECT_EQ(!line.error.empty(), c.error) << c.args[0];
    if (c.error) continue;
    EXPECT_EQ(line.images, c.images);
    EXPECT_EQ(line.screenshotFolder, c.screenshot);
  }
}

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    frame = wxGetApp().createFrame();
    frame->Show();
    view = frame->view();
  }
  void TearDown() override {
    frame->Destroy();
    wxTheApp->Yield(true);
  }
  template <class PageType>
  PageType* pageAfter(int task) {
    view->clickTask(task);
    WaitFor([&] { return dynamic_cast<PageType*>(view->currentPage()) != nullptr; });
    return dynamic_cast<PageType*>(view->currentPage());
  }
  ui::CMainFrame* frame = nullptr;
  CHomeView* view = nullptr;
  DialogAnswerer dialogs;
};

size_t shownTasks(CHomeView* view) {
  size_t n = 0;
  for (int i = 0; i < CHomeView::kTaskButtonCount; ++i) n += view->taskButton(i)->IsShown();
  return n;
}

TEST_F(ShellTest, CategoriesShowTheirTasksAndEachTaskOpensItsPage) {
  EXPECT_EQ(view->currentCategory(), kCategoryRecovery);
  EXPECT_EQ(shownTasks(view), 4u);
  view->selectCategory(1);
  EXPECT_EQ(view->currentCategory(), kCategoryMail);
  EXPECT_EQ(shownTasks(view), 3u);
  view->selectCategory(0);
  EXPECT_EQ(shownTasks(view), 4u);

  // Recovery tasks: deleted, formatted and RAW go through the drive page, the partition
  // task has its own page. Home (the header's first button) comes back each time.
  const std::pair<int, int> tasks[] = {{0, kCommandDrivePage}, {1, kCommandDrivePage},
                                       {2, kCommandRecoveryPage}, {3, kCommandDrivePage}};
  for (auto [task, command] : tasks) {
    view->clickTask(task);
    EXPECT_TRUE(WaitFor([&] { return view->currentCommand() == command; })) << task;
    view->requestSwitch(kCommandHome, 0);
    EXPECT_TRUE(WaitFor([&] { return view->currentCommand() == kCommandHome; }));
    EXPECT_EQ(shownTasks(view), 4u);
  }
}

TEST_F(ShellTest, SkinButtonsTakeTheFocusAndReturnOrSpacePressesThem) {
  ui::SkinButton* task = view->taskButton(0);
  EXPECT_TRUE(task->AcceptsFocusFromKeyboard());
  int clicks = 0;
  auto* button = new ui::SkinButton(view, wxID_ANY, "Try", wxPoint(300, 300), wxSize(91, 45));
  button->SetBitmaps(162, 161, 209, 167);
  button->Bind(wxEVT_BUTTON, [&](wxCommandEvent&) { ++clicks; });
  // A click on the bare page gives the window the X input focus; then the keyboard's.
  wxUIActionSimulator sim;
  sim.MouseMove(view->GetScreenPosition() + wxPoint(200, 440));
  sim.MouseClick();
  wxTheApp->Yield(true);
  button->SetFocus();
  ASSERT_TRUE(WaitFor([&] { return button->HasFocus(); }));
  sim.Char(WXK_RETURN);
  EXPECT_TRUE(WaitFor([&] { return clicks == 1; }));
  sim.Char(WXK_SPACE);
  EXPECT_TRUE(WaitFor([&] { return clicks == 2; }));
  button->Disable();
  EXPECT_FALSE(button->AcceptsFocusFromKeyboard());

  // A hover left behind by a dialog that took the pointer goes when the frame is left.
  wxMouseEvent enter(wxEVT_ENTER_WINDOW);
  task->ProcessWindowEvent(enter);
  ASSERT_TRUE(task->isHover());
  ui::resetHoverBelow(frame);
  EXPECT_FALSE(task->isHover());
}

TEST_F(ShellTest, DrivePageShowsEveryFactWholeAndOpensAnImage) {
  for (const char* name : {"demo_disk.img", "exfat_deleted.img", "ext4_deleted.img"})
    if (!fixtureExists(name)) GTEST_FAIL() << name << " fixture missing";
  ASSERT_TRUE(wxGetApp().attachDevices({wxString::FromUTF8(fixturePath("demo_disk.img").string())}, false).has_value());
  auto* page = pageAfter<ui::DrivePage>(0);
  ASSERT_NE(page, nullptr);
  const int before = page->catalog().PartitionCount();
  ASSERT_GT(before, 0);
  for (int i = 0; i < before; ++i) {
    if (!driveListsPartition(kTaskDeleted, page->catalog().PartitionAt(i))) continue;
    ASSERT_TRUE(page->selectPartition(i));
    for (const ui::FactLine& line : page->factLines()) EXPECT_EQ(line.shown, line.full) << i;
  }

  // A file that cannot be attached keeps the dialog open and says why; an image attaches
  // once, however often it is opened, and its volumes are listed.
  ui::OpenImageDialog dlg(page);
  dlg.pathEdit()->ChangeValue("/nonexistent/disk.img");
  EXPECT_FALSE(dlg.tryOpen());
  EXPECT_EQ(dialogs.count("message"), 1u);
  for (const char* name : {"exfat_deleted.img", "ext4_deleted.img", "ext4_deleted.img"}) {
    dlg.pathEdit()->ChangeValue(wxString::FromUTF8(fixturePath(name).string()));
    EXPECT_TRUE(dlg.tryOpen()) << name;
    page->showAttachedImage(dlg.opened());
  }
  EXPECT_EQ(wxGetApp().images().size(), 3u);
  EXPECT_EQ(ui::Settings::get().recentImages().front(), wxString::FromUTF8(fixturePath("ext4_deleted.img").string()));
  std::vector<std::string> texts;
  std::function<void(wxTreeItemId)> walk = [&](wxTreeItemId id) {
    wxTreeItemIdValue cookie;
    for (wxTreeItemId c = page->tree()->GetFirstChild(id, cookie); c.IsOk(); c = page->tree()->GetNextChild(id, cookie)) {
      texts.push_back(page->tree()->GetItemText(c).utf8_string());
      walk(c);
    }
  };
  walk(page->tree()->GetRootItem());
  EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [](const std::string& t) { return t.find("exFAT") != std::string::npos; }));
  EXPECT_GT(page->catalog().PartitionCount(), before);
}

TEST_F(ShellTest, AboutNamesTheVersionAndTheLibraries) {
  ui::AboutDialog about(frame);
  std::vector<std::string> names;
  for (long i = 0; i < about.libraryList()->GetItemCount(); ++i) names.push_back(about.libraryList()->GetItemText(i).utf8_string());
  for (const char* lib : {"wxWidgets", "zlib"})
    EXPECT_NE(std::find(names.begin(), names.end(), lib), names.end()) << lib;
}

TEST_F(ShellTest, FilterDialogsRefuseBadSizesAndKeepTheFilter) {
  FileFilter filter = FileFilter::withToday();
  const FileFilter before = filter;
  struct Case {
    int sizeMode;  // SizeMode: 4 is "between", the one with a start and an end
    const char* start;
    const char* end;
    const char* message;  // empty: accepted
  };
  const Case cases[] = {{4, "abc", "10", "Please enter a number."},
                        {4, "20", "10", "Start size can't larger then end size!"},
                        {4, "10", "20", ""}};
  for (auto kind : {ui::FilterDialog::Kind::PageFilter, ui::FilterDialog::Kind::QuickSearch})
    for (const Case& c : cases) {
      filter = before;
      ui::FilterDialog dlg(frame, kind, filter);
      ASSERT_GT(dlg.sizeModeChoice()->GetCount(), 4u);
      dlg.sizeModeChoice()->SetSelection(c.sizeMode);
      wxCommandEvent pick(wxEVT_CHOICE, dlg.sizeModeChoice()->GetId());
      pick.SetInt(c.sizeMode);
      pick.SetEventObject(dlg.sizeModeChoice());
      dlg.sizeModeChoice()->ProcessWindowEvent(pick);
      dlg.startEdit()->ChangeValue(c.start);
      dlg.endEdit()->ChangeValue(c.end);
      const size_t seen = dialogs.count("message");
      const bool accepted = dlg.tryOk();
      EXPECT_EQ(accepted, std::string(c.message).empty()) << c.start;
      if (!accepted) {
        ASSERT_EQ(dialogs.count("message"), seen + 1);
        EXPECT_EQ(dialogs.seen.back().text, c.message);
        EXPECT_EQ(filter.startSize, before.startSize);
      } else {
        EXPECT_EQ(filter.startSize, 10.0);
        EXPECT_EQ(filter.endSize, 20.0);
      }
    }
}

TEST_F(ShellTest, SummaryNoticeAndPreviewsSayWhatHappenedAndCloseWithEscape) {
  RecoveryReport report;
  report.recovered = 5;
  report.verified = 3;
  report.unverified = 1;
  report.damaged = 1;
  report.failed = 2;
  report.skipped = 4;
  ui::RecoverySummaryDialog summary(frame, report, "/tmp/out");
  EXPECT_EQ(summary.summary(), "Files written: 5  (verified 3, unverified 1, damaged 1)\nFailed: 2\nSkipped: 4");
  EXPECT_NE(summary.FindWindow(ui::RecoverySummaryDialog::kOpenFolder), nullptr);

  // A long notice is cut in the bar and whole in its tooltip; an empty one hides the bar.
  auto* bar = new ui::NoticeBar(frame, wxRect(10, 404, 530, 58));
  const wxString longText = "Unreadable: 12 sectors in 3 ranges, first at sector 4096. " + wxString('x', 400);
  bar->showNotice(longText);
  EXPECT_TRUE(bar->IsShown());
  EXPECT_EQ(bar->noticeText(), longText);
  EXPECT_LT(bar->shownText().length(), longText.length());
  bar->showNotice("");
  EXPECT_FALSE(bar->IsShown());

  // The dump is selectable as text; Escape pressed inside the view closes the window.
  std::vector<uint8_t> bytes(100);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i);
  auto* text = new ui::TextViewDialog(frame, bytes);
  text->Show();
  ui::HexView* hex = text->view();
  EXPECT_EQ(hex->lineCount(), 7u);  // 16 bytes a line
  hex->selectAll();
  wxString all;
  for (size_t i = 0; i < hex->lineCount(); ++i) all += (i ? "\n" : "") + hex->line(i);
  EXPECT_EQ(hex->selectedText(), all);
  hex->select({1, 0}, {2, 0});
  EXPECT_EQ(hex->selectedText(), hex->line(1) + "\n");
  wxKeyEvent escape(wxEVT_CHAR_HOOK);
  escape.m_keyCode = WXK_ESCAPE;
  escape.SetEventObject(hex);
  hex->ProcessWindowEvent(escape);
  EXPECT_TRUE(WaitFor([&] { return !text->IsShown(); }));
  text->Destroy();
}

}  // namespace
}  // namespace velk::test
