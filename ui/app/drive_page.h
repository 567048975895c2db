#pragma once
// The drive selection page: the machine's disks and the partitions that suit the task,
// the facts and usage chart of the item under the cursor, and the task's options.

#include <wx/dialog.h>
#include <wx/treectrl.h>

#include "app/page.h"
#include "app/skin_button.h"
#include "disk/drive_catalog.h"

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
  static constexpr int kOpenImage = 1029;
  DrivePage(HomeView* host, int taskId);

  wxTreeCtrl* tree() const { return m_tree; }
  SkinButton* nextButton() const { return m_next; }
  SkinButton* optionButton() const { return m_option; }
  SkinButton* backButton() const { return m_back; }
  SkinButton* openImageButton() const { return m_openImage; }
  const DriveCatalog& catalog() const { return m_catalog; }
  // Selects the tree item of the partition record at catalogue index i (tests, tour).
  bool selectPartition(int catalogIndex);
  // Opens the task's options dialog (modal unless `modeless`, for the screenshot tour).
  wxDialog* openOptions(bool modeless);
  // "Open disk image…": attaches an image, rebuilds the tree and selects what it holds.
  void openImage();
  // After an image was attached elsewhere: the tree again, the drive of `path` selected.
  void showAttachedImage(const wxString& path);
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
  const PartitionRecord* m_partition = nullptr;
  const DiskRecord* m_disk = nullptr;
};

void registerDrivePage();

}  // namespace velk::ui
