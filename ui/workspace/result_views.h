#pragma once
// The two views of a recovery page side by side: the folder tree (TTreeView_*) with check
// boxes and folder images, and the file list (TListView_*), a virtual list over the
// page's FileListModel so that a folder of 100,000 files shows at once. In Icons mode a
// thumbnail grid takes the list's place.

#include <functional>
#include <map>
#include <vector>
#include <wx/listctrl.h>
#include <wx/splitter.h>
#include <wx/treectrl.h>
#include <wx/vscroll.h>

#include "workspace/file_list_model.h"
#include "workspace/result_tree.h"

namespace velk::ui {

// "FAT", "NTFS", "EXT", "RAW": the suffix of the view class names.
const char* variantTag(Variant variant);

// A change of the results while a scan runs, captured on the worker thread by value: the
// view never reads the model before the worker has ended.
struct LiveChange {
  bool removed = false;
  uint64_t id = 0;                  // FolderItem::id
  uint64_t parentId = 0;            // 0: a root
  std::string text;                 // added folders
  std::vector<uint64_t> subtree;    // removed folders: the ids below it too
};

class ResultTreeView : public wxTreeCtrl {
 public:
  ResultTreeView(wxWindow* parent, Variant variant);

  // Rebuilds the items from the model (after a scan); selects and expands the root.
  void mirror(const ResultTree& tree);
  // While a scan runs: starts empty, then takes the folders as the worker finds them.
  void beginLive();
  void applyLive(const std::vector<LiveChange>& changes);
  bool live() const { return m_live; }
  // Width the tree needs to show the root's text whole.
  int rootTextWidth() const;
  // Sets every item's check box from its folder's checked flag.
  void syncChecks();
  FolderItem* folderOf(const wxTreeItemId& item) const;
  wxTreeItemId itemOf(const FolderItem* folder) const;
  FolderItem* selectedFolder() const;
  bool isChecked(const wxTreeItemId& item) const { return GetItemState(item) == 1; }

  // ThumbnailsStale: set at every refill of the list, cleared after a thumbnail job.
  bool thumbnailsStale = true;

  std::function<void(FolderItem*)> onSelect;
  std::function<void(FolderItem*, bool)> onFolderCheck;

 private:
  void add(const wxTreeItemId& parent, const FolderItem& folder);
  void toggleSelectedCheck();
  std::map<const FolderItem*, wxTreeItemId> m_items;
  std::map<uint64_t, wxTreeItemId> m_liveItems;
  bool m_live = false;
};

class ResultListView : public wxListCtrl {
 public:
  // Columns after the seven of every list: the file's verdict, and on the RAW list the
  // name the carver gave when the file is listed under a name from its content.
  static constexpr int kColumnCarvedName = kColumnVerdict + 1;
  ResultListView(wxWindow* parent, Variant variant, FileListModel& model);

  // The model changed: new row count, everything redrawn.
  void reload();
  void refreshRows() { if (GetItemCount() > 0) RefreshItems(0, GetItemCount() - 1); }
  long selectedRow() const { return GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED); }
  // The Type column (the desktop's name for the extension; EXT records bring their own).
  static std::string typeText(const FileRecord& record);
  static wxString verdictText(Verdict verdict);

  std::function<void(long row, bool checked)> onCheck;
  std::function<void(long row)> onActivate;
  std::function<void(int column)> onColumn;

 protected:
  wxString OnGetItemText(long item, long column) const override;
  int OnGetItemImage(long item) const override;
  bool OnGetItemIsChecked(long item) const override;
  wxItemAttr* OnGetItemAttr(long item) const override;

 private:
  FileListModel& m_model;
  Variant m_variant;
  mutable wxItemAttr m_damagedAttr;
};

// Icons mode: 90 × 90 thumbnails with their names, row by row, drawn on demand. A file
// without a picture shows its type's icon. Each tile has a check box, the same check as
// the list's row; verified and damaged files carry a mark in the tile's corner. Keyboard:
// arrows move, Space checks, Return previews.
class ThumbnailGrid : public wxVScrolledWindow {
 public:
  static constexpr int kCellWidth = 112, kCellHeight = 118;
  static constexpr int kTileTop = 6;
  ThumbnailGrid(wxWindow* parent, FileListModel& model);

  // Thumbnail i of the model's row i (an empty bitmap draws a placeholder).
  void setThumbnails(std::vector<wxBitmap> thumbnails);
  void setThumbnail(size_t row, const wxBitmap& bitmap);
  const std::vector<wxBitmap>& thumbnails() const { return m_thumbs; }
  void reload();
  int columns() const;
  long selectedRow() const { return m_selected; }
  void selectRow(long row);
  // The check box of a row's tile, in window coordinates (empty when not on screen).
  wxRect checkBoxRect(long row) const;
  std::function<void(long row)> onActivate;
  std::function<void(long row, bool checked)> onCheck;

 private:
  wxCoord OnGetRowHeight(size_t) const override { return kCellHeight; }
  void onPaint(wxPaintEvent&);
  void onKey(wxKeyEvent&);
  void paintTile(wxDC& dc, size_t row, int x, int y);
  long hit(const wxPoint& p) const;

  FileListModel& m_model;
  std::vector<wxBitmap> m_thumbs;
  long m_selected = -1;
};

// Tree on the left (200 pixels, at least 20), list or thumbnails on the right.
class SplitPane : public wxSplitterWindow {
 public:
  SplitPane(wxWindow* parent, wxWindowID id, const wxRect& rect, Variant variant, FileListModel& model);
  ResultTreeView* tree() const { return m_tree; }
  ResultListView* list() const { return m_list; }
  ThumbnailGrid* grid() const { return m_grid; }
  void showIcons(bool icons);
  bool iconsShown() const;
  // Widens the tree so its root's text shows whole (at most half the pane).
  void fitTree();

 private:
  ResultTreeView* m_tree;
  wxWindow* m_right;
  ResultListView* m_list;
  ThumbnailGrid* m_grid;
};

}  // namespace velk::ui
