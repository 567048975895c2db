#pragma once
// "About Velk File Recovery": the version, the licence and the libraries this build uses,
// with their own versions and licences. Local: nothing is fetched from anywhere.

#include <wx/dialog.h>

class wxListCtrl;

namespace velk::ui {

struct LibraryInfo {
  wxString name;
  wxString version;  // what the running library reports, else the version built against
  wxString licence;
};
std::vector<LibraryInfo> librariesUsed();

class AboutDialog : public wxDialog {
 public:
  explicit AboutDialog(wxWindow* parent);
  wxListCtrl* libraryList() const { return m_libraries; }

 private:
  wxListCtrl* m_libraries = nullptr;
};

}  // namespace velk::ui
