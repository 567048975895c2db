#include "app/screenshot.h"

#include <memory>
#include <unistd.h>
#include <wx/crt.h>
#include <wx/dialog.h>
#include <wx/dir.h>
#include <wx/filename.h>
#include <wx/timer.h>
#include <wx/utils.h>

#include "app/about_dialog.h"
#include "app/drive_page.h"
#include "app/home_view.h"
#include "app/main_frame.h"
#include "app/open_image_dialog.h"
#include "app/recovery_app.h"
#include "app/settings.h"
#include "app/skin_button.h"

namespace velk::ui {
namespace {

std::vector<std::function<void(std::vector<ScreenshotStep>&, CMainFrame*)>>& producers() {
  static std::vector<std::function<void(std::vector<ScreenshotStep>&, CMainFrame*)>> p;
  return p;
}

class Tour : public wxTimer {
 public:
  Tour(CMainFrame* frame, wxString folder, std::vector<ScreenshotStep> steps)
      : m_frame(frame), m_folder(std::move(folder)), m_steps(std::move(steps)) {}

  void start() { runNext(); }

  void Notify() override {
    const ScreenshotStep& step = m_steps[m_index];
    if (m_shot == Shot::Ready) {
      wxWindow* target = step.target ? step.target() : m_frame;
      const wxString path = m_folder + "/" + step.name + ".png";
      if (!target) fail(step, "the window to capture could not be shown");
      else if (!captureWindow(target, path)) fail(step, "the capture tool failed for " + path);
      else wxPrintf("%s\n", path);
    }
    if (step.after) step.after();
    ++m_index;
    runNext();
  }

 private:
  void fail(const ScreenshotStep& step, const wxString& why) {
    wxFprintf(stderr, "velk: screenshot '%s' failed: %s\n", step.name, why);
    wxGetApp().setExitCode(1);
  }

  void runNext() {
    if (m_index >= m_steps.size()) {
      wxFileName::Rmdir(tourScratchFolder(), wxPATH_RMDIR_RECURSIVE);
      m_frame->CallAfter([f = m_frame] { f->Close(true); });
      return;
    }
    const ScreenshotStep& step = m_steps[m_index];
    m_shot = step.action ? step.action() : Shot::Ready;
    if (m_shot == Shot::Failed) fail(step, "the page or dialog could not be shown");
    if (m_shot == Shot::Skipped) wxPrintf("skipped %s: the disks given hold nothing for it\n", step.name);
    StartOnce(m_shot == Shot::Ready ? step.settleMs : 1);
  }

