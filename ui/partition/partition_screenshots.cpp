// Screenshot steps of the partition recovery page: as it opens, after the automatic scan
// with a candidate chosen, and with the disk list dropped down.

#include "app/home_view.h"
#include "app/main_frame.h"
#include "app/screenshot.h"
#include "partition/partition_page.h"

namespace velk::ui {

void addPartitionScreenshotSteps() {
  addScreenshotSteps([](std::vector<ScreenshotStep>& steps, CMainFrame* frame) {
    CHomeView* view = frame->view();
    auto page = [view] { return dynamic_cast<PartitionPage*>(view->currentPage()); };
    steps.push_back({"partition-page", [view] { view->switchPage(kCommandRecoveryPage, kTaskPartition); }, nullptr, 600});
    steps.push_back({"partition-scan",
                     [page] {
                       PartitionPage* p = page();
                       // A failed scan would stop the tour at its message box.
                       if (!p || !p->model().AutoScan()) return;
                       p->activateBackupRow(0);
                       const auto& list = p->model().Candidates();
                       int pick = list.empty() ? -1 : 0;
                       for (size_t i = 0; i < list.size(); ++i)
                         if (list[i].fsNameText() == "NTFS") pick = int(i);
                       p->selectCandidate(pick);
                     },
                     nullptr, 600});
    steps.push_back({"partition-disk-list",
                     [page] {
                       if (PartitionPage* p = page()) p->diskCombo()->Popup();
                     },
                     nullptr, 600,
                     [page] {
                       if (PartitionPage* p = page()) p->diskCombo()->Dismiss();
                     }});
  });
}

}  // namespace velk::ui
