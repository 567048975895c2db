// The pages the host can create. Each module registers its own.

#include "app/recovery_app.h"

namespace velk::ui {

void registerDrivePage();
void registerRecoveryPages();
void registerPartitionPage();
void registerMailPages();

void registerBuiltinPages() {
  registerDrivePage();
  registerRecoveryPages();
  registerPartitionPage();
  registerMailPages();
}

}  // namespace velk::ui
