// The pages the host can create. Each module registers its own; a page that has not
// landed yet keeps its placeholder.

#include "app/recovery_app.h"

namespace velk::ui {

void registerPlaceholderPages();
void registerDrivePage();
void registerRecoveryPages();
void registerPartitionPage();
void registerMailPages();

void registerBuiltinPages() {
  registerPlaceholderPages();
  registerDrivePage();
  registerRecoveryPages();
  registerPartitionPage();
  registerMailPages();
}

}  // namespace velk::ui
