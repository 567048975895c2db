#pragma once
// The drive selection page: the machine's disks and the partitions that suit the task,
// the facts and usage chart of the item under the cursor, and the task's options.

#include <wx/dialog.h>
#include <wx/treectrl.h>

class wxCheckBox;

#include "app/page.h"
#include "app/skin_button.h"
#include "disk/drive_catalog.h"
#include "support/error.h"

namespace velk::ui {

// One line of the information panel as painted: where, what shows, and the whole text
// (shown differs only when the value had to be cut, and then the line has a tooltip).
struct FactLine {
  wxRect rect;
  wxString shown;
  wxString full;
};

class DrivePage : public Page {
 public:
  static constexpr int kOpenImage = 1029, kOpenResults = 1027, kCarveBox = 1028;
  DrivePage(HomeView* host, int taskId);

  wxTreeCtrl* tree() const { return m_tree; }
  SkinButton* nextButton() const { return m_next; }
  SkinButton* optionButton() const { return m_option; }
  SkinButton* backButton() const { return m_back; }
  SkinButton* openImageButton() const { return m_openImage; }
  SkinButton* openResultsButton() const { return m_openResults; }
  // Deleted and formatted scans: "Carve unclaimed space" (nullptr on the raw task's page).
  wxCheckBox* carveBox() const { return m_carve; }
  const DriveCatalog& catalog() const { return m_catalog; }
  // Selects the tree item of the partition record at catalogue index i (tests, tour).
  bool selectPartition(int catalogIndex);
  // Opens the task's options dialog (modal unless `modeless`, for the screenshot tour).
  wxDialog* openOptions(bool modeless);
  // "Open disk image…": attaches an image, rebuilds the tree and selects what it holds.
  void openImage();
  // After an image was attached elsewhere: the tree again, the drive of `path` selected.
  void showAttachedImage(const wxString& path);
  // "Open saved results…": asks for a saved scan and opens it.
  void openResults();
  // Opens the saved scan in `file` on the recovery page of its family, without scanning
  // (the switch is queued); a failure is said in one sentence and returned.
  Status openSavedResults(const wxString& file);
  // The information panel's lines for the current selection, laid out in its font.
  std::vector<FactLine> factLines();
  static wxFont factsFont();

 private:
  void fillTree();
  void onSelection(wxTreeEvent& e);
  void onPaint(wxPaintEvent&);
  void paintChart(wxDC& dc);
  std::vector<FactLine> layoutFacts(wxDC& dc);

  DriveCatalog m_catalog;
  wxTreeCtrl* m_tree = nullptr;
  SkinButton* m_option = nullptr;
  SkinButton* m_back = nullptr;
  SkinButton* m_next = nullptr;
  SkinButton* m_openImage = nullptr;
  SkinButton* m_openResults = nullptr;
  wxCheckBox* m_carve = nullptr;
  const PartitionRecord* m_partition = nullptr;
  const DiskRecord* m_disk = nullptr;
};

void registerDrivePage();

}  // namespace velk::ui
