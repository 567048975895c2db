#pragma once
// OverwriteDialog: "Confirm File Overwrite", asked when a recovered file would replace an
// existing one. ShowModal returns the button's id; choiceFor turns it into the answer.

#include <wx/dialog.h>

#include "workspace/overwrite.h"

namespace velk::ui {

class OverwriteDialog : public wxDialog {
 public:
  static constexpr int kYesToAll = 1039;

  OverwriteDialog(wxWindow* parent, const wxString& fileName);
  // wxID_YES, kYesToAll, wxID_NO; anything else (Cancel, Escape, closing) is Cancel.
  static OverwriteChoice choiceFor(int returnCode);
  OverwriteChoice choice() const { return m_choice; }
  const wxString& message() const { return m_message; }
  int ShowModal() override;

 private:
  wxString m_message;
  OverwriteChoice m_choice = OverwriteChoice::Cancel;
};

}  // namespace velk::ui
