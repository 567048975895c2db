#pragma once
// The time lines of the progress dialog: elapsed time since the job started and an
// estimate of the time left from the found current count and found total.

#include <cstdint>
#include <string>

namespace velk {

// "Elapsed Time : %.2d:%.2d:%.2d"; the hours field wraps at 24.
std::string elapsedText(uint64_t seconds);

// Seconds left: (t − c) × s ÷ max(c, 1) + 1, in 64 bits, with t − c taken as 0 once the
// count passes the total (a job that finds more than it announced).
uint64_t remainingSeconds(uint64_t current, uint64_t total, uint64_t seconds);
// "Remaining Time : %.2d:%.2d:%.2d"; hours are not reduced.
std::string remainingText(uint64_t seconds);

// The remaining-time line of one job. Mode 0 recomputes every tick; mode 2 (a FAT32
// deleted-file scan, whose total is only an upper bound) only when the count moved and
// is still below the total.
class RemainingClock {
 public:
  explicit RemainingClock(int mode = 0) : m_mode(mode) {}
  // One timer tick; true when the text changed.
  bool tick(uint64_t current, uint64_t total, uint64_t seconds);
  const std::string& text() const { return m_text; }

 private:
  int m_mode;
  uint64_t m_lastSeen = UINT64_MAX;
  std::string m_text;
};

}  // namespace velk
