#include "partition/partition_page.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <wx/dcbuffer.h>
#include <wx/dcmemory.h>
#include <wx/filedlg.h>
#include <wx/imaglist.h>
#include <wx/msgdlg.h>
#include <wx/settings.h>
#include <wx/utils.h>

#include "app/art.h"
#include "app/home_view.h"
#include "app/open_image_dialog.h"
#include "app/recovery_app.h"
#include "app/skin_button.h"
#include "disk/sector_reader.h"
#include "partition/backup_store.h"
#include "partition/partition_texts.h"
#include "support/text.h"
#include "workspace/progress_dialog.h"

namespace velk::ui {
namespace {

constexpr int kIconRemovable = 193, kIconFixed = 198, kIconCandidate = 194;
constexpr int kIconBackupFile = 197, kIconAutoScan = 196, kIconAddBackup = 195;
constexpr int kBody = 204;
// The disk combo's drop-down list shows six disks before it scrolls.
constexpr int kComboListHeight = 242 - 82 - DiskCombo::kFieldHeight;
// Disk map geometry: boxes keep 8 pixels clear on each side; the record bars run along the
// top, the candidate bar 8 pixels above the bottom.
constexpr int kMapMargin = 8, kMapBarHeight = 10, kMapTop = 8;
constexpr uint32_t kMapBorder = 0xAF9173, kMapInterior = 0xD2C8B4;  // 0x00BBGGRR

std::shared_ptr<BackupFileDialogs>& dialogsSlot() {
  static std::shared_ptr<BackupFileDialogs> dialogs;
  return dialogs;
}
TableRereader& rereaderSlot() {
  static TableRereader rereader;
  return rereader;
}
RestartRequest& restartSlot() {
  static RestartRequest request;
  return request;
}

wxString text(std::string_view s) { return wxString::FromUTF8(codepageText(s)); }

wxColour fromBgr(uint32_t bgr) { return wxColour(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF); }

wxFont smallFont(const wxWindow* w) {
  wxFont font(wxFontInfo(8).FaceName("MS Sans Serif"));
  return font.IsOk() ? font : w->GetFont();
}

// The artwork at another size than its table's (disk icons in the combo's list).
const wxBitmap& scaledArt(int number, int size) {
  static std::map<std::pair<int, int>, wxBitmap> cache;
  auto key = std::make_pair(number, size);
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  wxBitmap out;
  const wxBitmap& full = Art::get().bitmap(number);
  if (full.IsOk()) out = full.GetWidth() == size ? full : wxBitmap(full.ConvertToImage().Scale(size, size, wxIMAGE_QUALITY_HIGH));
  return cache.emplace(key, out).first->second;
}

class FileDialogs final : public BackupFileDialogs {
 public:
  bool chooseSaveFile(wxWindow* parent, const wxString& folder, const wxString& name, wxString& path) override {
    wxFileDialog dlg(parent, "Save As", folder, name, filter(), wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
    if (dlg.ShowModal() != wxID_OK) return false;
    path = dlg.GetPath();
    if (!path.Lower().EndsWith(wxString(kBackupExtension.data()))) path += wxString(kBackupExtension.data());
    return true;
  }
  bool chooseOpenFile(wxWindow* parent, wxString& path) override {
    wxFileDialog dlg(parent, "Open", wxEmptyString, wxEmptyString, filter(), wxFD_OPEN | wxFD_FILE_MUST_EXIST);
    if (dlg.ShowModal() != wxID_OK) return false;
    path = dlg.GetPath();
    return true;
  }

 private:
  // The filter without the closing "||" of the Windows form, which wx would read as an
  // empty pair.
  static wxString filter() {
    wxString f = wxString::FromUTF8(kBackupFilter.data(), kBackupFilter.size());
    while (f.EndsWith("|")) f.RemoveLast();
    return f;
  }
};

BackupFileDialogs& fileDialogs() {
  static FileDialogs standard;
  return dialogsSlot() ? *dialogsSlot() : standard;
}

TableRereadResult rereadTable(int disk) { return rereaderSlot() ? rereaderSlot()(disk) : rereadPartitionTable(disk); }

bool requestRestart() {
  if (restartSlot()) return restartSlot()();
  // The service manager shuts down in order; it refuses when the user may not reboot.
  // NODISABLE: a synchronous run would grey out the window while it waits.
  return wxExecute("systemctl reboot", wxEXEC_SYNC | wxEXEC_NODISABLE | wxEXEC_HIDE_CONSOLE) == 0;
}

}  // namespace

void setBackupFileDialogs(std::shared_ptr<BackupFileDialogs> dialogs) { dialogsSlot() = std::move(dialogs); }
void setTableRereader(TableRereader rereader) { rereaderSlot() = std::move(rereader); }
void setRestartRequest(RestartRequest request) { restartSlot() = std::move(request); }

// ---- Disk combo ----

DiskCombo::DiskCombo(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size)
    : wxOwnerDrawnComboBox(parent, id, wxEmptyString, pos, size, 0, nullptr, wxCB_READONLY) {
  SetName("DiskCombo");
  SetFont(smallFont(this));
  SetPopupMaxHeight(kComboListHeight);
}

void DiskCombo::setDisks(const std::vector<DiskRecord>& disks) {
  m_disks = disks;
  Clear();
  for (const DiskRecord& d : m_disks) Append(text(diskComboText(d)));
}

const DiskRecord* DiskCombo::disk(int item) const {
  return item >= 0 && size_t(item) < m_disks.size() ? &m_disks[size_t(item)] : nullptr;
}

void DiskCombo::OnDrawBackground(wxDC& dc, const wxRect& rect, int, int flags) const {
  const bool selected = (flags & wxODCB_PAINTING_SELECTED) && !(flags & wxODCB_PAINTING_CONTROL);
  const wxColour bg = selected ? wxSystemSettings::GetColour(wxSYS_COLOUR_HIGHLIGHT) : *wxWHITE;
  dc.SetBrush(wxBrush(bg));
  dc.SetPen(wxPen(bg));
  dc.DrawRectangle(rect);
}

void DiskCombo::OnDrawItem(wxDC& dc, const wxRect& rect, int item, int flags) const {
  const DiskRecord* d = disk(item);
  if (!d) return;
  const bool field = flags & wxODCB_PAINTING_CONTROL;
  const bool selected = (flags & wxODCB_PAINTING_SELECTED) && !field;
  // The selection field has room for the full 32-pixel icon; list lines take a small one.
  const int icon = d->removable ? kIconRemovable : kIconFixed;
  const int size = field ? std::min(32, rect.height) : 16;
  const wxBitmap& bmp = scaledArt(icon, size);
  const int iconX = rect.x + (field ? 4 : 12);
  if (bmp.IsOk()) dc.DrawBitmap(bmp, iconX, rect.y + (rect.height - size) / 2, true);
  dc.SetFont(smallFont(this));
  dc.SetTextForeground(selected ? wxSystemSettings::GetColour(wxSYS_COLOUR_HIGHLIGHTTEXT) : *wxBLACK);
  const wxString label = text(diskComboText(*d));
  dc.DrawText(label, rect.x + 52, rect.y + (rect.height - dc.GetTextExtent(label).y) / 2);
}

wxCoord DiskCombo::OnMeasureItem(size_t) const { return kItemHeight; }

// ---- Candidate list ----

CandidateList::CandidateList(PartitionPage* page, wxWindowID id, const wxPoint& pos, const wxSize& size)
    : wxVListBox(page, id, pos, size, wxBORDER_THEME), m_page(page) {
  SetName("CandidateList");
  SetBackgroundColour(*wxWHITE);
  // An empty list says how to fill it.
  Bind(wxEVT_PAINT, [this](wxPaintEvent& e) {
    if (GetItemCount() != 0) {
      e.Skip();
      return;
    }
    wxAutoBufferedPaintDC dc(this);
    dc.SetBackground(*wxWHITE_BRUSH);
    dc.Clear();
    dc.SetFont(GetFont());
    dc.SetTextForeground(wxColour(0x6b, 0x76, 0x85));
    const wxSize area = GetClientSize();
    const wxString lines[] = {"No partitions listed yet.",
                              "Double-click \"Auto Scan\" or a backup file on the left."};
    int y = area.y / 2 - dc.GetCharHeight();
    for (const wxString& line : lines) {
      dc.DrawText(line, (area.x - dc.GetTextExtent(line).x) / 2, y);
      y += dc.GetCharHeight() + 4;
    }
  });
}

void CandidateList::reload() {
  SetItemCount(m_page->model().Candidates().size());
  SetSelection(m_page->selectedCandidate());
  Refresh();
}

void CandidateList::OnDrawBackground(wxDC& dc, const wxRect& rect, size_t n) const {
  const wxColour bg = IsSelected(n) ? wxSystemSettings::GetColour(wxSYS_COLOUR_HIGHLIGHT) : *wxWHITE;
  dc.SetBrush(wxBrush(bg));
  dc.SetPen(wxPen(bg));
  dc.DrawRectangle(rect);
}

void CandidateList::OnDrawItem(wxDC& dc, const wxRect& rect, size_t n) const {
  const auto& list = m_page->model().Candidates();
  if (n >= list.size()) return;
  const CandidateLine line = candidateLine(list[n]);
  const wxBitmap& icon = Art::get().bitmap(kIconCandidate);
  if (icon.IsOk()) dc.DrawBitmap(icon, rect.x + 10, rect.y + 5, true);
  dc.SetFont(smallFont(this));
  dc.SetTextForeground(IsSelected(n) ? wxSystemSettings::GetColour(wxSYS_COLOUR_HIGHLIGHTTEXT) : *wxBLACK);
  const int y = rect.y + (rect.height - dc.GetCharHeight()) / 2;
  dc.DrawText(text(line.name), rect.x + 30, y);
  dc.DrawText(text(line.start), rect.x + 100, y);
  dc.DrawText(text(line.end), rect.x + 250, y);
}

// ---- Disk map ----

DiskMap::DiskMap(PartitionPage* page, wxWindowID id, const wxRect& rect)
    : wxWindow(page, id, rect.GetPosition(), rect.GetSize(), wxBORDER_NONE), m_page(page) {
  SetName("DiskMap");
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  Bind(wxEVT_PAINT, [this](wxPaintEvent&) {
    wxAutoBufferedPaintDC dc(this);
    draw(dc, GetClientSize());
    ++m_paints;
  });
}

void DiskMap::draw(wxDC& dc, const wxSize& size) const {
  dc.SetPen(*wxTRANSPARENT_PEN);
  dc.SetBrush(wxBrush(fromBgr(kMapBorder)));
  dc.DrawRectangle(0, 0, size.x, size.y);
  dc.SetBrush(wxBrush(fromBgr(kMapInterior)));
  dc.DrawRectangle(3, 3, size.x - 6, size.y - 6);

  const PartitionRecovery& model = m_page->model();
  const DiskRecord* disk = model.SelectedDisk();
  if (!disk || disk->size == 0) return;
  const double scale = double(size.x - 2 * kMapMargin) / double(disk->size);
  auto span = [&](const PartitionRecord& r) {
    const int x = kMapMargin + int(double(r.startByte()) * scale);
    const int w = std::max(1, int(double(r.length) * scale));
    return std::make_pair(x, std::min(w, size.x - kMapMargin - x));
  };
  dc.SetFont(smallFont(this));
  const int boxTop = kMapTop + kMapBarHeight;
  const int boxHeight = size.y - boxTop - kMapMargin - kMapBarHeight - 2;
  for (const PartitionRecord& r : model.catalog().partitions()) {
    if (r.diskNumber != disk->number) continue;
    auto [x, w] = span(r);
    if (w <= 0) continue;
    dc.SetPen(*wxTRANSPARENT_PEN);
    dc.SetBrush(wxBrush(fromBgr(diskMapColour(r.fsNameText()))));
    dc.DrawRectangle(x, kMapTop, w, kMapBarHeight);
    dc.SetPen(wxPen(fromBgr(kMapInterior)));
    dc.SetBrush(*wxWHITE_BRUSH);
    dc.DrawRectangle(x, boxTop, w, boxHeight);
    const wxString label = wxString::Format("%c: ", r.letter ? r.letter : '*') + text(r.fsNameText());
    const wxSize t = dc.GetTextExtent(label);
    wxDCClipper clip(dc, wxRect(x + 1, boxTop, std::max(1, w - 2), boxHeight));
    dc.SetTextForeground(*wxBLACK);
    dc.DrawText(label, x + std::max(3, (w - t.x) / 2), boxTop + (boxHeight - t.y) / 2);
  }
  if (const PartitionRecord* c = m_page->selectedCandidateRecord()) {
    auto [x, w] = span(*c);
    if (w > 0) {
      dc.SetPen(*wxTRANSPARENT_PEN);
      dc.SetBrush(wxBrush(fromBgr(diskMapColour(c->fsNameText()))));
      dc.DrawRectangle(x, size.y - kMapMargin - kMapBarHeight, w, kMapBarHeight);
    }
  }
}

wxBitmap DiskMap::render() const {
  const wxSize size = GetClientSize();
  wxBitmap bmp(size.x, size.y, 24);
  wxMemoryDC dc(bmp);
  draw(dc, size);
  dc.SelectObject(wxNullBitmap);
  return bmp;
}

// ---- The page ----

PartitionPage::PartitionPage(HomeView* host, int taskId) : Page(host, taskId, 102) {
  SetName("PartitionPage");
  createControls();
  Bind(wxEVT_PAINT, &PartitionPage::onPaint, this);

  m_model.Refresh();
  fillDisks();
  if (m_model.catalog().DiskCount() > 0) {
    m_model.SelectDisk(0);
    m_combo->SetSelection(0);
  }
  fillBackupList();
  if (administratorProbeFails())
    CallAfter([this] { message(wxString(kTextRunAsAdministrator.data()), wxString(kCaptionInformation.data()), wxOK); });
}

void PartitionPage::createControls() {
  const int width = GetClientSize().x;
  struct ButtonSpec {
    SkinButton** slot;
    int id;
    std::string_view label;
    wxRect rect;
    int normal, pressed, hover, disabled;
  };
  const ButtonSpec specs[] = {
      {&m_backButton, kBackButton, kButtonBack, wxRect(wxPoint(554, 411), wxPoint(644, 455)), 160, 159, 210, 160},
      {&m_nextButton, kNextButton, kButtonNext, wxRect(wxPoint(661, 411), wxPoint(751, 455)), 162, 161, 209, 167},
      {&m_recoveryButton, kRecoveryButton, kButtonRecovery, wxRect(wxPoint(600, 124), wxPoint(763, 188)), 179, 178,
       297, 180},
      {&m_backupButton, kBackupButton, kButtonBackup, wxRect(wxPoint(654, 78), wxPoint(756, 112)), 203, 203, 202, 201},
  };
  for (const auto& s : specs) {
    auto* b = new SkinButton(this, s.id, wxString(s.label.data(), s.label.size()), s.rect.GetPosition(),
                             s.rect.GetSize());
    b->SetBitmaps(s.normal, s.pressed, s.hover, s.disabled);
    b->setBackdrop(kBody, wxPoint(s.rect.x, s.rect.y - 66));
    *s.slot = b;
  }
  // The artwork puts its icon on the left: keep the caption clear of it.
  m_recoveryButton->setCaption("      Recovery");
  m_nextButton->Disable();  // the page has no next step
  m_openImageButton = new SkinButton(this, kOpenImage, "Open disk image", wxPoint(20, 411), wxSize(145, 45));
  m_openImageButton->SetBitmaps(164, 163, 211, 166);
  m_openImageButton->setCaption(wxString::FromUTF8("Open disk image…"));
  m_openImageButton->setBackdrop(kPagePaper);
  m_openImageButton->SetToolTip("Attach a disk image file as a drive (raw, E01, VHD, VHDX, VMDK, QCOW2)");
  m_openImageButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { openImage(); });
  m_progress = new ProgressDialog(this, wxGetApp().state().progress, [this] { m_deepStop.clear(); });

