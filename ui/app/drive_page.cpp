#include "app/drive_page.h"

#include <cmath>
#include <wx/checkbox.h>
#include <wx/control.h>
#include <wx/dcbuffer.h>
#include <wx/dcclient.h>
#include <wx/dcmemory.h>
#include <wx/filedlg.h>
#include <wx/filename.h>
#include <wx/imaglist.h>
#include <wx/msgdlg.h>

#include "app/art.h"
#include "app/home_view.h"
#include "app/open_image_dialog.h"
#include "app/recovery_app.h"
#include "app/settings.h"
#include "disk/sector_reader.h"
#include "support/text.h"
#include "workspace/drive_chart.h"
#include "workspace/filter_dialog.h"
#include "workspace/raw_options_dialog.h"
#include "workspace/recovery_page.h"
#include "workspace/saved_scan.h"

namespace velk::ui {
namespace {

constexpr int kOption = 1023, kBack = 1024, kNext = 1025, kTree = 1026;
const wxRect kFacts(465, 90, 280, 80);
// The panel's white card ends here; fact lines may use the room up to it.
constexpr int kFactsRight = 752;
constexpr int kFactsGap = 16;
const wxRect kChart(462, 183, 280, 115);

// Item data: the record an item stands for.
struct ItemData : wxTreeItemData {
  const DiskRecord* disk = nullptr;
  const PartitionRecord* partition = nullptr;
};

wxColour fromBgr(uint32_t bgr) { return wxColour(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF); }

wxString partitionText(const PartitionRecord& r) {
  std::string size = driveSizeText(r.length, false);
  return wxString::FromUTF8("(" + std::string(1, r.letter) + ":\\) " + codepageText(r.fsNameText()) + " (" + size + ")");
}

}  // namespace

DrivePage::DrivePage(HomeView* host, int taskId) : Page(host, taskId, 102) {
  SetName("DrivePage");
  m_option = new SkinButton(this, kOption, "Option", wxPoint(20, 411), wxSize(145, 45));
  m_option->SetBitmaps(164, 163, 211, 166);
  m_back = new SkinButton(this, kBack, "Back", wxPoint(554, 411), wxSize(91, 45));
  m_back->SetBitmaps(160, 159, 210, 159);
  m_next = new SkinButton(this, kNext, "Next", wxPoint(661, 411), wxSize(91, 45));
  m_next->SetBitmaps(162, 161, 209, 167);
  m_openImage = new SkinButton(this, kOpenImage, "Open disk image", wxPoint(180, 411), wxSize(145, 45));
  m_openImage->SetBitmaps(164, 163, 211, 166);
  m_openImage->setCaption(wxString::FromUTF8("Open disk image…"));
  m_openImage->SetToolTip("Attach a disk image file as a drive (raw, E01, VHD, VHDX, VMDK, QCOW2)");
  m_openResults = new SkinButton(this, kOpenResults, "Open saved results", wxPoint(340, 411), wxSize(145, 45));
  m_openResults->SetBitmaps(164, 163, 211, 166);
  m_openResults->setCaption(wxString::FromUTF8("Open saved results…"));
  m_openResults->SetToolTip("Open the results of an earlier scan and recover from them without scanning again");
  for (SkinButton* b : {m_option, m_back, m_next, m_openImage, m_openResults}) b->setBackdrop(kPagePaper);
  m_option->Disable();
  m_next->Disable();

  m_tree = new wxTreeCtrl(this, kTree, wxPoint(10, 76), wxSize(425, 308),
                          wxTR_HAS_BUTTONS | wxTR_LINES_AT_ROOT | wxTR_SINGLE | wxBORDER_THEME);
  auto* images = new wxImageList(16, 16, true, 3);
  const wxBitmap& strip = Art::get().bitmap(165);
  for (int i = 0; i < 3 && strip.IsOk(); ++i) images->Add(strip.GetSubBitmap(wxRect(i * 16, 0, 16, 16)));
  m_tree->AssignImageList(images);
  m_tree->Bind(wxEVT_TREE_SEL_CHANGED, &DrivePage::onSelection, this);
  // Return (or a double click) on a partition goes on, as Next does.
  m_tree->Bind(wxEVT_TREE_ITEM_ACTIVATED, [this](wxTreeEvent& e) {
    if (m_partition && m_next->IsEnabled()) requestSwitch(kCommandRecoveryPage, this->taskId());
    else e.Skip();
  });

  m_back->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { requestSwitch(kCommandHome, 1); });
  m_next->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { requestSwitch(kCommandRecoveryPage, this->taskId()); });
  m_option->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { openOptions(false); });
  m_openImage->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { openImage(); });
  m_openResults->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { openResults(); });
  if (taskId == kTaskDeleted || taskId == kTaskFormatted) {
    m_carve = new wxCheckBox(this, kCarveBox, "Carve unclaimed space", wxPoint(465, 330));
    m_carve->SetToolTip("After the scan, search the space no found or live file occupies for files by their content");
    m_carve->SetValue(wxGetApp().state().carveUnclaimed);
    m_carve->Bind(wxEVT_CHECKBOX, [](wxCommandEvent& e) { wxGetApp().state().carveUnclaimed = e.IsChecked(); });
  }
  Bind(wxEVT_PAINT, &DrivePage::onPaint, this);
  // A fact cut to fit says the whole of it in a tooltip.
  Bind(wxEVT_MOTION, [this](wxMouseEvent& e) {
    for (const FactLine& line : factLines())
      if (line.shown != line.full && line.rect.Contains(e.GetPosition())) {
        if (GetToolTipText() != line.full) SetToolTip(line.full);
        return;
      }
    if (GetToolTip()) UnsetToolTip();
  });
  orderTabsByLayout(this);

  fillTree();
  if (administratorProbeFails())
    CallAfter([this] { wxMessageBox("Please run this product as Administrator!", "Information", wxOK, this); });
}

