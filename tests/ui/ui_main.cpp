// gtest main for the desktop tests: a RecoveryApp without a command line or a frame of its
// own; every wx assertion becomes a test failure instead of a dialog.

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/image.h>

#include "app/recovery_app.h"
#include "test_support.h"

namespace {

class TestApp : public velk::ui::RecoveryApp {
 public:
  bool OnInit() override {
    SetAppName("velk");
    SetAppDisplayName("Velk File Recovery");
    wxInitAllImageHandlers();
    velk::ui::registerBuiltinPages();
    return true;
  }
};

void failOnAssert(const wxString& file, int line, const wxString& func, const wxString& cond, const wxString& msg) {
  ADD_FAILURE() << "wx assertion " << cond.utf8_string() << " (" << msg.utf8_string() << ") in "
                << func.utf8_string() << " at " << file.utf8_string() << ":" << line;
}

}  // namespace

wxIMPLEMENT_APP_NO_MAIN(velk::ui::RecoveryApp);

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // Recent images and last folders go to a scratch file, never the user's settings.
  velk::test::TempDir config;
  ::setenv("VELK_CONFIG", (config.path() / "settings").c_str(), 1);
  wxApp::SetInstance(new TestApp);
  if (!wxEntryStart(argc, argv)) return 2;
  wxTheApp->CallOnInit();
  wxSetAssertHandler(failOnAssert);
  const int rc = RUN_ALL_TESTS();
  wxTheApp->OnExit();
  wxEntryCleanup();
  return rc;
}
