#pragma once
// The application's artwork: SVG files named by purpose under resources/art, looked up by
// the resource numbers the pages use (resources/art/resources.tsv), rendered once each.

#include <map>
#include <wx/bitmap.h>
#include <wx/string.h>

namespace velk::ui {

class Art {
 public:
  static Art& get();

  // The bitmap of a resource number at its table size (an empty bitmap when unknown).
  const wxBitmap& bitmap(int number);
  wxSize size(int number);
  // The caption painted over the bitmap ("Title|Subtitle" for task cards).
  wxString caption(int number);
  bool has(int number) const { return m_entries.count(number) != 0; }

 private:
  Art();
  struct Entry {
    wxString file;
    wxSize size;
    wxString caption;
    wxBitmap bitmap;
    bool rendered = false;
  };
  std::map<int, Entry> m_entries;
  wxString m_dir;
};

// Folder holding the program's resources (art, rp.dat, help).
wxString resourceDir();

}  // namespace velk::ui
