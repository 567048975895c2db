#include "workspace/result_views.h"

#include "workspace/variant_policy.h"

#include <algorithm>
#include <wx/control.h>
#include <wx/dcbuffer.h>
#include <wx/dcmemory.h>
#include <wx/imaglist.h>
#include <wx/renderer.h>
#include <wx/settings.h>
#include <wx/panel.h>
#include <wx/sizer.h>

#include "app/art.h"
#include "engines/raw/raw_scanner.h"
#include "workspace/file_types.h"
#include "workspace/thumbnail_layout.h"

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
    // Folders shown while a scan runs carry no model item yet.
    if (onSelect && !m_live) onSelect(folderOf(e.GetItem()));
  });
  Bind(wxEVT_TREE_STATE_IMAGE_CLICK, [this](wxTreeEvent& e) {
    wxTreeItemId item = e.GetItem();
    if (onFolderCheck && item.IsOk() && !m_live) onFolderCheck(folderOf(item), !isChecked(item));
  });
  // Space checks the selected folder, as a click on its box does.
  Bind(wxEVT_KEY_DOWN, [this](wxKeyEvent& e) {
    if (e.GetKeyCode() == WXK_SPACE && !e.HasAnyModifiers()) toggleSelectedCheck();
    else e.Skip();
  });
  // A folder name wider than the pane says itself in a tooltip.
  Bind(wxEVT_TREE_ITEM_GETTOOLTIP, [this](wxTreeEvent& e) {
    wxRect text;
    if (GetBoundingRect(e.GetItem(), text, true) && text.GetRight() > GetClientSize().x)
      e.SetToolTip(GetItemText(e.GetItem()));
  });
}

void ResultTreeView::toggleSelectedCheck() {
  const wxTreeItemId item = GetSelection();
  if (onFolderCheck && item.IsOk() && !m_live) onFolderCheck(folderOf(item), !isChecked(item));
}

void ResultTreeView::beginLive() {
  Freeze();
  DeleteAllItems();
  Thaw();
  m_items.clear();
  m_liveItems.clear();
  m_live = true;
}

void ResultTreeView::applyLive(const std::vector<LiveChange>& changes) {
  if (!m_live || changes.empty()) return;
  Freeze();
  for (const LiveChange& c : changes) {
    if (c.removed) {
      auto it = m_liveItems.find(c.id);
      if (it != m_liveItems.end() && it->second != GetRootItem()) Delete(it->second);
      for (uint64_t id : c.subtree) m_liveItems.erase(id);
      m_liveItems.erase(c.id);
      continue;
    }
    wxTreeItemId item;
    if (c.parentId == 0) {
      if (GetRootItem().IsOk()) continue;  // the page shows one root, as after the scan
      item = AddRoot(wxString::FromUTF8(c.text), 0, 0);
    } else {
      auto parent = m_liveItems.find(c.parentId);
      if (parent == m_liveItems.end()) continue;
      item = AppendItem(parent->second, wxString::FromUTF8(c.text), 1, 2);
      if (parent->second == GetRootItem()) Expand(parent->second);
    }
    SetItemState(item, 0);
    m_liveItems[c.id] = item;
  }
  Thaw();
}

int ResultTreeView::rootTextWidth() const {
  const wxTreeItemId root = GetRootItem();
  if (!root.IsOk()) return 0;
  // Expander, check box, folder image and their gaps come before the text.
  constexpr int kBeforeText = 3 * 16 + 3 * 4 + 8;
  return kBeforeText + GetTextExtent(GetItemText(root)).x + 12;
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
  m_live = false;
  DeleteAllItems();
  m_items.clear();
  m_liveItems.clear();
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
      m_model(model),
      m_variant(variant) {
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
                                      {"Date Accessed", wxLIST_FORMAT_LEFT, 150}, {"Verdict", wxLIST_FORMAT_LEFT, 90}};
  for (int i = 0; i < kListColumnCount; ++i) AppendColumn(cols[i].title, wxListColumnFormat(cols[i].align), cols[i].width);
  if (variant == Variant::Raw) AppendColumn("Carved Name", wxLIST_FORMAT_LEFT, 120);
  m_damagedAttr.SetTextColour(wxColour(0xB0, 0x1C, 0x1C));
  // Space checks the focused row (the list's own Space would open the preview).
  Bind(wxEVT_KEY_DOWN, [this](wxKeyEvent& e) {
    const long row = GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_FOCUSED);
    if (e.GetKeyCode() != WXK_SPACE || e.HasAnyModifiers() || row < 0) {
      e.Skip();
      return;
    }
    CheckItem(row, !IsItemChecked(row));
  });
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