void DrivePage::fillTree() {
  m_catalog.Refresh();
  m_tree->DeleteAllItems();
  m_partition = nullptr;
  m_disk = nullptr;
  wxTreeItemId root = m_tree->AddRoot("My Computer", 0, 0);
  if (m_catalog.DiskCount() == 0 || m_catalog.PartitionCount() == 0) return;
  for (const DiskRecord& d : m_catalog.disks()) {
    auto* data = new ItemData;
    data->disk = &d;
    std::string size = d.size < 1024 ? std::to_string(d.size) + " Byte" : driveSizeText(d.size, false);
    wxTreeItemId diskItem =
        m_tree->AppendItem(root, wxString::FromUTF8(codepageText(d.nameText()) + " (" + size + ")"), 1, 1, data);
    for (const PartitionRecord& p : m_catalog.partitions()) {
      if (p.diskNumber != d.number || !driveListsPartition(taskId(), p)) continue;
      auto* pd = new ItemData;
      pd->partition = &p;
      m_tree->AppendItem(diskItem, partitionText(p), 2, 2, pd);
    }
  }
  if (m_tree->GetCount() >= 2) {
    m_tree->SelectItem(root);
    m_tree->ExpandAll();
  }
}

bool DrivePage::selectPartition(int catalogIndex) {
  if (catalogIndex < 0 || catalogIndex >= m_catalog.PartitionCount()) return false;
  const PartitionRecord* want = &m_catalog.PartitionAt(catalogIndex);
  wxTreeItemIdValue c1, c2;
  const wxTreeItemId root = m_tree->GetRootItem();
  for (wxTreeItemId d = m_tree->GetFirstChild(root, c1); d.IsOk(); d = m_tree->GetNextChild(root, c1))
    for (wxTreeItemId p = m_tree->GetFirstChild(d, c2); p.IsOk(); p = m_tree->GetNextChild(d, c2))
      if (auto* data = static_cast<ItemData*>(m_tree->GetItemData(p)); data && data->partition == want) {
        m_tree->SelectItem(p);
        return true;
      }
  return false;
}

void DrivePage::onSelection(wxTreeEvent& e) {
  wxTreeItemId item = e.GetItem();
  auto* data = item.IsOk() ? static_cast<ItemData*>(m_tree->GetItemData(item)) : nullptr;
  m_partition = nullptr;
  m_disk = nullptr;
  bool usable = false;
  if (data && data->partition) {
    m_partition = data->partition;
    wxGetApp().state().selectPartition(*m_partition);
    usable = true;
  } else if (data && data->disk) {
    m_disk = data->disk;
  }
  m_next->Enable(usable);
  m_option->Enable(usable);
  RefreshRect(wxRect(wxPoint(kFacts.x, kFacts.y), wxPoint(kFactsRight + 4, kFacts.GetBottom())));
  RefreshRect(kChart);
}

