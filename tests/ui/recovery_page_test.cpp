// The recovery pages under Xvfb on the fixture images: scan, list, filter, sort, Icons,
// previews, recovery with overwrite questions, and Cancel during a scan.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <map>
#include <thread>
#include <wx/button.h>
#include <wx/checkbox.h>
#include <set>
#include <wx/timer.h>

#include "app/drive_page.h"
#include "app/home_view.h"
#include "app/main_frame.h"
#include "app/recovery_app.h"
#include "engines/raw/raw_scanner.h"
#include "test_support.h"
#include "ui/ui_support.h"
#include "workspace/fake_record.h"
#include "workspace/preview.h"
#include "workspace/preview_dialogs.h"
#include "workspace/progress_dialog.h"
#include "workspace/recovery_page.h"
#include "workspace/result_views.h"
#include "workspace/saved_scan.h"

namespace velk::test {
namespace {

namespace fs = std::filesystem;
using ui::RecoveryPage;

std::string baseName(const std::string& path) {
  auto slash = path.find_last_of('/');
  return toLowerAscii(slash == std::string::npos ? path : path.substr(slash + 1));
}

// Every recovered file whose name is in the manifest part must carry the manifest's hash;
// returns how many did.
size_t matchManifest(const fs::path& dir, const std::vector<ManifestEntry>& rows, int part) {
  std::map<std::string, std::string> want;
  for (const auto& r : rows)
    if (r.part == part) want[baseName(r.path)] = r.sha256;
  size_t matched = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    auto it = want.find(toLowerAscii(e.path().filename().string()));
    if (it == want.end()) continue;
    EXPECT_EQ(sha256File(e.path()), it->second) << e.path();
    // Recovered files must stay writable: the user edits them afterwards.
    EXPECT_NE(fs::status(e.path()).permissions() & fs::perms::owner_write, fs::perms::none) << e.path();
    ++matched;
  }
  return matched;
}

FolderItem* folderWithFile(RecoveryPage* page, const std::function<bool(const FileRecord&)>& pred, FileRecord** out = nullptr) {
  for (FolderItem* f : page->results().foldersBreadthFirst())
    for (FileRecord* r : f->files)
      if (pred(*r)) {
        if (out) *out = r;
        return f;
      }
  return nullptr;
}

void selectFolder(RecoveryPage* page, FolderItem* folder) {
  page->pane()->tree()->SelectItem(page->pane()->tree()->itemOf(folder));
}

class WorkspaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    frame = wxGetApp().createFrame();
    frame->Show();
  }
  void TearDown() override {
    ui::setFolderChooser(nullptr);
    ui::setEngineOpener(nullptr);
    frame->Destroy();
    wxTheApp->Yield(true);
    wxGetApp().state().progress.reset();
    wxGetApp().state().filter = FileFilter::withToday();
  }
  RecoveryPage* open(const std::string& image, std::vector<std::string> fs, int task) {
    RecoveryPage* page = openRecoveryPage(frame, fixturePath(image), std::move(fs), task);
    EXPECT_NE(page, nullptr);
    return page;
  }
  void recoverInto(RecoveryPage* page, const fs::path& dir) {
    ui::setFolderChooser(std::make_shared<FixedFolder>(dir));
    page->recover();
  }

  ui::CMainFrame* frame = nullptr;
  DialogAnswerer dialogs;
};

