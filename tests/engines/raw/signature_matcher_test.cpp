// Compiled patterns against the textual rule they replace: every byte compared through its
// "%02x" form with the pattern text, two digits at a time, "|" separating alternatives.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engines/raw/signature_matcher.h"

namespace velk {
namespace {

// The textual rule, transcribed: a lone trailing digit compares the next byte's high
// nibble; an alternative that would run past the sector does not match.
bool textualMatch(const uint8_t* sector, const std::string& pattern, uint32_t offset) {
  size_t start = 0;
  while (true) {
    size_t bar = pattern.find('|', start);
    std::string alt = pattern.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
    const size_t bytes = (alt.size() + 1) / 2;
    bool ok = offset + bytes <= 512;
    for (size_t i = 0; ok && i < alt.size(); i += 2) {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02x", sector[offset + i / 2]);
      ok = alt[i] == hex[0] && (i + 1 >= alt.size() || alt[i + 1] == hex[1]);
    }
    if (ok) return true;
    if (bar == std::string::npos) return false;
    start = bar + 1;
  }
}

bool compiledMatch(const uint8_t* sector, const std::string& pattern, uint32_t offset) {
  auto p = compilePattern(pattern, offset);
  return p && p->matches(sector);
}

TEST(SignatureMatcherRandom, CompiledEqualsTextualRule) {
  std::mt19937 rng(20240607);
  // Mostly hex digits, sometimes upper case or other text, so that both outcomes occur.
  const std::string alphabet = "0123456789abcdef0123456789abcdefAFg ";
  uint8_t sector[512];
  int matches = 0;
  for (int round = 0; round < 200000; ++round) {
    for (auto& b : sector) b = uint8_t(rng() % 4 == 0 ? rng() : rng() % 4);  // few distinct bytes
    std::string pattern;
    const int alts = 1 + int(rng() % 3);
    for (int a = 0; a < alts; ++a) {
      if (a) pattern += '|';
      const int len = 1 + int(rng() % 7);
      // Often copy the sector's own text so that matches happen.
      const uint32_t base = rng() % 512;
      for (int c = 0; c < len; ++c) {
        if (rng() % 3) {
          char hex[3];
          std::snprintf(hex, sizeof hex, "%02x", sector[(base + c / 2) % 512]);
          pattern += hex[c % 2];
        } else {
          pattern += alphabet[rng() % alphabet.size()];
        }
      }
    }
    const uint32_t offset = rng() % 4 == 0 ? 505 + rng() % 7 : rng() % 512;
    const bool want = textualMatch(sector, pattern, offset);
    matches += want ? 1 : 0;
    ASSERT_EQ(compiledMatch(sector, pattern, offset), want) << "pattern " << pattern << " at " << offset;
  }
  EXPECT_GT(matches, 1000);  // the comparison exercised matching patterns too
}

class PatternCase : public ::testing::Test {
 protected:
  uint8_t sector[512] = {};
};

TEST_F(PatternCase, LowerCaseHexMatchesUpperCaseMatchesNothing) {
  sector[0] = 0xFF, sector[1] = 0xD8, sector[2] = 0xFF;
  EXPECT_TRUE(compiledMatch(sector, "ffd8ff", 0));
  EXPECT_FALSE(compiledMatch(sector, "FFD8FF", 0));
}

TEST_F(PatternCase, AlternativesMatchEitherOrder) {
  sector[0] = 0x4D, sector[1] = 0x5A;
  EXPECT_TRUE(compiledMatch(sector, "4d5a|5a4d", 0));
  sector[0] = 0x5A, sector[1] = 0x4D;
  EXPECT_TRUE(compiledMatch(sector, "4d5a|5a4d", 0));
  sector[0] = 0x4D, sector[1] = 0x4D;
  EXPECT_FALSE(compiledMatch(sector, "4d5a|5a4d", 0));
}

TEST_F(PatternCase, OddDigitComparesHighNibble) {
  sector[0] = 0xFF;
  for (int b = 0; b < 256; ++b) {
    sector[1] = uint8_t(b);
    EXPECT_EQ(compiledMatch(sector, "ffd", 0), b >= 0xD0 && b <= 0xDF) << b;
  }
}

TEST_F(PatternCase, PatternRunningPastTheSectorDoesNotMatch) {
  sector[510] = 0xAB, sector[511] = 0xCD;
  EXPECT_TRUE(compiledMatch(sector, "abcd", 510));
  EXPECT_FALSE(compiledMatch(sector, "abcd00", 510));
  EXPECT_FALSE(compiledMatch(sector, "abcd0", 510));
  // Only the alternative that fits can match.
  EXPECT_TRUE(compiledMatch(sector, "abcd00|abcd", 510));
}

TEST_F(PatternCase, OffsetBeyondTheFirstSectorTestsItsPlaceInTheSector) {
  auto p = compilePattern("4344303031", 32769);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->sectorIndex, 64u);
  EXPECT_EQ(p->sectorOffset, 1u);
}

TEST_F(PatternCase, EmptyTextOrAlternativeIsRefused) {
  EXPECT_FALSE(compilePattern("", 0));
  EXPECT_FALSE(compilePattern("ab||cd", 0));
  EXPECT_FALSE(compilePattern("ab|", 0));
}

SignatureEntry entry(std::string ext, std::vector<std::pair<int32_t, std::string>> patterns) {
  SignatureEntry e;
  e.extension = ext;
  e.description = ext;
  for (size_t i = 0; i < patterns.size(); ++i) {
    e.offsets[i] = patterns[i].first;
    e.patterns[i] = patterns[i].second;
  }
  e.patternCount = int32_t(patterns.size());
  return e;
}

class SectorTest : public ::testing::Test {
 protected:
  void add(SignatureEntry e) { catalog.entries().push_back(std::move(e)); }
  SignatureCatalog catalog;
  uint8_t a[512] = {}, b[512] = {};
};

TEST_F(SectorTest, CatalogueOrderDecidesAndDisabledEntriesAreSkipped) {
  add(entry("one", {{0, "aabb"}}));
  add(entry("two", {{0, "aa"}}));
  a[0] = 0xAA, a[1] = 0xBB;
  MatchState st;
  EXPECT_EQ(SignatureMatcher(catalog).testSector(a, st).entry, 0);
  catalog.entries()[0].enabled = false;
  EXPECT_EQ(SignatureMatcher(catalog).testSector(a, st).entry, 1);
}

TEST_F(SectorTest, LaterPatternInNextSectorGivesPartialThenHeader) {
  add(entry("two", {{0, "aa"}, {600, "cc"}}));
  a[0] = 0xAA;
  b[88] = 0xCC;
  SignatureMatcher m(catalog);
  MatchState st;
  SectorMatch r = m.testSector(a, st);
  EXPECT_EQ(r.result, kPartialHeader);
  r = m.testSector(b, st);
  EXPECT_EQ(r.result, kHeader);
  EXPECT_EQ(r.entry, 0);
  EXPECT_EQ(r.backOffset, 512u);
  EXPECT_EQ(st.entry, -1);
}

TEST_F(SectorTest, CarriedEntryZeroIsTestedFirst) {
  // Entry 0 carries over (r = 0 counts as a carried entry); entry 1 would match the
  // second sector fresh.
  add(entry("first", {{0, "aa"}, {520, "cc"}}));
  add(entry("other", {{8, "cc"}}));
  a[0] = 0xAA;
  b[8] = 0xCC;
  SignatureMatcher m(catalog);
  MatchState st;
  ASSERT_EQ(m.testSector(a, st).result, kPartialHeader);
  EXPECT_EQ(st.entry, 0);
  SectorMatch r = m.testSector(b, st);
  EXPECT_EQ(r.result, kHeader);
  EXPECT_EQ(r.entry, 0);
}

TEST_F(SectorTest, FailedContinuationFallsBackToEveryEntryFromTheFirst) {
  add(entry("first", {{0, "aa"}, {520, "cc"}}));
  add(entry("other", {{0, "bb"}}));
  a[0] = 0xAA;
  b[0] = 0xBB;
  SignatureMatcher m(catalog);
  MatchState st;
  ASSERT_EQ(m.testSector(a, st).result, kPartialHeader);
  SectorMatch r = m.testSector(b, st);
  EXPECT_EQ(r.result, kHeader);
  EXPECT_EQ(r.entry, 1);
  EXPECT_EQ(st.entry, -1);
}

TEST_F(SectorTest, HeaderOffsetBeyondFirstSectorReportsBackOffset) {
  add(entry("iso", {{32768, "01434430303101"}}));
  std::memcpy(a, "\x01" "CD001\x01", 7);
  MatchState st;
  SectorMatch r = SignatureMatcher(catalog).testSector(a, st);
  EXPECT_EQ(r.result, kHeader);
  EXPECT_EQ(r.backOffset, 32768u);
}

}  // namespace
}  // namespace velk
