#include "workspace/recovery_page.h"

#include <chrono>
#include <wx/checkbox.h>
#include <wx/dcbuffer.h>
#include <wx/dcmemory.h>
#include <wx/dirdlg.h>
#include <wx/filedlg.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>

#include "app/art.h"
#include "app/home_view.h"
#include "app/recovery_app.h"
#include "app/settings.h"
#include "app/skin_button.h"
#include "engines/engine_registry.h"
#include "engines/raw/signature_catalog.h"
#include "engines/unclaimed_carving.h"
#include "workspace/variant_policy.h"
#include "workspace/file_types.h"
#include "workspace/filter_dialog.h"
#include "workspace/image_decode.h"
#include "workspace/notice_bar.h"
#include "workspace/recovery_dialogs.h"
#include "workspace/saved_scan.h"
#include "workspace/overwrite_dialog.h"
#include "workspace/preview.h"
#include "workspace/preview_dialogs.h"
#include "workspace/progress_dialog.h"
#include "workspace/raw_options_dialog.h"
#include "workspace/result_views.h"
#include "workspace/row_format.h"
#include "output/write_guard.h"
#include "workspace/thumbnail_layout.h"

namespace velk::ui {
namespace {

// The FAT preview shows the first kilobyte of a file, the EXT preview its first 4 KB.
// Recovered data decides how much a thumbnail read allocates: keep it sane.
constexpr size_t kThumbnailReadLimit = 256u << 20;

std::shared_ptr<FolderChooser>& chooserSlot() {
  static std::shared_ptr<FolderChooser> chooser;
  return chooser;
}
EngineOpener& openerSlot() {
  static EngineOpener opener;
  return opener;
}

// The recovery folder: starts where the user recovered last, else in the documents folder.
class DialogFolderChooser : public FolderChooser {
 public:
  bool choose(wxWindow* parent, wxString& path) override {
    RecoveryFolderDialog dlg(parent, RecoveryFolderDialog::startFolder());
    if (dlg.ShowModal() != wxID_OK) return false;
    path = dlg.path();
    Settings::get().setFolder("recovery", path);
    return true;
  }
};

// How a scan's notice reads: why it ended early, then the sectors it could not read.
std::string scanNotice(const std::optional<Error>& error, const RecoveryEngine* engine) {
  std::string notice = error ? describe(*error) : std::string();
  if (engine) {
    for (const std::string& line : {unreadableSummary(engine->damage()), damageSummary(engine->damage())})
      if (!line.empty()) notice += (notice.empty() ? "" : "\n") + line;
  }
  return notice;
}

Task taskOf(int taskId) {
  return taskId == kTaskRaw ? Task::Raw : taskId == kTaskFormatted ? Task::Formatted : Task::Deleted;
}

// A 90 × 90 thumbnail: white, the image squeezed per axis into its centre, a grey frame.
wxImage composeThumbnail(const wxImage& image) {
  wxImage square(kThumbnailSize, kThumbnailSize);
  square.SetRGB(wxRect(0, 0, kThumbnailSize, kThumbnailSize), 255, 255, 255);
  PlacedRect r = placeImage(image.GetWidth(), image.GetHeight(), kThumbnailSize, kThumbnailSize);
  if (r.width > 0 && r.height > 0) {
    wxImage scaled = image.Scale(r.width, r.height, wxIMAGE_QUALITY_BILINEAR);
    if (scaled.HasAlpha()) {
      // Blend over white: Paste would copy the alpha-less colours of transparent pixels.
      for (int y = 0; y < r.height; ++y)
        for (int x = 0; x < r.width; ++x) {
          const unsigned a = scaled.GetAlpha(x, y);
          auto mix = [a](unsigned c) { return (unsigned char)((c * a + 255 * (255 - a)) / 255); };
          scaled.SetRGB(x, y, mix(scaled.GetRed(x, y)), mix(scaled.GetGreen(x, y)), mix(scaled.GetBlue(x, y)));
        }
      scaled.ClearAlpha();
    }
    square.Paste(scaled, r.x, r.y);
  }
  for (int i = 0; i < kThumbnailSize; ++i) {
    square.SetRGB(i, 0, 192, 192, 192);
    square.SetRGB(i, kThumbnailSize - 1, 192, 192, 192);
    square.SetRGB(0, i, 192, 192, 192);
    square.SetRGB(kThumbnailSize - 1, i, 192, 192, 192);
  }
  return square;
}

}  // namespace

const wxRect RecoveryPage::kFolderTotalsRect(wxPoint(10, 276), wxPoint(359, 290));
const wxRect RecoveryPage::kCheckedTotalsRect(wxPoint(380, 276), wxPoint(729, 290));

void setFolderChooser(std::shared_ptr<FolderChooser> chooser) { chooserSlot() = std::move(chooser); }
void setEngineOpener(EngineOpener opener) { openerSlot() = std::move(opener); }

RecoveryPage::RecoveryPage(HomeView* host, int taskId, Variant variant)
    : Page(host, taskId, 102),
      m_variant(variant),
      m_results(std::make_unique<ResultTree>(variant)),
      m_startTimer(this, kStartTimer) {
  SetName(wxString("RecoveryPage_") + variantTag(variant));
  createControls();
  Bind(wxEVT_PAINT, &RecoveryPage::onPaint, this);
  Bind(wxEVT_TIMER, [this](wxTimerEvent&) { startScan(); }, kStartTimer);
  m_startTimer.StartOnce(300);
}

RecoveryPage::~RecoveryPage() {
  // A worker still running must stop and must not wait for an answer that never comes.
  m_startTimer.Stop();
  cancelJob();
  if (m_worker.joinable()) m_worker.join();
}

void RecoveryPage::createControls() {
  m_pane = new SplitPane(this, kPane, wxRect(wxPoint(9, 75), wxPoint(758, 264)), m_variant, m_model);
  // The box says what it does; the Filter button beside it is usable while it is ticked.
  m_filterBox = new wxCheckBox(this, kFilterBox, "Apply filter", wxPoint(258, 324));
  m_filterBox->SetToolTip("Show only the files that pass the filter; the Filter button sets it");
  struct ButtonSpec {
    SkinButton** slot;
    int id;
    const char* label;
    wxRect rect;
    int firstBitmap;
  };
  const ButtonSpec specs[] = {
      {&m_filterButton, kFilterButton, "Filter", wxRect(wxPoint(363, 316), wxPoint(465, 350)), 900},
      {&m_viewButton, kViewModeButton, "View Mode", wxRect(wxPoint(482, 316), wxPoint(584, 350)), 904},
      {&m_backButton, kBackButton, "Back", wxRect(wxPoint(554, 411), wxPoint(644, 455)), 908},
      {&m_nextButton, kNextButton, "Next", wxRect(wxPoint(661, 411), wxPoint(751, 455)), 912},
      {&m_recoveryButton, kRecoveryButton, "Recovery", wxRect(wxPoint(598, 312), wxPoint(761, 372)), 916},
  };
  for (const auto& s : specs) {
    auto* b = new SkinButton(this, s.id, s.label, s.rect.GetPosition(), s.rect.GetSize());
    b->SetBitmaps(s.firstBitmap, s.firstBitmap + 1, s.firstBitmap + 2, s.firstBitmap + 3);
    b->setBackdrop(172, wxPoint(s.rect.x, s.rect.y - 66));
    *s.slot = b;
  }
  // What a scan found can be kept and recovered from later without scanning again.
  m_saveButton = new SkinButton(this, kSaveResultsButton, "Save results", wxPoint(10, 310), wxSize(145, 45));
  m_saveButton->SetBitmaps(164, 163, 211, 166);
  m_saveButton->setCaption(wxString::FromUTF8("Save results…"));
  m_saveButton->setBackdrop(172, wxPoint(10, 310 - 66));
  m_saveButton->SetToolTip("Keep what the scan found in a file, to recover from it later without scanning again");
  m_saveButton->Disable();
  m_saveButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { saveResults(); });
  // The artwork puts its arrow on the left: keep the caption clear of it.
  m_recoveryButton->setCaption("      Recovery");
  m_filterButton->Disable();
  m_nextButton->Disable();  // the page has no next step

