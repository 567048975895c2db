// Screenshot steps of the recovery workspace: each page with its results, the Icons view,
// both previews, the dialogs and the summary of a real recovery into the tour's own
// folder, on whatever disks the tour was started with.

#include <algorithm>
#include <memory>
#include <wx/dialog.h>
#include <wx/filename.h>
#include <wx/modalhook.h>

#include "app/drive_page.h"
#include "app/home_view.h"
#include "app/main_frame.h"
#include "app/recovery_app.h"
#include "app/screenshot.h"
#include "disk/drive_catalog.h"
#include "disk/file_system.h"
#include "workspace/filter_dialog.h"
#include "workspace/overwrite_dialog.h"
#include "workspace/preview.h"
#include "workspace/preview_dialogs.h"
#include "workspace/progress_dialog.h"
#include "workspace/recovery_dialogs.h"
#include "workspace/recovery_page.h"
#include "workspace/result_views.h"

namespace velk::ui {
namespace {

// The recovery page of the first partition, of those with one of `names` (any for an empty
// list), whose scan finds something: a page of an empty volume shows nothing worth a look.
RecoveryPage* openPageWithResults(CHomeView* view, std::initializer_list<const char*> names, int task) {
  DriveCatalog catalog;
  catalog.Refresh();
  // The raw page shows carving best where no file system is: those records come first.
  std::vector<const PartitionRecord*> order;
  for (const PartitionRecord& r : catalog.partitions()) order.push_back(&r);
  if (task == kTaskRaw)
    std::stable_partition(order.begin(), order.end(), [](const PartitionRecord* r) {
      return namedFileSystem(r->fsNameText()) == FileSystem::Unknown;
    });
  for (const PartitionRecord* record : order) {
    const PartitionRecord& r = *record;
    bool wanted = names.size() == 0;
    for (const char* n : names) wanted = wanted || r.fsNameText() == n;
    if (!wanted || !driveListsPartition(task, r)) continue;
    wxGetApp().state().selectPartition(r);
    view->switchPage(kCommandRecoveryPage, task);
    auto* page = dynamic_cast<RecoveryPage*>(view->currentPage());
    if (!page) continue;
    page->startScan();
    if (page->results().recordCount() > 0) return page;
  }
  return nullptr;
}

Shot shown(const void* p) { return p ? Shot::Ready : Shot::Failed; }

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

// Selects a folder with an image in it (or, for !wantImage, another file) and returns that
// file's row (-1 when none).
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

// The folder showing most kinds of files: pictures and others side by side in Icons.
void showMixedFolder(RecoveryPage* page) {
  FolderItem* best = nullptr;
  size_t bestScore = 0;
  for (FolderItem* f : page->results().foldersBreadthFirst()) {
    size_t images = 0;
    for (const FileRecord* r : f->files) images += ImageTypeOf(r->name) != kImageNone;
    const size_t score = (images > 0) + (images < f->files.size()) * 2 + std::min<size_t>(f->files.size(), 6);
    if (score > bestScore) bestScore = score, best = f;
  }
  if (best) page->pane()->tree()->SelectItem(page->pane()->tree()->itemOf(best));
}

void checkSome(RecoveryPage* page) {
  for (size_t i = 0; i < page->model().size() && i < 2; ++i) page->checkRow(long(i), true);
}

// Brings the last columns (the verdict, the carved name) beside the name: the attribute
// and date columns fold away for the shot. Scrolling instead leaves the generic list's
// header behind its rows.
void showLastColumns(RecoveryPage* page) {
  ResultListView* list = page->pane()->list();
  for (int c = kColumnAttributes; c <= kColumnAccessed && c < list->GetColumnCount(); ++c) list->SetColumnWidth(c, 0);
}

// Answers the recovery's summary at once, so the tour can show it modeless instead.
class SummarySkipper : public wxModalDialogHook {
 public:
  SummarySkipper() { Register(); }
  ~SummarySkipper() override { Unregister(); }

 protected:
  int Enter(wxDialog* dialog) override { return dynamic_cast<RecoverySummaryDialog*>(dialog) ? wxID_CLOSE : wxID_NONE; }
  void Exit(wxDialog*) override {}
};

class TourFolder : public FolderChooser {
 public:
  bool choose(wxWindow*, wxString& path) override {
    path = tourScratchFolder() + "/Recovered";
    return wxFileName::Mkdir(path, wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL);
  }
};

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
    auto onPage = [page](std::function<Shot(RecoveryPage*)> f) {
      return [page, f] {
        RecoveryPage* p = page();
        return p ? f(p) : Shot::Failed;
      };
    };

