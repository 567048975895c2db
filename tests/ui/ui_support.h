#pragma once
// Helpers of the desktop tests: bounded waits, a modal-dialog hook that answers message
// boxes and overwrite questions, a folder chooser, and opening a recovery page on a
// fixture image.

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>
#include <wx/modalhook.h>

#include "workspace/overwrite.h"
#include "workspace/recovery_page.h"

namespace velk::ui {
class CMainFrame;
}

namespace velk::test {

// Runs the event loop until pred holds or timeoutMs pass; returns pred's last value.
bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 10000);

struct SeenDialog {
  std::string kind;  // "message", "overwrite", "progress", "summary", "other"
  std::string text;
  std::string caption;
  long style = 0;    // message boxes: their wxOK, wxYES_NO, wxICON_... bits
};

// Answers the modal dialogs that a job opens: message boxes by their text from
// `messageAnswers`, else OK (No for a Yes/No question, so nothing is ever agreed to by
// accident); overwrite questions from a script (then the fallback); everything else runs
// normally.
class DialogAnswerer : public wxModalDialogHook {
 public:
  DialogAnswerer() { Register(); }
  ~DialogAnswerer() override { Unregister(); }
  std::map<std::string, int> messageAnswers;  // text → wxID_OK, wxID_CANCEL, wxID_YES, wxID_NO
  std::vector<OverwriteChoice> overwriteScript;
  OverwriteChoice overwriteFallback = OverwriteChoice::Yes;
  std::function<void(wxDialog*)> onProgressShown;
  std::vector<SeenDialog> seen;
  size_t count(const std::string& kind) const;
  std::vector<std::string> messages() const;

 protected:
  int Enter(wxDialog* dialog) override;
  void Exit(wxDialog*) override {}
};

class FixedFolder : public ui::FolderChooser {
 public:
  explicit FixedFolder(std::filesystem::path p) : path(std::move(p)) {}
  bool choose(wxWindow*, wxString& out) override {
    if (path.empty()) return false;
    out = wxString::FromUTF8(path.string());
    return true;
  }
  std::filesystem::path path;
};

// Attaches an image, selects its first partition with one of the file-system names
// (any partition for an empty list) and opens the recovery page for the task.
ui::RecoveryPage* openRecoveryPage(ui::CMainFrame* frame, const std::filesystem::path& image,
                                   std::vector<std::string> fsNames, int task, bool scan = true);

}  // namespace velk::test
