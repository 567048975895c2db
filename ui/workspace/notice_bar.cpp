#include "workspace/notice_bar.h"

#include <wx/artprov.h>
#include <wx/button.h>
#include <wx/control.h>
#include <wx/dcclient.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>
#include <wx/tokenzr.h>

#include <vector>

namespace velk::ui {
namespace {

const wxColour kNoticePaper(0xFF, 0xF4, 0xD6);
const wxColour kNoticeEdge(0xE0, 0xB4, 0x3C);
const wxColour kNoticeInk(0x4A, 0x33, 0x00);

}  // namespace

NoticeBar::NoticeBar(wxWindow* parent, const wxRect& rect)
    : wxPanel(parent, wxID_ANY, rect.GetPosition(), rect.GetSize(), wxBORDER_NONE | wxTAB_TRAVERSAL) {
  SetName("ScanNotice");
  SetBackgroundColour(kNoticePaper);
  Bind(wxEVT_PAINT, [this](wxPaintEvent&) {
    wxPaintDC dc(this);
    dc.SetPen(wxPen(kNoticeEdge));
    dc.SetBrush(*wxTRANSPARENT_BRUSH);
    dc.DrawRectangle(GetClientRect());
  });
  auto* row = new wxBoxSizer(wxHORIZONTAL);
  row->Add(new wxStaticBitmap(this, wxID_ANY, wxArtProvider::GetBitmap(wxART_WARNING, wxART_OTHER, wxSize(24, 24))), 0,
           wxALL | wxALIGN_TOP, 6);
  m_text = new wxStaticText(this, wxID_ANY, "", wxDefaultPosition, wxDefaultSize, wxST_NO_AUTORESIZE);
  m_text->SetForegroundColour(kNoticeInk);
  m_text->SetFont(wxFont(wxFontInfo(8).Family(wxFONTFAMILY_SWISS)));
  row->Add(m_text, 1, wxTOP | wxBOTTOM | wxEXPAND, 5);
  auto* dismiss = new wxButton(this, wxID_CLOSE, "Dismiss", wxDefaultPosition, wxDefaultSize, wxBU_EXACTFIT);
  dismiss->SetToolTip("Hide this notice");
  row->Add(dismiss, 0, wxALL | wxALIGN_TOP, 5);
  SetSizer(row);
  dismiss->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    Hide();
    GetParent()->SetFocus();
  });
  Hide();
}

void NoticeBar::showNotice(const wxString& text) {
  m_full = text;
  if (text.empty()) {
    Hide();
    return;
  }
  Show();
  Layout();
  // Word-wrapped to the bar's width; what does not fit ends in an ellipsis.
  wxClientDC dc(m_text);
  dc.SetFont(m_text->GetFont());
  const int width = std::max(40, m_text->GetClientSize().x);
  const size_t room = size_t(std::max(1, m_text->GetClientSize().y / dc.GetCharHeight()));
  std::vector<wxString> lines;
  for (const wxString& paragraph : wxSplit(text, '\n', 0)) {
    wxString line;
    for (const wxString& word : wxSplit(paragraph, ' ', 0)) {
      const wxString trial = line.empty() ? word : line + " " + word;
      if (!line.empty() && dc.GetTextExtent(trial).x > width) {
        lines.push_back(line);
        line = word;
      } else {
        line = trial;
      }
    }
    lines.push_back(line);
  }
  bool cut = lines.size() > room;
  if (cut) {
    lines.resize(room);
    lines.back() += wxString::FromUTF8(" …");
  }
  wxString shown;
  for (size_t i = 0; i < lines.size(); ++i) {
    const wxString fitted = wxControl::Ellipsize(lines[i], dc, wxELLIPSIZE_END, width);
    cut = cut || fitted != lines[i];
    shown += (i ? "\n" : "") + fitted;
  }
  m_text->SetLabelText(shown);
  SetToolTip(cut ? text : wxString());
  m_text->SetToolTip(cut ? text : wxString());
  Refresh();
}

wxString NoticeBar::shownText() const { return m_text->GetLabelText(); }

}  // namespace velk::ui