    steps.push_back({"fat-page", [view] {
                       RecoveryPage* p = openPageWithResults(view, {"FAT32", "FAT16", "FAT", "FAT12"}, kTaskDeleted);
                       if (p) {
                         showFirstFilledFolder(p);
                         checkSome(p);
                       }
                       return shown(p);
                     },
                     nullptr, 800});
    steps.push_back({"list-verdicts", onPage([](RecoveryPage* p) {
                       showLastColumns(p);
                       return Shot::Ready;
                     }),
                     nullptr, 500});
    steps.push_back({"icons-view", onPage([](RecoveryPage* p) {
                       showMixedFolder(p);
                       checkSome(p);
                       p->setIconsMode();
                       p->pane()->grid()->selectRow(0);
                       p->pane()->grid()->SetFocus();
                       return Shot::Ready;
                     }),
                     nullptr, 800});
    steps.push_back({"image-preview",
                     onPage([dialog](RecoveryPage* p) {
                       const long row = showImageFolder(p, true);
                       if ((*dialog = p->createPreview(row))) (*dialog)->Show();
                       return shown(*dialog);
                     }),
                     dialogTarget, 800, closeDialog});
    steps.push_back({"hex-preview",
                     onPage([dialog](RecoveryPage* p) {
                       const long row = showImageFolder(p, false);
                       if ((*dialog = p->createPreview(row))) {
                         (*dialog)->Show();
                         // A selection across lines, as the mouse makes it.
                         if (auto* hex = dynamic_cast<TextViewDialog*>(*dialog)) hex->view()->select({2, 10}, {5, 40});
                       }
                       return shown(*dialog);
                     }),
                     dialogTarget, 600, closeDialog});
    steps.push_back({"filter-dialog",
                     onPage([dialog](RecoveryPage* p) {
                       p->setFilterEnabled(true);
                       *dialog = new FilterDialog(p, FilterDialog::Kind::PageFilter, p->filter());
                       (*dialog)->Show();
                       return Shot::Ready;
                     }),
                     dialogTarget, 500, closeDialog});
    steps.push_back({"filter-applied", onPage([](RecoveryPage*) { return Shot::Ready; }), nullptr, 300});
    steps.push_back({"overwrite-dialog",
                     onPage([dialog](RecoveryPage* p) {
                       *dialog = new OverwriteDialog(p, "beach.jpg");
                       (*dialog)->Show();
                       return Shot::Ready;
                     }),
                     dialogTarget, 500, closeDialog});
    steps.push_back({"progress-dialog",
                     onPage([](RecoveryPage* p) {
                       p->setFilterEnabled(false);
                       Progress& progress = wxGetApp().state().progress;
                       progress.foundTotal = 40;
                       progress.foundCurrent = 10;
                       progress.setStatus("Found Deleted Files : 10");
                       p->progressDialog()->setTitleText("Scanning Deleted Files ...");
                       p->progressDialog()->showForTour();
                       return Shot::Ready;
                     }),
                     nullptr, 1300,
                     [page] {
                       if (RecoveryPage* p = page()) p->progressDialog()->finish();
                       wxGetApp().state().progress.reset();
                     }});
    // A real recovery of the checked files into the tour's folder, then its summary.
    steps.push_back({"recovery-summary",
                     onPage([dialog](RecoveryPage* p) {
                       setFolderChooser(std::make_shared<TourFolder>());
                       {
                         SummarySkipper skip;
                         p->recover();
                       }
                       setFolderChooser(nullptr);
                       if (p->lastReport().recovered == 0) return Shot::Failed;
                       *dialog = new RecoverySummaryDialog(p, p->lastReport(), tourScratchFolder() + "/Recovered");
                       (*dialog)->Show();
                       return Shot::Ready;
                     }),
                     dialogTarget, 500, closeDialog});
    steps.push_back({"ntfs-page", [view] {
                       RecoveryPage* p = openPageWithResults(view, {"NTFS"}, kTaskDeleted);
                       if (p) showFirstFilledFolder(p);
                       return shown(p);
                     },
                     nullptr, 800});
    steps.push_back({"ext-page", [view] {
                       RecoveryPage* p = openPageWithResults(view, {"EXT4", "EXT3", "EXT2"}, kTaskDeleted);
                       if (p) {
                         showFirstFilledFolder(p);
                         checkSome(p);
                       }
                       return shown(p);
                     },
                     nullptr, 800});
    steps.push_back({"exfat-page", [view] {
                       DriveCatalog catalog;
                       catalog.Refresh();
                       bool any = false;
                       for (const auto& r : catalog.partitions()) any = any || r.fsNameText() == "exFAT";
                       if (!any) return Shot::Skipped;
                       RecoveryPage* p = openPageWithResults(view, {"exFAT"}, kTaskDeleted);
                       if (p) showFirstFilledFolder(p);
                       return shown(p);
                     },
                     nullptr, 800});
    steps.push_back({"raw-page", [view] {
                       // Carved files named from their content; the carver's names stay listed.
                       wxGetApp().state().rawNameFromContent = true;
                       RecoveryPage* p = openPageWithResults(view, {}, kTaskRaw);
                       wxGetApp().state().rawNameFromContent = false;
                       if (p) {
                         showFirstFilledFolder(p);
                         checkSome(p);
                       }
                       return shown(p);
                     },
                     nullptr, 800});
    steps.push_back({"raw-names", onPage([](RecoveryPage* p) {
                       showLastColumns(p);
                       return Shot::Ready;
                     }),
                     nullptr, 500});
    steps.push_back({"raw-options-dialog",
                     [view, dialog] {
                       view->switchPage(kCommandDrivePage, kTaskRaw);
                       auto* d = dynamic_cast<DrivePage*>(view->currentPage());
                       if (!d) return Shot::Failed;
                       for (int i = 0; i < d->catalog().PartitionCount(); ++i)
                         if (d->selectPartition(i)) break;
                       *dialog = d->openOptions(true);
                       return shown(*dialog);
                     },
                     dialogTarget, 500, closeDialog});
  });
}

}  // namespace velk::ui
