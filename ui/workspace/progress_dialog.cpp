#include "workspace/progress_dialog.h"

#include <wx/button.h>
#include <wx/dcclient.h>
#include <wx/gauge.h>
#include <wx/settings.h>
#include <wx/stattext.h>
#include <wx/time.h>

#include "app/main_frame.h"

namespace velk::ui {

ProgressDialog::ProgressDialog(wxWindow* parent, Progress& progress, std::function<void()> onCancel)
    : wxDialog(parent, 192, "", wxDefaultPosition, wxDefaultSize, wxBORDER_RAISED),
      m_progress(progress),
      m_onCancel(std::move(onCancel)),
      m_barTimer(this, kTimerBar),
      m_clockTimer(this, kTimerClock) {
  SetName("ProgressDialog");
  SetBackgroundColour(wxSystemSettings::GetColour(wxSYS_COLOUR_BTNFACE));
  const wxSize client = ConvertDialogToPixels(wxSize(285, 78));
  SetClientSize(client);
  auto du = [this](int x, int y) { return ConvertDialogToPixels(wxPoint(x, y)); };
  auto dsz = [this](int w, int h) { return ConvertDialogToPixels(wxSize(w, h)); };
  m_title = new wxStaticText(this, 1004, "str Title", du(10, 7), dsz(265, 10), wxST_NO_AUTORESIZE);
  wxFont bold = m_title->GetFont();
  bold.SetWeight(wxFONTWEIGHT_BOLD);
  m_title->SetFont(bold);
  m_status = new wxStaticText(this, 1005, "str Contents", du(10, 27), dsz(265, 9), wxST_NO_AUTORESIZE | wxST_ELLIPSIZE_MIDDLE);
  m_gauge = new wxGauge(this, 1036, 100, du(10, 39), dsz(265, 9), wxGA_HORIZONTAL | wxGA_SMOOTH);
  m_elapsed = new wxStaticText(this, 1006, "Elapsed Time:99:99:99", du(10, 52), dsz(130, 9), wxST_NO_AUTORESIZE);
  m_remaining = new wxStaticText(this, 1007, "Remaining Time:99:99:99", du(10, 63), dsz(130, 9), wxST_NO_AUTORESIZE);
  m_cancel = new wxButton(this, 1037, "Cancel", du(220, 57), dsz(55, 15));
  m_cancel->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    if (m_onCancel) m_onCancel();
  });
  // Escape must not end the modal loop behind the worker's back.
  SetEscapeId(wxID_NONE);
  Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent& e) {
    if (IsModal()) {
      if (m_onCancel) m_onCancel();
      e.Veto();
      return;
    }
    e.Skip();
  });
  Bind(wxEVT_TIMER, [this](wxTimerEvent&) { tickBar(); }, kTimerBar);
  Bind(wxEVT_TIMER, [this](wxTimerEvent&) { tickClock(); }, kTimerClock);
  Bind(wxEVT_PAINT, &ProgressDialog::onPaint, this);
  // It has no title bar: it is dragged aside by any part that is not the Cancel button.
  makeDraggable(this);
  for (wxWindow* part : {static_cast<wxWindow*>(m_title), static_cast<wxWindow*>(m_status),
                         static_cast<wxWindow*>(m_gauge), static_cast<wxWindow*>(m_elapsed),
                         static_cast<wxWindow*>(m_remaining)})
    makeDraggable(part);
  SetToolTip("Drag to move this window aside");
}

void ProgressDialog::placeOverParent() {
  // Low over the page, so the results filling the tree above stay in sight.
  wxWindow* parent = GetParent() ? wxGetTopLevelParent(GetParent()) : nullptr;
  if (!parent) {
    CentreOnScreen();
    return;
  }
  const wxRect area = parent->GetScreenRect();
  const wxSize size = GetSize();
  Move(area.x + (area.width - size.x) / 2, area.GetBottom() - size.y - 12);
}

void ProgressDialog::setTitleText(const wxString& title) { m_title->SetLabel(title); }
wxString ProgressDialog::titleText() const { return m_title->GetLabel(); }
wxString ProgressDialog::statusText() const { return m_status->GetLabel(); }
wxString ProgressDialog::elapsedLine() const { return m_elapsed->GetLabel(); }
wxString ProgressDialog::remainingLine() const { return m_remaining->GetLabel(); }

void ProgressDialog::start() {
  m_startMs = wxGetLocalTimeMillis();
  m_clock = RemainingClock(m_mode);
  m_status->SetLabel("");
  m_elapsed->SetLabel("");
  m_remaining->SetLabel("");
  m_gauge->SetValue(0);
  m_barTimer.Start(300);
  m_clockTimer.Start(1000);
}

int ProgressDialog::ShowModal() {
  placeOverParent();
  start();
  int rc = wxDialog::ShowModal();
  m_barTimer.Stop();
  m_clockTimer.Stop();
  return rc;
}

void ProgressDialog::showForTour() {
  placeOverParent();
  start();
  tickBar();
  tickClock();
  Show();
}

void ProgressDialog::finish() {
  m_barTimer.Stop();
  m_clockTimer.Stop();
  if (IsModal()) EndModal(wxID_CANCEL);
  else Hide();
}

void ProgressDialog::tickBar() {
  const uint64_t total = m_progress.foundTotal.load(), current = m_progress.foundCurrent.load();
  if (total == 0) return;
  // The gauge takes an int: scale big totals down.
  const uint64_t scale = total > 1000000 ? total / 1000000 + 1 : 1;
  m_gauge->SetRange(int(total / scale));
  m_gauge->SetValue(int(std::min(current, total) / scale));
}

void ProgressDialog::tickClock() {
  const uint64_t s = uint64_t(std::max<wxLongLong>(0, wxGetLocalTimeMillis() - m_startMs).GetValue() / 1000);
  m_elapsed->SetLabel(elapsedText(s));
  if (m_clock.tick(m_progress.foundCurrent.load(), m_progress.foundTotal.load(), s))
    m_remaining->SetLabel(wxString::FromUTF8(m_clock.text()));
  m_status->SetLabel(wxString::FromUTF8(m_progress.status()));
}

void ProgressDialog::onPaint(wxPaintEvent&) {
  wxPaintDC dc(this);
  const int y = ConvertDialogToPixels(wxPoint(0, 21)).y;
  const int w = GetClientSize().x;
  dc.SetPen(wxPen(wxSystemSettings::GetColour(wxSYS_COLOUR_GRAYTEXT)));
  dc.DrawLine(15, y, w - 15, y);
  dc.SetPen(*wxWHITE_PEN);
  dc.DrawLine(15, y + 1, w - 15, y + 1);
}

}  // namespace velk::ui
