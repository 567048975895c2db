#include "app/page.h"

#include <wx/dc.h>

#include "app/art.h"
#include "app/home_view.h"

namespace velk::ui {
namespace {

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

void registerPage(PageKind kind, PageFactory factory) { registry()[kind] = std::move(factory); }

PageFactory pageFactory(PageKind kind) {
  auto it = registry().find(kind);
  return it == registry().end() ? PageFactory() : it->second;
}

}  // namespace velk::ui
