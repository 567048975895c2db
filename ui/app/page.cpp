#include "app/page.h"

#include <wx/brush.h>
#include <wx/dc.h>

#include <algorithm>
#include <vector>

#include "app/art.h"
#include "app/home_view.h"

namespace velk::ui {

const wxColour kPagePaper(0xf7, 0xf9, 0xfc);
const wxColour kPageInk(0x13, 0x23, 0x3a);
const wxColour kPageMuted(0x4a, 0x5a, 0x6e);

namespace {

constexpr int kHeaderArt = 213;

std::map<PageKind, PageFactory>& registry() {
  static std::map<PageKind, PageFactory> factories;
  return factories;
}

}  // namespace

Page::Page(HomeView* host, int taskId, wxWindowID id)
    : wxPanel(host, id, wxPoint(0, 0), host->GetClientSize(), wxBORDER_NONE | wxTAB_TRAVERSAL),
      m_host(host),
      m_taskId(taskId) {
  SetBackgroundStyle(wxBG_STYLE_PAINT);
}

void Page::requestSwitch(int command, int argument) { m_host->requestSwitch(command, argument); }

void Page::paintBitmap(wxDC& dc, int number, int x, int y) {
  const wxBitmap& bmp = Art::get().bitmap(number);
  if (bmp.IsOk()) dc.DrawBitmap(bmp, x, y, true);
}

void Page::paintHeader(wxDC& dc, int body, const wxString& title, const wxString& subtitle) {
  dc.SetBackground(wxBrush(kPagePaper));
  dc.Clear();
  paintBitmap(dc, kHeaderArt, 0, 0);
  if (body) paintBitmap(dc, body, 0, 66);
  wxFont font = GetFont();
  font.SetPointSize(font.GetPointSize() + 4);
  font.SetWeight(wxFONTWEIGHT_BOLD);
  dc.SetFont(font);
  dc.SetTextForeground(kPageInk);
  dc.DrawText(title, 66, 12);
  dc.SetFont(GetFont());
  dc.SetTextForeground(kPageMuted);
  dc.DrawText(subtitle, 66, 40);
}

void orderTabsByLayout(wxWindow* parent) {
  constexpr int kRowSlack = 12;
  std::vector<wxWindow*> children;
  for (wxWindow* child : parent->GetChildren())
    if (!child->IsTopLevel()) children.push_back(child);
  std::stable_sort(children.begin(), children.end(),
                   [](const wxWindow* a, const wxWindow* b) { return a->GetPosition().y < b->GetPosition().y; });
  // Rows: runs of controls whose tops lie near the run's first; each row left to right.
  for (size_t first = 0; first < children.size();) {
    size_t end = first + 1;
    while (end < children.size() && children[end]->GetPosition().y - children[first]->GetPosition().y <= kRowSlack) ++end;
    std::stable_sort(children.begin() + long(first), children.begin() + long(end),
                     [](const wxWindow* a, const wxWindow* b) { return a->GetPosition().x < b->GetPosition().x; });
    first = end;
  }
  for (size_t i = 1; i < children.size(); ++i) children[i]->MoveAfterInTabOrder(children[i - 1]);
}

void registerPage(PageKind kind, PageFactory factory) { registry()[kind] = std::move(factory); }

PageFactory pageFactory(PageKind kind) {
  auto it = registry().find(kind);
  return it == registry().end() ? PageFactory() : it->second;
}

}  // namespace velk::ui
