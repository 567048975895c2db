#pragma once
// SkinButton: a button drawn from four bitmaps (normal, pressed, hover, disabled) with
// hover tracking. A click sends wxEVT_BUTTON with the button's id, as a native button does.
// It takes the keyboard focus (Tab), shows a focus ring, and Return or Space press it.

#include <functional>
#include <wx/bitmap.h>
#include <wx/window.h>

namespace velk::ui {

class SkinButton : public wxWindow {
 public:
  enum class CaptionStyle { None, Centered, Card, Title };

  SkinButton(wxWindow* parent, wxWindowID id, const wxString& label, const wxPoint& pos, const wxSize& size);

  // Resource numbers; 0 uses the normal bitmap in its place.
  void SetBitmaps(int normal, int pressed, int hover, int disabled);
  void setCaptionStyle(CaptionStyle style) { m_captionStyle = style; Refresh(); }
  void setCaption(const wxString& caption) { m_caption = caption; Refresh(); }
  // What shows through the bitmap's transparent parts: a colour, or a part of a bitmap.
  void setBackdrop(const wxColour& colour) { m_backdropColour = colour; m_backdropBitmap = 0; }
  void setBackdrop(int bitmapNumber, const wxPoint& offset) { m_backdropBitmap = bitmapNumber; m_backdropOffset = offset; }

  // A picture that only looks like a button (banners) stays out of the Tab order.
  void setKeyboardFocusable(bool focusable) { m_focusable = focusable; }
  bool AcceptsFocus() const override { return m_focusable && wxWindow::AcceptsFocus(); }
  bool AcceptsFocusFromKeyboard() const override { return AcceptsFocus() && IsThisEnabled() && IsShown(); }

  // The hover image only while the pointer is really over the button: a modal dialog or a
  // window switch takes the pointer away without a leave event.
  void resetHover();
  bool isHover() const { return m_hover; }
  bool isPressed() const { return m_pressed; }
  // The bitmap number drawn now, by state.
  int currentBitmap() const;

 private:
  void onPaint(wxPaintEvent&);
  void onEnter(wxMouseEvent&);
  void onLeave(wxMouseEvent&);
  void onDown(wxMouseEvent&);
  void onUp(wxMouseEvent&);
  void onCaptureLost(wxMouseCaptureLostEvent&);
  void onKeyDown(wxKeyEvent&);
  void onKeyUp(wxKeyEvent&);
  void fire();
  bool pointerInside() const;
  void paintFocusRing(wxDC& dc) const;

  int m_normal = 0, m_pressedBitmap = 0, m_hoverBitmap = 0, m_disabled = 0;
  bool m_hover = false;
  bool m_pressed = false;
  bool m_keyPressed = false;
  bool m_focusable = true;
  CaptionStyle m_captionStyle = CaptionStyle::Centered;
  wxString m_caption;
  wxColour m_backdropColour = *wxWHITE;
  int m_backdropBitmap = 0;
  wxPoint m_backdropOffset;
};

// Drops stale hover images of every SkinButton below `root` (the window lost the pointer).
void resetHoverBelow(wxWindow* root);

}  // namespace velk::ui