TEST_F(WorkspaceTest, FatPageScansListsRecoversAndAsksBeforeOverwriting) {
  RecoveryPage* page = open("demo_disk.img", {"FAT32"}, kTaskDeleted);
  ASSERT_NE(page, nullptr);
  EXPECT_NE(dynamic_cast<ui::FatRecoveryPage*>(page), nullptr);
  EXPECT_EQ(page->pane()->tree()->GetName(), "TTreeView_FAT");
  EXPECT_EQ(page->pane()->list()->GetName(), "TListView_FAT");
  ASSERT_EQ(dialogs.count("progress"), 1u);
  EXPECT_EQ(dialogs.seen[0].text, "Scanning Deleted Files ...");
  ASSERT_NE(page->results().root(), nullptr);
  ASSERT_GT(page->results().recordCount(), 0u);
  // The root is selected: its totals cover the whole tree.
  EXPECT_EQ(page->folderTotals().count, page->results().recordCount());

  // Nothing checked yet.
  page->recover();
  EXPECT_EQ(dialogs.messages(), std::vector<std::string>{"Please check files for recovering"});

  // A deleted photo, shown in its folder's list.
  FileRecord* photo = nullptr;
  FolderItem* folder = folderWithFile(page, [](const FileRecord& r) { return toLowerAscii(r.name) == "mountains.jpg"; }, &photo);
  ASSERT_NE(folder, nullptr);
  selectFolder(page, folder);
  const long row = page->model().rowOf(photo);
  ASSERT_GE(row, 0);
  EXPECT_EQ(page->pane()->list()->GetItemText(row, 0), "mountains.jpg");
  EXPECT_EQ(page->pane()->list()->GetItemText(row, 1), "63.34 KB");  // 64861 bytes

  // Checking the row checks its folder and the root; the totals follow.
  page->pane()->list()->CheckItem(row, true);
  EXPECT_TRUE(photo->checked);
  EXPECT_TRUE(page->pane()->tree()->isChecked(page->pane()->tree()->itemOf(folder)));
  EXPECT_TRUE(page->results().root()->checked);
  EXPECT_EQ(page->checkedTotals(), (Totals{1, 64861}));
  EXPECT_EQ(page->checkedTotalsLine(), "1 files - 63.34 KB");

  // Everything, by the root's check box.
  page->checkFolder(page->results().root(), true);
  EXPECT_EQ(page->checkedTotals().count, page->results().recordCount());

  TempDir out;
  recoverInto(page, out.path());
  EXPECT_EQ(dialogs.count("progress"), 2u);
  ASSERT_GE(dialogs.seen.size(), 2u);
  EXPECT_EQ(dialogs.seen[dialogs.seen.size() - 2].text, "Recoverying Deleted Files ...");
  EXPECT_FALSE(page->lastReport().cancelled);
  EXPECT_GT(page->lastReport().recovered, 0u);
  EXPECT_GE(matchManifest(out.path(), loadManifest("demo_disk"), 1), 2u);
  // FAT keeps the folder path below the root.
  EXPECT_TRUE(fs::exists(out.path() / fs::path(folder->pathBelowRoot().empty() ? "" : folder->pathBelowRoot()[0]) / photo->name));

  // Again into the same folder: "No" keeps the first file, "Yes to All" ends the questions.
  const size_t files = page->lastReport().recovered;
  ASSERT_GE(files, 3u);
  dialogs.overwriteScript = {OverwriteChoice::No, OverwriteChoice::YesToAll};
  recoverInto(page, out.path());
  EXPECT_EQ(dialogs.count("overwrite"), 2u);
  EXPECT_EQ(page->lastReport().skipped, 1u);
  EXPECT_EQ(page->lastReport().recovered, files - 1);
  EXPECT_GE(matchManifest(out.path(), loadManifest("demo_disk"), 1), 2u);

  // Cancel in the question stops the whole job.
  dialogs.overwriteScript = {OverwriteChoice::Cancel};
  recoverInto(page, out.path());
  EXPECT_TRUE(page->lastReport().cancelled);
  EXPECT_EQ(page->lastReport().recovered, 0u);

  // Unchecking the root unchecks everything.
  page->checkFolder(page->results().root(), false);
  EXPECT_EQ(page->checkedTotals(), (Totals{0, 0}));
  EXPECT_FALSE(photo->checked);
}