  m_combo = new DiskCombo(this, kDiskCombo, wxPoint(10, 82), wxSize(width - 123 - 10, DiskCombo::kFieldHeight));
  m_map = new DiskMap(this, kDiskMap, wxRect(wxPoint(10, 127), wxPoint(width - 179 - 1, 187 - 1)));
  m_candidates = new CandidateList(this, kCandidateList, wxPoint(375, 196), wxSize(760 - 375, 386 - 196));
  m_backups = new wxListCtrl(this, kBackupList, wxPoint(10, 196), wxSize(362 - 10, 386 - 196),
                             wxLC_REPORT | wxLC_SINGLE_SEL | wxBORDER_THEME);
  m_backups->SetName("BackupList");
  m_backups->SetFont(smallFont(this));
  m_backups->AppendColumn(wxString(kColumnDateCreated.data()), wxLIST_FORMAT_LEFT, kColumnDateCreatedWidth);
  // The path column takes what the list has left, so the rows' notes show whole.
  const int pathWidth = std::max(kColumnFilePathWidth, m_backups->GetClientSize().x - kColumnDateCreatedWidth);
  m_backups->AppendColumn(wxString(kColumnFilePath.data()), wxLIST_FORMAT_LEFT, pathWidth);
  auto* images = new wxImageList(16, 16, true, 3);
  for (int number : {kIconBackupFile, kIconAutoScan, kIconAddBackup}) images->Add(Art::get().bitmap(number));
  m_backups->AssignImageList(images, wxIMAGE_LIST_SMALL);

