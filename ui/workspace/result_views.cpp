#include "workspace/result_views.h"

#include "workspace/variant_policy.h"

#include <wx/dcbuffer.h>
#include <wx/dcmemory.h>
#include <wx/imaglist.h>
#include <wx/renderer.h>
#include <wx/settings.h>
#include <wx/sizer.h>

#include "app/art.h"
#include "workspace/file_types.h"

namespace velk::ui {
namespace {

struct FolderData : wxTreeItemData {
  explicit FolderData(FolderItem* f) : folder(f) {}
  FolderItem* folder;
};

// Unchecked and checked boxes, drawn by the platform's renderer.
wxImageList* checkBoxImages(wxWindow* window) {
  auto* list = new wxImageList(16, 16, true, 2);
  for (int state : {0, int(wxCONTROL_CHECKED)}) {
    wxBitmap bmp(16, 16);
    {
      wxMemoryDC dc(bmp);
      dc.SetBackground(wxBrush(wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOW)));
      dc.Clear();
      wxSize box = wxRendererNative::Get().GetCheckBoxSize(window);
      box.x = std::min(box.x, 14);
      box.y = std::min(box.y, 14);
      wxRendererNative::Get().DrawCheckBox(window, dc, wxRect((16 - box.x) / 2, (16 - box.y) / 2, box.x, box.y), state);
    }
    list->Add(bmp);
  }
  return list;
}

}  // namespace

const char* variantTag(Variant v) { return policyOf(v).tag; }

ResultTreeView::ResultTreeView(wxWindow* parent, Variant variant)
    : wxTreeCtrl(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                 wxTR_HAS_BUTTONS | wxTR_LINES_AT_ROOT | wxTR_SINGLE | wxBORDER_THEME) {
  SetName(wxString("TTreeView_") + variantTag(variant));
  auto* images = new wxImageList(16, 16, true, 5);
  for (int number : {186, 184, 187, 185, 183}) {
    wxBitmap bmp = Art::get().bitmap(number);
    images->Add(bmp.IsOk() ? bmp : wxBitmap(16, 16));
  }
  AssignImageList(images);
  AssignStateImageList(checkBoxImages(this));
  Bind(wxEVT_TREE_SEL_CHANGED, [this](wxTreeEvent& e) {
    if (onSelect) onSelect(folderOf(e.GetItem()));
  });
  Bind(wxEVT_TREE_STATE_IMAGE_CLICK, [this](wxTreeEvent& e) {
    wxTreeItemId item = e.GetItem();
    if (onFolderCheck && item.IsOk()) onFolderCheck(folderOf(item), !isChecked(item));
  });
}

void ResultTreeView::add(const wxTreeItemId& parent, const FolderItem& folder) {
  auto* f = const_cast<FolderItem*>(&folder);
  wxTreeItemId item = parent.IsOk() ? AppendItem(parent, wxString::FromUTF8(folder.text), 1, 2, new FolderData(f))
                                    : AddRoot(wxString::FromUTF8(folder.text), 0, 0, new FolderData(f));
  m_items[&folder] = item;
  SetItemState(item, folder.checked ? 1 : 0);
  for (const auto& c : folder.children) add(item, *c);
}

void ResultTreeView::mirror(const ResultTree& tree) {
  Freeze();
  DeleteAllItems();
  m_items.clear();
  if (FolderItem* root = tree.root()) {
    add(wxTreeItemId(), *root);
    wxTreeItemId r = m_items[root];
    Expand(r);
    SelectItem(r);
  }
  Thaw();
}

void ResultTreeView::syncChecks() {
  for (auto& [folder, item] : m_items) {
    int want = folder->checked ? 1 : 0;
    if (GetItemState(item) != want) SetItemState(item, want);
  }
}

FolderItem* ResultTreeView::folderOf(const wxTreeItemId& item) const {
  if (!item.IsOk()) return nullptr;
  auto* d = static_cast<FolderData*>(GetItemData(item));
  return d ? d->folder : nullptr;
}

wxTreeItemId ResultTreeView::itemOf(const FolderItem* folder) const {
  auto it = m_items.find(folder);
  return it == m_items.end() ? wxTreeItemId() : it->second;
}

