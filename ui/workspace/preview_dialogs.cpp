#include "workspace/preview_dialogs.h"

#include <wx/dcbuffer.h>
#include <wx/settings.h>
#include <wx/sizer.h>

#include "workspace/preview.h"
#include "workspace/thumbnail_layout.h"

namespace velk::ui {

ImagePreviewDialog::ImagePreviewDialog(wxWindow* parent, const wxImage& image)
    : wxDialog(parent, 189, "View Image File...", wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER),
      m_image(image) {
  SetName("ImagePreviewDialog");
  SetBackgroundColour(*wxWHITE);
  SetClientSize(ConvertDialogToPixels(wxSize(439, 306)));
  m_canvas = new wxWindow(this, wxID_ANY, wxPoint(0, 0), GetClientSize(), wxBORDER_NONE | wxFULL_REPAINT_ON_RESIZE);
  m_canvas->SetName("Image Preview Canvas");
  m_canvas->SetBackgroundStyle(wxBG_STYLE_PAINT);
  m_canvas->Bind(wxEVT_PAINT, [this](wxPaintEvent&) {
    wxAutoBufferedPaintDC dc(m_canvas);
    dc.SetBackground(*wxWHITE_BRUSH);
    dc.Clear();
    const wxSize size = m_canvas->GetClientSize();
    if (!m_image.IsOk() || size.x <= 0 || size.y <= 0) return;
    wxImage shown = (size.x == m_image.GetWidth() && size.y == m_image.GetHeight())
                        ? m_image
                        : m_image.Scale(size.x, size.y, wxIMAGE_QUALITY_BILINEAR);
    dc.DrawBitmap(wxBitmap(shown), 0, 0);
  });
  Bind(wxEVT_SIZE, [this](wxSizeEvent& e) {
    layoutCanvas();
    e.Skip();
  });
  layoutCanvas();
  CentreOnParent();
}

void ImagePreviewDialog::layoutCanvas() {
  const wxSize client = GetClientSize();
  PlacedRect r = placeImage(m_image.GetWidth(), m_image.GetHeight(), client.x, client.y);
  m_canvas->SetSize(r.x, r.y, std::max(1, r.width), std::max(1, r.height));
  m_canvas->Refresh();
}

HexView::HexView(wxWindow* parent, wxWindowID id, std::vector<uint8_t> data)
    : wxVScrolledWindow(parent, id, wxDefaultPosition, wxDefaultSize, wxBORDER_THEME | wxWANTS_CHARS),
      m_data(std::move(data)) {
  SetName("HexView");
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  wxFont mono(wxFontInfo(9).Family(wxFONTFAMILY_TELETYPE));
  SetFont(mono);
  m_lineHeight = GetCharHeight() + 2;
  SetRowCount(lineCount());
  Bind(wxEVT_PAINT, &HexView::onPaint, this);
  Bind(wxEVT_KEY_DOWN, [this](wxKeyEvent& e) {
    switch (e.GetKeyCode()) {
      case WXK_PAGEDOWN: ScrollPages(1); break;
      case WXK_PAGEUP: ScrollPages(-1); break;
      case WXK_DOWN: ScrollRows(1); break;
      case WXK_UP: ScrollRows(-1); break;
      case WXK_HOME: ScrollToRow(0); break;
      case WXK_END: ScrollToRow(lineCount()); break;
      default: e.Skip();
    }
  });
}

size_t HexView::lineCount() const { return size_t(hexDumpLineCount(m_data.size())); }

wxString HexView::line(size_t i) const {
  return wxString::From8BitData(hexDumpLine(m_data, i).c_str());
}

wxString HexView::text() const {
  wxString all;
  for (size_t i = 0; i < lineCount(); ++i) {
    if (i) all += "\r\n";
    all += line(i);
  }
  return all;
}

void HexView::onPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(this);
  dc.SetBackground(wxBrush(wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOW)));
  dc.Clear();
  dc.SetFont(GetFont());
  dc.SetTextForeground(wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOWTEXT));
  const size_t first = GetVisibleRowsBegin(), last = GetVisibleRowsEnd();
  for (size_t i = first; i < last && i < lineCount(); ++i) dc.DrawText(line(i), 4, int(i - first) * m_lineHeight + 1);
}

TextViewDialog::TextViewDialog(wxWindow* parent, std::vector<uint8_t> data)
    : wxDialog(parent, 188, "View File Information...", wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER) {
  SetName("TextViewDialog");
  m_view = new HexView(this, 1022, std::move(data));
  auto* sizer = new wxBoxSizer(wxVERTICAL);
  sizer->Add(m_view, 1, wxEXPAND);
  SetSizer(sizer);
  SetClientSize(ConvertDialogToPixels(wxSize(328, 228)));
  CentreOnParent();
  m_view->SetFocus();
}

}  // namespace velk::ui
