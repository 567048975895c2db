#pragma once
// Explicit little/big-endian readers over bytes. On-disk structures are decoded through
// ByteView, never by casting a buffer to a struct: no packing, alignment or host byte order
// assumptions, and no read outside the span. The pointer forms (le16(p) …) are the
// primitives underneath, for loops over buffers whose size was checked once.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace velk {

using ByteSpan = std::span<const uint8_t>;
using MutableByteSpan = std::span<uint8_t>;

inline uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t le64(const uint8_t* p) { return uint64_t(le32(p)) | (uint64_t(le32(p + 4)) << 32); }
inline uint32_t be32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline uint16_t be16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint64_t be64(const uint8_t* p) { return (uint64_t(be32(p)) << 32) | be32(p + 4); }

// Checked forms: a field that does not lie wholly inside the span reads as 0, which every
// caller treats as "absent" (a zero signature, a zero length).
inline bool fits(ByteSpan s, size_t offset, size_t length) {
  return offset <= s.size() && length <= s.size() - offset;
}
inline uint8_t u8At(ByteSpan s, size_t off) { return off < s.size() ? s[off] : 0; }
inline uint16_t le16At(ByteSpan s, size_t off) { return fits(s, off, 2) ? le16(s.data() + off) : 0; }
inline uint32_t le32At(ByteSpan s, size_t off) { return fits(s, off, 4) ? le32(s.data() + off) : 0; }
inline uint64_t le64At(ByteSpan s, size_t off) { return fits(s, off, 8) ? le64(s.data() + off) : 0; }
inline uint32_t be32At(ByteSpan s, size_t off) { return fits(s, off, 4) ? be32(s.data() + off) : 0; }
inline uint64_t be64At(ByteSpan s, size_t off) { return fits(s, off, 8) ? be64(s.data() + off) : 0; }

inline void putLe16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
inline void putLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void putLe64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}

// True when the bytes at offset equal the text (a magic or signature).
inline bool matchesAt(ByteSpan s, size_t off, std::string_view text) {
  return fits(s, off, text.size()) && std::memcmp(s.data() + off, text.data(), text.size()) == 0;
}

// Text of a fixed-size field up to its first NUL (or the whole field).
inline std::string fixedText(ByteSpan s, size_t off, size_t size) {
  if (!fits(s, off, size)) return {};
  const char* p = reinterpret_cast<const char*>(s.data() + off);
  size_t n = 0;
  while (n < size && p[n] != '\0') ++n;
  return std::string(p, n);
}

// A bounds-checked view of one on-disk structure. A field that does not lie wholly inside
// the bytes reads as 0 and marks the view short; a decoder reads its fields, then asks
// complete() once and reports a damaged structure instead of trusting zeros.
class ByteView {
 public:
  constexpr ByteView() = default;
  explicit ByteView(ByteSpan bytes) : m_bytes(bytes) {}

  uint8_t u8(size_t off) const { return check(off, 1) ? m_bytes[off] : 0; }
  uint16_t le16(size_t off) const { return check(off, 2) ? velk::le16(m_bytes.data() + off) : 0; }
  uint32_t le32(size_t off) const { return check(off, 4) ? velk::le32(m_bytes.data() + off) : 0; }
  uint64_t le64(size_t off) const { return check(off, 8) ? velk::le64(m_bytes.data() + off) : 0; }
  uint16_t be16(size_t off) const { return check(off, 2) ? velk::be16(m_bytes.data() + off) : 0; }
  uint32_t be32(size_t off) const { return check(off, 4) ? velk::be32(m_bytes.data() + off) : 0; }
  uint64_t be64(size_t off) const { return check(off, 8) ? velk::be64(m_bytes.data() + off) : 0; }
  // The bytes [off, off + length); empty (and the view short) when they do not fit.
  ByteSpan bytes(size_t off, size_t length) const {
    return check(off, length) ? m_bytes.subspan(off, length) : ByteSpan();
  }
  // A magic or signature at off; a field past the end is no match (and not "short": looking
  // for a signature is a question, not a read of a field the structure must have).
  bool matches(size_t off, std::string_view text) const { return matchesAt(m_bytes, off, text); }
  std::string text(size_t off, size_t size) const {
    check(off, size);
    return fixedText(m_bytes, off, size);
  }
  bool has(size_t off, size_t length) const { return fits(m_bytes, off, length); }

  size_t size() const { return m_bytes.size(); }
  ByteSpan span() const { return m_bytes; }
  // False once any field was read past the end.
  bool complete() const { return !m_short; }

 private:
  bool check(size_t off, size_t length) const {
    if (fits(m_bytes, off, length)) return true;
    m_short = true;
    return false;
  }

  ByteSpan m_bytes;
  mutable bool m_short = false;
};

}  // namespace velk
