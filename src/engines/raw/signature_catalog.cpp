#include "engines/raw/signature_catalog.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <system_error>

#include "codec/lznt1.h"
#include "support/text.h"

namespace velk {
namespace {

constexpr uint32_t kSectorBytes = 512;

const MarkupNode* textChildOf(const MarkupNode* node) {
  if (!node || node->kind != MarkupKind::Element) return nullptr;
  const MarkupNode* first = node->child(0);
  return first && first->kind == MarkupKind::Text ? first : nullptr;
}

// A decimal number as the catalogue writes it; nullopt for anything else.
std::optional<int64_t> parseDecimal(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool extensionIsSafe(std::string_view ext) {
  if (ext.empty() || ext.size() > kMaxExtensionLength || ext == "." || ext == "..") return false;
  for (char c : ext) {
    const auto u = uint8_t(c);
    if (u < 0x20 || u == 0x7F || c == '/' || c == '\\') return false;
  }
  return true;
}

bool patternIsWellFormed(std::string_view pattern) {
  if (pattern.empty() || pattern.size() > kMaxPatternLength) return false;
  size_t start = 0;
  while (true) {
    size_t bar = pattern.find('|', start);
    size_t end = bar == std::string_view::npos ? pattern.size() : bar;
    if (end == start) return false;  // an empty alternative would match anything
    if (bar == std::string_view::npos) return true;
    start = bar + 1;
  }
}

std::string lowerExtension(std::string_view ext) {
  if (!ext.empty() && ext.front() == '.') ext.remove_prefix(1);
  return lowerAscii(ext);
}

}  // namespace

std::string cutText(std::string_view text, size_t max) {
  if (text.size() <= max) return std::string(text);
  size_t n = max;
  while (n > 0 && (uint8_t(text[n]) & 0xC0) == 0x80) --n;
  return std::string(text.substr(0, n));
}

std::vector<SignatureEntry> entriesFromMarkup(const MarkupDocument& doc) {
  std::vector<SignatureEntry> out;
  const MarkupNode* document = nullptr;
  for (const auto& child : doc.root().children) {
    if (child->kind == MarkupKind::Attribute) continue;
    document = child.get();
    break;
  }
  if (!document || document->kind != MarkupKind::Element) return out;

  for (size_t t = 1; t < document->children.size(); ++t) {
    const MarkupNode& type = *document->children[t];
    if (type.kind != MarkupKind::Element) continue;
    const MarkupNode* ext = textChildOf(type.child(0));
    const MarkupNode* desc = textChildOf(type.child(1));
    if (!ext || !desc) continue;
    for (size_t s = 2; s < type.children.size(); ++s) {
      const MarkupNode& sig = *type.children[s];
      if (sig.kind != MarkupKind::Element) continue;
      const MarkupNode* countAttr = sig.child(0);
      if (!countAttr || countAttr->kind != MarkupKind::Attribute) continue;
      auto declared = parseDecimal(countAttr->value);
      if (!declared || *declared < 1) continue;
      SignatureEntry entry;
      entry.extension = ext->name;
      entry.description = cutText(desc->name, kMaxDescriptionLength);
      bool malformed = false;
      const int64_t wanted = std::min<int64_t>(*declared, kMaxPatterns);
      for (int64_t k = 0; k < wanted; ++k) {
        const MarkupNode* p = sig.child(size_t(k + 1));
        if (!p) break;  // fewer pattern elements than declared: count what is there
        const MarkupNode* offsetAttr = p->child(0);
        const MarkupNode* text = p->child(1);
        auto offset = offsetAttr && offsetAttr->kind == MarkupKind::Attribute
                          ? parseDecimal(offsetAttr->value) : std::nullopt;
        if (p->kind != MarkupKind::Element || !offset || *offset < INT32_MIN || *offset > INT32_MAX ||
            !text || text->kind != MarkupKind::Text) {
          malformed = true;
          break;
        }
        entry.patterns[size_t(k)] = text->name;
        entry.offsets[size_t(k)] = int32_t(*offset);
        entry.patternCount = int32_t(k + 1);
      }
      if (malformed) continue;
      out.push_back(std::move(entry));
    }
  }
  return out;
}

bool entryIsUsable(const SignatureEntry& e) {
  if (!extensionIsSafe(e.extension)) return false;
  if (e.description.size() > kMaxDescriptionLength) return false;
  if (e.patternCount < 1 || e.patternCount > kMaxPatterns) return false;
  for (int i = 0; i < e.patternCount; ++i) {
    if (!patternIsWellFormed(e.patterns[size_t(i)]) || e.offsets[size_t(i)] < 0) return false;
    if (i == 0) continue;
    // A later pattern lies in the sector of the one before it or in the next one.
    const int32_t off = e.offsets[size_t(i)];
    if (off >= kMaxLaterPatternOffset) return false;
    const int32_t sector = off / int32_t(kSectorBytes);
    const int32_t before = e.offsets[size_t(i - 1)] / int32_t(kSectorBytes);
    if (sector != before && sector != before + 1) return false;
  }
  return true;
}

std::optional<std::string> unpackCatalog(std::span<const uint8_t> packed) {
  std::vector<uint8_t> out;
  const size_t limit = packed.size() > SIZE_MAX / kPackedExpansion ? SIZE_MAX : packed.size() * kPackedExpansion;
  if (packed.empty() || !codec::lznt1Decompress(packed, out, limit) || out.empty()) return std::nullopt;
  std::string text(out.size(), '\0');
  for (size_t i = 0; i < out.size(); ++i) text[i] = char(uint8_t(out[i] - 1));
  return text;
}

std::vector<uint8_t> packCatalog(std::string_view markup) {
  std::vector<uint8_t> shifted(markup.size());
  for (size_t i = 0; i < markup.size(); ++i) shifted[i] = uint8_t(uint8_t(markup[i]) + 1);
  return codec::lznt1Compress(shifted);
}

Status SignatureCatalog::loadBytes(std::span<const uint8_t> bytes) {
  m_entries.clear();
  if (bytes.empty()) return fail(unusableError(m_source));
  std::string text;
  if (bytes[0] == '<') {
    text.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  } else {
    auto unpacked = unpackCatalog(bytes);
    if (!unpacked) return fail(unusableError(m_source));
    text = std::move(*unpacked);
  }
  auto doc = MarkupDocument::parse(std::move(text));
  if (!doc) return fail(unusableError(m_source));
  for (auto& e : entriesFromMarkup(*doc))
    if (entryIsUsable(e)) m_entries.push_back(std::move(e));
  return m_entries.empty() ? fail(unusableError(m_source)) : Status();
}

Status SignatureCatalog::loadFile(const std::filesystem::path& path) {
  m_entries.clear();
  m_source.clear();
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return fail(missingError(path));
  const auto size = std::filesystem::file_size(path, ec);
  if (ec) return fail(missingError(path));
  if (size > kMaxCatalogFileSize) return fail(unusableError(path));
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail(missingError(path));
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
  bytes.resize(size_t(in.gcount()));  // a shorter read keeps what arrived
  m_source = path;
  return loadBytes(bytes);
}

Status SignatureCatalog::load(const std::filesystem::path& explicitPath) {
  if (!explicitPath.empty()) return loadFile(explicitPath);
  for (const auto& candidate : catalogSearchPaths()) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(candidate, ec)) return loadFile(candidate);
  }
  m_entries.clear();
  return fail(missingError({}));
}