  m_backButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { requestSwitch(kCommandHome, 1); });
  m_recoveryButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { recover(); });
  m_backupButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { backup(); });
  m_combo->Bind(wxEVT_COMBOBOX, [this](wxCommandEvent& e) { selectDisk(e.GetSelection()); });
  m_candidates->Bind(wxEVT_LISTBOX, [this](wxCommandEvent& e) { selectCandidate(e.GetSelection()); });
  m_backups->Bind(wxEVT_LIST_ITEM_ACTIVATED, [this](wxListEvent& e) { activateBackupRow(e.GetIndex()); });
  orderTabsByLayout(this);
}

int PartitionPage::message(const wxString& body, const wxString& caption, long style) {
  return wxMessageBox(body, caption.empty() ? wxTheApp->GetAppDisplayName() : caption, style, this);
}

void PartitionPage::fillDisks() {
  m_combo->setDisks(m_model.catalog().disks());
  m_combo->SetSelection(m_model.SelectedIndex() >= 0 ? m_model.SelectedIndex() : wxNOT_FOUND);
}

void PartitionPage::fillBackupList() {
  m_backups->DeleteAllItems();
  m_listRows.clear();
  const auto& rows = m_model.BackupRows();
  auto add = [this](const wxString& date, const wxString& path, int image, ListRow row) {
    const long item = m_backups->InsertItem(m_backups->GetItemCount(), date, image);
    m_backups->SetItem(item, 1, path);
    m_listRows.push_back(row);
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    add(text(rows[i].dateText), text(rows[i].pathText), rows[i].image, {int(i), false});
    if (rows[i].kind == BackupRowKind::AutoScan) add(kRowDeepScan, kRowDeepScanNote, rows[i].image, {-1, true});
  }
}