TEST_F(WorkspaceTest, FatPageFiltersSortsAndPreviews) {
  RecoveryPage* page = open("demo_disk.img", {"FAT32"}, kTaskDeleted);
  ASSERT_NE(page, nullptr);
  FolderItem* root = page->results().root();
  ASSERT_NE(root, nullptr);
  FolderItem* mixed = folderWithFile(page, [](const FileRecord& r) { return toLowerAscii(r.name) == "shopping list.txt"; });
  ASSERT_NE(mixed, nullptr);
  selectFolder(page, mixed);
  const size_t all = page->model().size();
  ASSERT_GE(all, 2u);

  // The Filter button follows the check box; criteria apply only while it is checked.
  EXPECT_FALSE(page->filterButton()->IsEnabled());
  page->filter().name = "shopping";
  page->setFilterEnabled(true);
  EXPECT_TRUE(page->filterButton()->IsEnabled());
  ASSERT_EQ(page->model().size(), 1u);
  EXPECT_EQ(page->model().at(0)->name, "Shopping list.txt");
  EXPECT_EQ(page->pane()->list()->GetItemCount(), 1);
  page->setFilterEnabled(false);
  EXPECT_EQ(page->model().size(), all);
  page->filter().name.clear();

  // First click on Size sorts descending, the second ascending.
  page->sortColumn(kColumnSize);
  for (size_t i = 1; i < page->model().size(); ++i) EXPECT_GE(page->model().at(i - 1)->size, page->model().at(i)->size);
  page->sortColumn(kColumnSize);
  for (size_t i = 1; i < page->model().size(); ++i) EXPECT_LE(page->model().at(i - 1)->size, page->model().at(i)->size);

  // Preview of a text file: the dump of its first kilobyte (the file has 600 bytes).
  FileRecord* text = nullptr;
  folderWithFile(page, [](const FileRecord& r) { return r.name == "Shopping list.txt"; }, &text);
  ASSERT_NE(text, nullptr);
  TempDir out;
  page->checkFolder(root, false);
  page->checkRow(page->model().rowOf(text), true);
  recoverInto(page, out.path());
  ASSERT_EQ(page->lastReport().written.size(), 1u);
  const auto bytes = readFile(page->lastReport().written[0]);
  ASSERT_EQ(bytes.size(), 600u);
  EXPECT_EQ(sha256Hex(bytes), "0ebd52237541cb102cb8acd7d76a704defcd85e3c7ec91138a1f483e1882c668");
  std::unique_ptr<wxDialog> dlg(page->createPreview(page->model().rowOf(text)));
  auto* hex = dynamic_cast<ui::TextViewDialog*>(dlg.get());
  ASSERT_NE(hex, nullptr);
  EXPECT_EQ(hex->GetTitle(), "View File Information...");
  EXPECT_EQ(hex->view()->lineCount(), 38u);  // 600 bytes: 37 full lines and one of 8
  EXPECT_EQ(hex->view()->text().utf8_string(), HexDump(bytes));

  // A larger file is cut at 1024 bytes in the FAT dump.
  FileRecord* pdf = nullptr;
  folderWithFile(page, [](const FileRecord& r) { return r.name == "Report 2025.pdf" || (r.size > 2048 && ImageTypeOf(r.name) == 0); }, &pdf);
  if (pdf) {
    selectFolder(page, page->results().folderOf(pdf));
    std::unique_ptr<wxDialog> big(page->createPreview(page->model().rowOf(pdf)));
    auto* bigHex = dynamic_cast<ui::TextViewDialog*>(big.get());
    ASSERT_NE(bigHex, nullptr);
    EXPECT_EQ(bigHex->view()->lineCount(), 64u);
  }

  // An image previews as an image of its real size.
  FileRecord* photo = nullptr;
  FolderItem* photos = folderWithFile(page, [](const FileRecord& r) { return toLowerAscii(r.name) == "mountains.jpg"; }, &photo);
  ASSERT_NE(photos, nullptr);
  selectFolder(page, photos);
  std::unique_ptr<wxDialog> img(page->createPreview(page->model().rowOf(photo)));
  auto* image = dynamic_cast<ui::ImagePreviewDialog*>(img.get());
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->GetTitle(), "View Image File...");
  EXPECT_GT(image->image().GetWidth(), 0);

  // Icons: the thumbnail job runs once and is reused until the list changes.
  const size_t progressBefore = dialogs.count("progress");
  page->setIconsMode();
  EXPECT_EQ(page->viewMode(), RecoveryPage::kViewIcons);
  EXPECT_EQ(dialogs.count("progress"), progressBefore + 1);
  EXPECT_EQ(dialogs.seen.back().text, "Viewing icon...");
  const auto& thumbs = page->pane()->grid()->thumbnails();
  ASSERT_EQ(thumbs.size(), page->model().size());
  const long photoRow = page->model().rowOf(photo);
  ASSERT_TRUE(thumbs[size_t(photoRow)].IsOk());
  EXPECT_EQ(thumbs[size_t(photoRow)].GetWidth(), 90);
  EXPECT_EQ(thumbs[size_t(photoRow)].GetHeight(), 90);
  // The frame is light grey.
  wxImage square = thumbs[size_t(photoRow)].ConvertToImage();
  EXPECT_EQ(square.GetRed(0, 0), 192);
  page->setDetailsMode();
  page->setIconsMode();
  EXPECT_EQ(dialogs.count("progress"), progressBefore + 1);
  // A new folder selection goes back to Details and makes the thumbnails stale.
  selectFolder(page, root);
  EXPECT_EQ(page->viewMode(), RecoveryPage::kViewDetails);
  EXPECT_TRUE(page->pane()->tree()->thumbnailsStale);
}

