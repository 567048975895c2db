// The formatted-volume scan of exFAT: after a quick format the FAT, the bitmap and the root
// are new, but the clusters of the old folders still hold their entry sets. The scan reads
// the range cluster by cluster, keeps the clusters that hold sets whose checksums hold,
// joins them into folders, names each folder through the entry that points at it in its
// parent, and lists the files. Folders whose parent is gone go under "LostDIR" as DIRn.

#include <algorithm>
#include <cstdio>
#include <unordered_map>
#include <unordered_set>

#include "engines/exfat/exfat_scans.h"
#include "formats/exfat_entries.h"
#include "formats/exfat_volume_facts.h"
#include "support/text.h"
#include "workspace/file_filter.h"

namespace velk {

using namespace exfatentry;

namespace {

constexpr uint64_t kReadBytes = uint64_t(1) << 20;
constexpr size_t kNone = SIZE_MAX;
// Continuations of a cut set tried per folder: they lie close after it in practice.
constexpr size_t kMaxJoinTries = 256;

std::string countText(const char* format, uint64_t n) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, int(n));
  return buf;
}

// A cluster's facts and its number.
struct ClusterFacts : ExfatClusterFacts {
  uint32_t cluster = 0;
};

}  // namespace

class ExfatFormattedScan {
 public:
  ExfatFormattedScan(ExfatVolume& v, ResultSink& sink, const ScanOptions& options, Progress& progress)
      : m_v(v), m_sink(sink), m_options(options), m_progress(progress) {
    if (options.preset == kPresetPictures || options.preset == kPresetMail)
      m_presetPatterns = parseNamePatterns(options.extensionListForScan());
  }

  Status run(uint32_t first, uint32_t last) {
    m_volumeItem = m_sink.addFolder(nullptr, m_v.rootItemText());
    m_volumeItem->image = 0;
    m_lost = m_sink.addFolder(m_volumeItem, "LostDIR");
    m_created = {m_volumeItem, m_lost};
    collect(first, std::min(last, lastClusterOnDevice()));
    group();
    m_progress.foundTotal.store(m_groups.size());
    m_progress.foundCurrent.store(0);
    m_progress.setStatus({});
    if (m_groups.empty()) return {};  // nothing found: the empty tree says so
    for (size_t g = 0; g < m_groups.size() && m_v.m_scanFlag.isSet(); ++g) {
      readGroup(m_groups[g]);
      m_progress.foundCurrent.store(g + 1);
    }
    link();
    list();
    ExfatVolume::prune(m_sink, m_created);
    return {};
  }

 private:
  struct Child {
    uint32_t firstCluster = 0;
    std::string name;
    bool inUse = false;
  };
  struct Group {
    std::vector<uint32_t> clusters;
    bool root = false;
    bool holds = false;   // some cluster holds a set of its own
    bool merged = false;  // continued another group: listed there
    size_t parent = kNone;
    bool parentInUse = false;
    std::string name;
    FolderItem* item = nullptr;
    std::vector<Child> children;
    std::vector<std::unique_ptr<ExfatFileRecord>> files;
  };

  uint32_t lastClusterOnDevice() const {
    const uint64_t device = m_v.m_reader.deviceSize(), base = m_v.m_reader.base();
    const uint64_t bytes = device > base ? device - base : 0;
    const uint64_t start = m_v.m_boot.clusterOffset(exfatlayout::kFirstCluster);
    const uint64_t cb = m_v.m_boot.clusterBytes();
    if (bytes < start + cb) return 0;
    return uint32_t(std::min<uint64_t>(exfatlayout::kFirstCluster + (bytes - start) / cb - 1, UINT32_MAX));
  }

  // Reads the range in order and keeps every cluster holding entries. An unreadable
  // cluster is skipped: a bad sector must not hide the folders after it.
  void collect(uint32_t first, uint32_t last) {
    const uint64_t total = first <= last ? uint64_t(last) - first + 1 : 0;
    m_progress.foundTotal.store(total);
    m_progress.foundCurrent.store(0);
    m_progress.setStatus(countText("Found Folders : %d", 0));
    const uint64_t cb = m_v.m_boot.clusterBytes();
    const uint32_t perBlock = uint32_t(std::max<uint64_t>(1, kReadBytes / cb));
    std::vector<uint8_t> block;
    size_t shown = 0;
    for (uint64_t c = first; c <= last && m_v.m_scanFlag.isSet();) {
      const uint32_t n = uint32_t(std::min<uint64_t>(perBlock, last - c + 1));
      block.resize(size_t(n * cb));
      const bool whole = m_v.read(m_v.m_boot.clusterOffset(uint32_t(c)), block.size(), block.data());
      for (uint32_t k = 0; k < n; ++k, ++c) {
        const uint8_t* at = block.data() + k * cb;
        if (!whole && !m_v.read(m_v.m_boot.clusterOffset(uint32_t(c)), size_t(cb), block.data() + k * cb)) continue;
        ClusterFacts f;
        static_cast<ExfatClusterFacts&>(f) = analyseExfatCluster(ByteSpan(at, size_t(cb)));
        f.cluster = uint32_t(c);
        m_namedStarts.insert(f.folderStarts.begin(), f.folderStarts.end());
        // A cluster holding only the end of a set and then the folder's end is kept too:
        // another folder's cut set may continue there.
        const bool setEnd = f.leading > 0 && f.leading * kSize < cb && at[f.leading * kSize] == kEndOfDirectory;
        if (f.holdsEntries || (setEnd && !m_facts.empty())) m_facts.push_back(std::move(f));
      }
      m_progress.foundCurrent.store(c - first);
      if (m_facts.size() != shown) m_progress.setStatus(countText("Found Folders : %d", shown = m_facts.size()));
    }
  }

