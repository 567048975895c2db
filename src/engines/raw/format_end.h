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
};

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(ByteSpan bytes) : m_bytes(bytes) {}
  uint64_t size() const override { return m_bytes.size(); }
  size_t read(uint64_t offset, uint8_t* out, size_t n) override;
  const uint8_t* peek(uint64_t offset, size_t n) override {
    return offset <= m_bytes.size() && n <= m_bytes.size() - offset ? m_bytes.data() + offset : nullptr;
  }

 private:
  ByteSpan m_bytes;
};

enum class StructureVerdict : uint8_t { Unchecked, Valid, Broken };
std::string_view verdictText(StructureVerdict verdict);  // "unchecked", "valid", "broken"

struct FormatEnd {
  StructureVerdict verdict = StructureVerdict::Unchecked;
  // Where the structure ends (0: not known). Set with Valid, and with Broken when the
  // structure ends but its content is damaged (a bad checksum).
  uint64_t end = 0;
  std::string extension;     // a more precise extension found inside (docx, xls…), or empty
};

// Whether the extension has an end rule.
bool hasEndRule(std::string_view extension);
// Whether files of this extension declare their whole size up front and hold other files
// at sector boundaries (disc images, compound documents): such a file is listed with its
// declared size at once, and headers inside it do not cut it.
bool isContainerFormat(std::string_view extension);

// Applies the extension's rule to the window (the bytes from the header up to the next
// header, the size limit or the range end). Valid: the structure ends at end ≤ size().
// Broken: it is damaged or runs past the window. Unchecked: no rule.
FormatEnd findFormatEnd(std::string_view extension, ByteSource& window);

}  // namespace velk
