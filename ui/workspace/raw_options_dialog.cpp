#include "workspace/raw_options_dialog.h"

#include <wx/app.h>
#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/imaglist.h>
#include <wx/listctrl.h>
#include <wx/msgdlg.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/valtext.h>

#include "app/app_state.h"
#include "workspace/file_types.h"

namespace velk::ui {

SignatureCatalog& rawCatalog() {
  static SignatureCatalog catalog;
  static bool tried = false;
  if (!tried) {
    tried = true;
    (void)catalog.load();
  }
  return catalog;
}

RawOptionsDialog::RawOptionsDialog(wxWindow* parent, const RawOptionsLimits& limits, const RawOptionsValues& values,
                                   SignatureCatalog& catalog, bool nameFromContent)
    : wxDialog(parent, 171, "SetQuickOptions...", wxDefaultPosition, wxDefaultSize, wxDEFAULT_DIALOG_STYLE),
      m_limits(limits),
      m_values(values),
      m_catalog(catalog) {
  SetName("RawOptionsDialog");
  // 14 units taller than the classic layout: room for the naming option above the buttons.
  constexpr int kExtra = 14;
  SetClientSize(ConvertDialogToPixels(wxSize(243, 212 + kExtra)));
  auto du = [this](int x, int y) { return ConvertDialogToPixels(wxPoint(x, y)); };
  auto dsz = [this](int w, int h) { return ConvertDialogToPixels(wxSize(w, h)); };
  new wxStaticText(this, 1004, "Search by any or all of the criteria below.", du(9, 5), dsz(226, 12));
  new wxStaticBox(this, wxID_ANY, "", du(7, 16), dsz(229, 72));
  new wxStaticText(this, 1014, "Maximal file size(KB) : ", du(13, 29), dsz(84, 9));
  m_size = new wxTextCtrl(this, 1017, "", du(98, 26), dsz(122, 13), 0, wxTextValidator(wxFILTER_DIGITS));
  new wxStaticText(this, 1015, "Start Sector : ", du(13, 44), dsz(77, 9));
  m_start = new wxTextCtrl(this, 1011, "", du(98, 41), dsz(74, 13), 0, wxTextValidator(wxFILTER_DIGITS));
  new wxStaticText(this, 1022, wxString::FromUTF8(lowestStartLabel(limits)), du(178, 44), dsz(56, 9));
  new wxStaticText(this, 1016, "End Sector :  ", du(13, 59), dsz(77, 9));
  m_end = new wxTextCtrl(this, 1012, "", du(98, 56), dsz(74, 13), 0, wxTextValidator(wxFILTER_DIGITS));
  new wxStaticText(this, 1023, wxString::FromUTF8(highestEndLabel(limits)), du(178, 59), dsz(56, 9));
  new wxStaticText(this, wxID_ANY, "Total Sectors : ", du(13, 74), dsz(77, 9));
  new wxStaticText(this, 1013, wxString::FromUTF8(totalSectorsLabel(limits)), du(98, 74), dsz(123, 9));
  new wxStaticText(this, 1020, "File Type :", du(9, 93), dsz(132, 11));
  m_types = new wxListCtrl(this, 1021, du(7, 106), dsz(229, 82), wxLC_REPORT | wxLC_SINGLE_SEL | wxBORDER_THEME);
  m_types->EnableCheckBoxes(true);
  m_types->SetImageList(FileTypes::get().smallImages(), wxIMAGE_LIST_SMALL);
  // Wider than 80: on GTK the check box and the icon share the first column.
  m_types->AppendColumn("Extension", wxLIST_FORMAT_LEFT, 110);
  m_types->AppendColumn("Description", wxLIST_FORMAT_LEFT, 220);
  m_items = rawTypeItems(m_catalog);
  for (size_t i = 0; i < m_items.size(); ++i) {
    const RawTypeItem& item = m_items[i];
    long row = m_types->InsertItem(long(i), wxString::FromUTF8(item.extension),
                                   FileTypes::get().smallIconIndex("a." + item.extension));
    m_types->SetItem(row, 1, wxString::FromUTF8(item.description));
    m_types->CheckItem(row, item.checked);
  }
  m_nameFromContent = new wxCheckBox(this, 1040, "Name files from their content", du(9, 192), dsz(226, 11));
  m_nameFromContent->SetValue(nameFromContent);
  m_nameFromContent->SetToolTip(
      "Photos by their date and camera, documents by their title, music by artist and title; "
      "the File%d name stays in the list's Carved Name column");
  auto* all = new wxButton(this, 1038, "Select All", du(8, 192 + kExtra), dsz(54, 15));
  auto* none = new wxButton(this, 1039, "Deselect All", du(66, 192 + kExtra), dsz(54, 15));
  auto* ok = new wxButton(this, wxID_OK, "OK", du(124, 192 + kExtra), dsz(54, 15));
  new wxButton(this, wxID_CANCEL, "Cancel", du(182, 192 + kExtra), dsz(54, 15));
  ok->SetDefault();
  all->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { setAllChecked(true); });
  none->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { setAllChecked(false); });
  ok->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { tryOk(); });
  showValues();
  CentreOnParent();
}

void RawOptionsDialog::showValues() {
  m_size->ChangeValue(wxString::Format("%u", m_values.maxSizeKb));
  m_start->ChangeValue(wxString::Format("%u", m_values.startSector));
  m_end->ChangeValue(wxString::Format("%u", m_values.endSector));
}

void RawOptionsDialog::setAllChecked(bool checked) {
  for (long i = 0; i < m_types->GetItemCount(); ++i) m_types->CheckItem(i, checked);
}

bool RawOptionsDialog::tryOk() {
  RawOptionsTexts texts{m_start->GetValue().utf8_string(), m_end->GetValue().utf8_string(),
                        m_size->GetValue().utf8_string()};
  RawOptionsCheck check = checkRawOptions(texts, m_limits);
  if (check.outcome == RawOptionsOutcome::NotANumber) return false;
  if (check.outcome != RawOptionsOutcome::Accept) {
    wxMessageBox(wxString::FromUTF8(check.message), wxTheApp->GetAppDisplayName(), wxOK, this);
    m_values = check.values;
    showValues();
    return false;
  }
  m_values = check.values;
  for (size_t i = 0; i < m_items.size(); ++i) m_items[i].checked = m_types->IsItemChecked(long(i));
  applyRawTypeItems(m_items, m_catalog);
  if (IsModal()) EndModal(wxID_OK);
  else Hide();
  return true;
}

wxDialog* openRawOptions(wxWindow* parent, AppState& app, bool modeless) {
  RawOptionsLimits limits{int64_t(app.startSector), int64_t(app.endSector)};
  RawOptionsValues values{app.rangeFirst, app.rangeLast, app.rawMaxSizeKb};
  auto* dlg = new RawOptionsDialog(parent, limits, values, rawCatalog(), app.rawNameFromContent);
  if (modeless) {
    dlg->Show();
    return dlg;
  }
  if (dlg->ShowModal() == wxID_OK) {
    app.rangeFirst = dlg->values().startSector;
    app.rangeLast = dlg->values().endSector;
    // 0 is kept: the scanner then uses its default size.
    app.rawMaxSizeKb = dlg->values().maxSizeKb;
    app.rawNameFromContent = dlg->nameFromContentBox()->IsChecked();
    // The types live in the shared catalogue's enabled flags from now on.
    app.rawTypes.clear();
  }
  dlg->Destroy();
  return nullptr;
}

}  // namespace velk::ui
