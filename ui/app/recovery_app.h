#pragma once
// RecoveryApp: the application object with the state every page shares.

#include <vector>
#include <wx/app.h>
#include <wx/string.h>

#include "app/app_state.h"

namespace velk::ui {

class CMainFrame;

class RecoveryApp : public wxApp {
 public:
  bool OnInit() override;
  int OnExit() override;

  AppState& state() { return m_state; }
  CMainFrame* frame() const { return m_frame; }
  // Attaches images (and the machine's disks when asked) to the device namespace.
  void attachDevices(const std::vector<wxString>& images, bool withSystemDrives);
  const std::vector<wxString>& images() const { return m_images; }
  bool withSystemDrives() const { return m_withSystemDrives; }
  // Creates the main window (tests create it themselves).
  CMainFrame* createFrame();

 private:
  AppState m_state;
  CMainFrame* m_frame = nullptr;
  std::vector<wxString> m_images;
  bool m_withSystemDrives = false;
};

// Registers the pages the host can create.
void registerBuiltinPages();

}  // namespace velk::ui

wxDECLARE_APP(velk::ui::RecoveryApp);
