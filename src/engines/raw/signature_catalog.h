#pragma once
// The signature catalogue: SignatureEntry records read from "rp.dat", a small markup file
// that may be packed (LZNT1, then every byte plus one). The file is untrusted input: an
// entry that could make the scan misbehave is dropped when it is loaded.

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/error.h"
#include "engines/raw/markup_reader.h"

namespace velk {

inline constexpr size_t kMaxExtensionLength = 12;
inline constexpr size_t kMaxDescriptionLength = 52;
inline constexpr size_t kMaxPatternLength = 512;
inline constexpr int kMaxPatterns = 3;
// Later patterns must lie in the header's first two sectors: the scan carries a partial
// match over one sector only.
inline constexpr int32_t kMaxLaterPatternOffset = 1024;
// A catalogue is a few kilobytes; anything this large is not one.
inline constexpr uint64_t kMaxCatalogFileSize = 16u << 20;
// A packed file never unpacks to more than 16 times its stored length.
inline constexpr size_t kPackedExpansion = 16;

inline constexpr std::string_view kCatalogFileName = "rp.dat";

// Errors of loading, distinct so that callers can say what went wrong.

struct SignatureEntry {
  std::string extension;    // without the dot, 1–12 characters
  std::string description;  // at most 52 bytes
  std::array<std::string, kMaxPatterns> patterns;  // lower-case hexadecimal, "|" alternatives
  std::array<int32_t, kMaxPatterns> offsets{};     // byte offset from the file's start
  int32_t patternCount = 0;                        // 1–3
  bool enabled = true;

  bool operator==(const SignatureEntry&) const = default;
};

class SignatureCatalog {
 public:
  // Reads catalogue bytes (plain markup, or packed). Entries that fail the checks are
  // dropped. Corrupt (unusableError) when the markup cannot be read, a packed file
  // does not unpack, or no entry survives.
  [[nodiscard]] Status loadBytes(std::span<const uint8_t> bytes);
  // Reads a file; NotFound (missingError) when it cannot be opened or read.
  [[nodiscard]] Status loadFile(const std::filesystem::path& path);
  // Reads explicitPath when given, else the first "rp.dat" of catalogSearchPaths().
  [[nodiscard]] Status load(const std::filesystem::path& explicitPath = {});

  const std::vector<SignatureEntry>& entries() const { return m_entries; }
  std::vector<SignatureEntry>& entries() { return m_entries; }
  bool empty() const { return m_entries.empty(); }
  size_t size() const { return m_entries.size(); }
  // Where it was read from (empty for bytes).
  const std::filesystem::path& source() const { return m_source; }

  size_t enabledCount() const;
  void enableAll(bool enabled);
  // Enables exactly the entries whose extension is in the list (case-insensitive, a
  // leading "." ignored). Returns the number enabled.
  size_t enableExtensions(const std::vector<std::string>& extensions);
  // Sets every entry with this description (its signatures follow their type).
  void enableDescription(std::string_view description, bool enabled);

 private:
  std::vector<SignatureEntry> m_entries;
  std::filesystem::path m_source;
};

// Turns a packed catalogue into its markup text (LZNT1, then every byte minus one).
// nullopt when it does not unpack.
std::optional<std::string> unpackCatalog(std::span<const uint8_t> packed);
// The packed form of markup text (every byte plus one, then LZNT1).
std::vector<uint8_t> packCatalog(std::string_view markup);

// Entries of a parsed markup document, before the checks; exposed for tests and fuzzing.
std::vector<SignatureEntry> entriesFromMarkup(const MarkupDocument& doc);
// Whether an entry is safe to scan with: extension, description, patterns and offsets.
bool entryIsUsable(const SignatureEntry& entry);
// Cuts text to at most max bytes without splitting a UTF-8 character.
std::string cutText(std::string_view text, size_t max);

// Where "rp.dat" is looked for, in order: the working directory, the build's resource
// folder, then beside an installed program (<exe>/../share/velk, <exe>/resources).
std::vector<std::filesystem::path> catalogSearchPaths();

// The catalogue's errors: no file there (or unreadable), or no usable signature in it.
Error missingError(const std::filesystem::path& path);
Error unusableError(const std::filesystem::path& path);

}  // namespace velk