void DrivePage::openImage() {
  OpenImageDialog dlg(this);
  if (dlg.ShowModal() == wxID_OK) showAttachedImage(dlg.opened());
}

void DrivePage::openResults() {
  wxFileDialog dlg(this, "Open saved results", Settings::get().folder("results"), "",
                   "Saved scans (*.velkscan)|*.velkscan|All files|*", wxFD_OPEN | wxFD_FILE_MUST_EXIST);
  if (dlg.ShowModal() != wxID_OK) return;
  Settings::get().setFolder("results", dlg.GetDirectory());
  (void)openSavedResults(dlg.GetPath());
}

Status DrivePage::openSavedResults(const wxString& file) {
  Status opened = [&]() -> Status {
    auto scan = loadScan(std::filesystem::path(file.utf8_string()));
    if (!scan) return fail(scan.error());
    auto engine = openSavedScan(*scan);
    if (!engine) return fail(engine.error());
    // The scanned partition is the selection again: recovery refuses to write onto it.
    AppState& app = wxGetApp().state();
    app.selectPartition(scan->partition);
    const Task task = scan->options.task;
    const int taskId = task == Task::Raw ? kTaskRaw : task == Task::Formatted ? kTaskFormatted : kTaskDeleted;
    // This page goes at the switch: the results travel with the queued call.
    auto found = std::make_shared<SavedScan>(std::move(*scan));
    auto reader = std::make_shared<std::unique_ptr<SavedScanEngine>>(std::move(*engine));
    HomeView* view = host();
    view->CallAfter([view, found, reader, taskId] {
      view->switchPage(kCommandRecoveryPage, pageKindOf(found->tree->variant()), taskId);
      if (auto* page = dynamic_cast<RecoveryPage*>(view->currentPage()))
        page->showResults(std::move(found->tree), std::move(*reader), found->options);
    });
    return {};
  }();
  if (!opened) wxMessageBox(wxString::FromUTF8(describe(opened.error())), "Error", wxOK | wxICON_ERROR, this);
  return opened;
}

void DrivePage::showAttachedImage(const wxString& path) {
  fillTree();
  // The new drive is the one whose catalogue name is the image's file name; the last
  // such drive, since it was attached last.
  const wxString name = wxFileName(path).GetFullName();
  wxTreeItemId pick;
  wxTreeItemIdValue c1, c2;
  const wxTreeItemId root = m_tree->GetRootItem();
  for (wxTreeItemId d = m_tree->GetFirstChild(root, c1); d.IsOk(); d = m_tree->GetNextChild(root, c1)) {
    if (!m_tree->GetItemText(d).StartsWith(name + " (")) continue;
    pick = d;
    if (wxTreeItemId p = m_tree->GetFirstChild(d, c2); p.IsOk()) pick = p;
  }
  if (pick.IsOk()) {
    m_tree->SelectItem(pick);
    m_tree->EnsureVisible(pick);
  }
  m_tree->SetFocus();
}

wxFont DrivePage::factsFont() { return wxFont(wxFontInfo(8).Family(wxFONTFAMILY_SWISS)); }

std::vector<FactLine> DrivePage::factLines() {
  wxClientDC dc(this);
  return layoutFacts(dc);
}

std::vector<FactLine> DrivePage::layoutFacts(wxDC& dc) {
  std::vector<std::string> facts;
  if (m_partition) {
    facts = partitionFacts(*m_partition);
  } else if (m_disk) {
    int items = 0;
    for (const auto& p : m_catalog.partitions())
      items += p.diskNumber == m_disk->number && driveListsPartition(taskId(), p);
    facts = diskFacts(*m_disk, items);
  }
  dc.SetFont(factsFont());
  std::vector<wxString> text;
  for (const auto& f : facts) text.push_back(wxString::FromUTF8(f));
  const bool twoColumns = text.size() > 3 && !text[3].empty();
  // Column 2 starts at its usual place unless a number of column 1 needs more room; the
  // names (volume label, disk model) are what gets cut when space runs out.
  const int col1 = kFacts.x + 12;
  int col2 = kFacts.x + 160;
  if (twoColumns)
    for (size_t i = 1; i < 3; ++i) col2 = std::max(col2, col1 + dc.GetTextExtent(text[i]).x + kFactsGap);
  const int rows[3] = {15, 39, 62};
  std::vector<FactLine> lines;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i].empty()) continue;
    const int x = i < 3 ? col1 : col2;
    const int right = (i < 3 && twoColumns) ? col2 - kFactsGap / 2 : kFactsRight;
    FactLine line;
    line.full = text[i];
    line.shown = dc.GetTextExtent(text[i]).x <= right - x ? text[i]
                                                          : wxControl::Ellipsize(text[i], dc, wxELLIPSIZE_END, right - x);
    const wxSize extent = dc.GetTextExtent(line.shown);
    line.rect = wxRect(x, kFacts.y + rows[i % 3] - extent.y / 2, extent.x, extent.y);
    lines.push_back(line);
  }
  return lines;
}

