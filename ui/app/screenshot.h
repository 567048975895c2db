#pragma once
// `velk --screenshot DIR`: drives the application through every page and dialog it can
// reach on the attached disks and writes one PNG each, then exits. A page or dialog that
// cannot be shown is reported on stderr and makes the process exit with status 1; a step
// whose disk was not given (no exFAT volume attached, say) is skipped and said so.

#include <functional>
#include <vector>
#include <wx/string.h>
#include <wx/window.h>

namespace velk::ui {

class CMainFrame;

// What a step's action managed.
enum class Shot { Ready, Failed, Skipped };

struct ScreenshotStep {
  wxString name;                      // file name without ".png"
  std::function<Shot()> action;       // runs on the UI thread before the capture
  // The window to capture (unset: the main frame); dialogs are shown modeless for it. A
  // target that gives nullptr fails the step.
  std::function<wxWindow*()> target;
  int settleMs = 400;                 // time for painting (and short jobs) to finish
  std::function<void()> after;        // clean-up after the capture (close a dialog)
};

// Modules add their steps; they run in the order added.
void addScreenshotSteps(std::function<void(std::vector<ScreenshotStep>&, CMainFrame*)> producer);

void runScreenshotTour(CMainFrame* frame, const wxString& folder);

// Captures a window's screen rectangle into a PNG (X server screenshot, since GTK3 cannot
// read back a window reliably). False when the capture tool failed.
bool captureWindow(wxWindow* window, const wxString& path);

// A folder of the tour's own, removed when the tour ends (samples it writes, recoveries).
wxString tourScratchFolder();

}  // namespace velk::ui
