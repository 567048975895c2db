#pragma once
// The "Filter options" dialog of a recovery page and the "Set Quick Search..." dialog of
// the drive page: the same controls over a FileFilter, different defaults and checks.

#include <wx/dialog.h>

#include "workspace/file_filter.h"

class wxChoice;
class wxDatePickerCtrl;
class wxTextCtrl;
class wxStaticText;

namespace velk::ui {

class FilterDialog : public wxDialog {
 public:
  enum class Kind { PageFilter, QuickSearch };
  // PageFilter edits `filter` in place on OK. QuickSearch shows a copy of `filter`, resets
  // it when it opens, and copies the edited criteria into it on OK.
  FilterDialog(wxWindow* parent, Kind kind, FileFilter& filter);

  const FileFilter& edited() const { return m_edit; }
  // Control access for tests.
  wxChoice* categoryChoice() const { return m_category; }
  wxChoice* dateModeChoice() const { return m_dateMode; }
  wxChoice* sizeModeChoice() const { return m_sizeMode; }
  wxTextCtrl* startEdit() const { return m_start; }
  wxTextCtrl* endEdit() const { return m_end; }
  wxTextCtrl* nameEdit() const { return m_name; }
  wxDatePickerCtrl* datePicker() const { return m_date; }
  wxStaticText* separator() const { return m_separator; }
  // Runs OK's checks and, when they pass, stores and closes. False when the dialog stays.
  bool tryOk();

 private:
  void updateVisibility();
  void onCategory();
  void onSizeMode();

  Kind m_kind;
  FileFilter& m_target;
  FileFilter m_edit;
  wxChoice* m_category = nullptr;
  wxChoice* m_dateMode = nullptr;
  wxDatePickerCtrl* m_date = nullptr;
  wxChoice* m_sizeMode = nullptr;
  wxTextCtrl* m_start = nullptr;
  wxTextCtrl* m_end = nullptr;
  wxStaticText* m_separator = nullptr;
  wxTextCtrl* m_name = nullptr;
};

}  // namespace velk::ui