wxString ResultListView::verdictText(Verdict verdict) {
  wxString text = wxString::FromUTF8(std::string(verdictName(verdict)));
  return text.Left(1).Upper() + text.Mid(1);
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
    case kColumnVerdict: return verdictText(r->verdict);
    case kColumnCarvedName: {
      const auto* raw = dynamic_cast<const RawFileRecord*>(r);
      return raw ? wxString::FromUTF8(raw->carvedName.empty() ? raw->name : raw->carvedName) : wxString();
    }
    default: return wxString::FromUTF8(r->dateText(int(column)));
  }
}

wxItemAttr* ResultListView::OnGetItemAttr(long item) const {
  const FileRecord* r = m_model.at(size_t(item));
  return r && r->verdict == Verdict::Damaged ? &m_damagedAttr : nullptr;
}

int ResultListView::OnGetItemImage(long item) const {
  const FileRecord* r = m_model.at(size_t(item));
  return r ? FileTypes::get().smallIconIndex(r->name, r->verdict) : 0;
}

bool ResultListView::OnGetItemIsChecked(long item) const {
  const FileRecord* r = m_model.at(size_t(item));
  return r && r->checked;
}

ThumbnailGrid::ThumbnailGrid(wxWindow* parent, FileListModel& model)
    : wxVScrolledWindow(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                        wxBORDER_THEME | wxFULL_REPAINT_ON_RESIZE | wxWANTS_CHARS),
      m_model(model) {
  SetName("ThumbnailGrid");
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  Bind(wxEVT_PAINT, &ThumbnailGrid::onPaint, this);
  Bind(wxEVT_SIZE, [this](wxSizeEvent& e) {
    reload();
    e.Skip();
  });
  Bind(wxEVT_LEFT_DOWN, [this](wxMouseEvent& e) {
    const long row = hit(e.GetPosition());
    SetFocus();
    if (row >= 0 && checkBoxRect(row).Contains(e.GetPosition())) {
      const FileRecord* r = m_model.at(size_t(row));
      if (onCheck && r) onCheck(row, !r->checked);
      RefreshRect(checkBoxRect(row).Inflate(2));
      return;
    }
    selectRow(row);
  });
  Bind(wxEVT_LEFT_DCLICK, [this](wxMouseEvent& e) {
    long row = hit(e.GetPosition());
    if (row >= 0 && checkBoxRect(row).Contains(e.GetPosition())) return;
    selectRow(row);
    if (row >= 0 && onActivate) onActivate(row);
  });
  Bind(wxEVT_KEY_DOWN, &ThumbnailGrid::onKey, this);
  Bind(wxEVT_SET_FOCUS, [this](wxFocusEvent& e) { Refresh(); e.Skip(); });
  Bind(wxEVT_KILL_FOCUS, [this](wxFocusEvent& e) { Refresh(); e.Skip(); });
}

int ThumbnailGrid::columns() const { return std::max(1, GetClientSize().x / kCellWidth); }