  // Consecutive clusters form one folder while the one before is full, the next is no
  // folder's own first cluster, and the two agree where they meet (a set cut at the end
  // goes on in the next, or none is cut and the next begins with one); a set cut at a
  // folder's end that a checksum confirms in another cluster's first entries makes that
  // cluster's folder its continuation.
  void group() {
    const uint64_t cb = m_v.m_boot.clusterBytes();
    const uint64_t maxClusters = std::max<uint64_t>(1, kExfatMaxDirectoryBytes / cb);
    std::vector<size_t> lastFacts;  // per group: index of its last cluster's facts
    for (size_t i = 0; i < m_facts.size(); ++i) {
      const ClusterFacts& f = m_facts[i];
      auto named = m_namedStarts.find(f.cluster);
      bool fresh = m_groups.empty() || named != m_namedStarts.end();
      if (!fresh) {
        const ClusterFacts& prev = m_facts[lastFacts.back()];
        const bool meet = prev.tailNeed == 0 ? f.leading == 0 : exfatSetContinues(prev, f.head);
        fresh = f.cluster != prev.cluster + 1 || !prev.full || !meet || m_groups.back().clusters.size() >= maxClusters;
      }
      if (fresh) {
        m_groups.emplace_back();
        lastFacts.push_back(i);
        m_firstFacts.push_back(i);
      }
      m_groups.back().clusters.push_back(f.cluster);
      m_groups.back().root = m_groups.back().root || f.root;
      m_groups.back().holds = m_groups.back().holds || f.holdsEntries;
      lastFacts.back() = i;
    }
    // Folders that may continue a cut set: their first cluster begins with secondaries.
    std::vector<size_t> continuations;
    for (size_t h = 0; h < m_groups.size(); ++h) {
      const ClusterFacts& f = m_facts[m_firstFacts[h]];
      if (f.leading > 0 && !m_namedStarts.count(f.cluster)) continuations.push_back(h);
    }
    for (size_t g = 0; g < m_groups.size(); ++g) {
      while (!m_groups[g].merged && joinNext(g, lastFacts, continuations)) {
      }
    }
    // What joined nothing and holds no set of its own is no folder.
    std::erase_if(m_groups, [](const Group& g) { return g.merged || !g.holds; });
    m_facts.clear();
    m_firstFacts.clear();
  }

  // Joins the folder whose first entries complete the set cut at g's end; the nearest
  // ones after g are tried first. True when one was joined.
  bool joinNext(size_t g, std::vector<size_t>& lastFacts, const std::vector<size_t>& continuations) {
    const ClusterFacts& end = m_facts[lastFacts[g]];
    if (end.tailNeed == 0 || continuations.empty()) return false;
    const size_t from = size_t(std::upper_bound(continuations.begin(), continuations.end(), g) - continuations.begin());
    for (size_t k = 0; k < continuations.size() && k < kMaxJoinTries; ++k) {
      const size_t h = continuations[(from + k) % continuations.size()];
      const ClusterFacts& start = m_facts[m_firstFacts[h]];
      if (h == g || m_groups[h].merged || !exfatSetContinues(end, start.head)) continue;
      Group& into = m_groups[g];
      into.clusters.insert(into.clusters.end(), m_groups[h].clusters.begin(), m_groups[h].clusters.end());
      into.root = into.root || m_groups[h].root;
      into.holds = true;
      m_groups[h].merged = true;
      lastFacts[g] = lastFacts[h];
      return true;
    }
    return false;
  }

  void readGroup(Group& g) {
    const uint64_t cb = m_v.m_boot.clusterBytes();
    ExfatDirectoryReader reader({[&](const ExfatEntrySet& s, uint64_t index) {
                                   if (!s.checksumOk && s.isDirectory()) return;
                                   if (s.isDirectory()) {
                                     g.children.push_back({s.firstCluster, s.name, s.inUse});
                                     return;
                                   }
                                   auto r = std::make_unique<ExfatFileRecord>();
                                   r->takeSet(s);
                                   r->fitsVolume = s.dataLength <= m_v.m_boot.heapBytes();
                                   r->deleted = !s.inUse;
                                   r->formatted = true;
                                   r->setEntry = index;
                                   g.files.push_back(std::move(r));
                                 },
                                 nullptr, nullptr});
    std::vector<uint8_t> cluster(static_cast<size_t>(cb));
    for (uint32_t c : g.clusters) {
      // Read once already; if it fails now, the folder keeps what came before.
      if (!m_v.read(m_v.m_boot.clusterOffset(c), cluster.size(), cluster.data())) break;
      reader.feed(cluster);
    }
  }

