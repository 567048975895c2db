#pragma once
// Desktop type names and small icons by file name (extension only; the disk is never
// touched), cached per extension because a list of many files asks for few extensions.

#include <map>
#include <string>
#include <wx/bitmap.h>
#include <wx/icon.h>

#include "workspace/file_record.h"

class wxImageList;

namespace velk::ui {

class FileTypes {
 public:
  static FileTypes& get();

  // "JPEG image" and the like from the MIME database; "<EXT> File" when it has none,
  // "File" for a name without extension.
  std::string typeName(const std::string& fileName);
  // Index into smallImages() of the name's icon (0: the generic file icon).
  int smallIconIndex(const std::string& fileName);
  // The same icon with the verdict's mark in its corner (green: verified, red: damaged;
  // unverified files keep the plain icon).
  int smallIconIndex(const std::string& fileName, Verdict verdict);
  wxImageList* smallImages();
  static constexpr int kLargeIcon = 48;
  // A kLargeIcon-sized icon: the tile of a file that shows no picture in the Icons view.
  wxBitmap largeIcon(const std::string& fileName);

 private:
  FileTypes();
  struct Entry {
    std::string typeName;
    int smallIcon = 0;
    wxBitmap large;
    bool looked = false;
  };
  Entry& lookup(const std::string& fileName);

  std::map<std::string, Entry> m_byExtension;
  std::map<std::pair<int, Verdict>, int> m_marked;
  wxImageList* m_small = nullptr;
  wxBitmap m_genericLarge;
};

}  // namespace velk::ui
