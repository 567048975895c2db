#include "workspace/progress_clock.h"

#include <cstdio>

namespace velk {

std::string elapsedText(uint64_t s) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "Elapsed Time : %.2d:%.2d:%.2d", int(s / 3600 % 24), int(s / 60 % 60), int(s % 60));
  return buf;
}

uint64_t remainingSeconds(uint64_t current, uint64_t total, uint64_t seconds) {
  const uint64_t left = total > current ? total - current : 0;
  const uint64_t d = current ? current : 1;
  return left * seconds / d + 1;
}

std::string remainingText(uint64_t e) {
  char buf[80];
  std::snprintf(buf, sizeof buf, "Remaining Time : %.2llu:%.2d:%.2d", (unsigned long long)(e / 3600),
                int(e % 3600 / 60), int(e % 3600 % 60));
  return buf;
}

bool RemainingClock::tick(uint64_t current, uint64_t total, uint64_t seconds) {
  if (m_mode == 2 && (current >= total || current == m_lastSeen)) return false;
  std::string text = remainingText(remainingSeconds(current, total, seconds));
  m_lastSeen = current;
  if (text == m_text) return false;
  m_text = std::move(text);
  return true;
}

}  // namespace velk
