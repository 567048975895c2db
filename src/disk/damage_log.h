#pragma once
// What a scan could not read or could not trust. Unreadable sectors are kept as merged
// ranges of absolute disk sectors; damaged structures (a record whose fixups do not match,
// a runlist that breaks off) are counted by kind. The scan's worker writes, the page or the
// command line reads when the scan has ended (or while it runs: every call locks).

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace velk {

struct SectorRange {
  uint64_t first = 0;
  uint64_t count = 0;
  bool operator==(const SectorRange&) const = default;
};

class DamageLog {
 public:
  // Sectors [first, first + count) could not be read.
  void unreadable(uint64_t first, uint64_t count);
  // One more structure of this kind failed its checks ("MFT records whose fixups do not
  // match", …); the kind is a plural phrase that completes "n …".
  void damaged(const std::string& kind);

  std::vector<SectorRange> unreadableRanges() const;
  uint64_t unreadableSectors() const;
  std::map<std::string, uint64_t> damagedCounts() const;
  bool empty() const;
  void clear();

 private:
  mutable std::mutex m_mutex;
  std::map<uint64_t, uint64_t> m_ranges;  // first → count, never overlapping or touching
  std::map<std::string, uint64_t> m_damaged;
};

// "Unreadable: 16 sectors in 1 range, first at sector 1049600" (empty when nothing was).
std::string unreadableSummary(const DamageLog& log);

// "Damaged or replaced: 1 NTFS boot sectors replaced by the backup; 3 MFT records whose
// fixups do not match" — the structures that failed their checks and the copies used in
// their place (empty when none).
std::string damageSummary(const DamageLog& log);

}  // namespace velk
