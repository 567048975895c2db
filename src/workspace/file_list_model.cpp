#include "workspace/file_list_model.h"

#include <algorithm>

#include "workspace/variant_policy.h"

namespace velk {

const FolderItem* listedFolder(Variant variant, const FolderItem* selected) {
  if (!selected) return nullptr;
  if (!policyOf(variant).listsFirstFolder) return selected;
  const FolderItem* root = selected;
  while (root->parent && root->parent->parent) root = root->parent;
  return root->children.empty() ? root : root->children.front().get();
}

int compareNames(const std::string& a, const std::string& b) {
  const std::string la = toLowerAscii(a), lb = toLowerAscii(b);
  int c = la.compare(lb);
  return c < 0 ? -1 : c > 0;
}

void FileListModel::fill(Variant variant, const FolderItem* selected, const FileFilter& filter, bool filterEnabled) {
  m_rows.clear();
  const FolderItem* folder = listedFolder(variant, selected);
  if (!folder) return;
  m_rows.reserve(folder->files.size());
  for (FileRecord* r : folder->files)
    if (r && FilterAccepts(filter, *r, filterEnabled)) m_rows.push_back(r);
}

long FileListModel::rowOf(const FileRecord* record) const {
  auto it = std::find(m_rows.begin(), m_rows.end(), record);
  return it == m_rows.end() ? -1 : long(it - m_rows.begin());
}

void FileListModel::sortBy(int column, const TypeName& typeName) {
  if (column < 0 || column >= kListColumnCount) return;
  const bool keepSign = m_direction[column] != 0;
  auto ascending = [&](const FileRecord* a, const FileRecord* b) -> int {
    switch (column) {
      case kColumnName: return compareNames(a->name, b->name);
      case kColumnType: {
        if (!typeName) return 0;
        int c = typeName(*a).compare(typeName(*b));
        return c < 0 ? -1 : c > 0;
      }
      case kColumnVerdict: {
        // Verified first, then unverified, damaged last.
        auto rank = [](Verdict v) { return v == Verdict::Verified ? 0 : v == Verdict::Unverified ? 1 : 2; };
        return rank(a->verdict) < rank(b->verdict) ? -1 : rank(a->verdict) > rank(b->verdict);
      }
      default: return a->compareColumn(*b, column);
    }
  };
  if (column == kColumnName || (column == kColumnType && typeName)) {
    // Text keys (lower-cased names, desktop type names) are built once per row, not per
    // comparison: a list may hold 100,000 rows.
    std::vector<std::pair<std::string, FileRecord*>> keyed;
    keyed.reserve(m_rows.size());
    for (FileRecord* r : m_rows) keyed.emplace_back(column == kColumnName ? toLowerAscii(r->name) : typeName(*r), r);
    std::stable_sort(keyed.begin(), keyed.end(), [&](const auto& x, const auto& y) {
      int c = x.first.compare(y.first);
      c = c < 0 ? -1 : c > 0;
      return (keepSign ? c : -c) < 0;
    });
    for (size_t i = 0; i < keyed.size(); ++i) m_rows[i] = keyed[i].second;
  } else {
    std::stable_sort(m_rows.begin(), m_rows.end(), [&](const FileRecord* a, const FileRecord* b) {
      int r = ascending(a, b);
      return (keepSign ? r : -r) < 0;
    });
  }
  m_sortColumn = column;
  m_lastAscending = keepSign;
  m_direction[column] = m_direction[column] ? 0 : 1;
}

bool FileListModel::anyChecked() const {
  return std::any_of(m_rows.begin(), m_rows.end(), [](const FileRecord* r) { return r->checked; });
}

}  // namespace velk
