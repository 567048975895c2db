// Screenshot steps of the mail repair pages. The tour makes a few sample stores in a
// temporary folder, repairs them into another one there, and removes both at the end; the
// user's own folders are never touched.

#include <filesystem>
#include <fstream>
#include <memory>
#include <unistd.h>

#include "app/home_view.h"
#include "app/main_frame.h"
#include "app/recovery_app.h"
#include "app/screenshot.h"
#include "mail/mail_pages.h"

namespace velk::ui {
namespace {

namespace fs = std::filesystem;

// An Outlook Express folder file the repair accepts ("LocalStore" at 9409), or a short one
// it does not.
void writeSampleDbx(const fs::path& path, bool supported) {
  std::string bytes(supported ? 12288 : 2048, '\0');
  if (supported) bytes.replace(9409, 10, "LocalStore");
  std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

}  // namespace

void addMailScreenshotSteps() {
  addScreenshotSteps([](std::vector<ScreenshotStep>& steps, CMainFrame* frame) {
    CHomeView* view = frame->view();
    auto dir = std::make_shared<fs::path>(fs::temp_directory_path() / ("velk-tour-mail-" + std::to_string(::getpid())));
    auto page = [view] { return dynamic_cast<MailSelectionPage*>(view->currentPage()); };
    steps.push_back({"mail-outlook-express",
                     [view, dir] {
                       std::error_code ec;
                       fs::create_directories(*dir / "Mail", ec);
                       fs::create_directories(*dir / "Repaired", ec);
                       writeSampleDbx(*dir / "Mail" / "Inbox.dbx", true);
                       writeSampleDbx(*dir / "Mail" / "Sent Items.dbx", true);
                       writeSampleDbx(*dir / "Mail" / "Deleted Items.dbx", false);
                       AppState& app = wxGetApp().state();
                       app.mailFiles = {(*dir / "Mail" / "Inbox.dbx").string(), (*dir / "Mail" / "Sent Items.dbx").string(),
                                        (*dir / "Mail" / "Deleted Items.dbx").string()};
                       app.mailOutputFolder = (*dir / "Repaired").string();
                       view->switchPage(kCommandOutlookExpressRepair, 0);
                       return Shot::Ready;
                     },
                     nullptr, 500});
    steps.push_back({"mail-report",
                     [page] {
                       MailSelectionPage* p = page();
                       if (!p) return Shot::Failed;
                       p->next();
                       return Shot::Ready;
                     },
                     nullptr, 1500});
    steps.push_back({"mail-outlook",
                     [view, dir] {
                       AppState& app = wxGetApp().state();
                       std::ofstream(*dir / "Mail" / "Archive.pst", std::ios::binary) << std::string(4096, 'x');
                       app.mailFiles = {(*dir / "Mail" / "Archive.pst").string()};
                       view->switchPage(kCommandOutlookRepair, 0);
                       return Shot::Ready;
                     },
                     nullptr, 500,
                     [dir] {
                       std::error_code ec;
                       fs::remove_all(*dir, ec);
                       AppState& app = wxGetApp().state();
                       app.mailFiles.clear();
                       app.mailOutputFolder.clear();
                     }});
  });
}

}  // namespace velk::ui
