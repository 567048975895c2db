#include "app/screenshot.h"

#include <wx/crt.h>
#include <memory>
#include <wx/dialog.h>
#include <wx/filename.h>
#include <wx/timer.h>
#include <wx/utils.h>

#include "app/drive_page.h"
#include "app/home_view.h"
#include "app/main_frame.h"

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
    wxWindow* target = step.target ? step.target() : m_frame;
    if (!target) target = m_frame;
    wxString path = m_folder + "/" + step.name + ".png";
    if (!captureWindow(target, path)) wxFprintf(stderr, "velk: could not capture %s\n", path);
    else wxPrintf("%s\n", path);
    if (step.after) step.after();
    ++m_index;
    runNext();
  }

 private:
  void runNext() {
    if (m_index >= m_steps.size()) {
      m_frame->CallAfter([f = m_frame] { f->Close(true); });
      return;
    }
    const ScreenshotStep& step = m_steps[m_index];
    if (step.action) step.action();
    StartOnce(step.settleMs);
  }

  CMainFrame* m_frame;
  wxString m_folder;
  std::vector<ScreenshotStep> m_steps;
  size_t m_index = 0;
};

}  // namespace

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
  std::vector<ScreenshotStep> steps;
  CHomeView* view = frame->view();
  steps.push_back({"home-502", [view] { view->switchPage(kCommandHome, 1); view->selectCategory(0); }, nullptr});
  steps.push_back({"home-505", [view] { view->selectCategory(1); }, nullptr});
  // The drive page of each task, with the first partition it lists selected.
  auto drivePage = [view] { return dynamic_cast<DrivePage*>(view->currentPage()); };
  for (int task : {kTaskDeleted, kTaskFormatted, kTaskRaw}) {
    steps.push_back({wxString::Format("drive-%d", task), [view, drivePage, task] {
                       view->switchPage(kCommandDrivePage, task);
                       if (DrivePage* page = drivePage())
                         for (int i = 0; i < page->catalog().PartitionCount(); ++i)
                           if (page->selectPartition(i)) break;
                     },
                     nullptr});
  }
  auto dialog = std::make_shared<wxDialog*>(nullptr);
  steps.push_back({"quick-search-dialog",
                   [view, drivePage, dialog] {
                     view->switchPage(kCommandDrivePage, kTaskDeleted);
                     if (DrivePage* page = drivePage()) {
                       for (int i = 0; i < page->catalog().PartitionCount(); ++i)
                         if (page->selectPartition(i)) break;
                       *dialog = page->openOptions(true);
                     }
                   },
                   [dialog] { return static_cast<wxWindow*>(*dialog); }, 400,
                   [dialog] {
                     if (*dialog) (*dialog)->Destroy();
                     *dialog = nullptr;
                   }});
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