  m_filterBox->Bind(wxEVT_CHECKBOX, [this](wxCommandEvent& e) { setFilterEnabled(e.IsChecked()); });
  m_filterButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { openFilter(); });
  m_viewButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { showViewMenu(); });
  m_backButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { requestSwitch(kCommandDrivePage, taskId()); });
  m_recoveryButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { recover(); });
  Bind(wxEVT_MENU, [this](wxCommandEvent&) { setIconsMode(); }, kViewIcons);
  Bind(wxEVT_MENU, [this](wxCommandEvent&) { setDetailsMode(); }, kViewDetails);

  ResultTreeView* tree = m_pane->tree();
  tree->onSelect = [this](FolderItem* f) { selectFolder(f); };
  tree->onFolderCheck = [this](FolderItem* f, bool on) { checkFolder(f, on); };
  ResultListView* list = m_pane->list();
  list->onCheck = [this](long row, bool on) { checkRow(row, on); };
  list->onActivate = [this](long row) { preview(row); };
  list->onColumn = [this](int column) { sortColumn(column); };
  m_pane->grid()->onActivate = [this](long row) { preview(row); };
  m_pane->grid()->onCheck = [this](long row, bool on) { checkRow(row, on); };

  // Left of Back and Next: where what the scan met is said, without stopping anyone.
  m_notice = new NoticeBar(this, wxRect(wxPoint(10, 404), wxPoint(540, 462)));
  m_progress = new ProgressDialog(this, wxGetApp().state().progress, [this] { cancelJob(); });
  orderTabsByLayout(this);
}

