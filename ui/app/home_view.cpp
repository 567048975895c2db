#include "app/home_view.h"

#include <wx/dcbuffer.h>
#include <wx/msgdlg.h>
#include <wx/utils.h>

#include "app/about_dialog.h"
#include "app/art.h"
#include "app/recovery_app.h"

namespace velk::ui {
namespace {

constexpr int kHeaderHome = 1011;
constexpr int kHeaderHelp = 1013;
constexpr int kHeaderAbout = 10142;

struct TaskLayout {
  int x, y;
  int normal, pressed, hover;
};
// Category 502: four large buttons; category 505: three small ones.
constexpr TaskLayout kRecoveryLayout[] = {
    {27, 120, 250, 251, 252}, {410, 120, 253, 254, 255}, {27, 286, 243, 241, 242}, {410, 286, 244, 245, 246}};
constexpr TaskLayout kMailLayout[] = {{130, 128, 240, 260, 261}, {390, 128, 259, 257, 258}, {130, 200, 311, 309, 310}};

}  // namespace

// The owner-drawn category list: two tabs, a click selects one.
class CategoryList : public wxWindow {
 public:
  static constexpr int kItemWidth = 176;
  CategoryList(CHomeView* view, const wxRect& rect)
      : wxWindow(view, wxID_ANY, rect.GetPosition(), rect.GetSize(), wxBORDER_NONE), m_view(view) {
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    SetName("CategoryList");
    // Keyboard: Left/Right (or Up/Down) choose the tab; the focus ring marks the list.
    Bind(wxEVT_KEY_DOWN, [this](wxKeyEvent& e) {
      switch (e.GetKeyCode()) {
        case WXK_LEFT: case WXK_UP: choose(0); break;
        case WXK_RIGHT: case WXK_DOWN: choose(1); break;
        default: e.Skip();
      }
    });
    Bind(wxEVT_SET_FOCUS, [this](wxFocusEvent& e) { Refresh(); e.Skip(); });
    Bind(wxEVT_KILL_FOCUS, [this](wxFocusEvent& e) { Refresh(); e.Skip(); });
    Bind(wxEVT_PAINT, [this](wxPaintEvent&) {
      wxAutoBufferedPaintDC dc(this);
      dc.SetBackground(*wxWHITE_BRUSH);
      dc.Clear();
      const int items[2][2] = {{227, 226}, {233, 232}};
      wxFont font = GetFont();
      font.SetWeight(wxFONTWEIGHT_BOLD);
      dc.SetFont(font);
      for (int i = 0; i < 2; ++i) {
        int number = items[i][m_selection == i ? 1 : 0];
        dc.DrawBitmap(Art::get().bitmap(number), i * kItemWidth, 0, true);
        wxString cap = Art::get().caption(number);
        dc.SetTextForeground(m_selection == i ? *wxWHITE : wxColour(0x1f, 0x3b, 0x5c));
        wxSize t = dc.GetTextExtent(cap);
        dc.DrawText(cap, i * kItemWidth + 40, (30 - t.y) / 2);
      }
      if (HasFocus()) {
        dc.SetBrush(*wxTRANSPARENT_BRUSH);
        dc.SetPen(wxPen(wxColour(0x13, 0x23, 0x3a), 2));
        dc.DrawRoundedRectangle(m_selection * kItemWidth + 1, 1, kItemWidth - 8, 28, 6);
      }
    });
    Bind(wxEVT_LEFT_DOWN, [this](wxMouseEvent& e) {
      int index = e.GetX() / kItemWidth;
      if (index < 0 || index > 1) return;
      choose(index);
    });
  }
  void choose(int index) {
    select(index);
    m_view->selectCategory(index);
  }
  void select(int index) {
    m_selection = index;
    Refresh();
  }

