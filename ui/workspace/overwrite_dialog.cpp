#include "workspace/overwrite_dialog.h"

#include <wx/artprov.h>
#include <wx/button.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

namespace velk::ui {

OverwriteDialog::OverwriteDialog(wxWindow* parent, const wxString& fileName)
    : wxDialog(parent, 205, "Confirm File Overwrite", wxDefaultPosition, wxDefaultSize, wxDEFAULT_DIALOG_STYLE) {
  SetName("OverwriteDialog");
  m_message = wxString::Format("This folder already contains a file named '%s'", fileName);
  auto* top = new wxBoxSizer(wxVERTICAL);
  auto* row = new wxBoxSizer(wxHORIZONTAL);
  row->Add(new wxStaticBitmap(this, wxID_ANY, wxArtProvider::GetBitmap(wxART_WARNING, wxART_MESSAGE_BOX)), 0,
           wxALL, 10);
  auto* text = new wxBoxSizer(wxVERTICAL);
  text->Add(new wxStaticText(this, 1041, m_message), 0, wxBOTTOM, 8);
  text->Add(new wxStaticText(this, wxID_ANY, "Would you like to overwrite the exsisting file?"));
  row->Add(text, 1, wxTOP | wxRIGHT | wxBOTTOM, 12);
  top->Add(row, 1, wxEXPAND);
  auto* buttons = new wxBoxSizer(wxHORIZONTAL);
  auto* yes = new wxButton(this, wxID_YES, "Yes");
  buttons->Add(yes, 0, wxRIGHT, 6);
  buttons->Add(new wxButton(this, kYesToAll, "Yes to All"), 0, wxRIGHT, 6);
  buttons->Add(new wxButton(this, wxID_NO, "No"), 0, wxRIGHT, 6);
  buttons->Add(new wxButton(this, wxID_CANCEL, "Cancel"));
  top->Add(buttons, 0, wxALIGN_RIGHT | wxALL, 10);
  SetSizerAndFit(top);
  yes->SetDefault();
  yes->SetFocus();
  for (int id : {int(wxID_YES), kYesToAll, int(wxID_NO)})
    Bind(wxEVT_BUTTON, [this, id](wxCommandEvent&) { EndModal(id); }, id);
  SetEscapeId(wxID_CANCEL);
}

OverwriteChoice OverwriteDialog::choiceFor(int rc) {
  if (rc == wxID_YES) return OverwriteChoice::Yes;
  if (rc == kYesToAll) return OverwriteChoice::YesToAll;
  if (rc == wxID_NO) return OverwriteChoice::No;
  return OverwriteChoice::Cancel;
}

int OverwriteDialog::ShowModal() {
  CentreOnParent();
  int rc = wxDialog::ShowModal();
  m_choice = choiceFor(rc);
  return rc;
}

}  // namespace velk::ui
