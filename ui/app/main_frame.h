#pragma once
// CMainFrame: the borderless 770 × 505 main window with its painted title bar and its own
// Minimize and Close buttons; dragged from anywhere not covered by a control.

#include <wx/frame.h>

namespace velk::ui {

class CHomeView;

class CMainFrame : public wxFrame {
 public:
  CMainFrame();
  CHomeView* view() const { return m_view; }

 private:
  CHomeView* m_view = nullptr;
};

// Lets the user drag the top-level window by pressing anywhere on this window's background.
void makeDraggable(wxWindow* window);

}  // namespace velk::ui