 private:
  CHomeView* m_view;
  int m_selection = 0;
};

CHomeView::CHomeView(wxWindow* parent)
    : wxPanel(parent, wxID_ANY, wxPoint(0, 34), wxSize(770, 505 - 34), wxBORDER_NONE) {
  SetName("CHomeView");
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  Bind(wxEVT_PAINT, &CHomeView::onPaint, this);

  struct Header {
    int id;
    const char* label;
    int normal, pressed, hover;
    int x;
  };
  for (const Header& h : {Header{kHeaderHome, "Home", 156, 140, 294, 480}, Header{kHeaderHelp, "Help", 139, 138, 293, 576},
                          Header{kHeaderAbout, "Aboutus", 220, 219, 292, 672}}) {
    auto* b = new SkinButton(this, h.id, h.label, wxPoint(h.x, 18), wxSize(86, 30));
    b->SetBitmaps(h.normal, h.pressed, h.hover, h.normal);
    b->setBackdrop(213, wxPoint(h.x, 18));
    b->Bind(wxEVT_BUTTON, [this, id = h.id](wxCommandEvent&) {
      if (id == kHeaderHelp) openUrl(resourceDir() + "/help/index.html");
      else if (id == kHeaderAbout) showAbout();
      else requestSwitch(kCommandHome, 0);
    });
  }
  for (int i = 0; i < kTaskButtonCount; ++i) {
    m_tasks[size_t(i)] = new SkinButton(this, kTaskButtonFirst + i, "MenuItem", wxDefaultPosition, wxSize(10, 10));
    m_tasks[size_t(i)]->setCaptionStyle(SkinButton::CaptionStyle::Card);
    m_tasks[size_t(i)]->Hide();
    m_tasks[size_t(i)]->Bind(wxEVT_BUTTON, &CHomeView::onTask, this);
  }
  // Where the category list goes is ours to choose: tabs above the task buttons.
  m_categories = new CategoryList(this, wxRect(27, 74, 2 * CategoryList::kItemWidth, 30));
  layoutCategory();
  // The keyboard starts on the first task, the page's main choice.
  CallAfter([this] {
    if (m_command == kCommandHome && m_tasks[0]->IsShown()) m_tasks[0]->SetFocus();
  });
}

void CHomeView::showAbout() {
  AboutDialog dlg(this);
  dlg.ShowModal();
}

void CHomeView::openUrl(const wxString& what) { wxLaunchDefaultBrowser(what); }

void CHomeView::hideTasks() {
  for (auto* b : m_tasks) b->Hide();
}

void CHomeView::layoutCategory() {
  hideTasks();
  if (m_command != kCommandHome) return;
  bool mail = m_category == kCategoryMail;
  size_t count = mail ? std::size(kMailLayout) : std::size(kRecoveryLayout);
  for (size_t i = 0; i < count; ++i) {
    const TaskLayout& l = mail ? kMailLayout[i] : kRecoveryLayout[i];
    SkinButton* b = m_tasks[i];
    b->SetSize(wxRect(wxPoint(l.x, l.y), Art::get().size(l.normal)));
    b->setCaption(Art::get().caption(l.normal));
    b->SetBitmaps(l.normal, l.pressed, l.hover, l.normal);
    b->setBackdrop(*wxWHITE);
    b->Show();
  }
  orderTabsByLayout(this);
}

void CHomeView::selectCategory(int index) {
  int category = index == 1 ? kCategoryMail : kCategoryRecovery;
  if (category == m_category) return;  // the category shown already: no repaint
  m_category = category;
  if (m_categories) m_categories->select(index == 1 ? 1 : 0);
  layoutCategory();
  RefreshRect(wxRect(0, 66, 770, 405));
}

void CHomeView::clickTask(int i) {
  wxCommandEvent click(wxEVT_BUTTON, kTaskButtonFirst + i);
  click.SetEventObject(m_tasks[size_t(i)]);
  m_tasks[size_t(i)]->ProcessWindowEvent(click);
}

void CHomeView::onTask(wxCommandEvent& e) {
  AppState& app = wxGetApp().state();
  app.typePreset = kPresetNone;
  hideTasks();
  int button = e.GetId() - kTaskButtonFirst;
  if (m_category == kCategoryRecovery) {
    switch (button) {
      case 0: requestSwitch(kCommandDrivePage, kTaskDeleted); break;
      case 1: requestSwitch(kCommandDrivePage, kTaskFormatted); break;
      case 2: requestSwitch(kCommandRecoveryPage, kTaskPartition); break;
      case 3: requestSwitch(kCommandDrivePage, kTaskRaw); break;
      default: break;
    }
  } else {
    switch (button) {
      case 0: requestSwitch(kCommandOutlookRepair, 0); break;
      case 1: requestSwitch(kCommandOutlookExpressRepair, 0); break;
      case 2:
        app.typePreset = kPresetMail;
        requestSwitch(kCommandDrivePage, kTaskDeleted);
        break;
      default: break;
    }
  }
}

void CHomeView::requestSwitch(int command, int argument) {
  CallAfter([this, command, argument] { switchPage(command, argument); });
}

void CHomeView::switchPage(int command, int argument) {
  switchPage(command, pageFor(command, argument, wxGetApp().state().selected), argument);
}

void CHomeView::switchPage(int command, PageKind kind, int argument) {
  if (m_page) {
    m_page->Destroy();
    m_page = nullptr;
  }
  m_command = command;
  if (kind == PageKind::Home) {
    m_categories->Show();
    layoutCategory();
    if (argument == 0 && m_category != kCategoryRecovery) {
      hideTasks();
      m_category = kCategoryRecovery;
      m_categories->select(0);
    }
    Refresh();
    if (m_tasks[0]->IsShown()) m_tasks[0]->SetFocus();
    return;
  }
  hideTasks();
  m_categories->Hide();
  Refresh();
  if (kind == PageKind::None) return;  // no page reads this file system: nothing happens
  Page* page = nullptr;
  if (PageFactory make = pageFactory(kind)) page = make(this, argument);
  if (!page) {
    const char* text = "It was failed to create drive view window!!";
    if (command == kCommandOutlookRepair) text = "It was failed to create Email(OutLook) Repair window!!";
    if (command == kCommandOutlookExpressRepair) text = "It was failed to create Email(OutLook Express) Repair window!!";
    if (command == kCommandMailReport) text = "It was failed to create Email Report window!!";
    wxMessageBox(text, wxGetApp().GetAppDisplayName(), wxOK, this);
    return;
  }
  m_page = page;
  m_page->Show();
  m_page->SetFocus();
}

void CHomeView::onPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(this);
  dc.SetBackground(wxBrush(kPagePaper));
  dc.Clear();
  if (m_command != kCommandHome) return;
  dc.DrawBitmap(Art::get().bitmap(213), 0, 0, true);
  int background = m_category == kCategoryMail ? 239 : m_category == kCategoryRecovery ? 238 : 236;
  dc.DrawBitmap(Art::get().bitmap(background), 0, 66, true);
  wxFont font = GetFont();
  font.SetPointSize(font.GetPointSize() + 6);
  font.SetWeight(wxFONTWEIGHT_BOLD);
  dc.SetFont(font);
  dc.SetTextForeground(kPageInk);
  dc.DrawText("Velk File Recovery", 66, 10);
  font.SetPointSize(GetFont().GetPointSize());
  font.SetWeight(wxFONTWEIGHT_NORMAL);
  dc.SetFont(font);
  dc.SetTextForeground(kPageMuted);
  dc.DrawText(m_category == kCategoryMail ? "Repair mail stores and find lost mail"
                                          : "Choose what happened: we find what can be found",
              66, 40);
}

}  // namespace velk::ui
