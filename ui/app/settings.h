#pragma once
// The little the desktop app remembers between runs: the disk images opened lately and
// the last folders used. One small file: $VELK_CONFIG, else $XDG_CONFIG_HOME/velk/settings
// (~/.config/velk/settings). Nothing about a scanned disk is ever stored.

#include <memory>
#include <vector>
#include <wx/string.h>

class wxFileConfig;

namespace velk::ui {

class Settings {
 public:
  static constexpr size_t kRecentImages = 4;

  static Settings& get();
  // Re-reads from the file the environment names now (tests point it elsewhere).
  static void reload();
  ~Settings();

  // Most recent first.
  std::vector<wxString> recentImages() const;
  // Moves or adds the path to the front and keeps the newest kRecentImages.
  void addRecentImage(const wxString& path);

  // The last folder used for a purpose ("recovery", "images"); "" when none is known.
  wxString folder(const wxString& purpose) const;
  void setFolder(const wxString& purpose, const wxString& path);

 private:
  Settings();
  std::unique_ptr<wxFileConfig> m_config;
};

}  // namespace velk::ui
