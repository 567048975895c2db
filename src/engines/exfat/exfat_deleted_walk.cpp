// The deleted-file walk of an exFAT volume: breadth first from the root, live folders
// through their FAT chain (or as one run when they have none), deleted folders as the run
// their stream extension gives. Every file whose set is not in use, and every file below a
// deleted folder, is listed; a set whose checksum fails is listed as damaged.

#include <cstdio>
#include <deque>
#include <set>

#include "engines/exfat/exfat_scans.h"
#include "formats/exfat_entries.h"
#include "formats/exfat_volume_facts.h"
#include "support/text.h"
#include "workspace/file_filter.h"

namespace velk {

namespace {

// Files found between two updates of the status text (the count is exact at the end).
constexpr uint64_t kStatusEvery = 64;
// Folders are read in blocks of whole clusters of about this size.
constexpr uint64_t kReadBytes = uint64_t(1) << 20;
// Free clusters tried for the next cluster of a deleted folder whose chain is gone.
constexpr size_t kMaxLookAhead = size_t(1) << 16;

std::string foundText(uint64_t n) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "Found Deleted Files : %d", int(n));
  return buf;
}

// The part of a name before its last "." after the first character.
std::string_view baseOf(std::string_view name) {
  const size_t dot = name.rfind('.');
  return dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot);
}

}  // namespace

class ExfatDeletedWalk {
 public:
  ExfatDeletedWalk(ExfatVolume& v, ResultSink& sink, const ScanOptions& options, Progress& progress)
      : m_v(v), m_sink(sink), m_options(options), m_progress(progress) {}

  Status run() {
    m_progress.setStatus(foundText(0));
    m_progress.foundTotal.store(1);
    m_progress.foundCurrent.store(0);
    FolderItem* root = m_sink.addFolder(nullptr, m_v.rootItemText());
    root->image = 0;
    m_created.push_back(root);
    Work rootWork{{}, root, true, 0};
    for (uint32_t c : m_v.m_rootClusters) {
      if (!rootWork.runs.empty() && rootWork.runs.back().first + rootWork.runs.back().count == c) ++rootWork.runs.back().count;
      else rootWork.runs.push_back({c, 1});
    }
    m_queued.insert({m_v.m_boot.rootCluster, true});
    m_queue.push_back(std::move(rootWork));

    while (!m_queue.empty() && m_v.m_scanFlag.isSet()) {
      const Work w = std::move(m_queue.front());
      m_queue.pop_front();
      if (w.item != root) w.item->image = w.live ? 1 : 3;
      // Only a root that cannot be read at all ends the scan; an unreadable cluster
      // elsewhere ends its own folder.
      if (!walkFolder(w) && w.item == root && m_clustersRead == 0) {
        m_progress.setStatus(foundText(m_found));
        return fail(ioError("reading the root folder", EIO));
      }
      m_progress.foundCurrent.fetch_add(1);
    }
    m_progress.setStatus(foundText(m_found));
    ExfatVolume::prune(m_sink, m_created);
    return {};
  }

 private:
  struct Work {
    std::vector<ClusterRun> runs;
    FolderItem* item = nullptr;
    bool live = false;
    size_t depth = 0;
  };
  enum class Next { Continue, Done };

  // False when a cluster could not be read (the folder ends there).
  bool walkFolder(const Work& w) {
    const std::string* scope = w.depth < m_v.m_scopePath.size() ? &m_v.m_scopePath[w.depth] : nullptr;
    ExfatDirectoryReader* self = nullptr;
    ExfatDirectoryReader reader({[&](const ExfatEntrySet& s, uint64_t index) {
                                   if (entry(w, s, index, scope) == Next::Done) self->stop();
                                 },
                                 nullptr, nullptr});
    self = &reader;
    const uint64_t cb = m_v.m_boot.clusterBytes();
    const uint32_t perBlock = uint32_t(std::max<uint64_t>(1, kReadBytes / cb));
    for (const ClusterRun& run : w.runs) {
      for (uint32_t done = 0; done < run.count;) {
        if (reader.stopped() || !m_v.m_scanFlag.isSet()) return true;
        const uint32_t n = std::min(perBlock, run.count - done);
        m_block.resize(size_t(n * cb));
        if (m_v.read(m_v.m_boot.clusterOffset(run.first + done), m_block.size(), m_block.data())) {
          m_clustersRead += n;
          reader.feed(m_block);
        } else {
          // Feed the clusters before the unreadable one, then end the folder.
          for (uint32_t k = 0; k < n; ++k) {
            if (!m_v.read(m_v.m_boot.clusterOffset(run.first + done + k), size_t(cb), m_block.data())) return false;
            ++m_clustersRead;
            reader.feed(ByteSpan(m_block.data(), size_t(cb)));
          }
        }
        done += n;
      }
    }
    return true;
  }

  Next entry(const Work& w, const ExfatEntrySet& s, uint64_t index, const std::string* scope) {
    if (!m_v.m_scanFlag.isSet()) return Next::Done;
    if (s.isDirectory()) return folder(w, s, scope);
    if (!scope) file(w, s, index);
    return Next::Continue;
  }

