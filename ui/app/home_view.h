#pragma once
// CHomeView: the home page with its two task categories, and the host of every other page.

#include <array>
#include <wx/panel.h>

#include "app/page.h"
#include "app/skin_button.h"

namespace velk::ui {

class CategoryList;

class CHomeView : public wxPanel {
 public:
  static constexpr int kTaskButtonFirst = 600;
  static constexpr int kTaskButtonCount = 7;

  explicit CHomeView(wxWindow* parent);

  // Queues a page switch (WM_USER+1): the current page may be the caller.
  void requestSwitch(int command, int argument);
  // Runs a page switch now (the host's handler).
  void switchPage(int command, int argument);
  // The same with the kind of page given (a saved scan names its family itself).
  void switchPage(int command, PageKind kind, int argument);
  // WM_USER+16: index 1 selects the mail category, anything else the recovery category.
  void selectCategory(int index);

  int currentCommand() const { return m_command; }
  int currentCategory() const { return m_category; }
  Page* currentPage() const { return m_page; }
  SkinButton* taskButton(int i) const { return m_tasks[size_t(i)]; }
  // Sends a click to a task button (0–6) as the user would.
  void clickTask(int i);

 private:
  void onPaint(wxPaintEvent&);
  void onTask(wxCommandEvent&);
  void layoutCategory();
  void hideTasks();
  void openUrl(const wxString& what);
  void showAbout();

  int m_command = kCommandHome;
  int m_category = kCategoryRecovery;
  Page* m_page = nullptr;
  std::array<SkinButton*, kTaskButtonCount> m_tasks{};
  CategoryList* m_categories = nullptr;
};

}  // namespace velk::ui
