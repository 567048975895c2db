#include "app/skin_button.h"

#include <wx/dcbuffer.h>
#include <wx/settings.h>

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
  if (m_pressed && m_hover) return m_pressedBitmap;
  if (m_hover) return m_hoverBitmap;
  return m_normal;
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
  const wxBitmap& bmp = Art::get().bitmap(currentBitmap());
  if (bmp.IsOk()) dc.DrawBitmap(bmp, 0, 0, true);
  if (m_caption.empty() || m_captionStyle == CaptionStyle::None) return;

  wxFont font = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
  switch (m_captionStyle) {
    case CaptionStyle::Centered: {
      font.SetWeight(wxFONTWEIGHT_BOLD);
      dc.SetFont(font);
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
  if (fire) {
    wxCommandEvent click(wxEVT_BUTTON, GetId());
    click.SetEventObject(this);
    ProcessWindowEvent(click);
  }
}

void SkinButton::onCaptureLost(wxMouseCaptureLostEvent&) {
  m_pressed = false;
  Refresh();
}

}  // namespace velk::ui
