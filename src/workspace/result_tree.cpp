#include "workspace/result_tree.h"

#include <algorithm>

namespace velk {

std::vector<std::string> FolderItem::pathBelowRoot() const {
  std::vector<std::string> path;
  for (const FolderItem* f = this; f && f->parent && f->parent->parent; f = f->parent) path.push_back(f->text);
  std::reverse(path.begin(), path.end());
  return path;
}

FolderItem* ResultTree::addFolder(FolderItem* parent, std::string text, uint64_t number) {
  FolderItem* added;
  {
    std::lock_guard lock(m_mutex);
    FolderItem* p = parent ? parent : &m_top;
    auto item = std::make_unique<FolderItem>();
    item->text = std::move(text);
    item->parent = p;
    item->image = parent ? 1 : 0;
    item->number = number;
    item->id = m_nextFolderId++;
    added = item.get();
    p->children.push_back(std::move(item));
  }
  notify(Event::FolderAdded, added, nullptr);
  return added;
}

FolderItem* ResultTree::findFolder(FolderItem* parent, std::string_view text) {
  std::lock_guard lock(m_mutex);
  FolderItem* p = parent ? parent : &m_top;
  for (auto& c : p->children)
    if (c->text == text) return c.get();
  return nullptr;
}

FileRecord* ResultTree::addFile(FolderItem* folder, std::unique_ptr<FileRecord> record) {
  if (!folder || !record) return nullptr;
  FileRecord* added;
  {
    std::lock_guard lock(m_mutex);
    record->id = m_records.size();
    added = record.get();
    m_records.push_back(std::move(record));
    folder->files.push_back(added);
    m_owner[added] = folder;
  }
  notify(Event::FileAdded, folder, added);
  return added;
}

void ResultTree::removeFolder(FolderItem* folder) {
  if (!folder || !folder->parent) return;
  notify(Event::FolderRemoved, folder, nullptr);
  std::lock_guard lock(m_mutex);
  // Forget the records under the folder; their ids stay unused.
  std::vector<FolderItem*> stack{folder};
  while (!stack.empty()) {
    FolderItem* f = stack.back();
    stack.pop_back();
    for (FileRecord* r : f->files) {
      m_owner.erase(r);
      if (r->id < m_records.size()) m_records[r->id].reset();
    }
    for (auto& c : f->children) stack.push_back(c.get());
  }
  auto& siblings = folder->parent->children;
  siblings.erase(std::remove_if(siblings.begin(), siblings.end(),
                                [&](const std::unique_ptr<FolderItem>& c) { return c.get() == folder; }),
                 siblings.end());
}

size_t ResultTree::recordCount() const {
  std::lock_guard lock(m_mutex);
  return m_owner.size();
}

FileRecord* ResultTree::record(uint64_t id) const {
  std::lock_guard lock(m_mutex);
  return id < m_records.size() ? m_records[id].get() : nullptr;
}

std::vector<FolderItem*> ResultTree::foldersBreadthFirst() const {
  std::lock_guard lock(m_mutex);
  std::vector<FolderItem*> out;
  for (auto& r : m_top.children) out.push_back(r.get());
  for (size_t i = 0; i < out.size(); ++i)
    for (auto& c : out[i]->children) out.push_back(c.get());
  return out;
}

FolderItem* ResultTree::folderOf(const FileRecord* record) const {
  std::lock_guard lock(m_mutex);
  auto it = m_owner.find(record);
  return it == m_owner.end() ? nullptr : it->second;
}

void ResultTree::setObserver(Observer observer) {
  std::lock_guard lock(m_mutex);
  m_observer = std::move(observer);
}

void ResultTree::notify(Event event, FolderItem* folder, FileRecord* record) {
  Observer observer;
  {
    std::lock_guard lock(m_mutex);
    observer = m_observer;
  }
  if (observer) observer(event, folder, record);
}

void ResultTree::fixAncestors(FolderItem* folder) {
  if (!folder) return;
  if (folder->checked) {
    for (FolderItem* a = folder->parent; a && a != &m_top; a = a->parent) a->checked = true;
    return;
  }
  // Walk up: an ancestor stays checked while anything else below it is checked.
  for (FolderItem* a = folder->parent; a && a != &m_top; a = a->parent) {
    bool anyFolder = std::any_of(a->children.begin(), a->children.end(),
                                 [](const std::unique_ptr<FolderItem>& c) { return c->checked; });
    if (anyFolder) return;
    bool anyFile = std::any_of(a->files.begin(), a->files.end(), [](const FileRecord* r) { return r->checked; });
    if (anyFile) return;
    a->checked = false;
  }
}

void ResultTree::setFolderChecked(FolderItem* folder, bool checked) {
  if (!folder) return;
  {
    std::lock_guard lock(m_mutex);
    std::vector<FolderItem*> queue{folder};
    for (size_t i = 0; i < queue.size(); ++i) {
      FolderItem* f = queue[i];
      f->checked = checked;
      for (FileRecord* r : f->files) r->checked = checked;
      for (auto& c : f->children) queue.push_back(c.get());
    }
    fixAncestors(folder);
  }
}

void ResultTree::setFileChecked(FolderItem* folder, FileRecord* record, bool checked) {
  if (!folder || !record) return;
  std::lock_guard lock(m_mutex);
  record->checked = checked;
  bool anyChild = std::any_of(folder->children.begin(), folder->children.end(),
                              [](const std::unique_ptr<FolderItem>& c) { return c->checked; });
  bool anyFile = std::any_of(folder->files.begin(), folder->files.end(), [](const FileRecord* r) { return r->checked; });
  folder->checked = anyChild || anyFile;
  fixAncestors(folder);
}

void ResultTree::setAllChecked(bool checked) {
  std::vector<FolderItem*> roots;
  {
    std::lock_guard lock(m_mutex);
    for (auto& r : m_top.children) roots.push_back(r.get());
  }
  for (FolderItem* r : roots) setFolderChecked(r, checked);
}

Totals ResultTree::folderTotals(const FolderItem* folder) const {
  Totals t;
  if (!folder) return t;
  std::lock_guard lock(m_mutex);
  std::vector<const FolderItem*> queue{folder};
  for (size_t i = 0; i < queue.size(); ++i) {
    for (const FileRecord* r : queue[i]->files) {
      ++t.count;
      t.bytes += r->size;
    }
    for (auto& c : queue[i]->children) queue.push_back(c.get());
  }
  return t;
}

Totals ResultTree::checkedTotals() const {
  Totals t;
  std::lock_guard lock(m_mutex);
  for (const auto& [record, folder] : m_owner) {
    if (record->checked) {
      ++t.count;
      t.bytes += record->size;
    }
  }
  return t;
}

}  // namespace velk
