// The deleted-entry walk: folders breadth first from the root, listing every deleted file
// and every file of a deleted folder. A deleted folder's chain is gone from the table, so
// after its first cluster it is taken to go on in the next cluster while that one is free
// and holds directory entries, as the peers assume; a deleted FAT32 folder whose entry lost
// the high word of its cluster is found through its "." and ".." entries.

#include <algorithm>
#include <deque>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "engines/fat/fat_volume.h"
#include "support/text.h"
#include "workspace/file_filter.h"

namespace velk {

using namespace fatlayout;

namespace {

// Files found between two updates of the status text: formatting and storing it for every
// file cost as much as finding the file; the count is exact again when the walk ends.
constexpr uint64_t kStatusEvery = 64;
// A folder holds at most 65,536 entries.
constexpr uint64_t kMaxFolderBytes = uint64_t(65536) * kEntrySize;

}  // namespace

struct FatVolume::FolderWork {
  uint32_t cluster = 0;
  FolderItem* item = nullptr;
  std::string name;
  bool live = false;
  size_t depth = 0;
  uint64_t seq = 0;
};

class FatVolume::DeletedWalk {
 public:
  DeletedWalk(FatVolume& v, ResultSink& sink, const FileFilter& filter, bool filterEnabled, Progress& progress)
      : m_v(v), m_sink(sink), m_filter(filter), m_filterEnabled(filterEnabled), m_progress(progress) {}

  Status run() {
    m_progress.setStatus("Found Deleted Files : 0");
    m_progress.foundTotal.store(uint64_t(std::max(0, m_v.m_chainEstimate)));
    m_progress.foundCurrent.store(0);

    FolderItem* root = m_sink.addFolder(nullptr, m_v.rootItemText());
    root->image = 0;
    const uint32_t rootCluster = m_v.m_boot.hasFixedRoot() ? 1 : m_v.m_boot.rootCluster;
    enqueue(FolderWork{rootCluster, root, {}, true, 0, 0});

    bool first = true;
    while (!m_queue.empty() && m_v.m_scanFlag.isSet()) {
      const FolderWork w = m_queue.front();
      if (!first) w.item->image = w.live ? 1 : 3;
      first = false;
      if (w.live) m_progress.foundCurrent.fetch_add(1);
      if (Status walked = walkFolder(w); !walked) {
        showFound();
        return walked;  // the tree keeps what was found and is not pruned
      }
      if (m_deadPending.count(w.cluster) && m_deadPending[w.cluster] == w.seq) m_deadPending.erase(w.cluster);
      m_queue.pop_front();
      ++m_headSeq;
      m_longName.clear();
    }
    showFound();
    m_v.prune(m_sink, root);
    return {};
  }

 private:
  enum class Next { Continue, FolderDone };

  void showFound() { m_progress.setStatus(numberedText("Found Deleted Files : %d", m_found)); }

  void enqueue(FolderWork w) {
    w.seq = m_headSeq + m_queue.size();
    m_queued.insert({w.cluster, w.live});
    if (!w.live) m_deadPending[w.cluster] = w.seq;
    m_queue.push_back(std::move(w));
  }

  FolderWork* pendingDead(uint32_t cluster) {
    auto it = m_deadPending.find(cluster);
    if (it == m_deadPending.end() || it->second < m_headSeq) return nullptr;
    return &m_queue[size_t(it->second - m_headSeq)];
  }

