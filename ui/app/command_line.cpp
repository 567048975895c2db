#include "app/command_line.h"

namespace velk::ui {

const char* const kUsage =
    "Usage: velk [--image FILE...]... [--with-system-drives] [--screenshot DIR]\n"
    "  --image FILE...        attach disk images as drives (raw, E01, VHD, VHDX, VMDK, QCOW2)\n"
    "  --with-system-drives   keep the machine's disks when images are attached\n"
    "  --screenshot DIR       show every page and dialog, write one PNG each into DIR, exit\n";

CommandLine parseCommandLine(const std::vector<wxString>& args) {
  CommandLine line;
  auto isOption = [](const wxString& a) { return a.StartsWith("-") && a.length() > 1; };
  for (size_t i = 0; i < args.size() && line.error.empty(); ++i) {
    const wxString& a = args[i];
    if (a == "--image" || a.StartsWith("--image=")) {
      const size_t before = line.images.size();
      if (a.StartsWith("--image=")) line.images.push_back(a.Mid(8));
      while (i + 1 < args.size() && !isOption(args[i + 1])) line.images.push_back(args[++i]);
      if (line.images.size() == before || line.images.back().empty()) line.error = "--image needs a file name";
    } else if (a == "--with-system-drives") {
      line.withSystemDrives = true;
    } else if (a == "--screenshot" || a.StartsWith("--screenshot=")) {
      if (a.StartsWith("--screenshot=")) line.screenshotFolder = a.Mid(13);
      else if (i + 1 < args.size() && !isOption(args[i + 1])) line.screenshotFolder = args[++i];
      if (line.screenshotFolder.empty()) line.error = "--screenshot needs a folder";
    } else if (a == "-h" || a == "--help") {
      line.help = true;
    } else {
      line.error = "Unexpected parameter '" + a + "'";
    }
  }
  return line;
}

}  // namespace velk::ui
