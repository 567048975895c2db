#include "workspace/file_types.h"

#include <map>
#include <memory>
#include <wx/artprov.h>
#include <wx/dcmemory.h>
#include <wx/image.h>
#include <wx/imaglist.h>
#include <wx/mimetype.h>

#include "workspace/file_record.h"

namespace velk::ui {
namespace {

// Our own fallback: a page with a folded corner, so a missing icon theme still shows files.
wxBitmap drawFileIcon(int size, const wxColour& accent) {
  wxBitmap bmp(size, size, 32);
  bmp.UseAlpha();
  {
    wxMemoryDC dc(bmp);
    dc.SetBackground(*wxWHITE_BRUSH);
    dc.Clear();
    const int m = size / 8, fold = size / 4;
    wxPoint page[] = {{m + 1, m / 2}, {size - m - fold, m / 2}, {size - m, m / 2 + fold}, {size - m, size - m / 2 - 1},
                      {m + 1, size - m / 2 - 1}};
    dc.SetPen(wxPen(wxColour(0x60, 0x70, 0x80)));
    dc.SetBrush(wxBrush(wxColour(0xF4, 0xF6, 0xF9)));
    dc.DrawPolygon(5, page);
    dc.SetBrush(wxBrush(accent));
    dc.SetPen(*wxTRANSPARENT_PEN);
    dc.DrawRectangle(m + 3, size / 2, size - 2 * m - 5, size / 6 + 1);
  }
  wxImage img = bmp.ConvertToImage();
  img.SetMaskColour(255, 255, 255);
  return wxBitmap(img);
}

}  // namespace

FileTypes& FileTypes::get() {
  static FileTypes types;
  return types;
}

FileTypes::FileTypes() {
  m_small = new wxImageList(16, 16, true, 8);
  wxBitmap generic = wxArtProvider::GetBitmap(wxART_NORMAL_FILE, wxART_LIST, wxSize(16, 16));
  if (!generic.IsOk() || generic.GetWidth() != 16) generic = drawFileIcon(16, wxColour(0x3a, 0x7b, 0xd5));
  m_small->Add(generic);
  m_genericLarge = wxArtProvider::GetBitmap(wxART_NORMAL_FILE, wxART_OTHER, wxSize(kLargeIcon, kLargeIcon));
  if (!m_genericLarge.IsOk() || m_genericLarge.GetWidth() != kLargeIcon)
    m_genericLarge = drawFileIcon(kLargeIcon, wxColour(0x3a, 0x7b, 0xd5));
}

FileTypes::Entry& FileTypes::lookup(const std::string& fileName) {
  const std::string ext = toLowerAscii(extensionOf(fileName));
  Entry& e = m_byExtension[ext];
  if (e.looked) return e;
  e.looked = true;
  e.large = m_genericLarge;
  if (ext.empty()) {
    e.typeName = "File";
    return e;
  }
  std::unique_ptr<wxFileType> ft(wxTheMimeTypesManager ? wxTheMimeTypesManager->GetFileTypeFromExtension(ext) : nullptr);
  wxString description;
  if (ft && ft->GetDescription(&description) && !description.empty()) e.typeName = description.utf8_string();
  if (e.typeName.empty()) {
    std::string upper = ext;
    for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
    e.typeName = upper + " File";
  }
  wxIconLocation location;
  if (ft && ft->GetIcon(&location) && location.IsOk()) {
    wxIcon icon(location);
    if (icon.IsOk()) {
      wxBitmap bmp(icon);
      wxImage img = bmp.ConvertToImage();
      if (img.IsOk()) {
        e.smallIcon = m_small->Add(wxBitmap(img.Scale(16, 16, wxIMAGE_QUALITY_HIGH)));
        e.large = wxBitmap(img.Scale(kLargeIcon, kLargeIcon, wxIMAGE_QUALITY_HIGH));
      }
    }
  }
  return e;
}

std::string FileTypes::typeName(const std::string& fileName) { return lookup(fileName).typeName; }
int FileTypes::smallIconIndex(const std::string& fileName) { return std::max(0, lookup(fileName).smallIcon); }
wxImageList* FileTypes::smallImages() { return m_small; }

int FileTypes::smallIconIndex(const std::string& fileName, Verdict verdict) {
  const int plain = smallIconIndex(fileName);
  if (verdict == Verdict::Unverified) return plain;
  auto [it, added] = m_marked.try_emplace({plain, verdict}, plain);
  if (!added) return it->second;
  // Drawn into the pixels, so the icon keeps its transparency on a selected row.
  wxImage image = m_small->GetBitmap(plain).ConvertToImage();
  if (!image.HasAlpha()) image.InitAlpha();
  const wxColour mark = verdict == Verdict::Verified ? wxColour(0x1E, 0x8E, 0x3E) : wxColour(0xC6, 0x28, 0x28);
  for (int y = 5; y < 16; ++y)
    for (int x = 5; x < 16; ++x) {
      const int d2 = (x - 11) * (x - 11) + (y - 11) * (y - 11);
      if (d2 > 25) continue;
      const wxColour c = d2 > 13 ? *wxWHITE : mark;
      image.SetRGB(x, y, c.Red(), c.Green(), c.Blue());
      image.SetAlpha(x, y, 255);
    }
  it->second = m_small->Add(wxBitmap(image));
  return it->second;
}
wxBitmap FileTypes::largeIcon(const std::string& fileName) { return lookup(fileName).large; }

}  // namespace velk::ui