  Status walkFolder(const FolderWork& w) {
    const FatBootSector& b = m_v.m_boot;
    uint64_t missing = 0;
    Error error;
    if (b.hasFixedRoot() && w.cluster == 1) {
      // The fixed root: its own sectors only, never continued through the table.
      if (Status read = m_v.readClusters(1, 1, m_buffer, &missing, &error); !read) return read;
      if (missing == m_buffer.size()) return fail(error);  // nothing left to walk
      examine(w, std::min<size_t>(b.rootEntries, FatDirEntry::countIn(m_buffer)));
      return {};
    }
    std::unordered_set<uint32_t> visited{w.cluster};
    const uint64_t maxClusters = std::max<uint64_t>(1, kMaxFolderBytes / b.clusterBytes());
    uint32_t c = w.cluster;
    for (uint64_t n = 0; n < maxClusters; ++n) {
      if (n > 0) {
        const uint32_t next = w.live ? m_v.fatEntry(c) : c + 1;
        if (w.live && (m_v.isEndOfChain(next) || !visited.insert(next).second)) return {};
        // A deleted folder goes on only into a cluster nothing else has taken since.
        if (!b.isDataCluster(next) || (!w.live && m_v.allocated(next))) return {};
        c = next;
      }
      // A cluster that cannot be read at all ends its folder only; the walk goes on with the
      // others. Only a root that cannot be read at all ends the scan.
      if (Status read = m_v.readClusters(c, 1, m_buffer, &missing, &error); !read) return {};
      if (missing == m_buffer.size()) return w.depth == 0 && n == 0 ? Status(fail(error)) : Status();
      if (n > 0 && !w.live && !continuesFolder()) return {};
      if (examine(w, FatDirEntry::countIn(m_buffer)) == Next::FolderDone) return {};
    }
    return {};
  }

  // The cluster in the buffer is more of the deleted folder being walked: it holds entries,
  // and is not the start of another folder.
  bool continuesFolder() const {
    const ByteSpan first(m_buffer.data(), std::min<size_t>(m_buffer.size(), m_v.m_boot.bytesPerSector));
    return !beginsWithDotEntries(m_buffer) && folderSectorTest(first, m_v.sectorFacts());
  }

  Next examine(const FolderWork& w, size_t entries) {
    const std::string* scopeName = w.depth < m_v.m_scopePath.size() ? &m_v.m_scopePath[w.depth] : nullptr;
    const size_t start = beginsWithDotEntries(m_buffer) ? 2 : 0;
    for (size_t i = start; i < entries; ++i) {
      if (!m_v.m_scanFlag.isSet()) return Next::FolderDone;
      const FatDirEntry e = *FatDirEntry::at(m_buffer, i);
      if (!m_longName.feed(e)) continue;
      if (!m_v.entryTest(e, !m_longName.empty())) {
        m_longName.clear();
        continue;
      }
      const ShortName sn = shortNameOf(e);
      Next next = Next::Continue;
      if (e.isDirectory()) next = folderEntry(w, e, sn, scopeName);
      else if (!scopeName) fileEntry(w, e, sn);
      m_longName.clear();
      if (next == Next::FolderDone) return next;
    }
    return Next::Continue;
  }

  Next folderEntry(const FolderWork& w, const FatDirEntry& e, const ShortName& sn, const std::string* scopeName) {
    if (e.isDotEntry()) return Next::Continue;
    const std::string name = m_longName.empty() ? sn.base : cutUtf8(m_longName.text(), kFatNameBytes);
    if (scopeName && lowerAscii(name) != *scopeName) return Next::Continue;
    // The scope folder is the one followed; the rest of this folder is not examined.
    const Next done = scopeName ? Next::FolderDone : Next::Continue;
    const bool deleted = e.deleted();
    const bool live = w.live && !deleted;
    const bool fat32 = m_v.m_boot.width == FatWidth::Fat32;

    uint32_t cluster = 0;
    if (!fat32 || !deleted) {
      cluster = m_v.entryCluster(e);
      if (!m_v.m_boot.isDataCluster(cluster)) return done;
    } else {
      auto found = findDeletedFolder(e, w.cluster);
      if (!found) return done;
      cluster = *found;
    }

    if (fat32 || deleted) {
      if (FolderWork* q = pendingDead(cluster)) {
        q->item->text = name;
        q->name = name;
        q->live = live;
        if (live) {
          m_deadPending.erase(cluster);
          m_queued.insert({cluster, true});
        }
        return done;
      }
    }
    // Each cluster is walked at most once live and once not: a folder that contains
    // itself or an ancestor cannot make the walk go on forever.
    if (m_queued.count({cluster, live})) return done;
    FolderItem* item = m_sink.addFolder(w.item, name);
    enqueue(FolderWork{cluster, item, name, live, w.depth + 1, 0});
    return done;
  }

