#pragma once
// A page of the home view: created by the host for a command, destroyed at the next switch.

#include <functional>
#include <map>
#include <wx/colour.h>
#include <wx/panel.h>

#include "app/app_state.h"

namespace velk::ui {

class CHomeView;
using HomeView = CHomeView;

// The pages' palette: paper behind everything, ink for titles and values, muted for
// explanations.
extern const wxColour kPagePaper;
extern const wxColour kPageInk;
extern const wxColour kPageMuted;

class Page : public wxPanel {
 public:
  Page(HomeView* host, int taskId, wxWindowID id);
  HomeView* host() const { return m_host; }
  int taskId() const { return m_taskId; }
  // Asks the host for a page switch; queued, never run inside the caller's handler.
  void requestSwitch(int command, int argument);

 protected:
  // Paints a resource bitmap at a position (backgrounds of the skinned pages).
  void paintBitmap(wxDC& dc, int number, int x, int y);
  // What every page paints first: the paper, the header bar, the page's body bitmap below
  // it (none for 0), the title and the line under it.
  void paintHeader(wxDC& dc, int body, const wxString& title, const wxString& subtitle);

 private:
  HomeView* m_host;
  int m_taskId;
};

// Puts the keyboard-focusable children of `parent` in Tab order by where they sit: row by
// row from the top, left to right within a row (controls whose tops lie within a few pixels
// share a row). Creation order, wx's default, follows the code, not the screen.
void orderTabsByLayout(wxWindow* parent);

// Creates the page of a kind; registered by each page's module.
using PageFactory = std::function<Page*(HomeView* host, int taskId)>;
void registerPage(PageKind kind, PageFactory factory);
PageFactory pageFactory(PageKind kind);

}  // namespace velk::ui
