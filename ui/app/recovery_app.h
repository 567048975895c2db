#pragma once
// RecoveryApp: the application object with the state every page shares.

#include <vector>
#include <wx/app.h>
#include <wx/string.h>

#include "app/app_state.h"
#include "support/error.h"

namespace velk::ui {

class CMainFrame;

class RecoveryApp : public wxApp {
 public:
  bool OnInit() override;
  int OnRun() override;
  int OnExit() override;

  AppState& state() { return m_state; }
  CMainFrame* frame() const { return m_frame; }
  // Attaches images (and the machine's disks when asked) to the device namespace, in
  // place of whatever it held. The first image that cannot be attached fails the call;
  // the images before it stay attached.
  Status attachDevices(const std::vector<wxString>& images, bool withSystemDrives);
  // Attaches one more image for the rest of the session ("Open disk image…") and letters
  // its volumes; an image attached already is not attached twice. The image goes to the
  // front of the recent list.
  Status openImage(const wxString& path);
  const std::vector<wxString>& images() const { return m_images; }
  bool withSystemDrives() const { return m_withSystemDrives; }
  // Creates the main window (tests create it themselves).
  CMainFrame* createFrame();
  // What the process returns when its main loop ends (a failed screenshot tour sets 1).
  void setExitCode(int code) { m_exitCode = code; }

 private:
  AppState m_state;
  CMainFrame* m_frame = nullptr;
  std::vector<wxString> m_images;
  bool m_withSystemDrives = false;
  int m_exitCode = 0;
};

// Registers the pages the host can create.
void registerBuiltinPages();

}  // namespace velk::ui

wxDECLARE_APP(velk::ui::RecoveryApp);
