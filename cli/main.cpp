// velk-cli: the scriptable front door over the recovery core.

#include <cstdio>

#include "cli_context.h"

int main(int argc, char** argv) {
  using namespace velk::cli;
  CLI::App app{"Velk File Recovery — command line"};
  app.require_subcommand(1);
  CliContext ctx;
  app.add_option("--image", ctx.images, "Attach a disk image as a physical drive (repeatable)");
  app.add_flag("--with-system-drives", ctx.withSystemDrives, "Keep the machine's disks when images are attached");
  addDrivesCommand(app, ctx);
  addScanCommands(app, ctx);
  addCatalogCommand(app, ctx);
  addPartitionsCommand(app, ctx);
  addMailCommand(app, ctx);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int rc = app.exit(e);
    return rc == 0 ? kExitOk : kExitUsage;
  }
  return ctx.exitCode;
}
