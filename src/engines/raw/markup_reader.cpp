#include "engines/raw/markup_reader.h"

namespace velk {
namespace {

bool endsAttributeName(char c) { return c == ' ' || c == '!' || c == '<' || c == '>' || c == '?'; }
bool isQuote(char c) { return c == '"' || c == '\''; }

}  // namespace

MarkupNode* MarkupNode::add(MarkupKind k, std::string n, std::string v) {
  auto node = std::make_unique<MarkupNode>();
  node->kind = k;
  node->name = std::move(n);
  node->value = std::move(v);
  children.push_back(std::move(node));
  return children.back().get();
}

bool parseMarkupStretch(std::string_view s, MarkupNode& parent, int depth) {
  if (depth > kMaxMarkupDepth) return false;
  const bool hasTags = s.find('<') != std::string_view::npos;

  bool ok = false;          // the last tag read while an element was open closed it well
  bool open = false;        // an element of this stretch is open
  std::string_view openName;
  size_t contentStart = 0;
  size_t floor = 0;         // attribute names never reach back past what was consumed
  size_t nextGt = 0;        // cached position of the next '>' (keeps tag checks linear)

  size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (c == '<') {
      const size_t tagStart = i;
      if (nextGt <= i) {
        nextGt = s.find('>', i + 1);
        if (nextGt == std::string_view::npos) return false;  // unterminated tag
      }
      if (i + 1 < s.size() && (s[i + 1] == '!' || s[i + 1] == '?')) {
        // A declaration or comment names nothing; its attributes belong to this level.
        if (open) ok = false;
        i += 1;
        floor = i;
        continue;
      }
      size_t j = i + 1;
      while (j < s.size() && s[j] != ' ' && s[j] != '>') ++j;
      if (j >= s.size()) return false;
      const std::string_view name = s.substr(i + 1, j - i - 1);
      if (!name.empty() && name.front() == '/') {
        if (open && name.substr(1) == openName) {
          MarkupNode* node = parent.add(MarkupKind::Element, std::string(openName));
          if (!parseMarkupStretch(s.substr(contentStart, tagStart - contentStart), *node, depth + 1))
            return false;
          ok = true;
          open = false;
        } else if (open) {
          ok = false;
        }
        // An end tag while nothing is open is passed over.
      } else if (!open) {
        open = true;
        openName = name;
        contentStart = j;  // the attributes belong to the content
      } else {
        ok = false;
      }
      i = j;
      floor = j;
      continue;
    }
    if (c == '=' && !open) {
      std::string attrName;
      size_t b = i;
      while (b > floor && !endsAttributeName(s[b - 1])) --b;
      for (size_t k = b; k < i; ++k)
        if (!isQuote(s[k])) attrName += s[k];
      size_t q1 = i + 1;
      while (q1 < s.size() && !isQuote(s[q1])) ++q1;
      if (q1 >= s.size()) return false;  // no opening quote
      size_t q2 = q1 + 1;
      while (q2 < s.size() && !isQuote(s[q2])) ++q2;
      if (q2 >= s.size()) return false;  // no closing quote
      parent.add(MarkupKind::Attribute, std::move(attrName), std::string(s.substr(q1 + 1, q2 - q1 - 1)));
      i = q2 + 1;
      floor = i;
      continue;
    }
    ++i;
  }
  if (!hasTags) {
    const size_t gt = s.rfind('>');
    const size_t from = gt == std::string_view::npos ? 0 : gt + 1;
    parent.add(MarkupKind::Text, std::string(s.substr(from)));
    return true;
  }
  return ok;
}

std::optional<MarkupDocument> MarkupDocument::parse(std::string text) {
  MarkupDocument doc;
  doc.m_text = std::move(text);
  doc.m_root = std::make_unique<MarkupNode>();
  doc.m_root->kind = MarkupKind::Element;
  doc.m_root->name = std::string(kMarkupRootName);
  if (!parseMarkupStretch(doc.m_text, *doc.m_root, 0)) return std::nullopt;
  return doc;
}

}  // namespace velk
