#pragma once
// The minimal markup reader behind the signature catalogue (rp.dat): a tree of elements,
// attributes and text built from the order of the tags alone. The input is untrusted: the
// reader never looks outside the stretch it was given, fails on an unterminated tag or
// quote, and refuses nesting deeper than kMaxMarkupDepth.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velk {

enum class MarkupKind : uint32_t { Element = 1, Attribute = 2, Text = 3 };

inline constexpr int kMaxMarkupDepth = 64;
inline constexpr std::string_view kMarkupRootName = "XML:ROOT";

struct MarkupNode {
  MarkupKind kind = MarkupKind::Element;
  // Tag name, attribute name, or for a text node the text itself.
  std::string name;
  // Attribute value.
  std::string value;
  std::vector<std::unique_ptr<MarkupNode>> children;

  int32_t childCount() const { return int32_t(children.size()); }
  const MarkupNode* child(size_t i) const { return i < children.size() ? children[i].get() : nullptr; }
  MarkupNode* add(MarkupKind kind, std::string name, std::string value = {});
};

// The document: the whole text and the root element "XML:ROOT".
class MarkupDocument {
 public:
  // Parses text; nullopt when the reading fails.
  static std::optional<MarkupDocument> parse(std::string text);

  const MarkupNode& root() const { return *m_root; }
  const std::string& text() const { return m_text; }

 private:
  std::string m_text;
  std::unique_ptr<MarkupNode> m_root;
};

// Reads a stretch of markup into children of parent; false when the reading fails.
// depth counts the elements enclosing the stretch.
[[nodiscard]] bool parseMarkupStretch(std::string_view stretch, MarkupNode& parent, int depth = 0);

}  // namespace velk
