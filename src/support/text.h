#pragma once
// Text conversions. The system code page on Linux is UTF-8: UTF-16 names convert to it,
// and whatever cannot convert becomes "_".

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace velk {

// UTF-16LE bytes (an odd trailing byte is ignored) to UTF-8; unpaired surrogates → "_".
std::string utf16leToUtf8(std::span<const uint8_t> bytes);
std::string utf16ToUtf8(std::u16string_view text);
// Single-byte text from disk: valid UTF-8 sequences and ASCII stay, other bytes → "_".
std::string codepageText(std::string_view bytes);
// Cuts text to at most maxBytes without splitting a UTF-8 character.
std::string cutUtf8(std::string_view text, size_t maxBytes);
// Lower-cases ASCII letters (names compare case-insensitively on ASCII).
std::string lowerAscii(std::string_view text);

}  // namespace velk
