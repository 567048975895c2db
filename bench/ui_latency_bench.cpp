// How responsive the window stays while a recovery page scans a large image.
//
//   xvfb-run -a ui_latency_bench IMAGE [deleted|formatted|raw] [PARTITION]
//
// Opens the image's partition (index into `velk-cli drives`; default 0) on the recovery
// page of the task, starts the scan the way the page's timer does, and meanwhile lets a
// 10 ms timer tick in the event loop. The gaps between ticks are how long the window could
// not answer: printed while the worker scans, and for the stretch after it when the page
// builds its tree and list from the results.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
#include <wx/app.h>
#include <wx/image.h>
#include <wx/timer.h>

#include "app/home_view.h"
#include "app/main_frame.h"
#include "app/recovery_app.h"
#include "disk/drive_catalog.h"
#include "app/app_state.h"
#include "workspace/recovery_page.h"
#include "workspace/scan_options.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

class BenchApp : public velk::ui::RecoveryApp {
 public:
  bool OnInit() override {
    SetAppName("velk");
    wxInitAllImageHandlers();
    velk::ui::registerBuiltinPages();
    return true;
  }
};

int taskOf(const std::string& name) {
  if (name == "raw") return velk::kTaskRaw;
  if (name == "formatted") return velk::kTaskFormatted;
  return velk::kTaskDeleted;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

int run(const std::string& image, const std::string& taskName, int partition) {
  auto& app = wxGetApp();
  app.attachDevices({wxString::FromUTF8(image)}, false);
  velk::DriveCatalog catalog;
  catalog.Refresh();
  if (partition < 0 || partition >= catalog.PartitionCount()) {
    std::fprintf(stderr, "no partition %d on %s\n", partition, image.c_str());
    return 2;
  }
  app.state().selectPartition(catalog.PartitionAt(partition));
  velk::ui::CMainFrame* frame = app.createFrame();
  frame->Show();
  frame->view()->switchPage(velk::kCommandRecoveryPage, taskOf(taskName));
  auto* page = dynamic_cast<velk::ui::RecoveryPage*>(frame->view()->currentPage());
  if (!page) {
    std::fprintf(stderr, "the recovery page did not open\n");
    return 2;
  }

  std::vector<Clock::time_point> ticks;
  ticks.reserve(1 << 20);
  wxTimer timer;
  timer.Bind(wxEVT_TIMER, [&](wxTimerEvent&) { ticks.push_back(Clock::now()); });
  const auto start = Clock::now();
  ticks.push_back(start);
  timer.Start(10);
  page->startScan();  // returns when the worker has ended and the views are filled
  const auto end = Clock::now();
  timer.Stop();

  // Ticks stop while the page fills its views on the UI thread; the last tick before the
  // end is where that began (the progress dialog ticks until the worker ends).
  std::vector<double> gaps;
  for (size_t i = 1; i < ticks.size(); ++i) gaps.push_back(ms(ticks[i] - ticks[i - 1]));
  const double fill = ms(end - ticks.back());
  std::printf("image %s, task %s, partition %d: %zu files, scan result %d\n", image.c_str(), taskName.c_str(),
              partition, page->results().recordCount(), int(page->scanResult()));
  std::printf("total %.2f s; while scanning: %zu ticks of 10 ms, gap median %.1f ms, p99 %.1f ms, max %.1f ms\n",
              ms(end - start) / 1000, gaps.size(), percentile(gaps, 0.5), percentile(gaps, 0.99),
              gaps.empty() ? 0.0 : *std::max_element(gaps.begin(), gaps.end()));
  if (!gaps.empty()) {
    const size_t worst = size_t(std::max_element(gaps.begin(), gaps.end()) - gaps.begin());
    std::printf("longest gap ended %.0f ms after the start\n", ms(ticks[worst + 1] - start));
  }
  std::printf("after the scan: tree and list filled in %.0f ms (one stretch without ticks)\n", fill);
  frame->Destroy();
  return 0;
}

}  // namespace

wxIMPLEMENT_APP_NO_MAIN(velk::ui::RecoveryApp);

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: ui_latency_bench IMAGE [deleted|formatted|raw] [PARTITION]\n");
    return 2;
  }
  const std::string image = argv[1];
  const std::string task = argc > 2 ? argv[2] : "deleted";
  const int partition = argc > 3 ? std::atoi(argv[3]) : 0;
  wxApp::SetInstance(new BenchApp);
  int wxArgc = 1;
  if (!wxEntryStart(wxArgc, argv)) return 2;
  wxTheApp->CallOnInit();
  const int rc = run(image, task, partition);
  wxTheApp->OnExit();
  wxEntryCleanup();
  return rc;
}
