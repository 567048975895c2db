#include "workspace/preview_dialogs.h"

#include <algorithm>
#include <wx/clipbrd.h>
#include <wx/dcbuffer.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/settings.h>
#include <wx/sizer.h>

#include "workspace/preview.h"
#include "workspace/thumbnail_layout.h"

namespace velk::ui {
namespace {

constexpr int kTextLeft = 4;

// Escape closes a preview window, whatever inside it has the focus.
void closeOnEscape(wxDialog* dialog) {
  dialog->Bind(wxEVT_CHAR_HOOK, [dialog](wxKeyEvent& e) {
    if (e.GetKeyCode() == WXK_ESCAPE) dialog->Close();
    else e.Skip();
  });
}

}  // namespace

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
  closeOnEscape(this);
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
  m_charWidth = std::max(1, GetTextExtent("0").x);
  SetRowCount(lineCount());
  SetCursor(wxCursor(wxCURSOR_IBEAM));
  Bind(wxEVT_PAINT, &HexView::onPaint, this);
  Bind(wxEVT_KEY_DOWN, &HexView::onKey, this);
  for (auto type : {wxEVT_LEFT_DOWN, wxEVT_LEFT_UP, wxEVT_MOTION, wxEVT_LEFT_DCLICK}) Bind(type, &HexView::onMouse, this);
  Bind(wxEVT_MOUSE_CAPTURE_LOST, [this](wxMouseCaptureLostEvent&) { m_dragging = false; });
  Bind(wxEVT_CONTEXT_MENU, [this](wxContextMenuEvent&) {
    wxMenu menu;
    menu.Append(wxID_COPY, "&Copy\tCtrl+C")->Enable(m_anchor != m_caret);
    menu.Append(wxID_SELECTALL, "Select &All\tCtrl+A");
    const int chosen = GetPopupMenuSelectionFromUser(menu);
    if (chosen == wxID_COPY) copySelection();
    if (chosen == wxID_SELECTALL) selectAll();
  });
}

size_t HexView::lineLength(size_t i) const { return i < lineCount() ? line(i).length() : 0; }

TextPlace HexView::placeAt(const wxPoint& point) const {
  if (lineCount() == 0) return {};
  const long row = long(GetVisibleRowsBegin()) + (point.y < 0 ? -1 - (-point.y / m_lineHeight) : point.y / m_lineHeight);
  const size_t line = size_t(std::clamp(row, 0L, long(lineCount()) - 1));
  const long column = (point.x - kTextLeft + m_charWidth / 2) / m_charWidth;
  return {line, size_t(std::clamp(column, 0L, long(lineLength(line))))};
}

void HexView::select(TextPlace anchor, TextPlace caret) {
  m_anchor = anchor;
  m_caret = caret;
  Refresh();
}

void HexView::selectAll() {
  if (lineCount() == 0) return;
  select({0, 0}, {lineCount() - 1, lineLength(lineCount() - 1)});
}

wxString HexView::selectedText() const {
  const TextPlace from = std::min(m_anchor, m_caret), to = std::max(m_anchor, m_caret);
  wxString out;
  for (size_t i = from.line; i <= to.line && i < lineCount() && i - from.line < kCopyLineLimit; ++i) {
    const wxString text = line(i);
    const size_t begin = i == from.line ? from.column : 0;
    const size_t end = i == to.line ? to.column : text.length();
    if (i != from.line) out += "\n";
    out += text.Mid(begin, end > begin ? end - begin : 0);
  }
  return out;
}

bool HexView::copySelection() {
  if (m_anchor == m_caret) return false;
  const TextPlace from = std::min(m_anchor, m_caret), to = std::max(m_anchor, m_caret);
  if (to.line - from.line >= kCopyLineLimit)
    wxMessageBox(wxString::Format("Only the first %zu lines of the selection were copied.", kCopyLineLimit),
                 "Notice", wxOK | wxICON_INFORMATION, this);
  wxClipboardLocker lock;
  if (!lock) return false;
  return wxTheClipboard->SetData(new wxTextDataObject(selectedText()));
}

void HexView::moveCaret(TextPlace caret, bool extend) {
  m_caret = caret;
  if (!extend) m_anchor = caret;
  // Keep the caret's line in view.
  if (m_caret.line < GetVisibleRowsBegin()) ScrollToRow(m_caret.line);
  else if (m_caret.line + 1 >= GetVisibleRowsEnd())
    ScrollToRow(m_caret.line + 2 > GetVisibleRowsEnd() - GetVisibleRowsBegin()
                    ? m_caret.line + 2 - (GetVisibleRowsEnd() - GetVisibleRowsBegin())
                    : 0);
  Refresh();
}