void PartitionPage::fillCandidates() {
  m_selectedCandidate = -1;
  m_candidates->reload();
  m_map->Refresh();
}

const PartitionRecord* PartitionPage::selectedCandidateRecord() const {
  const auto& list = m_model.Candidates();
  return m_selectedCandidate >= 0 && size_t(m_selectedCandidate) < list.size() ? &list[size_t(m_selectedCandidate)]
                                                                              : nullptr;
}

void PartitionPage::selectDisk(int index) {
  if (!m_model.SelectDisk(index)) return;  // the disk shown already
  if (m_combo->GetSelection() != index) m_combo->SetSelection(index);
  fillBackupList();
  fillCandidates();
}

void PartitionPage::selectCandidate(int index) {
  const int count = int(m_model.Candidates().size());
  m_selectedCandidate = index >= 0 && index < count ? index : -1;
  if (m_candidates->GetSelection() != m_selectedCandidate) m_candidates->SetSelection(m_selectedCandidate);
  m_map->Refresh();
}

void PartitionPage::showCandidatesOrFailure(bool ok) {
  fillCandidates();
  if (!ok) message(wxString(kTextCantLoadBackup.data()), wxEmptyString, wxOK);
}

void PartitionPage::activateBackupRow(long listRow) {
  if (listRow < 0 || size_t(listRow) >= m_listRows.size()) return;
  if (m_listRows[size_t(listRow)].deepScan) {
    deepScan();
    return;
  }
  const auto& rows = m_model.BackupRows();
  const size_t row = size_t(m_listRows[size_t(listRow)].modelRow);
  if (row >= rows.size()) return;
  switch (rows[row].kind) {
    case BackupRowKind::AutoScan: {
      bool ok = false;
      {
        wxBusyCursor busy;
        ok = m_model.AutoScan();
      }
      showCandidatesOrFailure(ok);
      break;
    }
    case BackupRowKind::AddFile: {
      wxString path;
      if (!fileDialogs().chooseOpenFile(this, path) || path.empty()) return;
      if (m_model.AddBackupFile(std::filesystem::path(path.utf8_string()))) fillBackupList();
      break;
    }
    case BackupRowKind::Found:
    case BackupRowKind::Added: {
      const std::filesystem::path path = rows[row].path;
      // A refused file leaves the candidates as they were.
      if (m_model.LoadBackup(path)) showCandidatesOrFailure(true);
      else message(wxString(kTextCantLoadBackup.data()), wxEmptyString, wxOK);
      break;
    }
  }
}

