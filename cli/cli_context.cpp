#include "cli_context.h"

#include <cstring>
#include <iostream>

#include "disk/device.h"

namespace velk::cli {

bool CliContext::prepareDevices() {
  auto& ns = DeviceNamespace::instance();
  ns.reset();
  for (const auto& image : images) {
    int rc = ns.attachImage(image);
    if (rc != 0) {
      std::cerr << "velk-cli: cannot attach image '" << image << "': "
                << (rc == EINVAL ? "not a disk image (empty, too small or not a regular file)" : std::strerror(rc))
                << "\n";
      exitCode = kExitUsage;
      return false;
    }
  }
  if (images.empty() || withSystemDrives) ns.attachSystemDrives();
  ns.assignLetters();
  return true;
}

}  // namespace velk::cli
