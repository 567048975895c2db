// The partition recovery page under Xvfb, always on temporary copies of the disk fixtures:
// the automatic scan finds a partition whose table entry was zeroed, the disk map follows
// the chosen candidate, the rewrite asks first and brings the entry back, a backup file is
// written and loaded back to restore a partition the scan cannot find. Expected sectors
// come from the fixtures' layout files.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "app/home_view.h"
#include "app/main_frame.h"
#include "app/recovery_app.h"
#include "app/skin_button.h"
#include "disk/device.h"
#include "partition/backup_file.h"
#include "partition/partition_page.h"
#include "partition/partition_test_support.h"
#include "partition/partition_texts.h"
#include "ui/ui_support.h"

namespace velk::test {
namespace {

namespace fs = std::filesystem;
using ui::PartitionPage;

// demo_disk: FAT32 2048+81920, NTFS 83968+81920, EXT3 165888+81920 on 262144 sectors.
constexpr uint32_t kDemoNtfsStart = 83968, kDemoSectors = 81920;
constexpr uint64_t kDemoDiskBytes = 134217728;
// mbr_mixed: FAT32 2048+81920, NTFS 92160+98304, then the extended partition.
constexpr uint32_t kMixedNtfsStart = 92160, kMixedNtfsSectors = 98304;

std::string str(std::string_view s) { return std::string(s); }

// Answers the backup file dialogs from the test and remembers what was proposed.
class ScriptedFileDialogs : public ui::BackupFileDialogs {
 public:
  bool chooseSaveFile(wxWindow*, const wxString& folder, const wxString& name, wxString& path) override {
    ++saves;
    proposedFolder = folder.utf8_string();
    proposedName = name.utf8_string();
    if (savePath.empty()) return false;
    path = wxString::FromUTF8(savePath.string());
    return true;
  }
  bool chooseOpenFile(wxWindow*, wxString& path) override {
    ++opens;
    if (openPath.empty()) return false;
    path = wxString::FromUTF8(openPath.string());
    return true;
  }
  fs::path savePath, openPath;
  std::string proposedFolder, proposedName;
  int saves = 0, opens = 0;
};

wxColour pixel(const wxBitmap& bmp, int x, int y) {
  const wxImage image = bmp.ConvertToImage();
  return wxColour(image.GetRed(x, y), image.GetGreen(x, y), image.GetBlue(x, y));
}

class PartitionPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("VELK_BACKUP_DIR")) m_oldBackupDir = old;
    ::setenv("VELK_BACKUP_DIR", m_backups.path().c_str(), 1);
    ui::setBackupFileDialogs(m_files);
    // A test never restarts the machine: a request is a failure.
    ui::setRestartRequest([this] {
      ++m_restarts;
      ADD_FAILURE() << "a restart was requested";
      return false;
    });
    frame = wxGetApp().createFrame();
    frame->Show();
  }
  void TearDown() override {
    frame->Destroy();
    wxTheApp->Yield(true);
    ui::setBackupFileDialogs(nullptr);
    ui::setRestartRequest(nullptr);
    ui::setTableRereader(nullptr);
    DeviceNamespace::instance().reset();
    if (m_oldBackupDir.empty()) ::unsetenv("VELK_BACKUP_DIR");
    else ::setenv("VELK_BACKUP_DIR", m_oldBackupDir.c_str(), 1);
  }

  // A damaged temporary copy of a fixture; empty when the fixture is missing.
  fs::path damagedCopy(const std::string& fixture, const std::function<void(const fs::path&)>& damage) {
    if (!fixtureExists(fixture)) return {};
    fs::path image = copyFixture(fixture, m_images.path());
    damage(image);
    return image;
  }
  PartitionPage* openPage(const std::vector<fs::path>& images) {
    std::vector<wxString> names;
    for (const auto& i : images) names.push_back(wxString::FromUTF8(i.string()));
    wxGetApp().attachDevices(names, false);
    frame->view()->switchPage(kCommandRecoveryPage, kTaskPartition);
    auto* page = dynamic_cast<PartitionPage*>(frame->view()->currentPage());
    EXPECT_NE(page, nullptr);
    return page;
  }
  void click(wxWindow* button) {
    wxCommandEvent e(wxEVT_BUTTON, button->GetId());
    e.SetEventObject(button);
    button->GetEventHandler()->ProcessEvent(e);
  }
  void activateRow(PartitionPage* page, long row) {
    wxListEvent e(wxEVT_LIST_ITEM_ACTIVATED, PartitionPage::kBackupList);
    e.SetIndex(row);
    e.SetEventObject(page->backupList());
    page->backupList()->GetEventHandler()->ProcessEvent(e);
  }
  void chooseCandidate(PartitionPage* page, int index) {
    wxCommandEvent e(wxEVT_LISTBOX, PartitionPage::kCandidateList);
    e.SetInt(index);
    e.SetEventObject(page->candidateList());
    page->candidateList()->GetEventHandler()->ProcessEvent(e);
  }
  int candidateAt(PartitionPage* page, uint32_t start, std::string_view fs) {
    const auto& list = page->model().Candidates();
    for (size_t i = 0; i < list.size(); ++i)
      if (list[i].startSector == start && list[i].fsNameText() == fs) return int(i);
    return -1;
  }
  std::vector<std::string> rowTexts(PartitionPage* page, int column) {
    std::vector<std::string> out;
    for (long i = 0; i < page->backupList()->GetItemCount(); ++i)
      out.push_back(page->backupList()->GetItemText(i, column).utf8_string());
    return out;
  }
  const SeenDialog& lastMessage() { return dialogs.seen.back(); }

  ui::CMainFrame* frame = nullptr;
  DialogAnswerer dialogs;
  TempDir m_images, m_backups;
  std::shared_ptr<ScriptedFileDialogs> m_files = std::make_shared<ScriptedFileDialogs>();
  int m_restarts = 0;
  std::string m_oldBackupDir;
};