void PartitionPage::deepScan() {
  if (m_worker.joinable()) return;  // one scan at a time
  Progress& progress = wxGetApp().state().progress;
  progress.reset();
  progress.setStatus("Probing the gaps of the disk");
  m_deepStop.set();
  // The worker replaces the candidates: nothing may paint them meanwhile.
  m_selectedCandidate = -1;
  m_candidates->SetItemCount(0);
  m_candidates->Refresh();
  m_map->Refresh();
  m_progress->setTitleText(kTitleDeepScan);
  m_progress->setMode(0);
  bool ok = false;
  // The deep scan reads a few sectors at every probe point of every gap: on a large disk
  // that takes a while, so it runs on a worker and the window stays responsive.
  m_worker = std::jthread([this, &ok, &progress] {
    ok = m_model.DeepScan(&m_deepStop, [&progress](uint64_t done, uint64_t total) {
      progress.foundTotal = total;
      progress.foundCurrent = done;
    });
    m_progress->CallAfter([p = m_progress] { p->finish(); });
  });
  m_progress->ShowModal();
  m_worker.join();
  m_worker = std::jthread();
  showCandidatesOrFailure(ok);
}

void PartitionPage::openImage() {
  OpenImageDialog dlg(this);
  if (dlg.ShowModal() == wxID_OK) showAttachedImage();
}