wxDialog* DrivePage::openOptions(bool modeless) {
  AppState& app = wxGetApp().state();
  if (taskId() == kTaskDeleted || taskId() == kTaskFormatted) {
    auto* dlg = new FilterDialog(this, FilterDialog::Kind::QuickSearch, app.filter);
    if (modeless) {
      dlg->Show();
      return dlg;
    }
    dlg->ShowModal();
    dlg->Destroy();
    return nullptr;
  }
  if (taskId() == kTaskRaw) return openRawOptions(this, app, modeless);
  return nullptr;
}

void DrivePage::onPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(this);
  const char* heading = taskId() == kTaskFormatted ? "Formatted Drive Recovery"
                        : taskId() == kTaskRaw     ? "Raw File Recovery"
                                                   : "Deleted File Recovery";
  paintHeader(dc, 151, heading, "Select the partition to scan, then press Next.");

  dc.SetTextForeground(kPageInk);
  dc.SetBackgroundMode(wxTRANSPARENT);
  for (const FactLine& line : layoutFacts(dc)) dc.DrawText(line.shown, line.rect.GetPosition());
  if (m_partition || m_disk) paintChart(dc);
}

void DrivePage::paintChart(wxDC& target) {
  std::vector<ChartSlice> slices;
  if (m_partition) {
    slices = partitionChart(*m_partition);
  } else {
    std::vector<PartitionRecord> parts;
    for (const auto& p : m_catalog.partitions())
      if (p.diskNumber == m_disk->number && driveListsPartition(taskId(), p)) parts.push_back(p);
    slices = diskChart(m_disk->size, parts);
  }
  wxBitmap bmp(kChart.width, kChart.height);
  wxMemoryDC dc(bmp);
  dc.SetBackground(wxBrush(wxColour(0xF0, 0xF0, 0xF0)));
  dc.Clear();
  const int d = std::max(kChart.width, kChart.height) / 2;
  const int cx = kChart.width / 2, cy = kChart.height / 2 - (kChart.width > kChart.height ? d / 6 : 0);
  wxRect circle(cx - d / 2, cy - d / 4, d, d / 2);  // seen at an angle: an ellipse
  dc.SetPen(wxPen(*wxBLACK, 2));
  if (kChart.width > kChart.height) {
    // The raised rim below the disc.
    int depth = kChart.height / 6;
    dc.SetBrush(wxBrush(wxColour(0x78, 0x78, 0x78)));
    dc.DrawEllipse(circle.x, circle.y + depth, circle.width, circle.height);
    dc.SetPen(*wxTRANSPARENT_PEN);
    dc.DrawRectangle(circle.x, circle.y + circle.height / 2, circle.width, depth);
    dc.SetPen(wxPen(*wxBLACK, 2));
    dc.DrawLine(circle.x, circle.y + circle.height / 2, circle.x, circle.y + circle.height / 2 + depth);
    dc.DrawLine(circle.GetRight(), circle.y + circle.height / 2, circle.GetRight(), circle.y + circle.height / 2 + depth);
  }
  for (const ChartSlice& s : slices) {
    dc.SetBrush(wxBrush(fromBgr(s.colour)));
    if (s.share >= 0.9999) {
      dc.DrawEllipse(circle);
      continue;
    }
    // Start at 9 o'clock and go clockwise: wx angles run counter-clockwise from 3 o'clock.
    double startDeg = 180 - s.start * 360, endDeg = 180 - (s.start + s.share) * 360;
    dc.DrawEllipticArc(circle.x, circle.y, circle.width, circle.height, endDeg, startDeg);
  }
  dc.SelectObject(wxNullBitmap);
  target.DrawBitmap(bmp, kChart.x, kChart.y);
}

void registerDrivePage() {
  registerPage(PageKind::Drive, [](HomeView* host, int task) -> Page* { return new DrivePage(host, task); });
}

}  // namespace velk::ui