TEST_F(PartitionPageTest, AutoScanFindsTheLostNtfsAndTheRewriteBringsItBack) {
  const fs::path image = damagedCopy("demo_disk.img", [](const fs::path& i) { zeroTableEntry(i, 0, 1); });
  if (image.empty()) GTEST_FAIL() << "demo_disk fixture missing";
  PartitionPage* page = openPage({image});
  ASSERT_NE(page, nullptr);

  // As created: the one disk chosen, the backup list with its two fixed rows, no candidate.
  ASSERT_EQ(page->diskCombo()->GetCount(), 1u);
  EXPECT_EQ(page->diskCombo()->GetSelection(), 0);
  EXPECT_EQ(page->diskCombo()->GetString(0), "demo_disk.img (  BusType :  Unknown ,    Size :  128.00 MB  )");
  EXPECT_EQ(rowTexts(page, 0),
            (std::vector<std::string>{"  Auto Scan ...    ", PartitionPage::kRowDeepScan, "  Add backup file..."}));
  EXPECT_EQ(rowTexts(page, 1), (std::vector<std::string>{"(If you haven't any backup file)",
                                                         PartitionPage::kRowDeepScanNote, "(If you have backup files)"}));
  wxListItem heading;
  heading.SetMask(wxLIST_MASK_TEXT | wxLIST_MASK_WIDTH);
  ASSERT_TRUE(page->backupList()->GetColumn(0, heading));
  EXPECT_EQ(heading.GetText(), "Date Created");
  EXPECT_EQ(page->candidateList()->GetItemCount(), 0u);
  EXPECT_FALSE(page->nextButton()->IsEnabled());

  // Recovery without a candidate: the warning, then code 2.
  click(page->recoveryButton());
  ASSERT_EQ(dialogs.seen.size(), 2u);
  EXPECT_EQ(dialogs.seen[0].text, str(kTextDangerous));
  EXPECT_EQ(dialogs.seen[0].caption, "Warning");
  EXPECT_TRUE(dialogs.seen[0].style & wxCANCEL);
  EXPECT_EQ(dialogs.seen[1].text, "Select the partition you want recover");
  EXPECT_EQ(dialogs.seen[1].caption, "Error");
  EXPECT_TRUE(dialogs.seen[1].style & wxICON_ERROR);

  // The automatic scan: the gap where the NTFS entry was holds its boot sector.
  activateRow(page, 0);
  EXPECT_EQ(dialogs.seen.size(), 2u);
  const int ntfs = candidateAt(page, kDemoNtfsStart, "NTFS");
  ASSERT_GE(ntfs, 0);
  EXPECT_EQ(page->candidateList()->GetItemCount(), page->model().Candidates().size());
  const PartitionRecord& found = page->model().Candidates()[size_t(ntfs)];
  EXPECT_EQ(found.type, 0x07);
  EXPECT_EQ(found.length, uint64_t(kDemoSectors) * 512);
  const CandidateLine line = candidateLine(found);
  EXPECT_EQ(line.start, "Start Sector : 83968");
  EXPECT_EQ(line.end, "End Sector : 165887");

  // Choosing it repaints the map with its bar along the bottom, in the NTFS colour.
  const wxBitmap before = page->diskMap()->render();
  const wxSize mapSize = page->diskMap()->GetClientSize();
  ASSERT_EQ(mapSize, wxSize(581, 60));
  const double scale = double(mapSize.x - 16) / double(kDemoDiskBytes);
  const int ntfsMiddle = 8 + int(double(kDemoNtfsStart + kDemoSectors / 2) * 512 * scale);
  const int bottomBar = mapSize.y - 8 - 5, topBar = 8 + 5;
  const int paints = page->diskMap()->paintCount();
  chooseCandidate(page, ntfs);
  EXPECT_EQ(page->selectedCandidate(), ntfs);
  EXPECT_TRUE(WaitFor([&] { return page->diskMap()->paintCount() > paints; }));
  EXPECT_EQ(pixel(before, ntfsMiddle, bottomBar), wxColour(0xB4, 0xC8, 0xD2));  // the map's interior
  const wxBitmap chosen = page->diskMap()->render();
  EXPECT_EQ(pixel(chosen, ntfsMiddle, bottomBar), wxColour(255, 0, 255));
  // Above it the gap is still grey; the FAT32 volume before it is blue.
  EXPECT_EQ(pixel(chosen, ntfsMiddle, topBar), wxColour(0xBE, 0xBE, 0xBE));
  EXPECT_EQ(pixel(chosen, 8 + int((2048.0 + 40960) * 512 * scale), topBar), wxColour(0, 0, 255));

  // Cancel on the warning writes nothing.
  const auto mbr = readImageSector(image, 0);
  dialogs.messageAnswers[str(kTextDangerous)] = wxID_CANCEL;
  click(page->recoveryButton());
  EXPECT_EQ(lastMessage().text, str(kTextDangerous));
  EXPECT_EQ(readImageSector(image, 0), mbr);

  // OK: the entry is back, the catalogue re-read, and an image needs no restart.
  dialogs.messageAnswers[str(kTextDangerous)] = wxID_OK;
  const size_t seen = dialogs.seen.size();
  click(page->recoveryButton());
  ASSERT_EQ(dialogs.seen.size(), seen + 2);
  EXPECT_EQ(lastMessage().text, PartitionPage::kTextNoRestartImage);
  EXPECT_EQ(lastMessage().caption, "Recovery Success!");
  EXPECT_EQ(page->lastRewrite().code, RewriteCode::Rewritten) << page->lastRewrite().detail;
  const auto entries = imageEntries(image, 0);
  EXPECT_EQ(entries[1].type, 0x07);
  EXPECT_EQ(entries[1].start, kDemoNtfsStart);
  EXPECT_EQ(entries[1].count, kDemoSectors);
  const PartitionRecord* listed = findRecord(page->model().catalog(), kDemoNtfsStart, "NTFS");
  ASSERT_NE(listed, nullptr);
  EXPECT_NE(listed->letter, '*');
  // The sectors it changed were saved first, in the backup folder.
  EXPECT_EQ(page->lastRewrite().undoFile.parent_path(), m_backups.path());
  EXPECT_TRUE(fs::exists(page->lastRewrite().undoFile));
  // The map shows the refreshed table; the candidates and the choice stay.
  EXPECT_EQ(pixel(page->diskMap()->render(), ntfsMiddle, topBar), wxColour(255, 0, 255));
  EXPECT_EQ(page->selectedCandidate(), ntfs);
  EXPECT_EQ(page->diskCombo()->GetSelection(), 0);

  // The same candidate again: the gap is gone.
  click(page->recoveryButton());
  EXPECT_EQ(lastMessage().text, "The partition selected can't be recovered. Please select the other partition.");
  EXPECT_EQ(lastMessage().caption, "Error");
  EXPECT_EQ(m_restarts, 0);
}

