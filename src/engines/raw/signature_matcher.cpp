#include "engines/raw/signature_matcher.h"

#include <algorithm>
#include <cstring>

namespace velk {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;  // upper case and everything else never equals a "%02x" digit
}

constexpr size_t kMaxProbeCursors = kRawSectorSize;

}  // namespace

bool CompiledPattern::matches(const uint8_t* sector) const {
  const uint8_t* p = sector + sectorOffset;
  for (const auto& alt : alternatives) {
    const size_t n = alt.bytes.size();
    if (n != 0 && std::memcmp(p, alt.bytes.data(), n) != 0) continue;
    if (alt.hasNibble && (p[n] & 0xF0) != alt.nibble) continue;
    return true;
  }
  return false;
}

std::optional<CompiledPattern> compilePattern(std::string_view text, uint32_t offset) {
  if (text.empty()) return std::nullopt;
  CompiledPattern out;
  out.sectorIndex = offset / kRawSectorSize;
  out.sectorOffset = offset % kRawSectorSize;
  size_t start = 0;
  while (true) {
    const size_t bar = text.find('|', start);
    const std::string_view alt = text.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start);
    if (alt.empty()) return std::nullopt;
    CompiledAlternative c;
    bool possible = true;
    for (size_t i = 0; i + 1 < alt.size(); i += 2) {
      const int hi = hexValue(alt[i]), lo = hexValue(alt[i + 1]);
      if (hi < 0 || lo < 0) possible = false;
      c.bytes.push_back(uint8_t((std::max(hi, 0) << 4) | std::max(lo, 0)));
    }
    if (alt.size() % 2 == 1) {
      const int hi = hexValue(alt.back());
      if (hi < 0) possible = false;
      c.hasNibble = true;
      c.nibble = uint8_t(std::max(hi, 0) << 4);
    }
    if (possible && out.sectorOffset + c.span() <= kRawSectorSize) out.alternatives.push_back(std::move(c));
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
  return out;
}

SignatureMatcher::SignatureMatcher(const SignatureCatalog& catalog) {
  const auto& entries = catalog.entries();
  for (size_t i = 0; i < entries.size(); ++i) {
    const SignatureEntry& se = entries[i];
    if (!se.enabled || se.patternCount < 1 || se.patternCount > kMaxPatterns) continue;
    Entry e;
    e.catalogIndex = uint32_t(i);
    e.patternCount = se.patternCount;
    bool ok = true;
    for (int k = 0; k < se.patternCount && ok; ++k) {
      if (se.offsets[size_t(k)] < 0) {
        ok = false;
        break;
      }
      auto p = compilePattern(se.patterns[size_t(k)], uint32_t(se.offsets[size_t(k)]));
      if (!p) ok = false;
      else e.patterns[size_t(k)] = std::move(*p);
    }
    if (ok) m_entries.push_back(std::move(e));
  }

  // Index by the first byte of every alternative of the first pattern, per position.
  std::vector<uint32_t> positions;
  for (const auto& e : m_entries) positions.push_back(e.patterns[0].sectorOffset);
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
  for (uint32_t pos : positions) {
    std::array<std::vector<uint32_t>, 256> lists;
    for (uint32_t idx = 0; idx < m_entries.size(); ++idx) {
      const CompiledPattern& first = m_entries[idx].patterns[0];
      if (first.sectorOffset != pos) continue;
      for (const auto& alt : first.alternatives) {
        if (!alt.bytes.empty()) {
          lists[alt.bytes[0]].push_back(idx);
        } else {
          for (int low = 0; low < 16; ++low) lists[size_t(alt.nibble | low)].push_back(idx);
        }
      }
    }
    Probe probe;
    probe.position = pos;
    for (size_t b = 0; b < 256; ++b) {
      auto& l = lists[b];
      std::sort(l.begin(), l.end());
      l.erase(std::unique(l.begin(), l.end()), l.end());
      probe.begin[b] = uint32_t(probe.candidates.size());
      probe.candidates.insert(probe.candidates.end(), l.begin(), l.end());
    }
    probe.begin[256] = uint32_t(probe.candidates.size());
    if (!probe.candidates.empty()) m_probes.push_back(std::move(probe));
  }
}

int SignatureMatcher::testEntry(const Entry& e, int q, const uint8_t* sector, uint32_t& back,
                                int& nextPattern) const {
  const CompiledPattern& head = e.patterns[size_t(q)];
  if (!head.matches(sector)) return kNoHeader;
  for (int j = q + 1; j < e.patternCount; ++j) {
    const CompiledPattern& p = e.patterns[size_t(j)];
    if (p.sectorIndex != head.sectorIndex) {
      nextPattern = j;  // the rest lies in the next sector
      return kPartialHeader;
    }
    if (!p.matches(sector)) return kNoHeader;
  }
  back = head.sectorIndex * kRawSectorSize;
  return kHeader;
}

SectorMatch SignatureMatcher::testSector(const uint8_t* sector, MatchState& state) const {
  SectorMatch out;
  uint32_t back = 0;
  int next = 0;
  // First the header carried over from the previous sector, at its next pattern.
  if (state.entry >= 0 && size_t(state.entry) < m_entries.size() && state.patternIndex > 0 &&
      state.patternIndex < m_entries[size_t(state.entry)].patternCount) {
    const Entry& e = m_entries[size_t(state.entry)];
    const int r = testEntry(e, state.patternIndex, sector, back, next);
    if (r == kHeader) {
      state.reset();
      return {kHeader, int32_t(e.catalogIndex), back};
    }
    if (r == kPartialHeader) {  // unreachable with checked catalogues: later patterns span two sectors
      state.patternIndex = next;
      return {kPartialHeader, int32_t(e.catalogIndex), 0};
    }
  }
  state.reset();

  // Then every entry from the first, in catalogue order, among the indexed candidates.
  struct Cursor {
    const uint32_t* it;
    const uint32_t* end;
  };
  Cursor cursors[kMaxProbeCursors];
  size_t live = 0;
  for (const Probe& probe : m_probes) {
    const uint8_t b = sector[probe.position];
    const uint32_t from = probe.begin[b], to = probe.begin[size_t(b) + 1];
    if (from != to) cursors[live++] = {probe.candidates.data() + from, probe.candidates.data() + to};
  }
  while (live > 0) {
    size_t best = 0;
    for (size_t i = 1; i < live; ++i)
      if (*cursors[i].it < *cursors[best].it) best = i;
    const uint32_t idx = *cursors[best].it++;
    if (cursors[best].it == cursors[best].end) cursors[best] = cursors[--live];
    const Entry& e = m_entries[idx];
    const int r = testEntry(e, 0, sector, back, next);
    if (r == kHeader) return {kHeader, int32_t(e.catalogIndex), back};
    if (r == kPartialHeader) {
      state.entry = int32_t(idx);
      state.patternIndex = next;
      return {kPartialHeader, int32_t(e.catalogIndex), 0};
    }
  }
  return out;
}

}  // namespace velk
