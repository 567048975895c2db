#include "app/skin_button.h"

#include <wx/dcbuffer.h>
#include <wx/settings.h>
#include <wx/weakref.h>

#include "app/art.h"

namespace velk::ui {

SkinButton::SkinButton(wxWindow* parent, wxWindowID id, const wxString& label, const wxPoint& pos,
                       const wxSize& size)
    : wxWindow(parent, id, pos, size, wxBORDER_NONE | wxFULL_REPAINT_ON_RESIZE) {
  SetLabel(label);
  SetName(label);
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  SetCursor(wxCursor(wxCURSOR_HAND));
  Bind(wxEVT_PAINT, &SkinButton::onPaint, this);
  Bind(wxEVT_ENTER_WINDOW, &SkinButton::onEnter, this);
  Bind(wxEVT_LEAVE_WINDOW, &SkinButton::onLeave, this);
  Bind(wxEVT_LEFT_DOWN, &SkinButton::onDown, this);
  // GTK turns a quick second click into a double click: treat it as a press too.
  Bind(wxEVT_LEFT_DCLICK, &SkinButton::onDown, this);
  Bind(wxEVT_LEFT_UP, &SkinButton::onUp, this);
  Bind(wxEVT_MOUSE_CAPTURE_LOST, &SkinButton::onCaptureLost, this);
  Bind(wxEVT_KEY_DOWN, &SkinButton::onKeyDown, this);
  Bind(wxEVT_KEY_UP, &SkinButton::onKeyUp, this);
  Bind(wxEVT_SET_FOCUS, [this](wxFocusEvent& e) { Refresh(); e.Skip(); });
  Bind(wxEVT_KILL_FOCUS, [this](wxFocusEvent& e) {
    m_keyPressed = false;
    Refresh();
    e.Skip();
  });
}

void SkinButton::SetBitmaps(int normal, int pressed, int hover, int disabled) {
  m_normal = normal;
  m_pressedBitmap = pressed ? pressed : normal;
  m_hoverBitmap = hover ? hover : normal;
  m_disabled = disabled ? disabled : normal;
  if (m_caption.empty()) m_caption = Art::get().caption(normal);
  Refresh();
}

int SkinButton::currentBitmap() const {
  if (!IsThisEnabled()) return m_disabled;
  if ((m_pressed && m_hover) || m_keyPressed) return m_pressedBitmap;
  if (m_hover) return m_hoverBitmap;
  return m_normal;
}

bool SkinButton::pointerInside() const {
  return IsShownOnScreen() && GetScreenRect().Contains(wxGetMousePosition());
}

void SkinButton::resetHover() {
  const bool inside = pointerInside();
  if (inside == m_hover) return;
  m_hover = inside;
  Refresh();
}

void SkinButton::onPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(this);
  const wxSize sz = GetClientSize();
  if (m_backdropBitmap && Art::get().bitmap(m_backdropBitmap).IsOk()) {
    dc.DrawBitmap(Art::get().bitmap(m_backdropBitmap), -m_backdropOffset.x, -m_backdropOffset.y);
  } else {
    dc.SetBackground(wxBrush(m_backdropColour));
    dc.Clear();
  }
  if (!m_normal) return;  // nothing is drawn before the bitmaps are set
  // A hover left over from a pointer that went away unseen is dropped here.
  if (m_hover && !m_pressed && !HasCapture() && !pointerInside()) m_hover = false;
  const wxBitmap& bmp = Art::get().bitmap(currentBitmap());
  if (bmp.IsOk()) dc.DrawBitmap(bmp, 0, 0, true);
  if (HasFocus()) paintFocusRing(dc);
  if (m_caption.empty() || m_captionStyle == CaptionStyle::None) return;

