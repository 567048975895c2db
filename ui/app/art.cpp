#include "app/art.h"

#include <wx/bmpbndl.h>
#include <wx/dir.h>
#include <wx/ffile.h>
#include <wx/filename.h>
#include <wx/stdpaths.h>
#include <wx/textfile.h>
#include <wx/tokenzr.h>
#include <wx/utils.h>

namespace velk::ui {

wxString resourceDir() {
  wxString env;
  if (wxGetEnv("VELK_RESOURCES", &env) && wxDirExists(env)) return env;
  wxFileName exe(wxStandardPaths::Get().GetExecutablePath());
  for (const char* rel : {"../share/velk", "resources", "../resources", "../../resources"}) {
    wxFileName candidate(exe.GetPath() + "/" + rel, "");
    candidate.Normalize(wxPATH_NORM_DOTS | wxPATH_NORM_ABSOLUTE);
    if (wxDirExists(candidate.GetPath() + "/art")) return candidate.GetPath();
  }
  return VELK_RESOURCE_DIR;
}

Art& Art::get() {
  static Art art;
  return art;
}

Art::Art() : m_dir(resourceDir() + "/art") {
  wxTextFile table(m_dir + "/resources.tsv");
  if (!table.Open()) return;
  for (size_t i = 1; i < table.GetLineCount(); ++i) {
    wxArrayString cols = wxSplit(table.GetLine(i), '\t', 0);
    if (cols.size() < 4) continue;
    long number = 0, w = 0, h = 0;
    cols[0].ToLong(&number);
    cols[2].ToLong(&w);
    cols[3].ToLong(&h);
    Entry e;
    e.file = m_dir + "/" + cols[1];
    e.size = wxSize(int(w), int(h));
    if (cols.size() > 4) e.caption = cols[4];
    m_entries[int(number)] = e;
  }
}

const wxBitmap& Art::bitmap(int number) {
  static const wxBitmap kNone;
  auto it = m_entries.find(number);
  if (it == m_entries.end()) return kNone;
  Entry& e = it->second;
  if (!e.rendered) {
    e.rendered = true;
    wxFFile f(e.file, "rb");
    wxString svg;
    if (f.IsOpened() && f.ReadAll(&svg, wxConvUTF8)) {
      wxBitmapBundle bundle = wxBitmapBundle::FromSVG(svg.utf8_str().data(), e.size);
      if (bundle.IsOk()) e.bitmap = bundle.GetBitmap(e.size);
    }
  }
  return e.bitmap;
}

wxSize Art::size(int number) {
  auto it = m_entries.find(number);
  return it == m_entries.end() ? wxDefaultSize : it->second.size;
}

wxString Art::caption(int number) {
  auto it = m_entries.find(number);
  return it == m_entries.end() ? wxString() : it->second.caption;
}

}  // namespace velk::ui
