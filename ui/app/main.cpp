// velk: the desktop application.
#include "app/recovery_app.h"

wxIMPLEMENT_APP(velk::ui::RecoveryApp);