TEST_F(WorkspaceTest, RawPageGroupsByDescriptionAndRecoversByExtension) {
  RecoveryPage* page = open("raw_carve.img", {}, kTaskRaw);
  ASSERT_NE(page, nullptr);
  EXPECT_NE(dynamic_cast<ui::RawRecoveryPage*>(page), nullptr);
  EXPECT_EQ(page->pane()->list()->GetName(), "TListView_RAW");
  EXPECT_EQ(dialogs.seen.at(0).text, "Scanning Raw Files ...");
  FolderItem* root = page->results().root();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->text.rfind("RAW - Logical Disk (", 0), 0u);
  ASSERT_FALSE(root->children.empty());
  for (const auto& folder : root->children)
    for (const FileRecord* r : folder->files)
      EXPECT_EQ(static_cast<const RawFileRecord*>(r)->description, folder->text);

  page->recover();
  ASSERT_EQ(dialogs.count("message"), 1u);
  EXPECT_EQ(dialogs.seen.back().text, "Please select file to recover!");
  EXPECT_EQ(dialogs.seen.back().caption, "Notice");

  page->checkFolder(root, true);
  TempDir out;
  recoverInto(page, out.path());
  EXPECT_EQ(page->lastReport().failed, 0u);
  // Carved files are named by the scanner: compare by content.
  std::set<std::string> hashes;
  for (const auto& e : fs::recursive_directory_iterator(out.path()))
    if (e.is_regular_file() && e.path().filename() != "report.xml") {
      hashes.insert(sha256File(e.path()));
      EXPECT_EQ(e.path().parent_path().filename().string(), std::string(textAfterFirstDot(e.path().filename().string())));
    }
  size_t carved = 0;
  for (const auto& row : loadManifest("raw_carve"))
    if (row.notes.find("start_sector=") != std::string::npos && row.notes.find("start_sector=none") == std::string::npos)
      carved += hashes.count(row.sha256);
  EXPECT_GE(carved, 5u);

  // The results kept in a file come back with every file; a folder that cannot hold the
  // file says so in one sentence.
  ASSERT_TRUE(page->saveResultsButton()->IsEnabled());
  TempDir saved;
  const size_t messages = dialogs.count("message");
  ASSERT_TRUE(page->saveResultsTo(wxString::FromUTF8((saved.path() / "scan.velkscan").string())).has_value());
  auto back = loadScan(saved.path() / "scan.velkscan");
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->tree->recordCount(), page->results().recordCount());
  EXPECT_FALSE(page->saveResultsTo(wxString::FromUTF8((saved.path() / "no" / "scan.velkscan").string())).has_value());
  EXPECT_EQ(dialogs.count("message"), messages + 1);
}