  // A deleted FAT32 folder entry keeps only the low word of its cluster (some systems keep
  // the high word too). The cluster is the one whose first sector holds "." and ".." with
  // ".." naming the folder being walked.
  std::optional<uint32_t> findDeletedFolder(const FatDirEntry& e, uint32_t parentCluster) {
    const FatBootSector& b = m_v.m_boot;
    const uint32_t high = e.clusterHigh;
    const uint32_t low = e.clusterLow;
    const auto parentMatches = [&](uint32_t dotdot) {
      return parentCluster == b.rootCluster ? (dotdot == 0 || dotdot == b.rootCluster) : dotdot == parentCluster;
    };
    if (high != 0) {
      const auto dotdot = dotFolderParent((high << 16) | low);
      if (dotdot && parentMatches(*dotdot)) return (high << 16) | low;
      return std::nullopt;
    }
    // Every high word is tried. The folders found for a low word are kept, so a volume
    // full of deleted folder entries reads each cluster at most once, not once per entry.
    auto [it, fresh] = m_dotFolders.try_emplace(low);
    if (fresh) {
      const uint32_t last = uint32_t(std::min<uint64_t>(b.fatBytes() >> 18, b.lastDataCluster >> 16));
      for (uint32_t k = 0; k <= last; ++k)
        if (auto dotdot = dotFolderParent((k << 16) | low)) it->second.push_back({(k << 16) | low, *dotdot});
    }
    for (const auto& [cluster, dotdot] : it->second)
      if (parentMatches(dotdot)) return cluster;
    return std::nullopt;
  }

  // The ".." cluster of the folder that begins at cluster `c`, or nullopt when its first
  // sector is not a folder's.
  std::optional<uint32_t> dotFolderParent(uint32_t c) {
    const FatBootSector& b = m_v.m_boot;
    if (!b.isDataCluster(c)) return std::nullopt;
    m_sector.resize(b.bytesPerSector);
    if (m_v.readSalvaging(b.clusterOffset(c), m_sector.size(), m_sector.data()) != 0) return std::nullopt;
    if (!folderSectorTest(m_sector, m_v.sectorFacts()) || !beginsWithDotEntries(m_sector)) return std::nullopt;
    return FatDirEntry::at(m_sector, 1)->cluster(true);
  }

  void fileEntry(const FolderWork& w, const FatDirEntry& e, const ShortName& sn) {
    if (!e.deleted() && w.live) {
      const uint64_t cb = m_v.m_boot.clusterBytes();
      const uint64_t clusters = (uint64_t(e.size) + cb - 1) / cb;
      if (clusters < 4) m_progress.foundCurrent.fetch_add(clusters);
      return;
    }
    const ListedName n = listedNameOf(m_longName.empty() ? std::string() : m_longName.text(), sn);
    if (!patternsAccept(m_v.m_patterns, lowerAscii(n.base), n.matchExtension)) return;
    auto record = m_v.makeRecord(e, n, attributeTextOf(e.attributes));
    record->deleted = true;
    if (!FilterAccepts(m_filter, *record, m_filterEnabled)) return;
    m_v.judgeStart(*record, e);
    m_sink.addFile(w.item, std::move(record));
    if (++m_found % kStatusEvery == 0) showFound();
  }

  FatVolume& m_v;
  ResultSink& m_sink;
  const FileFilter& m_filter;
  bool m_filterEnabled;
  Progress& m_progress;
  std::deque<FolderWork> m_queue;
  uint64_t m_headSeq = 0;
  std::set<std::pair<uint32_t, bool>> m_queued;
  std::unordered_map<uint32_t, uint64_t> m_deadPending;  // cluster → seq of its waiting dead entry
  LongNameAccumulator m_longName;
  std::vector<uint8_t> m_buffer;
  std::vector<uint8_t> m_sector;
  // Low word → the folders (cluster, ".." cluster) found under every high word.
  std::unordered_map<uint32_t, std::vector<std::pair<uint32_t, uint32_t>>> m_dotFolders;
  uint64_t m_found = 0;
};

Status FatVolume::scanDeleted(ResultSink& sink, const FileFilter& filter, bool filterEnabled, Progress& progress) {
  if (!m_valid) return fail(m_openError);
  std::lock_guard lock(m_readerMutex);
  return DeletedWalk(*this, sink, filter, filterEnabled, progress).run();
}

}  // namespace velk