wxString RecoveryPage::folderTotalsLine() const {
  return wxString::FromUTF8(summaryLine(m_folderTotals.count, m_folderTotals.bytes));
}
wxString RecoveryPage::checkedTotalsLine() const {
  return wxString::FromUTF8(summaryLine(m_checkedTotals.count, m_checkedTotals.bytes));
}

void RecoveryPage::onPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(this);
  const char* heading = m_variant == Variant::Raw          ? "Raw File Recovery"
                        : taskId() == kTaskFormatted       ? "Formatted Drive Recovery"
                                                           : "Deleted File Recovery";
  paintHeader(dc, 172, heading, "Check the files to recover, then press Recovery.");

  wxFont small(wxFontInfo(8).FaceName("Ms Sans Serif"));
  dc.SetFont(small.IsOk() ? small : GetFont());
  dc.SetTextForeground(*wxWHITE);
  dc.SetBackgroundMode(wxTRANSPARENT);
  dc.DrawText(folderTotalsLine(), kFolderTotalsRect.x + 4, kFolderTotalsRect.y + 5 - 4);
  dc.DrawText(checkedTotalsLine(), kCheckedTotalsRect.x + 4, kCheckedTotalsRect.y + 5 - 4);
}

void RecoveryPage::runJob(const wxString& title, int mode, std::function<void()> work) {
  if (m_busy) return;
  Progress& progress = wxGetApp().state().progress;
  // Reset before the worker starts: a total it sets at once must not be lost.
  progress.reset();
  m_cancelled = false;
  m_jobFlag.set();
  m_progress->setTitleText(title);
  m_progress->setMode(mode);
  m_busy = true;
  if (m_worker.joinable()) m_worker.join();
  m_worker = std::jthread([this, work = std::move(work)] {
    work();
    m_progress->CallAfter([p = m_progress] { p->finish(); });
  });
  m_progress->ShowModal();
  if (m_worker.joinable()) m_worker.join();
  m_busy = false;
}

void RecoveryPage::cancelJob() {
  m_cancelled = true;
  m_jobFlag.clear();
  if (RecoveryEngine* e = m_liveEngine.load()) e->scanFlag().clear();
  std::lock_guard lock(m_askMutex);
  m_askAnswered.notify_all();
}