TEST_F(WorkspaceTest, ExtPageListsTheFirstChildAndRecoversFlat) {
  RecoveryPage* page = open("demo_disk.img", {"EXT3"}, kTaskDeleted);
  ASSERT_NE(page, nullptr);
  EXPECT_NE(dynamic_cast<ui::ExtRecoveryPage*>(page), nullptr);
  FolderItem* root = page->results().root();
  ASSERT_NE(root, nullptr);
  ASSERT_FALSE(root->children.empty());
  selectFolder(page, root);
  EXPECT_EQ(page->model().size(), root->children.front()->files.size());
  ASSERT_GT(page->model().size(), 0u);
  page->checkFolder(root, true);
  TempDir out;
  recoverInto(page, out.path());
  EXPECT_GE(matchManifest(out.path(), loadManifest("demo_disk"), 3), 1u);
  for (const auto& e : fs::directory_iterator(out.path())) EXPECT_TRUE(e.is_regular_file()) << e.path();

  // The EXT dump stops at 4 KB.
  FileRecord* big = nullptr;
  for (FileRecord* r : page->model().rows())
    if (ImageTypeOf(r->name) == kImageNone && r->size > 4096) big = r;
  if (big) {
    std::unique_ptr<wxDialog> dlg(page->createPreview(page->model().rowOf(big)));
    auto* hex = dynamic_cast<ui::TextViewDialog*>(dlg.get());
    ASSERT_NE(hex, nullptr);
    EXPECT_EQ(hex->view()->lineCount(), 256u);
  }
}

// Recovered file → sha256 (the report names the time of its run: left out).
std::map<std::string, std::string> recoveredHashes(const fs::path& dir) {
  std::map<std::string, std::string> hashes;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file() && e.path().filename() != "report.xml")
      hashes[fs::relative(e.path(), dir).string()] = sha256File(e.path());
  return hashes;
}

// A deleted scan that also carves, saved, opened again from the drive page without
// scanning: the same files listed, the same bytes recovered through the saved plans.
TEST_F(WorkspaceTest, SavedResultsOpenFromTheDrivePageAndRecoverTheSameBytes) {
  wxGetApp().state().carveUnclaimed = true;
  RecoveryPage* page = open("fat32_deleted.img", {"FAT32"}, kTaskDeleted);
  wxGetApp().state().carveUnclaimed = false;
  ASSERT_NE(page, nullptr);
  FolderItem* root = page->results().root();
  ASSERT_NE(root, nullptr);
  FolderItem* carved = page->results().findFolder(root, "Carved");
  ASSERT_NE(carved, nullptr);
  // The carved files, and only they, are raw records, all below "Carved".
  uint64_t raw = 0;
  for (const FolderItem* f : page->results().foldersBreadthFirst())
    for (const FileRecord* r : f->files) raw += r->variant() == Variant::Raw;
  EXPECT_GT(raw, 0u);
  EXPECT_EQ(page->results().folderTotals(carved).count, raw);
  page->checkFolder(root, true);
  TempDir dir;
  fs::create_directories(dir.path() / "scanned");
  fs::create_directories(dir.path() / "saved");
  recoverInto(page, dir.path() / "scanned");
  EXPECT_EQ(page->lastReport().failed, 0u);
  const auto scanned = recoveredHashes(dir.path() / "scanned");
  const fs::path file = dir.path() / "scan.velkscan";
  ASSERT_TRUE(page->saveResultsTo(wxString::FromUTF8(file.string())).has_value());
  const uint64_t files = page->results().recordCount();
  const Totals listed = page->folderTotals();

  frame->view()->switchPage(kCommandDrivePage, kTaskDeleted);
  auto* drive = dynamic_cast<ui::DrivePage*>(frame->view()->currentPage());
  ASSERT_NE(drive, nullptr);
  std::ofstream(dir.path() / "foreign.velkscan") << "not a saved scan";
  const size_t messages = dialogs.count("message");
  EXPECT_FALSE(drive->openSavedResults(wxString::FromUTF8((dir.path() / "foreign.velkscan").string())).has_value());
  EXPECT_EQ(dialogs.count("message"), messages + 1);
  const size_t progress = dialogs.count("progress");
  ASSERT_TRUE(drive->openSavedResults(wxString::FromUTF8(file.string())).has_value());
  ASSERT_TRUE(WaitFor([&] {
    auto* p = dynamic_cast<RecoveryPage*>(frame->view()->currentPage());
    return p && p->scanStarted();
  }));
  page = dynamic_cast<ui::FatRecoveryPage*>(frame->view()->currentPage());
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->taskId(), kTaskDeleted);
  EXPECT_EQ(dialogs.count("progress"), progress);  // nothing was scanned
  EXPECT_EQ(page->results().recordCount(), files);
  EXPECT_EQ(page->folderTotals(), listed);
  EXPECT_EQ(page->model().size(), size_t(page->pane()->list()->GetItemCount()));
  page->checkFolder(page->results().root(), true);
  recoverInto(page, dir.path() / "saved");
  EXPECT_EQ(page->lastReport().failed, 0u);
  EXPECT_EQ(recoveredHashes(dir.path() / "saved"), scanned);
}