FolderItem* ResultTreeView::selectedFolder() const { return folderOf(GetSelection()); }

ResultListView::ResultListView(wxWindow* parent, Variant variant, FileListModel& model)
    : wxListCtrl(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                 wxLC_REPORT | wxLC_VIRTUAL | wxLC_SINGLE_SEL | wxBORDER_THEME),
      m_model(model) {
  SetName(wxString("TListView_") + variantTag(variant));
  EnableCheckBoxes(true);
  SetImageList(FileTypes::get().smallImages(), wxIMAGE_LIST_SMALL);
  struct Col {
    const char* title;
    int align;
    int width;
  };
  const Col cols[kListColumnCount] = {{"Name", wxLIST_FORMAT_LEFT, 200},          {"Size", wxLIST_FORMAT_RIGHT, 80},
                                      {"Type", wxLIST_FORMAT_LEFT, 100},          {"Attributes", wxLIST_FORMAT_LEFT, 100},
                                      {"Date Modified", wxLIST_FORMAT_LEFT, 150}, {"Date Created", wxLIST_FORMAT_LEFT, 150},
                                      {"Date Accessed", wxLIST_FORMAT_LEFT, 150}};
  for (int i = 0; i < kListColumnCount; ++i) AppendColumn(cols[i].title, wxListColumnFormat(cols[i].align), cols[i].width);
  Bind(wxEVT_LIST_ITEM_CHECKED, [this](wxListEvent& e) {
    if (onCheck) onCheck(e.GetIndex(), true);
  });
  Bind(wxEVT_LIST_ITEM_UNCHECKED, [this](wxListEvent& e) {
    if (onCheck) onCheck(e.GetIndex(), false);
  });
  Bind(wxEVT_LIST_ITEM_ACTIVATED, [this](wxListEvent& e) {
    if (onActivate) onActivate(e.GetIndex());
  });
  Bind(wxEVT_LIST_COL_CLICK, [this](wxListEvent& e) {
    if (onColumn) onColumn(e.GetColumn());
  });
}

void ResultListView::reload() {
  SetItemCount(long(m_model.size()));
  refreshRows();
}

std::string ResultListView::typeText(const FileRecord& r) {
  std::string own = r.typeText();
  return own.empty() ? FileTypes::get().typeName(r.name) : own;
}

wxString ResultListView::OnGetItemText(long item, long column) const {
  const FileRecord* r = m_model.at(size_t(item));
  if (!r) return {};
  switch (column) {
    case kColumnName: return wxString::FromUTF8(r->nameText());
    case kColumnSize: return wxString::FromUTF8(r->sizeText());
    case kColumnType: return wxString::FromUTF8(typeText(*r));
    case kColumnAttributes: return wxString::FromUTF8(r->attributeText());
    default: return wxString::FromUTF8(r->dateText(int(column)));
  }
}

int ResultListView::OnGetItemImage(long item) const {
  const FileRecord* r = m_model.at(size_t(item));
  return r ? FileTypes::get().smallIconIndex(r->name) : 0;
}

bool ResultListView::OnGetItemIsChecked(long item) const {
  const FileRecord* r = m_model.at(size_t(item));
  return r && r->checked;
}

ThumbnailGrid::ThumbnailGrid(wxWindow* parent, FileListModel& model)
    : wxVScrolledWindow(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxBORDER_THEME | wxFULL_REPAINT_ON_RESIZE),
      m_model(model) {
  SetName("ThumbnailGrid");
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  Bind(wxEVT_PAINT, &ThumbnailGrid::onPaint, this);
  Bind(wxEVT_SIZE, [this](wxSizeEvent& e) {
    reload();
    e.Skip();
  });
  Bind(wxEVT_LEFT_DOWN, [this](wxMouseEvent& e) {
    selectRow(hit(e.GetPosition()));
    SetFocus();
  });
  Bind(wxEVT_LEFT_DCLICK, [this](wxMouseEvent& e) {
    long row = hit(e.GetPosition());
    selectRow(row);
    if (row >= 0 && onActivate) onActivate(row);
  });
}

int ThumbnailGrid::columns() const { return std::max(1, GetClientSize().x / kCellWidth); }

void ThumbnailGrid::reload() {
  const size_t n = m_model.size();
  SetRowCount((n + columns() - 1) / columns());
  Refresh();
}

