#pragma once
// ProgressDialog: shown modally while a page's worker runs; its timers show the shared
// progress fields. Cancel only tells the page; the worker closes the dialog when it stops.

#include <functional>
#include <wx/dialog.h>
#include <wx/timer.h>

#include "workspace/progress.h"
#include "workspace/progress_clock.h"

class wxGauge;
class wxStaticText;
class wxButton;

namespace velk::ui {

class ProgressDialog : public wxDialog {
 public:
  static constexpr int kTimerBar = 104, kTimerClock = 105;

  // `onCancel` is the page's WM_PAGE_CANCEL handler.
  ProgressDialog(wxWindow* parent, Progress& progress, std::function<void()> onCancel);

  void setTitleText(const wxString& title);
  wxString titleText() const;
  // 0 normally, 2 for a FAT32 deleted-file scan (remaining time only when the count moves).
  void setMode(int mode) { m_mode = mode; }

  // Shows the dialog for one job. Counters are reset by the page before its worker starts,
  // so a total the worker sets at once is not lost here.
  int ShowModal() override;
  // Called on the user-interface thread when the worker has ended.
  void finish();
  // Shows the dialog without a modal loop (screenshots).
  void showForTour();

  // What the user sees (tests).
  wxString statusText() const;
  wxString elapsedLine() const;
  wxString remainingLine() const;
  wxGauge* gauge() const { return m_gauge; }
  wxButton* cancelButton() const { return m_cancel; }
  // One tick of each timer (tests drive them without waiting).
  void tickBar();
  void tickClock();

 private:
  void start();
  void placeOverParent();
  void onPaint(wxPaintEvent&);

  Progress& m_progress;
  std::function<void()> m_onCancel;
  int m_mode = 0;
  RemainingClock m_clock;
  wxLongLong m_startMs = 0;
  wxStaticText* m_title = nullptr;
  wxStaticText* m_status = nullptr;
  wxGauge* m_gauge = nullptr;
  wxStaticText* m_elapsed = nullptr;
  wxStaticText* m_remaining = nullptr;
  wxButton* m_cancel = nullptr;
  wxTimer m_barTimer;
  wxTimer m_clockTimer;
};

}  // namespace velk::ui