TEST_F(PartitionPageTest, RestartIsOfferedOnlyWhenTheSystemKeepsTheOldTable) {
  const fs::path image = damagedCopy("demo_disk.img", [](const fs::path& i) { zeroTableEntry(i, 0, 1); });
  if (image.empty()) GTEST_FAIL() << "demo_disk fixture missing";

  for (TableRereadStatus status : {TableRereadStatus::Failed, TableRereadStatus::Reread}) {
    SCOPED_TRACE(int(status));
    zeroTableEntry(image, 0, 1);
    PartitionPage* page = openPage({image});
    ASSERT_NE(page, nullptr);
    int rereads = 0;
    bool refreshedFirst = false;
    ui::setTableRereader([&, page, status](int disk) {
      ++rereads;
      EXPECT_EQ(disk, 0);
      // The page's catalogue already shows the new entry when the system is asked.
      refreshedFirst = findRecord(page->model().catalog(), kDemoNtfsStart, "NTFS") != nullptr;
      return TableRereadResult{status, status == TableRereadStatus::Failed ? EBUSY : 0};
    });
    activateRow(page, 0);
    const int ntfs = candidateAt(page, kDemoNtfsStart, "NTFS");
    ASSERT_GE(ntfs, 0);
    chooseCandidate(page, ntfs);
    dialogs.seen.clear();
    click(page->recoveryButton());
    EXPECT_EQ(rereads, 1);
    EXPECT_TRUE(refreshedFirst);
    ASSERT_EQ(dialogs.seen.size(), 2u);
    const SeenDialog& after = dialogs.seen[1];
    EXPECT_EQ(after.caption, "Recovery Success!");
    if (status == TableRereadStatus::Failed) {
      // The restart question; the test answers No.
      EXPECT_EQ(after.text, str(kTextRecovered));
      EXPECT_TRUE(after.style & wxYES_NO);
    } else {
      EXPECT_EQ(after.text, PartitionPage::kTextNoRestartReread);
    }
    EXPECT_EQ(imageEntries(image, 0)[1].start, kDemoNtfsStart);
  }
  EXPECT_EQ(m_restarts, 0);
}

