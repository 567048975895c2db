#include "app/settings.h"

#include <wx/fileconf.h>
#include <wx/filename.h>
#include <wx/utils.h>

namespace velk::ui {
namespace {

wxString settingsFile() {
  wxString path;
  if (wxGetEnv("VELK_CONFIG", &path) && !path.empty()) return path;
  wxString base;
  if (!wxGetEnv("XDG_CONFIG_HOME", &base) || base.empty()) base = wxGetHomeDir() + "/.config";
  return base + "/velk/settings";
}

std::unique_ptr<Settings>& instance() {
  static std::unique_ptr<Settings> settings;
  return settings;
}

}  // namespace

Settings& Settings::get() {
  if (!instance()) instance().reset(new Settings());
  return *instance();
}

void Settings::reload() { instance().reset(); }

Settings::Settings() {
  const wxString file = settingsFile();
  wxFileName::Mkdir(wxFileName(file).GetPath(), wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL);
  m_config = std::make_unique<wxFileConfig>("velk", wxEmptyString, file, wxEmptyString, wxCONFIG_USE_LOCAL_FILE);
}

Settings::~Settings() = default;

std::vector<wxString> Settings::recentImages() const {
  std::vector<wxString> out;
  for (size_t i = 0; i < kRecentImages; ++i) {
    wxString path;
    if (m_config->Read(wxString::Format("/RecentImages/%zu", i), &path) && !path.empty()) out.push_back(path);
  }
  return out;
}

void Settings::addRecentImage(const wxString& path) {
  std::vector<wxString> list{path};
  for (const wxString& p : recentImages())
    if (p != path && list.size() < kRecentImages) list.push_back(p);
  m_config->DeleteGroup("/RecentImages");
  for (size_t i = 0; i < list.size(); ++i) m_config->Write(wxString::Format("/RecentImages/%zu", i), list[i]);
  m_config->Flush();
}

wxString Settings::folder(const wxString& purpose) const {
  wxString path;
  m_config->Read("/Folders/" + purpose, &path);
  return path;
}

void Settings::setFolder(const wxString& purpose, const wxString& path) {
  m_config->Write("/Folders/" + purpose, path);
  m_config->Flush();
}

}  // namespace velk::ui
