#pragma once
// Where a carved file really ends, from its own structure. A signature scan only knows
// where the next header begins; many formats say where they stop (a trailer marker, a
// size field, a directory at the end). The rules are keyed by extension and only ever
// shorten a carved file; they also say whether the structure checked out.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "formats/bytes.h"
#include "workspace/file_record.h"

namespace velk {

// Bytes of a carved window, read on demand (the device, or memory in tests).
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t size() const = 0;
  // Copies up to n bytes at offset; fewer only at size() or on a read error.
  virtual size_t read(uint64_t offset, uint8_t* out, size_t n) = 0;
  // The n bytes at offset where they already lie in memory (valid while the source is),
  // else nullptr and they are read.
  virtual const uint8_t* peek(uint64_t, size_t) { return nullptr; }
  // How many bytes from offset on lie in memory (what peek can lend), 0 when none.
  virtual uint64_t resident(uint64_t) const { return 0; }
};

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(ByteSpan bytes) : m_bytes(bytes) {}
  uint64_t size() const override { return m_bytes.size(); }
  size_t read(uint64_t offset, uint8_t* out, size_t n) override;
  const uint8_t* peek(uint64_t offset, size_t n) override {
    return offset <= m_bytes.size() && n <= m_bytes.size() - offset ? m_bytes.data() + offset : nullptr;
  }
  uint64_t resident(uint64_t offset) const override { return offset < m_bytes.size() ? m_bytes.size() - offset : 0; }

 private:
  ByteSpan m_bytes;
};

// What a file's own structure says about it. Verified: it ends where its structure says and
// every check the format carries (checksums, closing records) passes. Damaged: the structure
// breaks, runs past the window or a checksum fails. Unverified: no rule, or a rule that can
// find the end but has nothing to prove the content with.
using StructureVerdict = Verdict;

struct FormatEnd {
  StructureVerdict verdict = StructureVerdict::Unverified;
  // Where the structure ends (0: not known). Set with Verified, with Unverified when the
  // rule knows the end but cannot prove the content, and with Damaged when the structure
  // ends but its content is damaged (a bad checksum).
  uint64_t end = 0;
  std::string extension;  // a more precise extension found inside (docx, nef, webm…), or empty
  // The end is a guess from the content (where text stops, the last line end): a header
  // inside the file still cuts it, as it cuts a file without a rule.
  bool guessed = false;
};

// How a type's end is found.
enum class EndMode : uint8_t {
  NextHeader,  // none: the file runs to the next header or the size limit
  Decoded,     // read forward from the header: the end does not depend on later headers,
               // and headers inside the file do not cut it
};
EndMode endModeOf(std::string_view extension);
// What the catalogue says about a type's end: the rule's own words, or "cut at the next
// header or the size limit".
std::string_view endRuleText(std::string_view extension);

// Every extension that has a rule (fuzzing, the catalogue's listing).
std::vector<std::string_view> extensionsWithEndRules();

// Applies the extension's rule to the window (the bytes from the header up to the size
// limit or the range end). The end is never beyond size(). A rule that cannot find the
// end returns Damaged with end 0; no rule: Unverified with end 0.
FormatEnd findFormatEnd(std::string_view extension, ByteSource& window);

}  // namespace velk
