#pragma once
// "SetQuickOptions...": the sector range, the size limit and the file types of a raw scan.
// The checks and the type rows come from the raw engine's option logic; this is the window.

#include <vector>
#include <wx/dialog.h>

#include "engines/raw/raw_options.h"
#include "engines/raw/signature_catalog.h"

class wxCheckBox;
class wxListCtrl;
class wxTextCtrl;
class wxStaticText;

namespace velk {
struct AppState;
}

namespace velk::ui {

// The catalogue the RAW options and scans share for the process's lifetime (the
// application's RAW type list); loaded from "rp.dat" on first use.
SignatureCatalog& rawCatalog();

class RawOptionsDialog : public wxDialog {
 public:
  RawOptionsDialog(wxWindow* parent, const RawOptionsLimits& limits, const RawOptionsValues& values,
                   SignatureCatalog& catalog, bool nameFromContent = false);

  // OK's checks; on success the catalogue takes the check boxes and the dialog closes.
  // False (with the message shown) when the dialog stays open.
  bool tryOk();
  const RawOptionsValues& values() const { return m_values; }
  // "Name files from their content": carved files take a name from their own metadata
  // (EXIF date and camera, document title, artist and title); File%d stays the default.
  wxCheckBox* nameFromContentBox() const { return m_nameFromContent; }

  wxTextCtrl* startEdit() const { return m_start; }
  wxTextCtrl* endEdit() const { return m_end; }
  wxTextCtrl* sizeEdit() const { return m_size; }
  wxListCtrl* typeList() const { return m_types; }
  void setAllChecked(bool checked);

 private:
  void showValues();

  RawOptionsLimits m_limits;
  RawOptionsValues m_values;
  SignatureCatalog& m_catalog;
  std::vector<RawTypeItem> m_items;
  wxTextCtrl* m_size = nullptr;
  wxTextCtrl* m_start = nullptr;
  wxTextCtrl* m_end = nullptr;
  wxListCtrl* m_types = nullptr;
  wxCheckBox* m_nameFromContent = nullptr;
};

// Opens the dialog over the application's state and takes the values on OK (the drive
// page's Option button in the RAW task). Modeless returns the shown dialog (screenshots).
wxDialog* openRawOptions(wxWindow* parent, AppState& app, bool modeless);

}  // namespace velk::ui
