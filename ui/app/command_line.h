#pragma once
// The desktop application's command line:
//   velk [--image FILE...]... [--with-system-drives] [--screenshot DIR] [-h|--help]
// `--image` takes every following argument up to the next option, so both
// `--image a.img b.img` and `--image a.img --image b.img` attach two drives.

#include <vector>
#include <wx/string.h>

namespace velk::ui {

struct CommandLine {
  std::vector<wxString> images;
  bool withSystemDrives = false;
  wxString screenshotFolder;  // empty: no tour
  bool help = false;
  wxString error;  // a sentence for stderr; empty when the line was understood
};

CommandLine parseCommandLine(const std::vector<wxString>& args);  // args without the program name
extern const char* const kUsage;

}  // namespace velk::ui