size_t SignatureCatalog::enabledCount() const {
  size_t n = 0;
  for (const auto& e : m_entries) n += e.enabled ? 1 : 0;
  return n;
}

void SignatureCatalog::enableAll(bool enabled) {
  for (auto& e : m_entries) e.enabled = enabled;
}

size_t SignatureCatalog::enableExtensions(const std::vector<std::string>& extensions) {
  std::vector<std::string> wanted;
  for (const auto& x : extensions) wanted.push_back(lowerExtension(x));
  size_t n = 0;
  for (auto& e : m_entries) {
    const std::string ext = lowerExtension(e.extension);
    e.enabled = std::find(wanted.begin(), wanted.end(), ext) != wanted.end();
    n += e.enabled ? 1 : 0;
  }
  return n;
}

void SignatureCatalog::enableDescription(std::string_view description, bool enabled) {
  for (auto& e : m_entries)
    if (e.description == description) e.enabled = enabled;
}

std::vector<std::filesystem::path> catalogSearchPaths() {
  std::vector<std::filesystem::path> out;
  std::error_code ec;
  auto cwd = std::filesystem::current_path(ec);
  if (!ec) out.push_back(cwd / kCatalogFileName);
#ifdef VELK_RESOURCE_DIR
  out.push_back(std::filesystem::path(VELK_RESOURCE_DIR) / kCatalogFileName);
#endif
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const auto dir = exe.parent_path();
    out.push_back(dir / ".." / "share" / "velk" / kCatalogFileName);
    out.push_back(dir / "resources" / kCatalogFileName);
  }
  return out;
}

namespace {

std::string catalogPlace(const std::filesystem::path& path) {
  return path.empty() ? "rp.dat (in the working folder or the program's resources)" : "'" + path.string() + "'";
}

}  // namespace

Error missingError(const std::filesystem::path& path) {
  return notFoundError("the signature catalogue " + catalogPlace(path), "it is missing or cannot be read");
}

Error unusableError(const std::filesystem::path& path) {
  return corruptError("the signature catalogue " + catalogPlace(path), "it holds no usable signature");
}

}  // namespace velk