size_t filesUnder(const fs::path& dir) {
  size_t n = 0;
  // The run's report.xml is not a recovered file.
  for (const auto& e : fs::recursive_directory_iterator(dir)) n += e.is_regular_file() && e.path().filename() != "report.xml";
  return n;
}

TEST_F(WorkspaceTest, NtfsPageRecoversOnlyWhatIsCheckedNow) {
  RecoveryPage* page = open("demo_disk.img", {"NTFS"}, kTaskDeleted);
  ASSERT_NE(page, nullptr);
  EXPECT_NE(dynamic_cast<ui::NtfsRecoveryPage*>(page), nullptr);
  EXPECT_EQ(page->pane()->list()->GetName(), "TListView_NTFS");
  ASSERT_GE(page->results().recordCount(), 4u);

  // Sorting by size orders the rows of the deleted folder: largest first, then smallest.
  FolderItem* folder = folderWithFile(page, [](const FileRecord& r) { return r.name == "draft1.txt"; });
  ASSERT_NE(folder, nullptr);
  selectFolder(page, folder);
  ASSERT_GE(page->model().size(), 2u);
  page->sortColumn(kColumnSize);
  EXPECT_GE(page->model().rows().front()->size, page->model().rows().back()->size);
  page->sortColumn(kColumnSize);
  EXPECT_LT(page->model().rows().front()->size, page->model().rows().back()->size);

  page->checkFolder(page->results().root(), true);
  TempDir all;
  recoverInto(page, all.path());
  EXPECT_EQ(page->lastReport().recovered, page->results().recordCount());
  EXPECT_EQ(matchManifest(all.path(), loadManifest("demo_disk"), 2), 4u);

  // A second job after unchecking everything but one file writes that file alone: files
  // checked for the first job are not carried over.
  page->checkFolder(page->results().root(), false);
  selectFolder(page, folder);
  page->checkRow(0, true);
  TempDir one;
  recoverInto(page, one.path());
  EXPECT_EQ(page->lastReport().recovered, 1u);
  EXPECT_EQ(filesUnder(one.path()), 1u);
}

TEST_F(WorkspaceTest, FormattedVolumesGiveTheirOldFilesBack) {
  struct Case {
    const char* image;
    const char* fs;
    size_t matched;  // manifest files recovered under their own name (names repeated in other folders count once)
  };
  for (const Case& c : {Case{"ntfs_formatted", "NTFS", 14}, Case{"fat32_formatted", "FAT32", 39}}) {
    SCOPED_TRACE(c.image);
    dialogs.seen.clear();
    RecoveryPage* page = open(std::string(c.image) + ".img", {c.fs}, kTaskFormatted);
    ASSERT_NE(page, nullptr);
    ASSERT_GE(dialogs.count("progress"), 1u);
    EXPECT_EQ(dialogs.seen[0].text, "Scanning Formated Drive ...");
    ASSERT_GT(page->results().recordCount(), 0u);
    page->checkFolder(page->results().root(), true);
    TempDir out;
    recoverInto(page, out.path());
    EXPECT_EQ(page->lastReport().failed, 0u);
    EXPECT_GE(matchManifest(out.path(), loadManifest(c.image), 0), c.matched);
  }
}

