#include "workspace/recovery_dialogs.h"

#include <wx/button.h>
#include <wx/dirdlg.h>
#include <wx/filename.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/stdpaths.h>
#include <wx/textctrl.h>
#include <wx/utils.h>

#include "app/settings.h"

namespace velk::ui {

RecoveryFolderDialog::RecoveryFolderDialog(wxWindow* parent, const wxString& start)
    : wxDialog(parent, wxID_ANY, "Recover into", wxDefaultPosition, wxDefaultSize, wxDEFAULT_DIALOG_STYLE) {
  SetName("RecoveryFolderDialog");
  auto* top = new wxBoxSizer(wxVERTICAL);
  top->Add(new wxStaticText(this, wxID_ANY, "Current folder is:"), 0, wxLEFT | wxRIGHT | wxTOP, 12);
  auto* row = new wxBoxSizer(wxHORIZONTAL);
  m_path = new wxTextCtrl(this, wxID_ANY, start, wxDefaultPosition, wxSize(380, -1), wxTE_PROCESS_ENTER);
  m_path->SetName("RecoveryFolder");
  row->Add(m_path, 1, wxALIGN_CENTER_VERTICAL);
  auto* browseButton = new wxButton(this, wxID_ANY, "Browse...");
  row->Add(browseButton, 0, wxLEFT, 6);
  top->Add(row, 0, wxALL | wxEXPAND, 12);
  top->Add(new wxStaticText(this, wxID_ANY,
                            "Choose a folder on another drive than the one scanned: writing there\n"
                            "could overwrite the very files being recovered."),
           0, wxLEFT | wxRIGHT, 12);
  auto* buttons = new wxStdDialogButtonSizer();
  auto* ok = new wxButton(this, wxID_OK, "Recover");
  buttons->AddButton(ok);
  buttons->AddButton(new wxButton(this, wxID_CANCEL, "Cancel"));
  buttons->Realize();
  top->Add(buttons, 0, wxALL | wxEXPAND, 12);
  SetSizerAndFit(top);
  ok->SetDefault();
  ok->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { tryAccept(); });
  m_path->Bind(wxEVT_TEXT_ENTER, [this](wxCommandEvent&) { tryAccept(); });
  browseButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { browse(); });
  m_path->SetFocus();
  m_path->SetInsertionPointEnd();
  CentreOnParent();
}

wxString RecoveryFolderDialog::startFolder() {
  const wxString last = Settings::get().folder("recovery");
  if (!last.empty() && wxDirExists(last)) return last;
  return wxStandardPaths::Get().GetDocumentsDir();
}

wxString RecoveryFolderDialog::path() const {
  wxFileName f = wxFileName::DirName(m_path->GetValue().Strip(wxString::both));
  f.Normalize(wxPATH_NORM_DOTS | wxPATH_NORM_ABSOLUTE | wxPATH_NORM_TILDE);
  wxString p = f.GetPath();
  return p.empty() ? wxString("/") : p;
}

void RecoveryFolderDialog::browse() {
  wxDirDialog dlg(this, "Current folder is:", path(), wxDD_DEFAULT_STYLE);
  if (dlg.ShowModal() == wxID_OK) m_path->ChangeValue(dlg.GetPath());
  m_path->SetFocus();
}

bool RecoveryFolderDialog::tryAccept() {
  if (m_path->GetValue().Strip(wxString::both).empty()) {
    m_path->SetFocus();
    return false;
  }
  const wxString folder = path();
  if (!wxDirExists(folder)) {
    const int answer = wxMessageBox(wxString::Format("The folder '%s' does not exist. Create it?", folder), "Confirm",
                                    wxYES_NO | wxICON_QUESTION, this);
    if (answer != wxYES) return false;
    if (!wxFileName::Mkdir(folder, wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL)) {
      wxMessageBox(wxString::Format("The folder '%s' could not be created.", folder), "Error", wxOK | wxICON_ERROR, this);
      return false;
    }
  }
  m_path->ChangeValue(folder);
  if (IsModal()) EndModal(wxID_OK);
  else Hide();
  return true;
}

RecoverySummaryDialog::RecoverySummaryDialog(wxWindow* parent, const RecoveryReport& report, const wxString& folder)
    : wxDialog(parent, wxID_ANY, report.cancelled ? "Recovery stopped" : "Recovery finished", wxDefaultPosition,
               wxDefaultSize, wxDEFAULT_DIALOG_STYLE) {
  SetName("RecoverySummaryDialog");
  auto count = [](uint64_t n) { return wxString::Format("%llu", (unsigned long long)n); };
  m_summary = "Files written: " + count(report.recovered) + "  (verified " + count(report.verified) + ", unverified " +
              count(report.unverified) + ", damaged " + count(report.damaged) + ")\n" + "Failed: " +
              count(report.failed) + "\n" + "Skipped: " + count(report.skipped);
  auto* top = new wxBoxSizer(wxVERTICAL);
  auto* head = new wxStaticText(this, wxID_ANY,
                                report.cancelled         ? "The recovery was stopped; the files written so far stay."
                                : report.failed == 0     ? "Every chosen file was written."
                                                         : "Some files could not be written.");
  wxFont bold = head->GetFont();
  bold.SetWeight(wxFONTWEIGHT_BOLD);
  head->SetFont(bold);
  top->Add(head, 0, wxALL, 12);
  top->Add(new wxStaticText(this, wxID_ANY, m_summary), 0, wxLEFT | wxRIGHT, 12);
  if (report.damaged > 0)
    top->Add(new wxStaticText(this, wxID_ANY, "Damaged files were written as found: check them before you rely on them."),
             0, wxLEFT | wxRIGHT | wxTOP, 12);
  top->Add(new wxStaticText(this, wxID_ANY, "Folder: " + folder), 0, wxLEFT | wxRIGHT | wxTOP, 12);
  if (!report.errorText.empty()) {
    auto* failures = new wxTextCtrl(this, wxID_ANY, wxString::FromUTF8(report.errorText), wxDefaultPosition,
                                    wxSize(460, 90), wxTE_MULTILINE | wxTE_READONLY | wxTE_DONTWRAP);
    failures->SetName("Failures");
    top->Add(failures, 1, wxLEFT | wxRIGHT | wxTOP | wxEXPAND, 12);
  }
  auto* buttons = new wxBoxSizer(wxHORIZONTAL);
  auto* open = new wxButton(this, kOpenFolder, "Open folder");
  auto* close = new wxButton(this, wxID_CLOSE, "Close");
  buttons->Add(open, 0, wxRIGHT, 6);
  buttons->Add(close);
  top->Add(buttons, 0, wxALL | wxALIGN_RIGHT, 12);
  SetSizerAndFit(top);
  close->SetDefault();
  close->SetFocus();
  SetEscapeId(wxID_CLOSE);
  SetAffirmativeId(wxID_CLOSE);
  open->Bind(wxEVT_BUTTON, [folder](wxCommandEvent&) { wxLaunchDefaultApplication(folder); });
  close->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    if (IsModal()) EndModal(wxID_CLOSE);
    else Hide();
  });
  CentreOnParent();
}

}  // namespace velk::ui
