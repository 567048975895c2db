#include "ui/ui_support.h"

#include <wx/app.h>
#include <wx/msgdlg.h>
#include <wx/utils.h>

#include "app/home_view.h"
#include "app/main_frame.h"
#include "app/recovery_app.h"
#include "disk/drive_catalog.h"
#include "workspace/overwrite_dialog.h"
#include "workspace/progress_dialog.h"
#include "workspace/recovery_dialogs.h"

namespace velk::test {

bool WaitFor(const std::function<bool()>& pred, int timeoutMs) {
  const wxLongLong end = wxGetLocalTimeMillis() + timeoutMs;
  while (!pred()) {
    if (wxGetLocalTimeMillis() > end) return pred();
    wxTheApp->Yield(true);
    wxMilliSleep(5);
  }
  return true;
}

size_t DialogAnswerer::count(const std::string& kind) const {
  size_t n = 0;
  for (const auto& d : seen) n += d.kind == kind;
  return n;
}

std::vector<std::string> DialogAnswerer::messages() const {
  std::vector<std::string> out;
  for (const auto& d : seen)
    if (d.kind == "message") out.push_back(d.text);
  return out;
}

int DialogAnswerer::Enter(wxDialog* dialog) {
  if (auto* box = dynamic_cast<wxMessageDialog*>(dialog)) {
    const long style = box->GetMessageDialogStyle();
    seen.push_back({"message", box->GetMessage().utf8_string(), box->GetTitle().utf8_string(), style});
    auto answer = messageAnswers.find(seen.back().text);
    if (answer != messageAnswers.end()) return answer->second;
    return (style & wxYES_NO) ? wxID_NO : wxID_OK;
  }
  if (auto* question = dynamic_cast<ui::OverwriteDialog*>(dialog)) {
    seen.push_back({"overwrite", question->message().utf8_string(), question->GetTitle().utf8_string()});
    OverwriteChoice c = overwriteFallback;
    if (!overwriteScript.empty()) {
      c = overwriteScript.front();
      overwriteScript.erase(overwriteScript.begin());
    }
    switch (c) {
      case OverwriteChoice::Yes: return wxID_YES;
      case OverwriteChoice::YesToAll: return ui::OverwriteDialog::kYesToAll;
      case OverwriteChoice::No: return wxID_NO;
      case OverwriteChoice::Cancel: return wxID_CANCEL;
    }
  }
  if (auto* summary = dynamic_cast<ui::RecoverySummaryDialog*>(dialog)) {
    seen.push_back({"summary", summary->summary().utf8_string(), summary->GetTitle().utf8_string()});
    return wxID_CLOSE;
  }
  if (auto* progress = dynamic_cast<ui::ProgressDialog*>(dialog)) {
    seen.push_back({"progress", progress->titleText().utf8_string(), ""});
    if (onProgressShown) onProgressShown(dialog);
    return wxID_NONE;
  }
  seen.push_back({"other", dialog->GetTitle().utf8_string(), ""});
  return wxID_NONE;
}

ui::RecoveryPage* openRecoveryPage(ui::CMainFrame* frame, const std::filesystem::path& image,
                                   std::vector<std::string> fsNames, int task, bool scan) {
  wxGetApp().attachDevices({wxString::FromUTF8(image.string())}, false);
  DriveCatalog catalog;
  catalog.Refresh();
  bool found = false;
  for (int i = 0; i < catalog.PartitionCount() && !found; ++i) {
    const PartitionRecord& r = catalog.PartitionAt(i);
    for (const auto& n : fsNames) found = found || r.fsNameText() == n;
    if (fsNames.empty()) found = true;
    if (found) wxGetApp().state().selectPartition(r);
  }
  if (!found) return nullptr;
  frame->view()->switchPage(kCommandRecoveryPage, task);
  auto* page = dynamic_cast<ui::RecoveryPage*>(frame->view()->currentPage());
  if (page && scan) page->startScan();
  return page;
}

}  // namespace velk::test
