// Screenshot steps of the recovery workspace: each page with its results, the Icons view,
// both previews and the dialogs, on whatever disks the tour was started with.

#include <memory>
#include <wx/dialog.h>

#include "app/drive_page.h"
#include "app/home_view.h"
#include "app/main_frame.h"
#include "app/recovery_app.h"
#include "app/screenshot.h"
#include "disk/drive_catalog.h"
#include "workspace/filter_dialog.h"
#include "workspace/overwrite_dialog.h"
#include "workspace/preview.h"
#include "workspace/progress_dialog.h"
#include "workspace/recovery_page.h"
#include "workspace/result_views.h"

namespace velk::ui {
namespace {

// Selects the first partition whose file-system name is one of `names` (any for RAW).
bool selectPartitionNamed(std::initializer_list<const char*> names) {
  DriveCatalog catalog;
  catalog.Refresh();
  for (int i = 0; i < catalog.PartitionCount(); ++i) {
    const PartitionRecord& r = catalog.PartitionAt(i);
    for (const char* n : names)
      if (r.fsNameText() == n) {
        wxGetApp().state().selectPartition(r);
        return true;
      }
  }
  return false;
}

RecoveryPage* openPage(CHomeView* view, std::initializer_list<const char*> names, int task) {
  if (!selectPartitionNamed(names)) return nullptr;
  view->switchPage(kCommandRecoveryPage, task);
  auto* page = dynamic_cast<RecoveryPage*>(view->currentPage());
  if (page) page->startScan();
  return page;
}

// Shows the first folder holding files (depth first), so the list is not empty.
void showFirstFilledFolder(RecoveryPage* page) {
  ResultTreeView* tree = page->pane()->tree();
  std::vector<FolderItem*> stack;
  if (FolderItem* root = page->results().root()) stack.push_back(root);
  while (!stack.empty()) {
    FolderItem* f = stack.back();
    stack.pop_back();
    if (!f->files.empty()) {
      tree->SelectItem(tree->itemOf(f));
      break;
    }
    for (auto it = f->children.rbegin(); it != f->children.rend(); ++it) stack.push_back(it->get());
  }
}

// Selects a folder with an image in it and returns that image's row (-1 when none).
long showImageFolder(RecoveryPage* page, bool wantImage) {
  ResultTreeView* tree = page->pane()->tree();
  for (FolderItem* f : page->results().foldersBreadthFirst())
    for (FileRecord* r : f->files)
      if ((ImageTypeOf(r->name) != kImageNone) == wantImage && r->size > 0) {
        tree->SelectItem(tree->itemOf(f));
        return page->model().rowOf(r);
      }
  return -1;
}

void checkSome(RecoveryPage* page) {
  for (size_t i = 0; i < page->model().size() && i < 2; ++i) page->checkRow(long(i), true);
}

}  // namespace

void addWorkspaceScreenshotSteps() {
  addScreenshotSteps([](std::vector<ScreenshotStep>& steps, CMainFrame* frame) {
    CHomeView* view = frame->view();
    auto page = [view] { return dynamic_cast<RecoveryPage*>(view->currentPage()); };
    auto dialog = std::make_shared<wxDialog*>(nullptr);
    auto dialogTarget = [dialog] { return static_cast<wxWindow*>(*dialog); };
    auto closeDialog = [dialog] {
      if (*dialog) (*dialog)->Destroy();
      *dialog = nullptr;
    };

    steps.push_back({"fat-page", [view] {
                       if (RecoveryPage* p = openPage(view, {"FAT32", "FAT16", "FAT"}, kTaskDeleted)) {
                         showFirstFilledFolder(p);
                         checkSome(p);
                       }
                     },
                     nullptr, 800});
    steps.push_back({"icons-view", [page] {
                       if (RecoveryPage* p = page()) {
                         showImageFolder(p, true);
                         p->setIconsMode();
                       }
                     },
                     nullptr, 800});
    steps.push_back({"image-preview",
                     [page, dialog] {
                       if (RecoveryPage* p = page()) {
                         long row = showImageFolder(p, true);
                         if ((*dialog = p->createPreview(row))) (*dialog)->Show();
                       }
                     },
                     dialogTarget, 800, closeDialog});
    steps.push_back({"hex-preview",
                     [page, dialog] {
                       if (RecoveryPage* p = page()) {
                         long row = showImageFolder(p, false);
                         if ((*dialog = p->createPreview(row))) (*dialog)->Show();
                       }
                     },
                     dialogTarget, 600, closeDialog});
    steps.push_back({"filter-dialog",
                     [page, dialog] {
                       if (RecoveryPage* p = page()) {
                         p->setFilterEnabled(true);
                         *dialog = new FilterDialog(p, FilterDialog::Kind::PageFilter, p->filter());
                         (*dialog)->Show();
                       }
                     },
                     dialogTarget, 500, closeDialog});
    steps.push_back({"overwrite-dialog",
                     [page, dialog] {
                       if (RecoveryPage* p = page()) {
                         *dialog = new OverwriteDialog(p, "beach.jpg");
                         (*dialog)->Show();
                       }
                     },
                     dialogTarget, 500, closeDialog});
    steps.push_back({"progress-dialog",
                     [page] {
                       if (RecoveryPage* p = page()) {
                         Progress& progress = wxGetApp().state().progress;
                         progress.foundTotal = 40;
                         progress.foundCurrent = 10;
                         progress.setStatus("Found Deleted Files : 10");
                         p->progressDialog()->setTitleText("Scanning Deleted Files ...");
                         p->progressDialog()->showForTour();
                       }
                     },
                     [page]() -> wxWindow* { return page() ? page()->progressDialog() : nullptr; }, 1300,
                     [page] {
                       if (RecoveryPage* p = page()) p->progressDialog()->finish();
                       wxGetApp().state().progress.reset();
                     }});
    steps.push_back({"ntfs-page", [view] {
                       if (RecoveryPage* p = openPage(view, {"NTFS"}, kTaskDeleted)) showFirstFilledFolder(p);
                     },
                     nullptr, 800});
    steps.push_back({"ext-page", [view] {
                       if (RecoveryPage* p = openPage(view, {"EXT3", "EXT2"}, kTaskDeleted)) {
                         showFirstFilledFolder(p);
                         checkSome(p);
                       }
                     },
                     nullptr, 800});
    steps.push_back({"raw-page", [view] {
                       if (RecoveryPage* p = openPage(view, {"FAT32", "FAT16", "FAT", "NTFS", "EXT3", "EXT2", "Unknown"},
                                                      kTaskRaw)) {
                         showFirstFilledFolder(p);
                         checkSome(p);
                       }
                     },
                     nullptr, 800});
    steps.push_back({"raw-options-dialog",
                     [view, dialog] {
                       view->switchPage(kCommandDrivePage, kTaskRaw);
                       if (auto* d = dynamic_cast<DrivePage*>(view->currentPage())) {
                         for (int i = 0; i < d->catalog().PartitionCount(); ++i)
                           if (d->selectPartition(i)) break;
                         *dialog = d->openOptions(true);
                       }
                     },
                     dialogTarget, 500, closeDialog});
  });
}

}  // namespace velk::ui