// An engine that finds files slowly until it is stopped, or many files at once.
class ScriptedEngine final : public RecoveryEngine {
 public:
  ScriptedEngine(size_t files, bool slow) : m_files(files), m_slow(slow) {}
  Variant variant() const override { return Variant::Raw; }
  Status scan(ResultSink& sink, const ScanOptions&, Progress& progress) override {
    FolderItem* root = sink.addFolder(nullptr, "RAW - Logical Disk (C:)");
    FolderItem* folder = sink.addFolder(root, "JPEG Image");
    progress.foundTotal = m_files;
    for (size_t i = 0; i < m_files && scanFlag().isSet(); ++i) {
      sink.addFile(folder, std::make_unique<FakeRecord>("f" + std::to_string(i) + ".jpg", uint32_t(i), Variant::Raw));
      progress.foundCurrent = i + 1;
      if (m_slow) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return {};
  }
  Status extract(const FileRecord&, ByteSink&) override { return {}; }

 private:
  size_t m_files;
  bool m_slow;
};

TEST_F(WorkspaceTest, CancelDuringAScanKeepsWhatWasFound) {
  ui::setEngineOpener([](const PartitionRecord&, Task) -> Result<std::unique_ptr<RecoveryEngine>> {
    return std::make_unique<ScriptedEngine>(100000, true);
  });
  wxTimer poll;
  dialogs.onProgressShown = [&poll](wxDialog* dlg) {
    auto* progress = static_cast<ui::ProgressDialog*>(dlg);
    poll.Bind(wxEVT_TIMER, [progress](wxTimerEvent&) {
      if (wxGetApp().state().progress.foundCurrent.load() < 50) return;
      wxCommandEvent click(wxEVT_BUTTON, progress->cancelButton()->GetId());
      click.SetEventObject(progress->cancelButton());
      progress->cancelButton()->GetEventHandler()->ProcessEvent(click);
    });
    poll.Start(20);
  };
  RecoveryPage* page = open("raw_carve.img", {}, kTaskRaw);
  poll.Stop();
  ASSERT_NE(page, nullptr);
  const size_t found = page->results().recordCount();
  EXPECT_GE(found, 50u);
  EXPECT_LT(found, 100000u);
  EXPECT_FALSE(page->busy());
  EXPECT_FALSE(page->progressDialog()->IsShown());
  // The partial result is browsable.
  FolderItem* folder = page->results().root()->children.front().get();
  selectFolder(page, folder);
  EXPECT_EQ(page->model().size(), found);
  EXPECT_EQ(size_t(page->pane()->list()->GetItemCount()), found);
}

TEST_F(WorkspaceTest, HundredThousandFilesShowAtOnce) {
  ui::setEngineOpener([](const PartitionRecord&, Task) -> Result<std::unique_ptr<RecoveryEngine>> {
    return std::make_unique<ScriptedEngine>(100000, false);
  });
  const auto start = std::chrono::steady_clock::now();
  RecoveryPage* page = open("raw_carve.img", {}, kTaskRaw);
  ASSERT_NE(page, nullptr);
  const double scanMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  FolderItem* folder = page->results().root()->children.front().get();
  selectFolder(page, folder);
  ASSERT_EQ(page->pane()->list()->GetItemCount(), 100000);
  const double fillMs = page->lastFillMs();
  auto t0 = std::chrono::steady_clock::now();
  page->sortColumn(kColumnName);
  page->pane()->list()->Update();
  const double sortMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  t0 = std::chrono::steady_clock::now();
  page->checkFolder(folder, true);
  const double checkMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(page->checkedTotals().count, 100000u);
  EXPECT_EQ(page->checkedTotals().bytes, 99999ull * 100000 / 2);  // 0 + 1 + … + 99999: needs 64 bits
  std::cout << "[ measure ] 100000 files: scan+mirror " << scanMs << " ms, list fill " << fillMs << " ms, sort by name "
            << sortMs << " ms, check all " << checkMs << " ms\n";
  RecordProperty("list_fill_ms", int(fillMs));
}

TEST_F(WorkspaceTest, PageStartsItsScanFromTheTimerAndGoesBack) {
  RecoveryPage* page = openRecoveryPage(frame, fixturePath("demo_disk.img"), {"FAT32"}, kTaskDeleted, false);
  ASSERT_NE(page, nullptr);
  EXPECT_FALSE(page->scanStarted());
  ASSERT_TRUE(WaitFor([&] { return page->scanStarted() && !page->busy(); }, 20000));
  EXPECT_GT(page->results().recordCount(), 0u);
  wxCommandEvent back(wxEVT_BUTTON, RecoveryPage::kBackButton);
  page->FindWindow(RecoveryPage::kBackButton)->GetEventHandler()->ProcessEvent(back);
  ASSERT_TRUE(WaitFor([&] { return frame->view()->currentCommand() == kCommandDrivePage; }));
}

}  // namespace
}  // namespace velk::test