TEST_F(PartitionPageTest, BackupWrittenToAPbfLoadsBackAndRestoresAPartitionTheScanCannotFind) {
  const fs::path image = damagedCopy("mbr_mixed.img", [](const fs::path&) {});
  if (image.empty()) GTEST_FAIL() << "mbr_mixed fixture missing";
  PartitionPage* page = openPage({image});
  ASSERT_NE(page, nullptr);
  const DiskRecord disk = *page->model().SelectedDisk();
  size_t records = 0;
  for (const auto& r : page->model().catalog().partitions()) records += r.diskNumber == disk.number;
  ASSERT_GE(records, 5u);

  // Cancel on the question: no file dialog.
  dialogs.messageAnswers[str(kTextBackupQuestion)] = wxID_CANCEL;
  click(page->backupButton());
  EXPECT_EQ(lastMessage().text, str(kTextBackupQuestion));
  EXPECT_EQ(lastMessage().caption, "Confirm");
  EXPECT_EQ(m_files->saves, 0);

  // The file dialog proposes the backup folder and a name the listing finds; cancelling
  // it writes nothing.
  dialogs.messageAnswers[str(kTextBackupQuestion)] = wxID_OK;
  click(page->backupButton());
  EXPECT_EQ(m_files->saves, 1);
  EXPECT_EQ(fs::path(m_files->proposedFolder), m_backups.path());
  EXPECT_EQ(m_files->proposedName.rfind("mbr_mixed.img", 0), 0u) << m_files->proposedName;
  EXPECT_EQ(fs::path(m_files->proposedName).extension(), ".pbf");
  EXPECT_TRUE(fs::is_empty(m_backups.path()));

  // Written: magic, the disk record and every record of the disk.
  const fs::path pbf = m_backups.path() / m_files->proposedName;
  m_files->savePath = pbf;
  click(page->backupButton());
  EXPECT_EQ(lastMessage().text, "Backup has done!");
  EXPECT_EQ(lastMessage().caption, "Success");
  ASSERT_TRUE(fs::exists(pbf));
  EXPECT_EQ(fs::file_size(pbf), kBackupHeaderSize + records * kPartitionRecordSize);
  // It is offered at once, just above the last row.
  std::vector<std::string> paths = rowTexts(page, 1);
  ASSERT_EQ(paths.size(), 4u);
  EXPECT_EQ(paths[2], pbf.string());
  EXPECT_EQ(rowTexts(page, 0)[2].rfind("  2", 0), 0u);

  // The NTFS volume loses its entry. The gap it leaves opens at the FAT32 volume's end,
  // where the automatic scan finds no boot sector; a new visit of the page lists the backup
  // file, which still knows the volume.
  zeroTableEntry(image, 0, 1);
  page = openPage({image});
  ASSERT_NE(page, nullptr);
  paths = rowTexts(page, 1);
  ASSERT_EQ(paths.size(), 4u);
  EXPECT_EQ(paths[2], pbf.string());
  EXPECT_EQ(rowTexts(page, 0)[2].rfind("     2", 0), 0u);
  EXPECT_EQ(findRecord(page->model().catalog(), kMixedNtfsStart), nullptr);
  activateRow(page, 0);
  EXPECT_EQ(candidateAt(page, kMixedNtfsStart, "NTFS"), -1);

  activateRow(page, 2);
  ASSERT_EQ(page->model().Candidates().size(), records);
  const int ntfs = candidateAt(page, kMixedNtfsStart, "NTFS");
  ASSERT_GE(ntfs, 0);
  chooseCandidate(page, ntfs);
  dialogs.messageAnswers[str(kTextDangerous)] = wxID_OK;
  click(page->recoveryButton());
  ASSERT_EQ(page->lastRewrite().code, RewriteCode::Rewritten) << page->lastRewrite().detail;
  EXPECT_EQ(lastMessage().text, PartitionPage::kTextNoRestartImage);
  const auto mbr = imageEntries(image, 0);
  EXPECT_EQ(mbr[1].type, 0x07);
  EXPECT_EQ(mbr[1].start, kMixedNtfsStart);
  EXPECT_EQ(mbr[1].count, kMixedNtfsSectors);
  EXPECT_EQ(mbr[2].type, 0x0F);  // the extended partition keeps its entry
  EXPECT_NE(findRecord(page->model().catalog(), kMixedNtfsStart, "NTFS"), nullptr);
  EXPECT_EQ(readImageSector(image, kMixedNtfsStart), readImageSector(fixturePath("mbr_mixed.img"), kMixedNtfsStart));

  // A file of another disk is refused and the candidates stay; cancelling the open dialog
  // leaves the list as it was.
  const fs::path other = m_images.path() / "other.pbf";
  std::ofstream(other, std::ios::binary) << std::string(kBackupHeaderSize + 600, '\x11');
  m_files->openPath = other;
  activateRow(page, page->backupList()->GetItemCount() - 1);
  ASSERT_EQ(page->backupList()->GetItemCount(), 5);
  EXPECT_EQ(rowTexts(page, 1)[3], other.string());
  activateRow(page, 3);
  EXPECT_EQ(lastMessage().text, "Can't load the Backup file!");
  EXPECT_EQ(lastMessage().caption, "Velk File Recovery");
  EXPECT_EQ(page->model().Candidates().size(), records);
  m_files->openPath.clear();
  activateRow(page, 4);
  EXPECT_EQ(page->backupList()->GetItemCount(), 5);
  EXPECT_EQ(m_restarts, 0);
}

