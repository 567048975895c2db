#pragma once
// The drive selection page: the machine's disks and the partitions that suit the task,
// the facts and usage chart of the item under the cursor, and the task's options.

#include <wx/dialog.h>
#include <wx/treectrl.h>

#include "app/page.h"
#include "app/skin_button.h"
#include "disk/drive_catalog.h"

namespace velk::ui {

class DrivePage : public Page {
 public:
  DrivePage(HomeView* host, int taskId);

  wxTreeCtrl* tree() const { return m_tree; }
  SkinButton* nextButton() const { return m_next; }
  SkinButton* optionButton() const { return m_option; }
  SkinButton* backButton() const { return m_back; }
  const DriveCatalog& catalog() const { return m_catalog; }
  // Selects the tree item of the partition record at catalogue index i (tests, tour).
  bool selectPartition(int catalogIndex);
  // Opens the task's options dialog (modal unless `modeless`, for the screenshot tour).
  wxDialog* openOptions(bool modeless);

 private:
  void fillTree();
  void onSelection(wxTreeEvent& e);
  void onPaint(wxPaintEvent&);
  void paintChart(wxDC& dc);

  DriveCatalog m_catalog;
  wxTreeCtrl* m_tree = nullptr;
  SkinButton* m_option = nullptr;
  SkinButton* m_back = nullptr;
  SkinButton* m_next = nullptr;
  const PartitionRecord* m_partition = nullptr;
  const DiskRecord* m_disk = nullptr;
};

void registerDrivePage();

}  // namespace velk::ui