void RecoveryPage::startScan() {
  if (m_scanStarted) return;
  m_scanStarted = true;
  m_startTimer.Stop();
  AppState& app = wxGetApp().state();
  const Task task = m_variant == Variant::Raw ? Task::Raw : taskOf(taskId());
  ScanOptions options = app.scanOptions(m_variant == Variant::Raw ? kTaskRaw : taskId());
  const PartitionRecord record = app.selected;
  const wxString title = m_variant == Variant::Raw        ? "Scanning Raw Files ..."
                         : taskId() == kTaskFormatted     ? "Scanning Formated Drive ..."
                                                          : "Scanning Deleted Files ...";
  // The FAT32 walk counts its progress in folders, not in percent.
  const int mode = (task == Task::Deleted && fileSystemOf(record) == FileSystem::Fat32) ? 2 : 0;
  EngineOpener opener = openerSlot() ? openerSlot() : EngineOpener(openEngine);
  // The raw scan, or the carving after a deleted or formatted scan, takes the user's types.
  if ((task == Task::Raw || options.carveUnclaimed) && options.rawTypes.empty() && !rawCatalog().empty())
    options.rawCatalog = &rawCatalog();

  std::unique_ptr<RecoveryEngine> engine;
  m_scanError.reset();
  observeScan(true);
  runJob(title, mode, [&, this] {
    auto opened = opener(record, task);
    if (!opened) {
      m_scanError = opened.error();
      return;
    }
    engine = std::move(*opened);
    // Carving wraps the engine: previews and recovery go to whichever part found a file.
    if (options.carveUnclaimed) engine = withUnclaimedCarving(std::move(engine), record);
    engine->scanFlag().set();
    m_liveEngine = engine.get();
    if (m_cancelled) engine->scanFlag().clear();
    if (Status scanned = engine->scan(*m_results, options, wxGetApp().state().progress); !scanned)
      m_scanError = scanned.error();
    m_liveEngine = nullptr;
  });
  m_engine = std::move(engine);
  m_options = options;
  observeScan(false);
  showFindings();
}

bool RecoveryPage::showResults(std::unique_ptr<ResultTree> results, std::unique_ptr<RecoveryEngine> engine,
                               const ScanOptions& options) {
  if (m_scanStarted || m_busy || !results || !engine || results->variant() != m_variant) return false;
  m_scanStarted = true;
  m_startTimer.Stop();
  m_scanError.reset();
  m_results = std::move(results);
  m_engine = std::move(engine);
  m_options = options;
  showFindings();
  return true;
}

void RecoveryPage::showFindings() {
  // No worker runs: the model is ours alone now, mirror it.
  m_pane->tree()->mirror(*m_results);
  m_pane->fitTree();
  selectFolder(m_pane->tree()->selectedFolder());
  updateCheckedTotals();
  // A scan that could not do its work says why; so does one that met unreadable sectors.
  // The page says it in its notice bar: the results that were found stay usable.
  m_notice->showNotice(wxString::FromUTF8(scanNotice(m_scanError, m_engine.get())));
  m_saveButton->Enable(m_engine != nullptr);
  m_pane->tree()->SetFocus();
}

void RecoveryPage::observeScan(bool on) {
  if (!on) {
    m_results->setObserver(nullptr);
    std::lock_guard lock(m_liveMutex);
    m_liveQueue.clear();
    m_liveActive = false;
    return;
  }
  m_liveFiles = 0;
  m_liveBytes = 0;
  m_liveFolders = 0;
  m_liveActive = true;
  m_pane->tree()->beginLive();
  // Runs on the worker. Files only count (a folder of 100,000 costs two atomic adds each);
  // folders are copied by value, since the model is the worker's until it ends.
  m_results->setObserver([this](ResultTree::Event event, FolderItem* folder, FileRecord* record) {
    if (event == ResultTree::Event::FileAdded) {
      m_liveFiles.fetch_add(1, std::memory_order_relaxed);
      if (record) m_liveBytes.fetch_add(record->size, std::memory_order_relaxed);
      return;
    }
    LiveChange change;
    change.id = folder->id;
    if (event == ResultTree::Event::FolderAdded) {
      change.parentId = folder->parent && folder->parent->parent ? folder->parent->id : 0;
      change.text = folder->text;
    } else {
      change.removed = true;
      std::vector<const FolderItem*> stack{folder};
      while (!stack.empty()) {
        const FolderItem* f = stack.back();
        stack.pop_back();
        for (const auto& c : f->children) {
          change.subtree.push_back(c->id);
          stack.push_back(c.get());
        }
      }
    }
    std::lock_guard lock(m_liveMutex);
    m_liveQueue.push_back(std::move(change));
    if (!m_liveDrainPending) {
      m_liveDrainPending = true;
      CallAfter([this] { drainLive(); });
    }
  });
}