TEST_F(PartitionPageTest, AnotherDiskEmptiesTheCandidatesAndAVanishedDiskCannotBeScanned) {
  if (!fixtureExists("demo_disk.img") || !fixtureExists("mbr_mixed.img")) GTEST_FAIL() << "fixtures missing";
  const fs::path first = copyFixture("demo_disk.img", m_images.path());
  const fs::path second = copyFixture("mbr_mixed.img", m_images.path());
  PartitionPage* page = openPage({first, second});
  ASSERT_NE(page, nullptr);
  ASSERT_EQ(page->diskCombo()->GetCount(), 2u);
  EXPECT_EQ(page->diskCombo()->GetString(1), "mbr_mixed.img (  BusType :  Unknown ,    Size :  256.00 MB  )");

  activateRow(page, 0);
  ASSERT_FALSE(page->model().Candidates().empty());
  chooseCandidate(page, 0);
  const int paints = page->diskMap()->paintCount();
  wxCommandEvent pick(wxEVT_COMBOBOX, PartitionPage::kDiskCombo);
  pick.SetInt(1);
  pick.SetEventObject(page->diskCombo());
  page->diskCombo()->GetEventHandler()->ProcessEvent(pick);
  EXPECT_EQ(page->model().SelectedDisk()->number, 1);
  EXPECT_TRUE(page->model().Candidates().empty());
  EXPECT_EQ(page->candidateList()->GetItemCount(), 0u);
  EXPECT_EQ(page->selectedCandidate(), -1);
  EXPECT_EQ(page->backupList()->GetItemCount(), 3);
  EXPECT_TRUE(WaitFor([&] { return page->diskMap()->paintCount() > paints; }));
  // The map shows the second disk: its FAT32 volume fills the first third.
  const double scale = double(581 - 16) / 268435456.0;
  EXPECT_EQ(pixel(page->diskMap()->render(), 8 + int((2048.0 + 40960) * 512 * scale), 13), wxColour(0, 0, 255));

  // The disk goes away: the scan cannot open it.
  fs::remove(second);
  activateRow(page, 0);
  EXPECT_EQ(lastMessage().text, "Can't load the Backup file!");
  EXPECT_TRUE(page->model().Candidates().empty());

  click(page->backButton());
  EXPECT_TRUE(WaitFor([&] { return frame->view()->currentCommand() == kCommandHome; }));
}

}  // namespace
}  // namespace velk::test
