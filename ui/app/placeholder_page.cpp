// Pages whose module has not landed yet show what they will do and a way back.

#include <wx/dcbuffer.h>

#include "app/art.h"
#include "app/home_view.h"
#include "app/page.h"
#include "app/recovery_app.h"
#include "app/skin_button.h"

namespace velk::ui {
namespace {

class PlaceholderPage : public Page {
 public:
  PlaceholderPage(HomeView* host, int taskId, wxString title) : Page(host, taskId, 102), m_title(std::move(title)) {
    SetName("PlaceholderPage");
    auto* back = new SkinButton(this, 1034, "Back", wxPoint(554, 411), wxSize(91, 45));
    back->SetBitmaps(160, 159, 210, 160);
    back->setBackdrop(wxColour(0xf7, 0xf9, 0xfc));
    back->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { requestSwitch(kCommandHome, 1); });
    Bind(wxEVT_PAINT, [this](wxPaintEvent&) {
      wxAutoBufferedPaintDC dc(this);
      dc.SetBackground(wxBrush(wxColour(0xf7, 0xf9, 0xfc)));
      dc.Clear();
      paintBitmap(dc, 213, 0, 0);
      wxFont font = GetFont();
      font.SetPointSize(font.GetPointSize() + 4);
      font.SetWeight(wxFONTWEIGHT_BOLD);
      dc.SetFont(font);
      dc.SetTextForeground(wxColour(0x13, 0x23, 0x3a));
      dc.DrawText(m_title, 66, 20);
      dc.SetFont(GetFont());
      dc.SetTextForeground(wxColour(0x4a, 0x5a, 0x6e));
      dc.DrawText("This page is being built. Use velk-cli for this task meanwhile.", 40, 120);
    });
  }

 private:
  wxString m_title;
};

}  // namespace

void registerPlaceholderPages() {
  struct Entry {
    PageKind kind;
    const char* title;
  };
  for (Entry e : {Entry{PageKind::Drive, "Select a drive"}, Entry{PageKind::Fat, "FAT recovery"},
                  Entry{PageKind::Ntfs, "NTFS recovery"}, Entry{PageKind::Ext, "EXT recovery"},
                  Entry{PageKind::Raw, "Raw recovery"}}) {
    wxString title = e.title;
    registerPage(e.kind, [title](HomeView* host, int task) -> Page* { return new PlaceholderPage(host, task, title); });
  }
}

}  // namespace velk::ui