  // Each folder takes its name and parent from the set that points at its first cluster; an
  // entry in use wins over a deleted one.
  void link() {
    std::unordered_map<uint32_t, size_t> byFirst;
    for (size_t g = 0; g < m_groups.size(); ++g) byFirst[m_groups[g].clusters.front()] = g;
    for (size_t p = 0; p < m_groups.size(); ++p) {
      for (const Child& c : m_groups[p].children) {
        auto it = byFirst.find(c.firstCluster);
        if (it == byFirst.end() || it->second == p) continue;
        Group& child = m_groups[it->second];
        if (child.root || (child.parent != kNone && (child.parentInUse || !c.inUse))) continue;
        child.parent = p;
        child.parentInUse = c.inUse;
        child.name = c.name;
      }
    }
  }

  FolderItem* itemFor(size_t start) {
    std::vector<size_t> path;
    std::unordered_set<size_t> onPath;
    size_t g = start;
    for (;;) {
      Group& grp = m_groups[g];
      if (grp.item) break;
      if (grp.root) {
        grp.item = m_volumeItem;
        break;
      }
      if (grp.parent == kNone || !onPath.insert(g).second) {
        // No parent left, or parents that name each other: under LostDIR.
        const std::string name = grp.name.empty() ? countText("DIR%d", m_nameCounter++) : grp.name;
        grp.item = m_sink.addFolder(m_lost, name);
        m_created.push_back(grp.item);
        break;
      }
      path.push_back(g);
      g = grp.parent;
    }
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
      Group& grp = m_groups[*it];
      if (grp.item) continue;
      grp.item = m_sink.addFolder(m_groups[grp.parent].item, grp.name);
      m_created.push_back(grp.item);
    }
    return m_groups[start].item;
  }

  bool keep(const ExfatFileRecord& r) const {
    if (!m_presetPatterns.empty()) return patternsAccept(m_presetPatterns, {}, r.extension);
    return FilterAccepts(m_options.quickFilter, r, m_options.quickFilterEnabled);
  }

  // Clusters of the folders found and of the files in use at the format: a file whose chain
  // is gone steps over them. Then every file goes into its folder.
  void list() {
    std::vector<ClusterRun> claimed;
    const uint64_t cb = m_v.m_boot.clusterBytes();
    for (const Group& grp : m_groups) {
      for (uint32_t c : grp.clusters) claimed.push_back({c, 1});
      for (const auto& r : grp.files) {
        if (!r->inUse || !r->noFatChain || !m_v.m_boot.isCluster(r->firstCluster) || r->dataLength == 0) continue;
        const uint64_t n = std::min<uint64_t>((r->dataLength + cb - 1) / cb, m_v.m_boot.lastCluster() - r->firstCluster + 1);
        claimed.push_back({r->firstCluster, uint32_t(n)});
      }
    }
    std::sort(claimed.begin(), claimed.end(), [](const ClusterRun& a, const ClusterRun& b) { return a.first < b.first; });
    std::vector<ClusterRun> merged;
    for (const ClusterRun& r : claimed) {
      const uint64_t end = uint64_t(r.first) + r.count, last = merged.empty() ? 0 : uint64_t(merged.back().first) + merged.back().count;
      if (!merged.empty() && r.first <= last) merged.back().count = uint32_t(std::max(last, end) - merged.back().first);
      else merged.push_back(r);
    }
    m_v.m_claimed = std::move(merged);

    for (size_t g = 0; g < m_groups.size(); ++g) {
      FolderItem* item = m_groups[g].files.empty() ? nullptr : itemFor(g);
      for (auto& r : m_groups[g].files) {
        // What the new volume has written since lies where the bitmap marks clusters in use.
        r->overwritten = m_v.overwritten({r->firstCluster, r->dataLength, r->noFatChain, r->inUse, true});
        r->judge();
        if (keep(*r)) m_sink.addFile(item, std::move(r));
      }
      m_groups[g].files.clear();
    }
  }

  ExfatVolume& m_v;
  ResultSink& m_sink;
  const ScanOptions& m_options;
  Progress& m_progress;
  std::vector<NamePattern> m_presetPatterns;
  FolderItem* m_volumeItem = nullptr;
  FolderItem* m_lost = nullptr;
  std::vector<FolderItem*> m_created;
  std::vector<ClusterFacts> m_facts;
  std::vector<size_t> m_firstFacts;  // per group: index of its first cluster's facts
  std::unordered_set<uint32_t> m_namedStarts;  // first clusters some folder entry names
  std::vector<Group> m_groups;
  uint32_t m_nameCounter = 0;
};

Status runFormattedScan(ExfatVolume& volume, ResultSink& sink, const ScanOptions& options, Progress& progress,
                           uint32_t first, uint32_t last) {
  return ExfatFormattedScan(volume, sink, options, progress).run(first, last);
}

}  // namespace velk