void PartitionPage::showAttachedImage() {
  m_model.Refresh();
  fillDisks();
  // The image attached last is the last disk of the catalogue.
  const int last = m_model.catalog().DiskCount() - 1;
  if (last >= 0 && m_model.SelectedIndex() != last) selectDisk(last);
  else {
    fillBackupList();
    fillCandidates();
  }
  m_combo->SetFocus();
}

void PartitionPage::backup() {
  if (message(wxString(kTextBackupQuestion.data()), wxString(kCaptionConfirm.data()), wxOK | wxCANCEL | wxICON_QUESTION) !=
      wxOK)
    return;
  // Proposed: the folder the list reads, under a name that starts with the disk's name, so
  // the new file is listed on the next visit.
  wxString folder, name;
  const std::filesystem::path dir = backupFolder();
  std::error_code ec;
  if (!dir.empty() && (std::filesystem::create_directories(dir, ec), !ec)) folder = wxString::FromUTF8(dir.string());
  if (const DiskRecord* disk = m_model.SelectedDisk())
    name = wxString::FromUTF8(defaultBackupName(*disk, std::time(nullptr)));
  wxString chosen;
  if (!fileDialogs().chooseSaveFile(this, folder, name, chosen) || chosen.empty()) return;
  const std::filesystem::path target(chosen.utf8_string());
  if (!m_model.WriteBackup(target)) {
    message(wxString(kTextBackupFailed.data()), wxString(kCaptionError.data()), wxOK | wxICON_ERROR);
    return;
  }
  // The new file is offered in the list at once, as a file the user added.
  const auto& rows = m_model.BackupRows();
  const bool listed = std::any_of(rows.begin(), rows.end(), [&](const BackupRow& r) {
    std::error_code same;
    return !r.path.empty() && std::filesystem::equivalent(r.path, target, same);
  });
  if (!listed && m_model.AddBackupFile(target)) fillBackupList();
  message(wxString(kTextBackupDone.data()), wxString(kCaptionSuccess.data()), wxOK | wxICON_INFORMATION);
}

