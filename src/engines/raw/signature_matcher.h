#pragma once
// Signature matching compiled once per scan. Each hexadecimal pattern becomes bytes with
// a nibble mask per alternative, and the enabled entries are indexed by the byte at their
// first pattern's position in the sector, so a sector that begins no header costs a few
// table lookups. The results are those of comparing every byte through its "%02x" text
// with the pattern text, digit by digit.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "engines/raw/signature_catalog.h"

namespace velk {

inline constexpr uint32_t kRawSectorSize = 512;

// One "|" alternative: full bytes, then optionally one high nibble (odd digit count).
struct CompiledAlternative {
  std::vector<uint8_t> bytes;
  bool hasNibble = false;
  uint8_t nibble = 0;  // the high nibble, already shifted (0xD0 for "d")
  // Bytes of the sector it covers.
  size_t span() const { return bytes.size() + (hasNibble ? 1 : 0); }
};

struct CompiledPattern {
  uint32_t sectorIndex = 0;   // offset ÷ 512: the sector of the file it lies in
  uint32_t sectorOffset = 0;  // offset mod 512
  // Alternatives that can match at all (text with other characters than 0-9a-f never
  // equals a byte's "%02x" form, nor does one that would run past the sector).
  std::vector<CompiledAlternative> alternatives;

  bool matches(const uint8_t* sector) const;
};

// Compiles pattern text at a byte offset. nullopt for an empty text or an empty
// alternative (the catalogue drops such entries).
std::optional<CompiledPattern> compilePattern(std::string_view text, uint32_t offset);

// The match carried from one sector to the next: a header whose later patterns lie in
// the following sector (entry −1: none).
struct MatchState {
  int32_t entry = -1;        // index into the matcher's enabled entries
  int32_t patternIndex = 0;
  void reset() {
    entry = -1;
    patternIndex = 0;
  }
};

enum SectorResult : int { kNoHeader = -1, kHeader = 0, kPartialHeader = 1 };

struct SectorMatch {
  int result = kNoHeader;
  int32_t entry = -1;        // catalogue index of the matched entry (kHeader, kPartialHeader)
  uint32_t backOffset = 0;   // bytes from the file's start to this sector (kHeader)
};

class SignatureMatcher {
 public:
  // Compiles the enabled entries of the catalogue, in its order.
  explicit SignatureMatcher(const SignatureCatalog& catalog);

  // Tests one 512-byte sector and updates the carried state.
  SectorMatch testSector(const uint8_t* sector, MatchState& state) const;

  size_t enabledEntries() const { return m_entries.size(); }

 private:
  struct Entry {
    uint32_t catalogIndex = 0;
    int patternCount = 0;
    std::array<CompiledPattern, kMaxPatterns> patterns;
  };
  struct Probe {
    uint32_t position = 0;
    std::array<uint32_t, 257> begin{};  // byte b → candidates[begin[b], begin[b + 1])
    std::vector<uint32_t> candidates;   // indices into m_entries, ascending
  };

  // −1 no match; 0 complete (back set); 1 partial (nextPattern set).
  int testEntry(const Entry& e, int q, const uint8_t* sector, uint32_t& back, int& nextPattern) const;

  std::vector<Entry> m_entries;
  std::vector<Probe> m_probes;
};

}  // namespace velk
