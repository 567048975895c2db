#pragma once
// The two preview windows: "View Image File..." shows a decoded image squeezed into the
// window per axis; "View File Information..." shows the hexadecimal dump, drawn line by
// line as it scrolls into view so that a large file costs no text building up front.

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

// A read-only dump of bytes: line i is hexDumpLine(data, i).
class HexView : public wxVScrolledWindow {
 public:
  HexView(wxWindow* parent, wxWindowID id, std::vector<uint8_t> data);
  size_t lineCount() const;
  wxString line(size_t i) const;
  // The whole text as the dump would give it (tests, copying).
  wxString text() const;

 private:
  wxCoord OnGetRowHeight(size_t) const override { return m_lineHeight; }
  void onPaint(wxPaintEvent&);
  std::vector<uint8_t> m_data;
  int m_lineHeight = 16;
};

class TextViewDialog : public wxDialog {
 public:
  TextViewDialog(wxWindow* parent, std::vector<uint8_t> data);
  HexView* view() const { return m_view; }

 private:
  HexView* m_view;
};

}  // namespace velk::ui
