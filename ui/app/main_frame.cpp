#include "app/main_frame.h"

#include <wx/dcbuffer.h>
#include <wx/display.h>
#include <wx/panel.h>

#include "app/art.h"
#include "app/home_view.h"
#include "app/skin_button.h"

namespace velk::ui {
namespace {

constexpr int kWidth = 770;
constexpr int kHeight = 505;
constexpr int kTitleHeight = 34;
constexpr int kMinimize = 1001;
constexpr int kClose = 1002;

// Mouse events do not reach parents, so every background window drags on its own.
class Dragger : public wxEvtHandler {
 public:
  explicit Dragger(wxWindow* w) : m_window(w) {
    w->Bind(wxEVT_LEFT_DOWN, &Dragger::onDown, this);
    w->Bind(wxEVT_MOTION, &Dragger::onMotion, this);
    w->Bind(wxEVT_LEFT_UP, &Dragger::onUp, this);
    w->Bind(wxEVT_MOUSE_CAPTURE_LOST, [this](wxMouseCaptureLostEvent&) { m_dragging = false; });
    w->Bind(wxEVT_DESTROY, [this](wxWindowDestroyEvent& e) {
      if (e.GetWindow() == m_window) delete this;
      e.Skip();
    });
  }

 private:
  void onDown(wxMouseEvent& e) {
    wxWindow* top = wxGetTopLevelParent(m_window);
    m_offset = wxGetMousePosition() - top->GetPosition();
    m_dragging = true;
    m_window->CaptureMouse();
    e.Skip();
  }
  void onMotion(wxMouseEvent& e) {
    if (m_dragging && e.Dragging()) wxGetTopLevelParent(m_window)->Move(wxGetMousePosition() - m_offset);
    e.Skip();
  }
  void onUp(wxMouseEvent& e) {
    if (m_window->HasCapture()) m_window->ReleaseMouse();
    m_dragging = false;
    e.Skip();
  }
  wxWindow* m_window;
  wxPoint m_offset;
  bool m_dragging = false;
};

}  // namespace

void makeDraggable(wxWindow* window) { new Dragger(window); }

CMainFrame::CMainFrame()
    : wxFrame(nullptr, wxID_ANY, "Velk File Recovery", wxDefaultPosition, wxSize(kWidth, kHeight),
              wxBORDER_NONE | wxMINIMIZE_BOX | wxCLOSE_BOX | wxCLIP_CHILDREN) {
  SetName("CMainFrame");
  SetSizeHints(wxSize(kWidth, kHeight), wxSize(kWidth, kHeight));
  wxRect work = wxDisplay(0u).GetClientArea();
  SetPosition(wxPoint(work.x + (work.width - kWidth) / 2, work.y + (work.height - kHeight) / 2));

  auto* title = new wxPanel(this, wxID_ANY, wxPoint(0, 0), wxSize(kWidth, kTitleHeight), wxBORDER_NONE);
  title->SetName("TitleBar");
  title->SetBackgroundStyle(wxBG_STYLE_PAINT);
  title->Bind(wxEVT_PAINT, [title](wxPaintEvent&) {
    wxAutoBufferedPaintDC dc(title);
    dc.DrawBitmap(Art::get().bitmap(212), 0, 0, true);
    wxFont font = title->GetFont();
    font.SetWeight(wxFONTWEIGHT_BOLD);
    dc.SetFont(font);
    dc.SetTextForeground(*wxWHITE);
    wxSize t = dc.GetTextExtent("Velk File Recovery");
    dc.DrawText("Velk File Recovery", 38, (kTitleHeight - t.y) / 2);
  });
  makeDraggable(title);

  auto* minimize = new SkinButton(title, kMinimize, "Minimize", wxPoint(kWidth - 82, 0), wxSize(31, kTitleHeight));
  minimize->SetBitmaps(157, 157, 158, 158);
  minimize->setBackdrop(212, wxPoint(kWidth - 82, 0));
  minimize->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Iconize(true); });
  auto* close = new SkinButton(title, kClose, "Close", wxPoint(kWidth - 44, 0), wxSize(31, kTitleHeight));
  close->SetBitmaps(130, 130, 131, 131);
  close->setBackdrop(212, wxPoint(kWidth - 44, 0));
  close->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Close(); });

  m_view = new CHomeView(this);
  makeDraggable(m_view);
  // A dialog or another window took the pointer: no button may stay lit.
  Bind(wxEVT_ACTIVATE, [this](wxActivateEvent& e) {
    if (!e.GetActive()) resetHoverBelow(this);
    e.Skip();
  });
  Bind(wxEVT_SIZE, [this](wxSizeEvent& e) {
    if (m_view) m_view->SetSize(0, kTitleHeight, GetClientSize().x, GetClientSize().y - kTitleHeight);
    e.Skip();
  });
}

}  // namespace velk::ui
