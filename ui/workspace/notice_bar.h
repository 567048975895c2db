#pragma once
// A notice inside a page: an icon and a few lines of text that stay until the user
// dismisses them, without stopping anything (what a scan met: its error, the sectors it
// could not read). A text longer than the bar is cut with an ellipsis and shown whole in
// its tooltip.

#include <wx/panel.h>

class wxStaticText;

namespace velk::ui {

class NoticeBar : public wxPanel {
 public:
  NoticeBar(wxWindow* parent, const wxRect& rect);
  // Shows the text (hidden again for an empty one).
  void showNotice(const wxString& text);
  wxString noticeText() const { return m_full; }
  wxString shownText() const;

 private:
  wxStaticText* m_text = nullptr;
  wxString m_full;
};

}  // namespace velk::ui
