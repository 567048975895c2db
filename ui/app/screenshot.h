#pragma once
// `velk --screenshot DIR`: drives the application through every page and dialog it can
// reach on the attached disks and writes one PNG each, then exits.

#include <functional>
#include <vector>
#include <wx/string.h>
#include <wx/window.h>

namespace velk::ui {

class CMainFrame;

struct ScreenshotStep {
  wxString name;                      // file name without ".png"
  std::function<void()> action;       // runs on the UI thread before the capture
  // The window to capture (nullptr: the main frame); dialogs are shown modeless for it.
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

}  // namespace velk::ui
