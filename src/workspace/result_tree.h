#pragma once
// The results model: a folder tree whose items carry their FolderFiles, with check
// propagation and totals. Engines fill it through ResultSink from their worker thread;
// views mirror it on the user-interface thread through the observer.

#include <cstdint>
#include <deque>
#include <unordered_map>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "workspace/file_record.h"

namespace velk {

struct FolderItem {
  std::string text;
  int image = 1;  // 0 root, 1 folder (2 when selected)
  bool checked = false;
  FolderItem* parent = nullptr;
  std::vector<std::unique_ptr<FolderItem>> children;
  std::vector<FileRecord*> files;  // FolderFiles, in engine order
  uint64_t number = 0;             // the engine's own number for the folder (NTFS record)
  uint64_t id = 0;                 // given by the tree: creation order

  // Folder path below the root, top first (the root's own text is not part of it).
  std::vector<std::string> pathBelowRoot() const;
};

// What engines write into. Implementations may be called from a worker thread.
class ResultSink {
 public:
  virtual ~ResultSink() = default;
  // A folder item under parent (nullptr: under the invisible top, i.e. a new root).
  virtual FolderItem* addFolder(FolderItem* parent, std::string text, uint64_t number = 0) = 0;
  // The first child of parent whose text equals text, or nullptr.
  virtual FolderItem* findFolder(FolderItem* parent, std::string_view text) = 0;
  // Appends a found file to the folder's FolderFiles; the sink owns it from now on.
  virtual FileRecord* addFile(FolderItem* folder, std::unique_ptr<FileRecord> record) = 0;
  // Removes a folder and everything under it (pruning empty folders after a scan).
  virtual void removeFolder(FolderItem* folder) = 0;
};

struct Totals {
  uint64_t count = 0;
  uint64_t bytes = 0;  // 64-bit sum of record sizes
  bool operator==(const Totals&) const = default;
};

class ResultTree final : public ResultSink {
 public:
  enum class Event { FolderAdded, FileAdded, FolderRemoved };
  using Observer = std::function<void(Event, FolderItem*, FileRecord*)>;

  explicit ResultTree(Variant variant) : m_variant(variant) {}
  ResultTree(const ResultTree&) = delete;
  ResultTree& operator=(const ResultTree&) = delete;

  Variant variant() const { return m_variant; }

  FolderItem* addFolder(FolderItem* parent, std::string text, uint64_t number = 0) override;
  FolderItem* findFolder(FolderItem* parent, std::string_view text) override;
  FileRecord* addFile(FolderItem* folder, std::unique_ptr<FileRecord> record) override;
  void removeFolder(FolderItem* folder) override;

  // Top-level items (normally one root).
  const std::vector<std::unique_ptr<FolderItem>>& roots() const { return m_top.children; }
  FolderItem* root() const { return m_top.children.empty() ? nullptr : m_top.children.front().get(); }

  size_t recordCount() const;
  // Record by id; nullptr for an unknown id.
  FileRecord* record(uint64_t id) const;
  // Every folder, breadth first from the roots.
  std::vector<FolderItem*> foldersBreadthFirst() const;
  // The folder whose FolderFiles hold the record (nullptr when none).
  FolderItem* folderOf(const FileRecord* record) const;

  void setObserver(Observer observer);

  // Check propagation. Checking a folder checks everything below it; a folder is checked
  // exactly when something below it is checked.
  void setFolderChecked(FolderItem* folder, bool checked);
  void setFileChecked(FolderItem* folder, FileRecord* record, bool checked);
  void setAllChecked(bool checked);

  // Count and bytes of every file in the folder and its sub-folders.
  Totals folderTotals(const FolderItem* folder) const;
  // Count and bytes of the checked files in the whole tree.
  Totals checkedTotals() const;

  std::mutex& mutex() const { return m_mutex; }

 private:
  void fixAncestors(FolderItem* folder);
  void notify(Event event, FolderItem* folder, FileRecord* record);

  Variant m_variant;
  FolderItem m_top;  // invisible parent of the roots
  std::deque<std::unique_ptr<FileRecord>> m_records;
  std::unordered_map<const FileRecord*, FolderItem*> m_owner;
  uint64_t m_nextFolderId = 1;
  Observer m_observer;
  mutable std::mutex m_mutex;
};

}  // namespace velk
