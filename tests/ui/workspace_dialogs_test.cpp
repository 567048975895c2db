// The workspace dialogs on their own: progress lines, the overwrite answers and the RAW
// options checks.

#include <gtest/gtest.h>

#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/listctrl.h>
#include <wx/textctrl.h>

#include "app/recovery_app.h"
#include "ui/ui_support.h"
#include "workspace/overwrite_dialog.h"
#include "workspace/progress_dialog.h"
#include "workspace/raw_options_dialog.h"

namespace velk::test {
namespace {

using ui::OverwriteDialog;

TEST(WorkspaceDialogs, ProgressDialogShowsTheSharedFieldsAndOnlyAsksToCancel) {
  Progress progress;
  int cancels = 0;
  auto* dlg = new ui::ProgressDialog(nullptr, progress, [&] { ++cancels; });
  dlg->setTitleText("Scanning Deleted Files ...");
  progress.foundTotal = 40;
  progress.foundCurrent = 10;
  progress.setStatus("Found Deleted Files : 10");
  dlg->showForTour();
  EXPECT_EQ(dlg->titleText(), "Scanning Deleted Files ...");
  EXPECT_EQ(dlg->statusText(), "Found Deleted Files : 10");
  EXPECT_EQ(dlg->gauge()->GetRange(), 40);
  EXPECT_EQ(dlg->gauge()->GetValue(), 10);
  EXPECT_EQ(dlg->elapsedLine(), "Elapsed Time : 00:00:00");
  // 30 × 0 s ÷ 10 + 1.
  EXPECT_EQ(dlg->remainingLine(), "Remaining Time : 00:00:01");
  // A zero total leaves the bar alone.
  progress.foundTotal = 0;
  progress.foundCurrent = 3;
  dlg->tickBar();
  EXPECT_EQ(dlg->gauge()->GetValue(), 10);
  wxCommandEvent click(wxEVT_BUTTON, 1037);
  dlg->cancelButton()->GetEventHandler()->ProcessEvent(click);
  EXPECT_EQ(cancels, 1);
  EXPECT_TRUE(dlg->IsShown());  // the worker closes it, not the button
  dlg->finish();
  EXPECT_FALSE(dlg->IsShown());
  dlg->Destroy();
}

TEST(WorkspaceDialogs, OverwriteButtonsGiveTheirChoices) {
  struct Case {
    int button;
    OverwriteChoice choice;
  };
  for (Case c : {Case{wxID_YES, OverwriteChoice::Yes}, Case{OverwriteDialog::kYesToAll, OverwriteChoice::YesToAll},
                 Case{wxID_NO, OverwriteChoice::No}, Case{wxID_CANCEL, OverwriteChoice::Cancel}}) {
    OverwriteDialog dlg(nullptr, "beach.jpg");
    EXPECT_EQ(dlg.message(), "This folder already contains a file named 'beach.jpg'");
    EXPECT_EQ(dlg.GetTitle(), "Confirm File Overwrite");
    dlg.CallAfter([&dlg, c] {
      wxWindow* b = dlg.FindWindow(c.button);
      ASSERT_NE(b, nullptr);
      wxCommandEvent click(wxEVT_BUTTON, c.button);
      click.SetEventObject(b);
      b->GetEventHandler()->ProcessEvent(click);
    });
    dlg.ShowModal();
    EXPECT_EQ(dlg.choice(), c.choice) << c.button;
  }
  EXPECT_EQ(OverwriteDialog::choiceFor(wxID_CLOSE), OverwriteChoice::Cancel);
}

SignatureCatalog threeJpegSignaturesAndPng() {
  SignatureCatalog catalog;
  auto& e = catalog.entries();
  for (const char* ext : {"jpg", "jpg", "jpg"}) {
    SignatureEntry s;
    s.extension = ext;
    s.description = "JPEG Image";
    e.push_back(s);
  }
  SignatureEntry png;
  png.extension = "png";
  png.description = "PNG Image";
  e.push_back(png);
  return catalog;
}

TEST(WorkspaceDialogs, RawOptionsChecksTheRangeAndAppliesTypesPerDescription) {
  DialogAnswerer answers;
  SignatureCatalog catalog = threeJpegSignaturesAndPng();
  ui::RawOptionsDialog dlg(nullptr, RawOptionsLimits{2048, 83968}, RawOptionsValues{2048, 83968, 512000}, catalog);
  EXPECT_EQ(dlg.GetTitle(), "SetQuickOptions...");
  ASSERT_EQ(dlg.typeList()->GetItemCount(), 2);  // one row per description
  EXPECT_EQ(dlg.typeList()->GetItemText(0, 1), "JPEG Image");

  // Equal start and end: refused, the start shows the lowest start again.
  dlg.startEdit()->ChangeValue("5000");
  dlg.endEdit()->ChangeValue("5000");
  EXPECT_FALSE(dlg.tryOk());
  EXPECT_EQ(answers.messages().back(), "Start sector must be less than end sector");
  EXPECT_EQ(dlg.startEdit()->GetValue(), "2048");
  dlg.endEdit()->ChangeValue("90000");
  EXPECT_FALSE(dlg.tryOk());
  EXPECT_EQ(answers.messages().back(), "End sector is not valid. This must be less than 83968");
  EXPECT_EQ(dlg.endEdit()->GetValue(), "83968");

  // Unchecking JPEG disables its three signatures; the start equal to the lowest is fine.
  dlg.typeList()->CheckItem(0, false);
  dlg.sizeEdit()->ChangeValue("0");
  EXPECT_TRUE(dlg.tryOk());
  EXPECT_EQ(dlg.values().maxSizeKb, 0u);
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(catalog.entries()[i].enabled);
  EXPECT_TRUE(catalog.entries()[3].enabled);

  ui::RawOptionsDialog again(nullptr, RawOptionsLimits{2048, 83968}, RawOptionsValues{2048, 83968, 100}, catalog);
  EXPECT_FALSE(again.typeList()->IsItemChecked(0));
  again.setAllChecked(false);
  EXPECT_TRUE(again.tryOk());
  EXPECT_EQ(catalog.enabledCount(), 0u);
}

}  // namespace
}  // namespace velk::test