void HexView::onKey(wxKeyEvent& e) {
  const bool ctrl = e.ControlDown(), shift = e.ShiftDown();
  const int key = e.GetKeyCode();
  if (ctrl && (key == 'C' || key == WXK_INSERT)) {
    copySelection();
    return;
  }
  if (ctrl && key == 'A') {
    selectAll();
    return;
  }
  if (lineCount() == 0) {
    e.Skip();
    return;
  }
  const size_t last = lineCount() - 1;
  const size_t page = std::max<size_t>(1, GetVisibleRowsEnd() - GetVisibleRowsBegin() - 1);
  TextPlace c = m_caret;
  switch (key) {
    case WXK_DOWN: c.line = std::min(last, c.line + 1); break;
    case WXK_UP: c.line = c.line ? c.line - 1 : 0; break;
    case WXK_PAGEDOWN: c.line = std::min(last, c.line + page); break;
    case WXK_PAGEUP: c.line = c.line > page ? c.line - page : 0; break;
    case WXK_LEFT: if (c.column) --c.column; else if (c.line) c = {c.line - 1, lineLength(c.line - 1)}; break;
    case WXK_RIGHT: if (c.column < lineLength(c.line)) ++c.column; else if (c.line < last) c = {c.line + 1, 0}; break;
    case WXK_HOME: c = ctrl ? TextPlace{} : TextPlace{c.line, 0}; break;
    case WXK_END: c = ctrl ? TextPlace{last, lineLength(last)} : TextPlace{c.line, lineLength(c.line)}; break;
    default: e.Skip(); return;
  }
  c.column = std::min(c.column, lineLength(c.line));
  moveCaret(c, shift);
}

void HexView::onMouse(wxMouseEvent& e) {
  if (e.LeftDown()) {
    SetFocus();
    moveCaret(placeAt(e.GetPosition()), e.ShiftDown());
    m_dragging = true;
    if (!HasCapture()) CaptureMouse();
  } else if (e.LeftDClick()) {
    const TextPlace p = placeAt(e.GetPosition());
    select({p.line, 0}, {p.line, lineLength(p.line)});
  } else if (e.Dragging() && m_dragging) {
    moveCaret(placeAt(e.GetPosition()), true);
  } else if (e.LeftUp()) {
    m_dragging = false;
    if (HasCapture()) ReleaseMouse();
  }
  e.Skip();
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
  const TextPlace from = std::min(m_anchor, m_caret), to = std::max(m_anchor, m_caret);
  const wxColour highlight = wxSystemSettings::GetColour(wxSYS_COLOUR_HIGHLIGHT);
  const wxColour ink = wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOWTEXT);
  const wxColour highlightInk = wxSystemSettings::GetColour(wxSYS_COLOUR_HIGHLIGHTTEXT);
  for (size_t i = first; i < last && i < lineCount(); ++i) {
    const int y = int(i - first) * m_lineHeight;
    const wxString text = line(i);
    size_t s0 = 0, s1 = 0;  // selected columns of this line
    if (from != to && i >= from.line && i <= to.line) {
      s0 = i == from.line ? from.column : 0;
      s1 = i == to.line ? to.column : text.length() + 1;  // + the line break
    }
    if (s1 > s0) {
      dc.SetPen(*wxTRANSPARENT_PEN);
      dc.SetBrush(wxBrush(highlight));
      dc.DrawRectangle(kTextLeft + int(s0) * m_charWidth, y, int(s1 - s0) * m_charWidth, m_lineHeight);
    }
    // Drawn in three pieces so the selected part takes the highlight's ink.
    const size_t a = std::min(s0, text.length()), b = std::min(std::max(s1, s0), text.length());
    dc.SetTextForeground(ink);
    dc.DrawText(text.Left(a), kTextLeft, y + 1);
    dc.SetTextForeground(s1 > s0 ? highlightInk : ink);
    dc.DrawText(text.Mid(a, b - a), kTextLeft + int(a) * m_charWidth, y + 1);
    dc.SetTextForeground(ink);
    dc.DrawText(text.Mid(b), kTextLeft + int(b) * m_charWidth, y + 1);
  }
  // The caret, while the dump has the keyboard.
  if (HasFocus() && m_caret.line >= first && m_caret.line < last) {
    dc.SetPen(wxPen(ink));
    const int x = kTextLeft + int(m_caret.column) * m_charWidth;
    const int y = int(m_caret.line - first) * m_lineHeight;
    dc.DrawLine(x, y + 1, x, y + m_lineHeight - 1);
  }
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
  closeOnEscape(this);
  CentreOnParent();
  m_view->SetFocus();
  m_view->Bind(wxEVT_SET_FOCUS, [this](wxFocusEvent& e) { m_view->Refresh(); e.Skip(); });
  m_view->Bind(wxEVT_KILL_FOCUS, [this](wxFocusEvent& e) { m_view->Refresh(); e.Skip(); });
}

}  // namespace velk::ui
