#include "workspace/filter_dialog.h"

#include <wx/app.h>
#include <wx/button.h>
#include <wx/choice.h>
#include <wx/datectrl.h>
#include <wx/dateevt.h>
#include <wx/msgdlg.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

namespace velk::ui {
namespace {

wxDateTime toDateTime(uint16_t packed) {
  int year = 1980 + (packed >> 9), month = (packed >> 5) & 0xF, day = packed & 0x1F;
  if (month < 1 || month > 12 || day < 1) return wxDateTime::Today();
  return wxDateTime(wxDateTime::wxDateTime_t(day), wxDateTime::Month(month - 1), year);
}

wxString sizeText(double kb) {
  if (kb == 0) return "0";
  return wxString::FromCDouble(kb);
}

}  // namespace

FilterDialog::FilterDialog(wxWindow* parent, Kind kind, FileFilter& filter)
    : wxDialog(parent, kind == Kind::PageFilter ? 190 : 324, kind == Kind::PageFilter ? "Filter options" : "Set Quick Search...",
               wxDefaultPosition, wxDefaultSize, wxDEFAULT_DIALOG_STYLE),
      m_kind(kind),
      m_target(filter),
      m_edit(filter) {
  if (kind == Kind::QuickSearch) {
    // Opening the quick search resets the application's filter: Cancel leaves it reset.
    m_target.category = 0;
    m_target.dateMode = DateMode::Ignore;
    m_target.startSize = m_target.endSize = 0;
    m_target.sizeMode = SizeMode::Ignore;
    m_target.date = todayPacked();
    if (m_edit.category == 6) m_edit.extensionList = "dbx.pst.box";
  }
  const wxSize client = ConvertDialogToPixels(wxSize(305, 79));
  SetClientSize(client);
  auto du = [this](int x, int y) { return ConvertDialogToPixels(wxPoint(x, y)); };
  auto dsz = [this](int w, int h) { return ConvertDialogToPixels(wxSize(w, h)); };

  new wxStaticText(this, 1023, "By filename extension :", du(7, 9), dsz(110, 9));
  new wxStaticText(this, 1024, "By file date:", du(7, 25), dsz(110, 9));
  new wxStaticText(this, 1025, "By file size(KB) :", du(7, 41), dsz(110, 9));
  new wxStaticText(this, 1026, "By name and filename extension :", du(7, 57), dsz(112, 9));

  wxArrayString categories;
  for (int i = 0; i < kCategoryCount; ++i) categories.Add(wxString::FromUTF8(std::string(categoryText(i))));
  m_category = new wxChoice(this, 1027, du(120, 6), dsz(178, 12), categories);
  m_dateMode = new wxChoice(this, 1028, du(120, 22), dsz(60, 12), wxArrayString(4, std::array<wxString, 4>{"Ignore", "Before", "After", "On"}.data()));
  m_date = new wxDatePickerCtrl(this, 1029, toDateTime(m_edit.date), du(184, 22), dsz(80, 12));
  m_sizeMode = new wxChoice(this, 1030, du(120, 38), dsz(60, 12),
                            wxArrayString(5, std::array<wxString, 5>{"Ignore", "Equal", "Smaller", "Larger", "Between"}.data()));
  m_start = new wxTextCtrl(this, 1031, sizeText(m_edit.startSize), du(184, 38), dsz(44, 12));
  m_separator = new wxStaticText(this, 1033, "---", du(231, 40), dsz(12, 9));
  m_end = new wxTextCtrl(this, 1032, sizeText(m_edit.endSize), du(246, 38), dsz(44, 12));
  m_name = new wxTextCtrl(this, 1034, wxString::FromUTF8(m_edit.name), du(120, 54), dsz(178, 12));
  auto* ok = new wxButton(this, wxID_OK, "OK", du(194, 70), dsz(50, 12));
  new wxButton(this, wxID_CANCEL, "Cancel", du(248, 70), dsz(50, 12));
  SetClientSize(ConvertDialogToPixels(wxSize(305, 86)));
  ok->SetDefault();

  m_category->SetSelection(std::clamp(m_edit.category, 0, kCategoryCount - 1));
  m_dateMode->SetSelection(int(m_edit.dateMode));
  m_sizeMode->SetSelection(int(m_edit.sizeMode));
  updateVisibility();

  m_category->Bind(wxEVT_CHOICE, [this](wxCommandEvent&) { onCategory(); });
  m_dateMode->Bind(wxEVT_CHOICE, [this](wxCommandEvent&) {
    m_edit.dateMode = DateMode(m_dateMode->GetSelection());
    updateVisibility();
  });
  m_date->Bind(wxEVT_DATE_CHANGED, [this](wxDateEvent& e) {
    const wxDateTime& d = e.GetDate();
    m_edit.date = packFatDate(d.GetYear(), int(d.GetMonth()) + 1, d.GetDay());
  });
  m_sizeMode->Bind(wxEVT_CHOICE, [this](wxCommandEvent&) { onSizeMode(); });
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { tryOk(); }, wxID_OK);
  CentreOnParent();
}

void FilterDialog::onCategory() {
  m_edit.setCategory(m_category->GetSelection());
}

void FilterDialog::onSizeMode() {
  m_edit.sizeMode = SizeMode(m_sizeMode->GetSelection());
  if (m_edit.sizeMode == SizeMode::Ignore) {
    m_edit.startSize = m_edit.endSize = 0;
    m_start->ChangeValue("0");
    m_end->ChangeValue("0");
  }
  updateVisibility();
}

void FilterDialog::updateVisibility() {
  m_date->Show(m_edit.dateMode != DateMode::Ignore);
  m_start->Show(m_edit.sizeMode != SizeMode::Ignore);
  bool between = m_edit.sizeMode == SizeMode::Between;
  m_end->Show(between);
  m_separator->Show(between);
}

bool FilterDialog::tryOk() {
  double start = 0, end = 0;
  switch (checkSizeEntries(m_edit.sizeMode, m_start->GetValue().utf8_string(), m_end->GetValue().utf8_string(), start, end)) {
    case SizeEntryCheck::NotANumber:
      wxMessageBox("Please enter a number.", wxTheApp->GetAppDisplayName(), wxOK | wxICON_EXCLAMATION, this);
      return false;
    case SizeEntryCheck::StartLargerThanEnd:
      wxMessageBox("Start size can't larger then end size!", "Notice", wxOK | wxICON_INFORMATION, this);
      m_start->SetFocus();
      return false;
    case SizeEntryCheck::Ok:
      break;
  }
  m_edit.startSize = start;
  m_edit.endSize = end;
  m_edit.name = m_name->GetValue().utf8_string();
  if (m_edit.dateMode != DateMode::Ignore) {
    wxDateTime d = m_date->GetValue();
    m_edit.date = packFatDate(d.GetYear(), int(d.GetMonth()) + 1, d.GetDay());
  }
  m_target = m_edit;
  if (IsModal()) EndModal(wxID_OK);
  else Hide();
  return true;
}

}  // namespace velk::ui
