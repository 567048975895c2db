#include "app/recovery_app.h"

#include <wx/cmdline.h>
#include <wx/crt.h>
#include <wx/image.h>

#include "app/main_frame.h"
#include "app/screenshot.h"
#include "disk/device.h"

namespace velk::ui {

void RecoveryApp::attachDevices(const std::vector<wxString>& images, bool withSystemDrives) {
  m_images = images;
  m_withSystemDrives = withSystemDrives;
  auto& ns = DeviceNamespace::instance();
  ns.reset();
  for (const auto& image : images) (void)ns.attachImage(image.utf8_string());
  if (images.empty() || withSystemDrives) ns.attachSystemDrives();
  ns.assignLetters();
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

  wxCmdLineParser parser(argc, argv);
  parser.AddOption("", "image", "attach a disk image as a physical drive (repeatable)", wxCMD_LINE_VAL_STRING,
                   wxCMD_LINE_PARAM_MULTIPLE);
  parser.AddSwitch("", "with-system-drives", "keep the machine's disks when images are attached");
  parser.AddOption("", "screenshot", "drive every page and write one PNG each into this folder");
  parser.AddSwitch("h", "help", "show this help", wxCMD_LINE_OPTION_HELP);
  if (parser.Parse() != 0) return false;
  std::vector<wxString> images;
  for (size_t i = 0; i < parser.GetParamCount(); ++i) images.push_back(parser.GetParam(i));
  for (const auto& arg : parser.GetArguments())
    if (arg.GetLongName() == "image") images.push_back(arg.GetStrVal());
  for (const auto& image : images) {
    if (!wxFileExists(image)) {
      wxFprintf(stderr, "velk: cannot attach image '%s'\n", image);
      return false;
    }
  }
  attachDevices(images, parser.Found("with-system-drives"));

  CMainFrame* frame = createFrame();
  frame->Show();
  wxString shots;
  if (parser.Found("screenshot", &shots)) runScreenshotTour(frame, shots);
  return true;
}

int RecoveryApp::OnExit() { return wxApp::OnExit(); }

}  // namespace velk::ui
