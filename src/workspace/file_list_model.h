#pragma once
// The rows of a recovery page's file list: the files of the chosen folder that pass the
// page's filter, in list order, with the per-column sort directions. Toolkit-free, so a
// virtual list control only asks it for row i.

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "workspace/file_filter.h"
#include "workspace/result_tree.h"

namespace velk {

inline constexpr int kListColumnCount = 8;

// The folder whose files the list shows for a selected folder: the EXT list always shows
// the root's first child (where its engine puts every found inode).
const FolderItem* listedFolder(Variant variant, const FolderItem* selected);

// Lower-cased name comparison (-1, 0, 1), byte-wise on the lower-cased UTF-8 text.
int compareNames(const std::string& a, const std::string& b);

class FileListModel {
 public:
  // The desktop's type name of a record, for sorting the Type column.
  using TypeName = std::function<std::string(const FileRecord&)>;

  // Refills from a folder: every file that the filter accepts (enabled = the page's filter
  // check box), in FolderFiles order. Sort directions are kept, as the list control keeps
  // them between refills.
  void fill(Variant variant, const FolderItem* selected, const FileFilter& filter, bool filterEnabled);
  void clear() { m_rows.clear(); }

  size_t size() const { return m_rows.size(); }
  bool empty() const { return m_rows.empty(); }
  FileRecord* at(size_t row) const { return row < m_rows.size() ? m_rows[row] : nullptr; }
  const std::vector<FileRecord*>& rows() const { return m_rows; }
  // Row of a record, or -1.
  long rowOf(const FileRecord* record) const;

  // A column header click: sorts with the column's direction byte (0 gives descending
  // order), then inverts it, so the first click sorts descending and the next ascending.
  // Ties keep their order.
  void sortBy(int column, const TypeName& typeName);
  uint8_t direction(int column) const { return column >= 0 && column < kListColumnCount ? m_direction[column] : 0; }
  int sortColumn() const { return m_sortColumn; }
  // Whether the last sort of the current sort column put the rows in ascending order.
  bool lastSortAscending() const { return m_lastAscending; }

  bool anyChecked() const;

 private:
  std::vector<FileRecord*> m_rows;
  std::array<uint8_t, kListColumnCount> m_direction{};
  int m_sortColumn = -1;
  bool m_lastAscending = false;
};

}  // namespace velk
