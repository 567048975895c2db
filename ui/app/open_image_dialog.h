#pragma once
// "Open disk image": a file to attach as a drive for the rest of the session, typed,
// browsed for or taken from the list of recent images. Open attaches it (every container
// the device layer reads: raw, E01, VHD, VHDX, VMDK, QCOW2); a file that cannot be
// attached says why and the dialog stays open. Nothing is ever written to the image.

#include <wx/dialog.h>

class wxListBox;
class wxTextCtrl;

namespace velk::ui {

class OpenImageDialog : public wxDialog {
 public:
  explicit OpenImageDialog(wxWindow* parent);

  wxTextCtrl* pathEdit() const { return m_path; }
  wxListBox* recentList() const { return m_recent; }
  // Attaches the typed path; false (with the reason shown) when the dialog stays open.
  bool tryOpen();
  const wxString& opened() const { return m_opened; }

 private:
  void browse();

  wxTextCtrl* m_path = nullptr;
  wxListBox* m_recent = nullptr;
  wxString m_opened;
};

// Shows the dialog; true when an image was attached (the caller refreshes its drives).
bool openDiskImage(wxWindow* parent);

}  // namespace velk::ui