  CMainFrame* m_frame;
  wxString m_folder;
  std::vector<ScreenshotStep> m_steps;
  size_t m_index = 0;
  Shot m_shot = Shot::Ready;
};

// The drive page of a task with a partition selected: the first one with one of the
// file-system names (any for an empty list).
Shot showDrivePage(CHomeView* view, int task, std::initializer_list<const char*> names = {}) {
  view->switchPage(kCommandDrivePage, task);
  auto* page = dynamic_cast<DrivePage*>(view->currentPage());
  if (!page) return Shot::Failed;
  for (int i = 0; i < page->catalog().PartitionCount(); ++i) {
    const std::string fs = page->catalog().PartitionAt(i).fsNameText();
    bool wanted = names.size() == 0;
    for (const char* n : names) wanted = wanted || fs == n;
    if (wanted && page->selectPartition(i)) return Shot::Ready;
  }
  return names.size() ? Shot::Skipped : Shot::Failed;
}

}  // namespace

wxString tourScratchFolder() {
  static const wxString folder = wxFileName::GetTempDir() + wxString::Format("/velk-tour-%d", int(::getpid()));
  return folder;
}

void addScreenshotSteps(std::function<void(std::vector<ScreenshotStep>&, CMainFrame*)> producer) {
  producers().push_back(std::move(producer));
}

bool captureWindow(wxWindow* window, const wxString& path) {
  window->Update();
  wxYield();
  wxRect r = window->GetScreenRect();
  wxString cmd = wxString::Format("import -silent -window root -crop %dx%d+%d+%d \"%s\"", r.width, r.height, r.x, r.y,
                                  path);
  // NODISABLE: a synchronous run would otherwise grey out every window while it waits.
  return wxExecute(cmd, wxEXEC_SYNC | wxEXEC_NODISABLE) == 0;
}

void runScreenshotTour(CMainFrame* frame, const wxString& folder) {
  wxFileName::Mkdir(folder, wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL);
  wxFileName::Mkdir(tourScratchFolder(), wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL);
  // The tour remembers nothing of the user's: its own settings, with the given images as
  // the recent ones.
  wxSetEnv("VELK_CONFIG", tourScratchFolder() + "/settings");
  Settings::reload();
  for (auto it = wxGetApp().images().rbegin(); it != wxGetApp().images().rend(); ++it)
    Settings::get().addRecentImage(*it);

  std::vector<ScreenshotStep> steps;
  CHomeView* view = frame->view();
  steps.push_back({"home-502", [view] {
                     view->switchPage(kCommandHome, 1);
                     view->selectCategory(0);
                     return Shot::Ready;
                   }});
  steps.push_back({"home-505", [view] {
                     view->selectCategory(1);
                     return Shot::Ready;
                   }});
  // The focus ring on a task button, where the keyboard starts.
  steps.push_back({"home-keyboard-focus", [view] {
                     view->selectCategory(0);
                     view->taskButton(1)->SetFocus();
                     return Shot::Ready;
                   }});
  auto dialog = std::make_shared<wxDialog*>(nullptr);
  auto dialogTarget = [dialog] { return static_cast<wxWindow*>(*dialog); };
  auto closeDialog = [dialog] {
    if (*dialog) (*dialog)->Destroy();
    *dialog = nullptr;
  };
  steps.push_back({"about-dialog",
                   [view, dialog] {
                     view->switchPage(kCommandHome, 0);
                     *dialog = new AboutDialog(view);
                     (*dialog)->Show();
                     return Shot::Ready;
                   },
                   dialogTarget, 500, closeDialog});
  // The drive page of each task, with the first partition it lists selected.
  for (int task : {kTaskDeleted, kTaskFormatted, kTaskRaw})
    steps.push_back({wxString::Format("drive-%d", task), [view, task] { return showDrivePage(view, task); }});
  // Today's cards and Linux disks, listed by name.
  steps.push_back({"drive-exfat", [view] { return showDrivePage(view, kTaskDeleted, {"exFAT"}); }});
  steps.push_back({"drive-ext4", [view] { return showDrivePage(view, kTaskDeleted, {"EXT4"}); }});
  auto drivePage = [view] { return dynamic_cast<DrivePage*>(view->currentPage()); };
  steps.push_back({"open-image-dialog",
                   [view, drivePage, dialog] {
                     if (showDrivePage(view, kTaskDeleted) == Shot::Failed) return Shot::Failed;
                     *dialog = new OpenImageDialog(drivePage());
                     (*dialog)->Show();
                     return Shot::Ready;
                   },
                   dialogTarget, 500, closeDialog});
  steps.push_back({"quick-search-dialog",
                   [view, drivePage, dialog] {
                     if (showDrivePage(view, kTaskDeleted) == Shot::Failed) return Shot::Failed;
                     *dialog = drivePage()->openOptions(true);
                     return *dialog ? Shot::Ready : Shot::Failed;
                   },
                   dialogTarget, 400, closeDialog});
  for (auto& produce : producers()) produce(steps, frame);
  auto* tour = new Tour(frame, folder, std::move(steps));
  frame->Bind(wxEVT_DESTROY, [tour, frame](wxWindowDestroyEvent& e) {
    if (e.GetWindow() == frame) {
      tour->Stop();
      delete tour;
    }
    e.Skip();
  });
  frame->CallAfter([tour] { tour->start(); });
}

}  // namespace velk::ui
