#include "app/recovery_app.h"

#include <algorithm>
#include <wx/crt.h>
#include <wx/filename.h>
#include <wx/image.h>

#include "app/command_line.h"
#include "app/main_frame.h"
#include "app/screenshot.h"
#include "app/settings.h"
#include "disk/device.h"

namespace velk::ui {
namespace {

// The same file given twice is one drive: compare absolute, normalised paths.
wxString canonical(const wxString& path) {
  wxFileName f(path);
  f.Normalize(wxPATH_NORM_DOTS | wxPATH_NORM_ABSOLUTE | wxPATH_NORM_TILDE);
  return f.GetFullPath();
}

}  // namespace

Status RecoveryApp::attachDevices(const std::vector<wxString>& images, bool withSystemDrives) {
  m_images.clear();
  m_withSystemDrives = withSystemDrives;
  auto& ns = DeviceNamespace::instance();
  ns.reset();
  Status result;
  for (const auto& image : images) {
    if (Status attached = ns.attachImage(image.utf8_string()); !attached) {
      result = attached;
      break;
    }
    m_images.push_back(canonical(image));
  }
  if (images.empty() || withSystemDrives) ns.attachSystemDrives();
  ns.assignLetters();
  return result;
}

Status RecoveryApp::openImage(const wxString& path) {
  const wxString full = canonical(path);
  if (std::find(m_images.begin(), m_images.end(), full) == m_images.end()) {
    auto& ns = DeviceNamespace::instance();
    if (Status attached = ns.attachImage(full.utf8_string()); !attached) return attached;
    m_images.push_back(full);
    ns.assignLetters();
  }
  Settings::get().addRecentImage(full);
  Settings::get().setFolder("images", wxFileName(full).GetPath());
  return {};
}

CMainFrame* RecoveryApp::createFrame() {
  m_frame = new CMainFrame();
  SetTopWindow(m_frame);
  return m_frame;
}

bool RecoveryApp::OnInit() {
  SetAppName("velk");
  SetAppDisplayName("Velk File Recovery");
  wxInitAllImageHandlers();
  registerBuiltinPages();

  std::vector<wxString> args;
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  const CommandLine line = parseCommandLine(args);
  if (line.help || !line.error.empty()) {
    if (!line.error.empty()) wxFprintf(stderr, "velk: %s\n", line.error);
    wxFprintf(line.help ? stdout : stderr, "%s", kUsage);
    if (!line.help) return false;
    // Help is not a failure: run an empty main loop that ends at once (status 0).
    CallAfter([this] { ExitMainLoop(); });
    return true;
  }
  if (Status attached = attachDevices(line.images, line.withSystemDrives); !attached) {
    wxFprintf(stderr, "velk: %s\n", wxString::FromUTF8(describe(attached.error())));
    return false;
  }

  CMainFrame* frame = createFrame();
  frame->Show();
  if (!line.screenshotFolder.empty()) runScreenshotTour(frame, line.screenshotFolder);
  return true;
}

int RecoveryApp::OnRun() {
  const int rc = wxApp::OnRun();
  return m_exitCode ? m_exitCode : rc;
}

int RecoveryApp::OnExit() { return wxApp::OnExit(); }

}  // namespace velk::ui
