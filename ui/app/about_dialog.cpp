#include "app/about_dialog.h"

#include <bzlib.h>
#include <fmt/core.h>
#include <libewf.h>
#include <libqcow.h>
#include <libvhdi.h>
#include <libvmdk.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>
#include <wx/button.h>
#include <wx/listctrl.h>
#include <wx/platinfo.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>
#include <wx/utils.h>

#ifdef VELK_HAVE_OPENJPEG
#include <openjpeg.h>
#endif

#include "app/art.h"

#ifndef VELK_VERSION
#define VELK_VERSION "0.0.0"
#endif

namespace velk::ui {

std::vector<LibraryInfo> librariesUsed() {
  const wxPlatformInfo& platform = wxPlatformInfo::Get();
  std::vector<LibraryInfo> libs = {
      {"wxWidgets", wxGetLibraryVersionInfo().GetVersionString().AfterFirst(' '), "wxWindows Library Licence 3.1"},
      {"GTK", wxString::Format("%d.%d", platform.GetToolkitMajorVersion(), platform.GetToolkitMinorVersion()),
       "LGPL 2.1 or later"},
      {"libewf (E01)", libewf_get_version(), "LGPL 3 or later"},
      {"libvhdi (VHD, VHDX)", libvhdi_get_version(), "LGPL 3 or later"},
      {"libvmdk (VMDK)", libvmdk_get_version(), "LGPL 3 or later"},
      {"libqcow (QCOW2)", libqcow_get_version(), "LGPL 3 or later"},
      {"zlib", zlibVersion(), "zlib licence"},
      {"bzip2", wxString(BZ2_bzlibVersion()).BeforeFirst(','), "bzip2 licence (BSD style)"},
      {"liblzma (xz)", lzma_version_string(), "public domain"},
      {"zstd", ZSTD_versionString(), "BSD 3-clause"},
#ifdef VELK_HAVE_OPENJPEG
      {"OpenJPEG", opj_version(), "BSD 2-clause"},
#endif
      {"libexif", "", "LGPL 2.1 or later"},
      {"libjpeg-turbo", "", "IJG, BSD 3-clause, zlib"},
      {"{fmt}", wxString::Format("%d.%d.%d", FMT_VERSION / 10000, FMT_VERSION / 100 % 100, FMT_VERSION % 100), "MIT"},
  };
  return libs;
}

AboutDialog::AboutDialog(wxWindow* parent)
    : wxDialog(parent, wxID_ANY, "About Velk File Recovery", wxDefaultPosition, wxDefaultSize, wxDEFAULT_DIALOG_STYLE) {
  SetName("AboutDialog");
  auto* top = new wxBoxSizer(wxVERTICAL);
  auto* head = new wxBoxSizer(wxHORIZONTAL);
  auto* title = new wxStaticText(this, wxID_ANY, "Velk File Recovery");
  wxFont big = title->GetFont();
  big.SetPointSize(big.GetPointSize() + 4);
  big.SetWeight(wxFONTWEIGHT_BOLD);
  title->SetFont(big);
  auto* lines = new wxBoxSizer(wxVERTICAL);
  lines->Add(title);
  lines->Add(new wxStaticText(this, wxID_ANY, "Version " VELK_VERSION), 0, wxTOP, 4);
  lines->Add(new wxStaticText(this, wxID_ANY,
                              "Finds deleted, formatted and lost files and partitions, and copies them out\n"
                              "byte-exact without ever writing to the disk it examines."),
             0, wxTOP, 8);
  head->Add(lines, 1);
  top->Add(head, 0, wxALL | wxEXPAND, 14);

  auto* licence = new wxStaticText(
      this, wxID_ANY,
      "Licence: this build carries no licence grant of its own yet; the libraries below keep theirs.");
  licence->Wrap(560);
  top->Add(licence, 0, wxLEFT | wxRIGHT | wxBOTTOM, 14);
  top->Add(new wxStaticText(this, wxID_ANY, "Libraries used:"), 0, wxLEFT | wxRIGHT, 14);

  m_libraries = new wxListCtrl(this, wxID_ANY, wxDefaultPosition, wxSize(560, 0), wxLC_REPORT | wxLC_SINGLE_SEL | wxBORDER_THEME);
  m_libraries->AppendColumn("Library", wxLIST_FORMAT_LEFT, 170);
  m_libraries->AppendColumn("Version", wxLIST_FORMAT_LEFT, 100);
  m_libraries->AppendColumn("Licence", wxLIST_FORMAT_LEFT, 260);
  for (const LibraryInfo& lib : librariesUsed()) {
    const long row = m_libraries->InsertItem(m_libraries->GetItemCount(), lib.name);
    m_libraries->SetItem(row, 1, lib.version.empty() ? wxString("–") : lib.version);
    m_libraries->SetItem(row, 2, lib.licence);
  }
  // Every library in sight without scrolling.
  wxRect first;
  const int rowHeight = m_libraries->GetItemRect(0, first) ? first.height : 22;
  m_libraries->SetMinSize(wxSize(560, rowHeight * (m_libraries->GetItemCount() + 1) + 12));
  top->Add(m_libraries, 1, wxLEFT | wxRIGHT | wxTOP | wxEXPAND, 14);
  auto* ok = new wxButton(this, wxID_OK, "OK");
  ok->SetDefault();
  top->Add(ok, 0, wxALIGN_RIGHT | wxALL, 14);
  SetSizerAndFit(top);
  SetEscapeId(wxID_OK);
  ok->SetFocus();
  CentreOnParent();
}

}  // namespace velk::ui
