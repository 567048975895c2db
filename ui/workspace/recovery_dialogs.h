#pragma once
// The two dialogs around copying files out: the folder to recover into (it opens on the
// last folder used, else the documents folder, and always shows the path), and the
// summary of a finished recovery with a way to open the folder.

#include <wx/dialog.h>

#include "workspace/recovery_job.h"

class wxTextCtrl;

namespace velk::ui {

class RecoveryFolderDialog : public wxDialog {
 public:
  RecoveryFolderDialog(wxWindow* parent, const wxString& start);
  wxTextCtrl* pathEdit() const { return m_path; }
  // The folder to use; an absent one is created after the user agrees. False when the
  // dialog stays open.
  bool tryAccept();
  wxString path() const;
  // Where the dialog opens: the last folder used, else the documents folder.
  static wxString startFolder();

 private:
  void browse();
  wxTextCtrl* m_path = nullptr;
};

class RecoverySummaryDialog : public wxDialog {
 public:
  static constexpr int kOpenFolder = 1101;
  RecoverySummaryDialog(wxWindow* parent, const RecoveryReport& report, const wxString& folder);
  // The summary's lines as shown (tests).
  const wxString& summary() const { return m_summary; }

 private:
  wxString m_summary;
};

}  // namespace velk::ui