  Next folder(const Work& w, const ExfatEntrySet& s, const std::string* scope) {
    if (scope && lowerAscii(s.name) != *scope) return Next::Continue;
    // The scope folder is the one followed; the rest of this folder is not examined.
    const Next done = scope ? Next::Done : Next::Continue;
    // A removed folder whose first cluster is in use again holds someone else's entries.
    if (!s.inUse && m_v.allocated(s.firstCluster)) return done;
    const bool live = w.live && s.inUse;
    const ExfatExtent extent{s.firstCluster, std::min(s.dataLength, kExfatMaxDirectoryBytes), s.noFatChain, s.inUse,
                             false};
    bool chainGone = false;
    std::vector<ClusterRun> runs = m_v.runsFor(extent, &chainGone);
    if (!s.inUse && (chainGone || s.noFatChain)) runs = removedFolderRuns(extent);
    // Each folder is walked at most once live and once not: a folder that names itself or
    // an ancestor cannot make the walk go on forever.
    if (runs.empty() || !m_queued.insert({s.firstCluster, live}).second) return done;
    FolderItem* item = m_sink.addFolder(w.item, s.name);
    m_created.push_back(item);
    m_queue.push_back({std::move(runs), item, live, w.depth + 1});
    m_progress.foundTotal.fetch_add(1);
    return done;
  }

  // A deleted folder whose chain is gone grew into whatever cluster was free then, often
  // past its own files' data. After its first cluster, the next free cluster that goes on
  // with its entries is taken (the set cut at the end of the one before continues there,
  // or, when none was cut, a set whose checksum holds begins there); a folder without a
  // chain simply goes on in the next cluster. It ends at a cluster with an end-of-folder
  // entry, at its length, or when none is found nearby. Past its length only a cut set
  // that continues counts: a driver may shrink a folder it empties before removing it, and
  // the clusters it let go still hold the deleted entries.
  std::vector<ClusterRun> removedFolderRuns(const ExfatExtent& x) {
    const ExfatBootSector& b = m_v.m_boot;
    const uint64_t cb = b.clusterBytes();
    const uint64_t length = x.dataLength / cb + (x.dataLength % cb ? 1 : 0);
    const uint64_t n = kExfatMaxDirectoryBytes / cb;
    std::vector<ClusterRun> runs{{x.firstCluster, 1}};
    std::vector<uint8_t> cluster(static_cast<size_t>(cb));
    std::vector<uint8_t> probe(size_t(std::min<uint64_t>(cb, exfatentry::kMaxSetEntries * exfatentry::kSize)));
    if (!m_v.read(b.clusterOffset(x.firstCluster), cluster.size(), cluster.data())) return runs;
    ExfatClusterFacts prev = analyseExfatCluster(cluster);
    uint64_t c = x.firstCluster;
    for (uint64_t taken = 1, tried = 0; taken < n && prev.full && (taken < length || prev.tailNeed) &&
                                        tried < kMaxLookAhead;
         ++tried) {
      c = x.noFatChain ? c + 1 : m_v.nextUntaken(c + 1, false);
      if (c > b.lastCluster() || !m_v.m_scanFlag.isSet()) break;
      if (!m_v.read(b.clusterOffset(uint32_t(c)), probe.size(), probe.data())) break;
      const SetDecode first = decodeExfatEntrySet(probe);
      const bool goesOn = (x.noFatChain && taken < length) ||
                          (prev.tailNeed ? exfatSetContinues(prev, probe)
                                         : taken < length && first.status == SetStatus::Ok && first.set->checksumOk);
      if (x.noFatChain && !goesOn) break;
      if (!goesOn || !m_v.read(b.clusterOffset(uint32_t(c)), cluster.size(), cluster.data())) continue;
      prev = analyseExfatCluster(cluster);
      if (runs.back().first + runs.back().count == c) ++runs.back().count;
      else runs.push_back({uint32_t(c), 1});
      ++taken;
      tried = 0;
    }
    return runs;
  }

  void file(const Work& w, const ExfatEntrySet& s, uint64_t index) {
    if (s.inUse && w.live) return;
    auto r = std::make_unique<ExfatFileRecord>();
    r->takeSet(s);
    r->fitsVolume = s.dataLength <= m_v.m_boot.heapBytes();
    r->overwritten = m_v.overwritten({s.firstCluster, s.dataLength, s.noFatChain, s.inUse, false});
    r->judge();
    r->deleted = true;
    r->setEntry = index;
    if (!patternsAccept(m_v.m_patterns, lowerAscii(baseOf(r->name)), r->extension)) return;
    if (!FilterAccepts(m_options.quickFilter, *r, m_options.quickFilterEnabled)) return;
    m_sink.addFile(w.item, std::move(r));
    if (++m_found % kStatusEvery == 0) m_progress.setStatus(foundText(m_found));
  }

  ExfatVolume& m_v;
  ResultSink& m_sink;
  const ScanOptions& m_options;
  Progress& m_progress;
  std::deque<Work> m_queue;
  std::set<std::pair<uint32_t, bool>> m_queued;
  std::vector<FolderItem*> m_created;
  std::vector<uint8_t> m_block;
  uint64_t m_clustersRead = 0;
  uint64_t m_found = 0;
};

Status runDeletedWalk(ExfatVolume& volume, ResultSink& sink, const ScanOptions& options, Progress& progress) {
  return ExfatDeletedWalk(volume, sink, options, progress).run();
}

}  // namespace velk
