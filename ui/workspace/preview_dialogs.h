#pragma once
// The two preview windows: "View Image File..." shows a decoded image squeezed into the
// window per axis; "View File Information..." shows the hexadecimal dump, drawn line by
// line as it scrolls into view so that a large file costs no text building up front.
// Both close with Escape and their close button; the dump can be selected with the mouse
// or the keyboard (Shift+arrows, Ctrl+A) and copied (Ctrl+C, or its context menu).

#include <cstdint>
#include <vector>
#include <wx/dialog.h>
#include <wx/image.h>
#include <wx/vscroll.h>

namespace velk::ui {

class ImagePreviewDialog : public wxDialog {
 public:
  ImagePreviewDialog(wxWindow* parent, const wxImage& image);
  const wxImage& image() const { return m_image; }
  wxWindow* canvas() const { return m_canvas; }

 private:
  void layoutCanvas();
  wxImage m_image;
  wxWindow* m_canvas;
};

// A place in the dump's text: a line and a character column.
struct TextPlace {
  size_t line = 0;
  size_t column = 0;
  auto operator<=>(const TextPlace&) const = default;
};

// A read-only dump of bytes: line i is hexDumpLine(data, i).
class HexView : public wxVScrolledWindow {
 public:
  // Copying stops after this many lines (about 80 MB of text).
  static constexpr size_t kCopyLineLimit = 1000000;
  HexView(wxWindow* parent, wxWindowID id, std::vector<uint8_t> data);
  size_t lineCount() const;
  wxString line(size_t i) const;
  // The whole text as the dump would give it (tests).
  wxString text() const;

  // Selection, from the anchor to the caret in text order.
  void select(TextPlace anchor, TextPlace caret);
  void selectAll();
  wxString selectedText() const;
  // Puts the selection on the clipboard; false when nothing is selected or it failed.
  bool copySelection();
  TextPlace placeAt(const wxPoint& point) const;

 private:
  wxCoord OnGetRowHeight(size_t) const override { return m_lineHeight; }
  void onPaint(wxPaintEvent&);
  void onKey(wxKeyEvent&);
  void onMouse(wxMouseEvent&);
  void moveCaret(TextPlace caret, bool extend);
  size_t lineLength(size_t i) const;
  std::vector<uint8_t> m_data;
  int m_lineHeight = 16;
  int m_charWidth = 8;
  TextPlace m_anchor, m_caret;
  bool m_dragging = false;
};

class TextViewDialog : public wxDialog {
 public:
  TextViewDialog(wxWindow* parent, std::vector<uint8_t> data);
  HexView* view() const { return m_view; }

 private:
  HexView* m_view;
};

}  // namespace velk::ui