  wxFont font = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
  switch (m_captionStyle) {
    case CaptionStyle::Centered: {
      font.SetWeight(wxFONTWEIGHT_BOLD);
      dc.SetFont(font);
      // A caption wider than the button steps down in size rather than touching its edges.
      while (dc.GetTextExtent(m_caption).x > sz.x - 16 && font.GetPointSize() > 6) {
        font.SetPointSize(font.GetPointSize() - 1);
        dc.SetFont(font);
      }
      // Solid pills carry white text; outlined header buttons dark text.
      bool outlined = m_normal == 156 || m_normal == 139 || m_normal == 220;
      dc.SetTextForeground(!IsThisEnabled() ? wxColour(0x6b, 0x76, 0x85)
                                            : outlined ? wxColour(0x1f, 0x3b, 0x5c) : *wxWHITE);
      wxSize t = dc.GetTextExtent(m_caption);
      dc.DrawText(m_caption, (sz.x - t.x) / 2, (sz.y - t.y) / 2);
      break;
    }
    case CaptionStyle::Title: {
      dc.SetFont(font);
      dc.SetTextForeground(wxColour(0x1f, 0x3b, 0x5c));
      wxSize t = dc.GetTextExtent(m_caption);
      dc.DrawText(m_caption, (sz.x - t.x) / 2, (sz.y - t.y) / 2);
      break;
    }
    case CaptionStyle::Card: {
      wxString title = m_caption.BeforeFirst('|'), sub = m_caption.AfterFirst('|');
      int textX = sz.y > 100 ? 20 + 2 * 34 + 18 : 20 + 2 * 22 + 10;
      wxFont big = font;
      big.SetWeight(wxFONTWEIGHT_BOLD);
      big.SetPointSize(sz.y > 100 ? font.GetPointSize() + 2 : font.GetPointSize());
      dc.SetFont(big);
      // A long title steps down in size rather than running past the card's edge.
      const int titleRoom = sz.x - textX - 12;
      while (dc.GetTextExtent(title).x > titleRoom && big.GetPointSize() > font.GetPointSize() - 1) {
        big.SetPointSize(big.GetPointSize() - 1);
        dc.SetFont(big);
      }
      dc.SetTextForeground(wxColour(0x13, 0x23, 0x3a));
      wxSize t = dc.GetTextExtent(title);
      int y = sz.y > 100 ? sz.y / 2 - t.y - 2 : (sub.empty() ? (sz.y - t.y) / 2 : 10);
      dc.DrawText(title, textX, y);
      if (!sub.empty()) {
        wxFont small = font;
        if (sz.y <= 100) small.SetPointSize(font.GetPointSize() - 1);
        dc.SetFont(small);
        dc.SetTextForeground(wxColour(0x4a, 0x5a, 0x6e));
        // Wrap the subtitle into the space right of the icon.
        wxString line, rest = sub;
        int lineY = y + t.y + 6;
        const int maxW = sz.x - textX - 12;
        while (!rest.empty()) {
          wxString word = rest.BeforeFirst(' ');
          rest = rest.AfterFirst(' ');
          wxString trial = line.empty() ? word : line + " " + word;
          if (dc.GetTextExtent(trial).x > maxW && !line.empty()) {
            dc.DrawText(line, textX, lineY);
            lineY += dc.GetCharHeight() + 2;
            line = word;
          } else {
            line = trial;
          }
        }
        if (!line.empty()) dc.DrawText(line, textX, lineY);
      }
      break;
    }
    case CaptionStyle::None:
      break;
  }
}

void SkinButton::paintFocusRing(wxDC& dc) const {
  // Two rings, dark outside and white inside, so the focus shows on light and dark art.
  const wxSize sz = GetClientSize();
  dc.SetBrush(*wxTRANSPARENT_BRUSH);
  dc.SetPen(wxPen(wxColour(0x13, 0x23, 0x3a), 2));
  dc.DrawRoundedRectangle(1, 1, sz.x - 2, sz.y - 2, 6);
  dc.SetPen(wxPen(*wxWHITE, 1, wxPENSTYLE_DOT));
  dc.DrawRoundedRectangle(3, 3, sz.x - 6, sz.y - 6, 5);
}

void SkinButton::onEnter(wxMouseEvent&) {
  m_hover = true;
  Refresh();
}

void SkinButton::onLeave(wxMouseEvent&) {
  m_hover = false;
  Refresh();
}

void SkinButton::onDown(wxMouseEvent&) {
  if (!IsThisEnabled()) return;
  m_pressed = true;
  m_hover = true;
  if (!HasCapture()) CaptureMouse();
  Refresh();
}

void SkinButton::onUp(wxMouseEvent& e) {
  if (HasCapture()) ReleaseMouse();
  bool inside = wxRect(GetClientSize()).Contains(e.GetPosition());
  bool fire = m_pressed && inside && IsThisEnabled();
  m_pressed = false;
  m_hover = inside;
  Refresh();
  if (fire) this->fire();
}

void SkinButton::fire() {
  wxCommandEvent click(wxEVT_BUTTON, GetId());
  click.SetEventObject(this);
  // The handler may destroy the page this button sits on (a page switch is queued, but a
  // modal dialog may run inside): look at ourselves again only while we still exist.
  wxWeakRef<SkinButton> self(this);
  ProcessWindowEvent(click);
  if (self) resetHover();
}

void SkinButton::onKeyDown(wxKeyEvent& e) {
  switch (e.GetKeyCode()) {
    case WXK_RETURN:
    case WXK_NUMPAD_ENTER:
      if (IsThisEnabled()) fire();
      return;
    case WXK_SPACE:
      // A space press shows the pressed image; the release clicks, as a native button does.
      if (IsThisEnabled() && !m_keyPressed) {
        m_keyPressed = true;
        Refresh();
      }
      return;
    default:
      e.Skip();
  }
}

void SkinButton::onKeyUp(wxKeyEvent& e) {
  if (e.GetKeyCode() != WXK_SPACE || !m_keyPressed) {
    e.Skip();
    return;
  }
  m_keyPressed = false;
  Refresh();
  if (IsThisEnabled()) fire();
}

void SkinButton::onCaptureLost(wxMouseCaptureLostEvent&) {
  m_pressed = false;
  Refresh();
}

void resetHoverBelow(wxWindow* root) {
  if (auto* button = dynamic_cast<SkinButton*>(root)) button->resetHover();
  for (wxWindow* child : root->GetChildren())
    if (!child->IsTopLevel()) resetHoverBelow(child);
}

}  // namespace velk::ui