void PartitionPage::recover() {
  if (message(wxString(kTextDangerous.data()), wxString(kCaptionWarning.data()), wxOK | wxCANCEL | wxICON_WARNING) !=
      wxOK)
    return;
  const DiskRecord* disk = m_model.SelectedDisk();
  const int diskNumber = disk ? disk->number : -1;
  {
    wxBusyCursor busy;
    m_lastRewrite = m_model.Rewrite(m_selectedCandidate);
  }
  if (m_lastRewrite.sectorsWritten > 0) {
    // The core has read the tables again after writing: show the disk as it is now.
    fillDisks();
    m_candidates->reload();
    m_map->Refresh();
  }
  if (m_lastRewrite.code != RewriteCode::Rewritten) {
    message(text(rewriteMessage(m_lastRewrite.code)), wxString(kCaptionError.data()), wxOK | wxICON_ERROR);
    return;
  }
  afterRecovered(diskNumber);
}

void PartitionPage::afterRecovered(int diskNumber) {
  const wxString caption(kCaptionRecoverySuccess.data());
  // When the kernel takes the new table at once (or the disk is an image), a restart would
  // gain nothing.
  const TableRereadResult reread = rereadTable(diskNumber);
  if (reread.status == TableRereadStatus::NotNeeded) {
    message(kTextNoRestartImage, caption, wxOK | wxICON_INFORMATION);
    return;
  }
  if (reread.status == TableRereadStatus::Reread) {
    message(kTextNoRestartReread, caption, wxOK | wxICON_INFORMATION);
    return;
  }
  if (message(text(kTextRecovered), caption, wxYES_NO | wxNO_DEFAULT | wxICON_INFORMATION) == wxYES &&
      !requestRestart())
    message(kTextRestartRefused, wxString(kCaptionInformation.data()), wxOK | wxICON_INFORMATION);
  m_map->Refresh();
}

void PartitionPage::onPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(this);
  paintHeader(dc, kBody, "Partition Recovery",
              "Scan the disk or load a backup, pick the lost partition, then press Recovery.");
}

void addPartitionScreenshotSteps();

void registerPartitionPage() {
  static bool stepsAdded = false;
  if (!stepsAdded) {
    stepsAdded = true;
    addPartitionScreenshotSteps();
  }
  registerPage(PageKind::Partition, [](HomeView* host, int task) -> Page* { return new PartitionPage(host, task); });
}

}  // namespace velk::ui
