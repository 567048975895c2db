#include "disk/damage_log.h"

#include <algorithm>

namespace velk {

void DamageLog::unreadable(uint64_t first, uint64_t count) {
  if (count == 0) return;
  std::lock_guard lock(m_mutex);
  uint64_t last = first + count;  // one past
  // Swallow every range that overlaps or touches [first, last).
  auto it = m_ranges.upper_bound(first);
  if (it != m_ranges.begin()) {
    auto prev = std::prev(it);
    if (prev->first + prev->second >= first) it = prev;
  }
  while (it != m_ranges.end() && it->first <= last) {
    first = std::min(first, it->first);
    last = std::max(last, it->first + it->second);
    it = m_ranges.erase(it);
  }
  m_ranges.emplace(first, last - first);
}

void DamageLog::damaged(const std::string& kind) {
  std::lock_guard lock(m_mutex);
  ++m_damaged[kind];
}

std::vector<SectorRange> DamageLog::unreadableRanges() const {
  std::lock_guard lock(m_mutex);
  std::vector<SectorRange> out;
  out.reserve(m_ranges.size());
  for (const auto& [first, count] : m_ranges) out.push_back({first, count});
  return out;
}

uint64_t DamageLog::unreadableSectors() const {
  std::lock_guard lock(m_mutex);
  uint64_t n = 0;
  for (const auto& r : m_ranges) n += r.second;
  return n;
}

std::map<std::string, uint64_t> DamageLog::damagedCounts() const {
  std::lock_guard lock(m_mutex);
  return m_damaged;
}

bool DamageLog::empty() const {
  std::lock_guard lock(m_mutex);
  return m_ranges.empty() && m_damaged.empty();
}

void DamageLog::clear() {
  std::lock_guard lock(m_mutex);
  m_ranges.clear();
  m_damaged.clear();
}

std::string unreadableSummary(const DamageLog& log) {
  const auto ranges = log.unreadableRanges();
  if (ranges.empty()) return {};
  uint64_t sectors = 0;
  for (const auto& r : ranges) sectors += r.count;
  return "Unreadable: " + std::to_string(sectors) + (sectors == 1 ? " sector" : " sectors") + " in " +
         std::to_string(ranges.size()) + (ranges.size() == 1 ? " range" : " ranges") + ", first at sector " +
         std::to_string(ranges.front().first);
}

std::string damageSummary(const DamageLog& log) {
  std::string text;
  for (const auto& [kind, count] : log.damagedCounts())
    text += (text.empty() ? "Damaged or replaced: " : "; ") + std::to_string(count) + " " + kind;
  return text;
}

}  // namespace velk