void RecoveryPage::drainLive() {
  std::vector<LiveChange> batch;
  {
    std::lock_guard lock(m_liveMutex);
    batch.swap(m_liveQueue);
    m_liveDrainPending = false;
  }
  // A drain that arrives after the scan has ended finds the tree mirrored already.
  if (!m_liveActive) return;
  for (const LiveChange& c : batch) m_liveFolders += c.removed ? 0 : 1;
  m_pane->tree()->applyLive(batch);
  m_folderTotals = Totals{m_liveFiles.load(), m_liveBytes.load()};
  RefreshRect(kFolderTotalsRect);
}

void RecoveryPage::selectFolder(FolderItem* folder) {
  refillList();
  m_pane->tree()->thumbnailsStale = true;
  if (m_viewMode != kViewDetails) setDetailsMode();
  m_folderTotals = m_results->folderTotals(listedFolder(m_variant, folder));
  RefreshRect(kFolderTotalsRect);
}

void RecoveryPage::refillList() {
  const auto start = std::chrono::steady_clock::now();
  FolderItem* folder = m_pane->tree()->selectedFolder();
  m_model.fill(m_variant, folder, m_filter, m_filterBox->IsChecked());
  m_pane->list()->reload();
  m_pane->list()->Update();
  m_lastFillMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

void RecoveryPage::refreshInCurrentMode() {
  refillList();
  if (m_viewMode == kViewDetails) {
    setDetailsMode();
  } else {
    m_pane->tree()->thumbnailsStale = true;
    setIconsMode();
  }
}

void RecoveryPage::setFilterEnabled(bool on) {
  if (m_filterBox->IsChecked() != on) m_filterBox->SetValue(on);
  m_filterButton->Enable(on);
  // Turning the box off must also bring back what the criteria hid.
  if (m_filter.anyCriterion()) refreshInCurrentMode();
}

bool RecoveryPage::openFilter() {
  FilterDialog dlg(this, FilterDialog::Kind::PageFilter, m_filter);
  if (dlg.ShowModal() != wxID_OK) return false;
  refreshInCurrentMode();
  return true;
}

void RecoveryPage::showViewMenu() {
  wxMenu menu;
  menu.AppendCheckItem(kViewIcons, "Icons");
  menu.AppendCheckItem(kViewDetails, "Details");
  menu.Check(m_viewMode, true);
  const wxPoint at = m_viewButton->GetPosition();
  PopupMenu(&menu, at.x, at.y - 40);
}

void RecoveryPage::setDetailsMode() {
  m_viewMode = kViewDetails;
  m_pane->showIcons(false);
}

void RecoveryPage::setIconsMode() {
  m_viewMode = kViewIcons;
  m_pane->showIcons(true);
  if (m_pane->tree()->thumbnailsStale) buildThumbnails();
  m_pane->grid()->reload();
}

void RecoveryPage::buildThumbnails() {
  const std::vector<FileRecord*> rows = m_model.rows();
  std::vector<wxImage> images(rows.size());
  if (m_engine) {
    RecoveryEngine* engine = m_engine.get();
    runJob("Viewing icon...", 0, [&, this] {
      Progress& progress = wxGetApp().state().progress;
      progress.foundTotal = rows.size();
      progress.foundCurrent = 0;
      progress.setStatus({});
      for (size_t i = 0; i < rows.size(); ++i) {
        progress.foundCurrent = i;
        // A cancelled job still walks every item, but loads no more files.
        const int type = ImageTypeOf(rows[i]->name);
        if (type == kImageNone || !m_jobFlag.isSet()) continue;
        std::vector<uint8_t> data;
        if (!engine->readAll(*rows[i], data, kThumbnailReadLimit)) continue;
        if (policyOf(rows[i]->variant()).thumbnailsCutAtSize && data.size() > rows[i]->contentSize())
          data.resize(rows[i]->contentSize());
        wxImage image;
        if (decodeImage(data, type, image)) images[i] = composeThumbnail(image);
      }
    });
  }
  std::vector<wxBitmap> bitmaps(rows.size());
  for (size_t i = 0; i < rows.size(); ++i)
    if (images[i].IsOk()) bitmaps[i] = wxBitmap(images[i]);
  m_pane->grid()->setThumbnails(std::move(bitmaps));
  m_pane->tree()->thumbnailsStale = false;
}

void RecoveryPage::updateCheckedTotals() {
  m_checkedTotals = m_results->checkedTotals();
  RefreshRect(kCheckedTotalsRect);
}

void RecoveryPage::checkFolder(FolderItem* folder, bool checked) {
  if (!folder) return;
  m_results->setFolderChecked(folder, checked);
  m_pane->tree()->syncChecks();
  m_pane->list()->refreshRows();
  updateCheckedTotals();
}

void RecoveryPage::checkRow(long row, bool checked) {
  FileRecord* record = m_model.at(size_t(row));
  if (!record) return;
  m_results->setFileChecked(m_results->folderOf(record), record, checked);
  m_pane->tree()->syncChecks();
  m_pane->list()->RefreshItem(row);
  updateCheckedTotals();
}

void RecoveryPage::sortColumn(int column) {
  if (column < 0 || column >= kListColumnCount) return;  // the carved-name column keeps its order
  m_model.sortBy(column, [](const FileRecord& r) { return ResultListView::typeText(r); });
  m_pane->list()->ShowSortIndicator(column, m_model.lastSortAscending());
  m_pane->list()->refreshRows();
  m_pane->tree()->thumbnailsStale = true;
}

long RecoveryPage::selectedRow() const {
  return m_viewMode == kViewIcons ? m_pane->grid()->selectedRow() : m_pane->list()->selectedRow();
}

bool RecoveryPage::readRecord(const FileRecord& record, std::vector<uint8_t>& data, size_t limit) {
  if (!m_engine) return false;
  return m_engine->readAll(record, data, limit).has_value();
}

wxDialog* RecoveryPage::createPreview(long row) {
  const FileRecord* record = m_model.at(size_t(row));
  if (!record || !m_engine) return nullptr;
  const int type = ImageTypeOf(record->name);
  std::vector<uint8_t> data;
  const VariantPolicy& policy = policyOf(m_variant);
  const size_t limit = (policy.readsOnlyDump && type == kImageNone) ? policy.dumpBytes : SIZE_MAX;
  if (!readRecord(*record, data, limit)) return nullptr;
  wxImage image;
  if (type != kImageNone && decodeImage(data, type, image)) return new ImagePreviewDialog(this, image);
  if (data.size() > policy.dumpBytes) data.resize(policy.dumpBytes);
  return new TextViewDialog(this, std::move(data));
}

void RecoveryPage::preview(long row) {
  if (row < 0) {
    if (*policyOf(m_variant).noRowText) showMessage(policyOf(m_variant).noRowText, "Notice", wxOK);
    return;
  }
  wxDialog* dlg = createPreview(row);
  if (!dlg) return;
  dlg->ShowModal();
  dlg->Destroy();
}

void RecoveryPage::showMessage(const wxString& text, const wxString& caption, long style) {
  wxMessageBox(text, caption.empty() ? wxTheApp->GetAppDisplayName() : caption, style, this);
}

OverwriteChoice RecoveryPage::askOverwrite(const std::string& fileName) {
  // Runs on the worker: the question is asked on the UI thread while the worker waits; a
  // stop request wakes it and counts as Cancel.
  auto answer = std::make_shared<std::optional<OverwriteChoice>>();
  CallAfter([this, answer, name = wxString::FromUTF8(fileName)] {
    OverwriteChoice choice = OverwriteChoice::Cancel;
    if (!m_cancelled) {
      OverwriteDialog dlg(this, name);
      dlg.ShowModal();
      choice = dlg.choice();
    }
    std::lock_guard lock(m_askMutex);
    *answer = choice;
    m_askAnswered.notify_all();
  });
  std::unique_lock lock(m_askMutex);
  m_askAnswered.wait(lock, [&] { return answer->has_value() || m_cancelled.load(); });
  return answer->value_or(OverwriteChoice::Cancel);
}

void RecoveryPage::recover() {
  if (m_busy) return;
  // Selection test.
  const VariantPolicy& policy = policyOf(m_variant);
  const FolderItem* root = m_results->root();
  if (policy.selectionByRoot ? !(root && root->checked) : checkedRecords(*m_results).empty()) {
    if (*policy.emptySelectionText)
      showMessage(policy.emptySelectionText, policy.emptySelectionCaption,
                  wxOK | (*policy.emptySelectionCaption ? wxICON_INFORMATION : 0));
    return;
  }
  if (!m_engine) return;
  std::shared_ptr<FolderChooser> chooser = chooserSlot() ? chooserSlot() : std::make_shared<DialogFolderChooser>();
  wxString folder;
  if (!chooser->choose(this, folder) || folder.empty()) return;
  // Writing onto the scanned device could overwrite what is being recovered.
  if (outputOnScannedDevice(wxGetApp().state().selected, folder.utf8_string())) {
    showMessage("Select anoter drive folder.", "", wxOK);
    return;
  }
  RecoveryRequest request;
  request.outputFolder = std::filesystem::path(folder.utf8_string());
  request.ask = [this](const std::string& name) { return askOverwrite(name); };
  RecoveryEngine* engine = m_engine.get();
  m_report = RecoveryReport{};
  runJob("Recoverying Deleted Files ...", 0, [&, this] {
    m_report = runRecovery(*m_results, *engine, request, m_jobFlag, wxGetApp().state().progress);
  });
  // One summary, whatever happened: counts by verdict, the failures' lines, the folder.
  RecoverySummaryDialog summary(this, m_report, folder);
  summary.ShowModal();
}

void RecoveryPage::saveResults() {
  if (!m_engine || m_busy) return;
  wxFileDialog dlg(this, "Save results", Settings::get().folder("results"), "scan.velkscan",
                   "Saved scans (*.velkscan)|*.velkscan|All files|*", wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
  if (dlg.ShowModal() != wxID_OK) return;
  Settings::get().setFolder("results", dlg.GetDirectory());
  (void)saveResultsTo(dlg.GetPath());
}

Status RecoveryPage::saveResultsTo(const wxString& file) {
  if (!m_engine) return fail(Error{ErrorKind::Usage, "the results", "nothing was scanned", 0, std::nullopt});
  const PartitionRecord& record = wxGetApp().state().selected;
  Status saved = [&]() -> Status {
    auto disk = identifyDisk(record.diskNumber);
    if (!disk) return fail(disk.error());
    return saveScan(std::filesystem::path(file.utf8_string()), record, m_options, *disk, *m_results, *m_engine);
  }();
  if (!saved) showMessage(wxString::FromUTF8(describe(saved.error())), "Error", wxOK | wxICON_ERROR);
  return saved;
}

void addWorkspaceScreenshotSteps();

void registerRecoveryPages() {
  static bool stepsAdded = false;
  if (!stepsAdded) {
    stepsAdded = true;
    addWorkspaceScreenshotSteps();
  }
  registerPage(PageKind::Fat, [](HomeView* host, int task) -> Page* { return new FatRecoveryPage(host, task); });
  registerPage(PageKind::Ntfs, [](HomeView* host, int task) -> Page* { return new NtfsRecoveryPage(host, task); });
  registerPage(PageKind::Ext, [](HomeView* host, int task) -> Page* { return new ExtRecoveryPage(host, task); });
  registerPage(PageKind::Raw, [](HomeView* host, int task) -> Page* { return new RawRecoveryPage(host, task); });
}

}  // namespace velk::ui