void ThumbnailGrid::setThumbnails(std::vector<wxBitmap> thumbnails) {
  m_thumbs = std::move(thumbnails);
  reload();
}

void ThumbnailGrid::setThumbnail(size_t row, const wxBitmap& bitmap) {
  if (row >= m_thumbs.size()) m_thumbs.resize(row + 1);
  m_thumbs[row] = bitmap;
  const size_t gridRow = row / columns();
  if (IsRowVisible(gridRow)) RefreshRow(gridRow);
}

void ThumbnailGrid::selectRow(long row) {
  m_selected = row;
  if (row >= 0) ScrollToRow(size_t(row) / columns());
  Refresh();
}

long ThumbnailGrid::hit(const wxPoint& p) const {
  const int col = p.x / kCellWidth;
  if (col >= columns()) return -1;
  const size_t gridRow = GetVisibleRowsBegin() + size_t(p.y / kCellHeight);
  const size_t row = gridRow * columns() + col;
  return row < m_model.size() ? long(row) : -1;
}

void ThumbnailGrid::onPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(this);
  dc.SetBackground(*wxWHITE_BRUSH);
  dc.Clear();
  dc.SetFont(GetFont());
  const int cols = columns();
  const size_t first = GetVisibleRowsBegin(), last = GetVisibleRowsEnd();
  const wxColour selection = wxSystemSettings::GetColour(wxSYS_COLOUR_HIGHLIGHT);
  for (size_t gr = first; gr < last; ++gr) {
    const int y = int(gr - first) * kCellHeight;
    for (int c = 0; c < cols; ++c) {
      const size_t row = gr * cols + c;
      if (row >= m_model.size()) break;
      const int x = c * kCellWidth + (kCellWidth - 90) / 2;
      if (long(row) == m_selected) {
        dc.SetPen(*wxTRANSPARENT_PEN);
        dc.SetBrush(wxBrush(selection.ChangeLightness(170)));
        dc.DrawRectangle(c * kCellWidth + 2, y + 2, kCellWidth - 4, kCellHeight - 4);
      }
      if (row < m_thumbs.size() && m_thumbs[row].IsOk()) {
        dc.DrawBitmap(m_thumbs[row], x, y + 6);
      } else {
        dc.SetPen(wxPen(wxColour(192, 192, 192)));
        dc.SetBrush(*wxWHITE_BRUSH);
        dc.DrawRectangle(x, y + 6, 90, 90);
      }
      wxString name = wxString::FromUTF8(m_model.at(row)->nameText());
      wxString shown = wxControl::Ellipsize(name, dc, wxELLIPSIZE_MIDDLE, kCellWidth - 6);
      const int tw = dc.GetTextExtent(shown).x;
      dc.SetTextForeground(long(row) == m_selected ? *wxBLACK : wxColour(0x20, 0x20, 0x20));
      dc.DrawText(shown, c * kCellWidth + (kCellWidth - tw) / 2, y + 99);
    }
  }
}

SplitPane::SplitPane(wxWindow* parent, wxWindowID id, const wxRect& rect, Variant variant, FileListModel& model)
    : wxSplitterWindow(parent, id, rect.GetPosition(), rect.GetSize(), wxSP_3D | wxSP_LIVE_UPDATE) {
  SetName("SplitPane");
  SetMinimumPaneSize(20);
  m_tree = new ResultTreeView(this, variant);
  m_right = new wxWindow(this, wxID_ANY);
  m_list = new ResultListView(m_right, variant, model);
  m_grid = new ThumbnailGrid(m_right, model);
  auto* sizer = new wxBoxSizer(wxVERTICAL);
  sizer->Add(m_list, 1, wxEXPAND);
  sizer->Add(m_grid, 1, wxEXPAND);
  m_right->SetSizer(sizer);
  m_grid->Hide();
  SplitVertically(m_tree, m_right, 200);
}

void SplitPane::showIcons(bool icons) {
  m_list->Show(!icons);
  m_grid->Show(icons);
  m_right->Layout();
  if (icons) m_grid->reload();
}

bool SplitPane::iconsShown() const { return m_grid->IsShown(); }

}  // namespace velk::ui
