#include "app/open_image_dialog.h"

#include <wx/button.h>
#include <wx/filedlg.h>
#include <wx/filename.h>
#include <wx/listbox.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "app/recovery_app.h"
#include "app/settings.h"

namespace velk::ui {
namespace {

// GTK matches patterns case-sensitively: list both spellings of the usual extensions.
const char* const kImageWildcard =
    "Disk images (*.img, *.dd, *.raw, *.bin, *.iso, *.E01, *.vhd, *.vhdx, *.vmdk, *.qcow2)|"
    "*.img;*.IMG;*.dd;*.DD;*.raw;*.RAW;*.bin;*.BIN;*.iso;*.ISO;*.E01;*.e01;*.Ex01;*.ex01;"
    "*.vhd;*.VHD;*.vhdx;*.VHDX;*.vmdk;*.VMDK;*.qcow;*.qcow2;*.QCOW2|All files (*)|*";

}  // namespace

OpenImageDialog::OpenImageDialog(wxWindow* parent)
    : wxDialog(parent, wxID_ANY, "Open disk image", wxDefaultPosition, wxDefaultSize, wxDEFAULT_DIALOG_STYLE) {
  SetName("OpenImageDialog");
  auto* top = new wxBoxSizer(wxVERTICAL);
  auto* intro = new wxStaticText(this, wxID_ANY,
                                 "The image is attached as a drive until the program ends. It is only read,\n"
                                 "never written. Raw images, E01, VHD, VHDX, VMDK and QCOW2 are read.");
  top->Add(intro, 0, wxALL, 12);
  top->Add(new wxStaticText(this, wxID_ANY, "Image file:"), 0, wxLEFT | wxRIGHT, 12);
  auto* row = new wxBoxSizer(wxHORIZONTAL);
  m_path = new wxTextCtrl(this, wxID_ANY, wxEmptyString, wxDefaultPosition, wxSize(360, -1), wxTE_PROCESS_ENTER);
  m_path->SetName("ImagePath");
  row->Add(m_path, 1, wxALIGN_CENTER_VERTICAL);
  auto* browseButton = new wxButton(this, wxID_ANY, "Browse...");
  row->Add(browseButton, 0, wxLEFT, 6);
  top->Add(row, 0, wxLEFT | wxRIGHT | wxTOP | wxEXPAND, 12);

  top->Add(new wxStaticText(this, wxID_ANY, "Recent images:"), 0, wxLEFT | wxRIGHT | wxTOP, 12);
  m_recent = new wxListBox(this, wxID_ANY, wxDefaultPosition, wxSize(-1, 90));
  m_recent->SetName("RecentImages");
  for (const wxString& path : Settings::get().recentImages()) m_recent->Append(path);
  top->Add(m_recent, 0, wxLEFT | wxRIGHT | wxTOP | wxEXPAND, 12);

  auto* buttons = new wxStdDialogButtonSizer();
  auto* open = new wxButton(this, wxID_OK, "Open");
  buttons->AddButton(open);
  buttons->AddButton(new wxButton(this, wxID_CANCEL, "Cancel"));
  buttons->Realize();
  top->Add(buttons, 0, wxALL | wxEXPAND, 12);
  SetSizerAndFit(top);
  open->SetDefault();

  if (m_recent->GetCount() > 0) {
    m_recent->SetSelection(0);
    m_path->ChangeValue(m_recent->GetString(0));
  }
  m_recent->Bind(wxEVT_LISTBOX, [this](wxCommandEvent& e) { m_path->ChangeValue(e.GetString()); });
  m_recent->Bind(wxEVT_LISTBOX_DCLICK, [this](wxCommandEvent& e) {
    m_path->ChangeValue(e.GetString());
    tryOpen();
  });
  m_path->Bind(wxEVT_TEXT_ENTER, [this](wxCommandEvent&) { tryOpen(); });
  browseButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { browse(); });
  open->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { tryOpen(); });
  m_path->SetFocus();
  m_path->SelectAll();
  CentreOnParent();
}

void OpenImageDialog::browse() {
  wxString folder = Settings::get().folder("images");
  if (!m_path->GetValue().empty()) folder = wxFileName(m_path->GetValue()).GetPath();
  wxFileDialog dlg(this, "Open disk image", folder, wxEmptyString, kImageWildcard, wxFD_OPEN | wxFD_FILE_MUST_EXIST);
  if (dlg.ShowModal() == wxID_OK) m_path->ChangeValue(dlg.GetPath());
  m_path->SetFocus();
}

bool OpenImageDialog::tryOpen() {
  const wxString path = m_path->GetValue().Strip(wxString::both);
  if (path.empty()) {
    m_path->SetFocus();
    return false;
  }
  if (Status attached = wxGetApp().openImage(path); !attached) {
    wxMessageBox(wxString::FromUTF8(describe(attached.error())), "Error", wxOK | wxICON_ERROR, this);
    m_path->SetFocus();
    return false;
  }
  m_opened = path;
  if (IsModal()) EndModal(wxID_OK);
  else Hide();
  return true;
}

bool openDiskImage(wxWindow* parent) {
  OpenImageDialog dlg(parent);
  return dlg.ShowModal() == wxID_OK && !dlg.opened().empty();
}

}  // namespace velk::ui
