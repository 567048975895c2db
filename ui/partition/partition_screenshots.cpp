// Screenshot steps of the partition recovery page: as it opens, after the automatic and
// the deep scan with a candidate chosen, and with the disk list dropped down.

#include "app/home_view.h"
#include "app/main_frame.h"
#include "app/screenshot.h"
#include "partition/partition_page.h"

namespace velk::ui {
namespace {

// Chooses the NTFS candidate when there is one (its bar shows well on the map), else the first.
void chooseCandidate(PartitionPage* p) {
  const auto& list = p->model().Candidates();
  int pick = list.empty() ? -1 : 0;
  for (size_t i = 0; i < list.size(); ++i)
    if (list[i].fsNameText() == "NTFS") pick = int(i);
  p->selectCandidate(pick);
}

}  // namespace

void addPartitionScreenshotSteps() {
  addScreenshotSteps([](std::vector<ScreenshotStep>& steps, CMainFrame* frame) {
    CHomeView* view = frame->view();
    auto page = [view] { return dynamic_cast<PartitionPage*>(view->currentPage()); };
    steps.push_back({"partition-page",
                     [view, page] {
                       view->switchPage(kCommandRecoveryPage, kTaskPartition);
                       return page() ? Shot::Ready : Shot::Failed;
                     },
                     nullptr, 600});
    steps.push_back({"partition-scan",
                     [page] {
                       PartitionPage* p = page();
                       // A failed scan would stop the tour at its message box.
                       if (!p || !p->model().AutoScan()) return Shot::Failed;
                       p->activateBackupRow(0);
                       chooseCandidate(p);
                       return Shot::Ready;
                     },
                     nullptr, 600});
    steps.push_back({"partition-deep-scan",
                     [page] {
                       PartitionPage* p = page();
                       if (!p) return Shot::Failed;
                       // The first disk where the deep scan finds a lost volume.
                       for (int disk = 0; disk < p->model().catalog().DiskCount(); ++disk) {
                         p->selectDisk(disk);
                         p->deepScan();
                         if (p->model().Candidates().empty()) continue;
                         chooseCandidate(p);
                         return Shot::Ready;
                       }
                       return Shot::Skipped;
                     },
                     nullptr, 600});
    steps.push_back({"partition-disk-list",
                     [page] {
                       PartitionPage* p = page();
                       if (!p) return Shot::Failed;
                       p->diskCombo()->Popup();
                       return Shot::Ready;
                     },
                     nullptr, 600,
                     [page] {
                       if (PartitionPage* p = page()) p->diskCombo()->Dismiss();
                     }});
  });
}

}  // namespace velk::ui