void ThumbnailGrid::reload() {
  const size_t n = m_model.size();
  SetRowCount((n + columns() - 1) / columns());
  if (m_selected >= long(n)) m_selected = -1;
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

void ThumbnailGrid::onKey(wxKeyEvent& e) {
  const long n = long(m_model.size()), cols = columns();
  long row = m_selected < 0 ? 0 : m_selected;
  switch (e.GetKeyCode()) {
    case WXK_LEFT: row -= 1; break;
    case WXK_RIGHT: row += m_selected < 0 ? 0 : 1; break;
    case WXK_UP: row -= cols; break;
    case WXK_DOWN: row += m_selected < 0 ? 0 : cols; break;
    case WXK_HOME: row = 0; break;
    case WXK_END: row = n - 1; break;
    case WXK_SPACE:
      if (const FileRecord* r = m_model.at(size_t(m_selected)); r && onCheck) onCheck(m_selected, !r->checked);
      Refresh();
      return;
    case WXK_RETURN:
    case WXK_NUMPAD_ENTER:
      if (m_selected >= 0 && onActivate) onActivate(m_selected);
      return;
    case WXK_TAB:
      Navigate(e.ShiftDown() ? wxNavigationKeyEvent::IsBackward : wxNavigationKeyEvent::IsForward);
      return;
    default:
      e.Skip();
      return;
  }
  if (n > 0) selectRow(std::clamp(row, 0L, n - 1));
}

long ThumbnailGrid::hit(const wxPoint& p) const {
  const int col = p.x / kCellWidth;
  if (col >= columns()) return -1;
  const size_t gridRow = GetVisibleRowsBegin() + size_t(p.y / kCellHeight);
  const size_t row = gridRow * columns() + col;
  return row < m_model.size() ? long(row) : -1;
}

wxRect ThumbnailGrid::checkBoxRect(long row) const {
  if (row < 0 || size_t(row) >= m_model.size()) return {};
  const size_t gridRow = size_t(row) / columns();
  if (gridRow < GetVisibleRowsBegin() || gridRow >= GetVisibleRowsEnd()) return {};
  const int x = int(size_t(row) % columns()) * kCellWidth + (kCellWidth - kThumbnailSize) / 2;
  const int y = int(gridRow - GetVisibleRowsBegin()) * kCellHeight + kTileTop;
  return wxRect(x + 3, y + 3, 16, 16);
}

void ThumbnailGrid::paintTile(wxDC& dc, size_t row, int cellX, int y) {
  const FileRecord* record = m_model.at(row);
  const int x = cellX + (kCellWidth - kThumbnailSize) / 2;
  const bool selected = long(row) == m_selected;
  if (selected) {
    const wxColour selection = wxSystemSettings::GetColour(wxSYS_COLOUR_HIGHLIGHT);
    dc.SetPen(HasFocus() ? wxPen(selection, 1, wxPENSTYLE_SOLID) : *wxTRANSPARENT_PEN);
    dc.SetBrush(wxBrush(selection.ChangeLightness(170)));
    dc.DrawRectangle(cellX + 2, y + 2, kCellWidth - 4, kCellHeight - 4);
  }
  if (row < m_thumbs.size() && m_thumbs[row].IsOk()) {
    dc.DrawBitmap(m_thumbs[row], x, y + kTileTop);
  } else {
    // No picture: the type's icon in the tile's frame.
    dc.SetPen(wxPen(wxColour(192, 192, 192)));
    dc.SetBrush(*wxWHITE_BRUSH);
    dc.DrawRectangle(x, y + kTileTop, kThumbnailSize, kThumbnailSize);
    const wxBitmap icon = FileTypes::get().largeIcon(record->name);
    if (icon.IsOk())
      dc.DrawBitmap(icon, x + (kThumbnailSize - icon.GetWidth()) / 2, y + kTileTop + (kThumbnailSize - icon.GetHeight()) / 2,
                    true);
  }
  // The check box, the same check as the list row's.
  const wxRect box(x + 3, y + kTileTop + 3, 16, 16);
  dc.SetPen(*wxTRANSPARENT_PEN);
  dc.SetBrush(*wxWHITE_BRUSH);
  dc.DrawRectangle(box);
  wxRendererNative::Get().DrawCheckBox(this, dc, box, record->checked ? int(wxCONTROL_CHECKED) : 0);
  // The verdict: a green tick for a verified file, a red bar for a damaged one.
  if (record->verdict != Verdict::Unverified) {
    const bool ok = record->verdict == Verdict::Verified;
    const wxPoint c(x + kThumbnailSize - 11, y + kTileTop + kThumbnailSize - 11);
    dc.SetPen(*wxWHITE_PEN);
    dc.SetBrush(wxBrush(ok ? wxColour(0x1E, 0x8E, 0x3E) : wxColour(0xC6, 0x28, 0x28)));
    dc.DrawCircle(c, 8);
    dc.SetPen(wxPen(*wxWHITE, 2));
    if (ok) {
      dc.DrawLine(c.x - 4, c.y, c.x - 1, c.y + 3);
      dc.DrawLine(c.x - 1, c.y + 3, c.x + 4, c.y - 3);
    } else {
      dc.DrawLine(c.x - 4, c.y, c.x + 4, c.y);
    }
  }
  const wxString name = wxString::FromUTF8(record->nameText());
  const wxString shown = wxControl::Ellipsize(name, dc, wxELLIPSIZE_MIDDLE, kCellWidth - 6);
  const int tw = dc.GetTextExtent(shown).x;
  dc.SetTextForeground(selected ? *wxBLACK : wxColour(0x20, 0x20, 0x20));
  dc.DrawText(shown, cellX + (kCellWidth - tw) / 2, y + kTileTop + kThumbnailSize + 3);
}

void ThumbnailGrid::onPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(this);
  dc.SetBackground(*wxWHITE_BRUSH);
  dc.Clear();
  dc.SetFont(GetFont());
  const int cols = columns();
  const size_t first = GetVisibleRowsBegin(), last = GetVisibleRowsEnd();
  for (size_t gr = first; gr < last; ++gr)
    for (int c = 0; c < cols; ++c) {
      const size_t row = gr * cols + c;
      if (row >= m_model.size()) break;
      paintTile(dc, row, c * kCellWidth, int(gr - first) * kCellHeight);
    }
}

SplitPane::SplitPane(wxWindow* parent, wxWindowID id, const wxRect& rect, Variant variant, FileListModel& model)
    : wxSplitterWindow(parent, id, rect.GetPosition(), rect.GetSize(), wxSP_3D | wxSP_LIVE_UPDATE) {
  SetName("SplitPane");
  SetMinimumPaneSize(20);
  m_tree = new ResultTreeView(this, variant);
  m_right = new wxPanel(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxBORDER_NONE);
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

void SplitPane::fitTree() {
  constexpr int kTreeWidth = 200;
  const int want = std::clamp(m_tree->rootTextWidth(), kTreeWidth, std::max(kTreeWidth, GetClientSize().x / 2));
  if (want != GetSashPosition()) SetSashPosition(want);
}

}  // namespace velk::ui
