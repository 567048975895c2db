// The scan of a quick-formatted volume: the range is read in order, every cluster that
// looks like a folder is kept, then each kept folder's entries are read, folders are linked
// to their parents through ".." and through the entries that name them, and every file
// found is listed. Folders whose parent was not found go under "LostDIR".

#include <algorithm>
#include <deque>
#include <unordered_map>

#include "engines/fat/fat_volume.h"
#include "support/text.h"
#include "workspace/file_filter.h"

namespace velk {

using namespace fatlayout;

namespace {

// The range streams through buffers of this size.
constexpr uint64_t kBlockBytes = 1 << 20;

constexpr std::string_view kPictureExtensions[] = {"bmp", "gif", "jpg", "png", "mng", "ico",
                                                   "tif", "tga", "pcx", "wbmp", "wmf", "j2k",
                                                   "jbg", "jp2", "jpc", "pgx", "pnm", "ras"};
constexpr std::string_view kMailExtensions[] = {"dbx", "box", "pst", "stg", "bak", "ADC", "INDX", "uidl"};

template <size_t N>
bool inList(const std::string_view (&list)[N], std::string_view ext) {
  const std::string lowered = lowerAscii(ext);
  for (auto item : list)
    if (lowerAscii(item) == lowered) return true;
  return false;
}

}  // namespace

struct FatVolume::Candidate {
  uint32_t first = 0;
  FolderItem* parent = nullptr;
  std::string name;
  uint32_t count = 1;
  bool pending = true;
};

uint32_t FatVolume::rangeCluster(uint32_t sector) const {
  const uint32_t spc = m_boot.sectorsPerCluster;
  if (m_boot.hasFixedRoot()) {
    if (sector < m_boot.dataStart) return 1;  // the root directory stands for cluster 1
    return uint32_t(std::min<uint64_t>(uint64_t(sector - m_boot.dataStart) / spc + 2, UINT32_MAX));
  }
  const uint64_t d = uint64_t(m_boot.dataStart) + uint64_t(spc) * (m_boot.rootCluster - 2);
  if (sector < d) return m_boot.rootCluster;
  return uint32_t(std::min<uint64_t>(m_boot.rootCluster + (sector - d) / spc, UINT32_MAX));
}

class FatVolume::FormattedScan {
 public:
  FormattedScan(FatVolume& v, ResultSink& sink, int preset, const FileFilter& filter, bool filterEnabled,
                Progress& progress)
      : m_v(v), m_sink(sink), m_preset(preset), m_filter(filter), m_filterEnabled(filterEnabled),
        m_progress(progress) {}

  Status run() {
    m_volumeItem = m_sink.addFolder(nullptr, m_v.rootItemText());
    m_volumeItem->image = 0;
    m_lost = m_sink.addFolder(m_volumeItem, "LostDIR");

    collect();
    m_progress.foundTotal.store(m_candidates.size());
    m_progress.foundCurrent.store(0);
    m_progress.setStatus({});
    if (m_candidates.empty()) return {};  // nothing found: the empty tree says so
    process();
    m_v.prune(m_sink, m_volumeItem);
    return {};
  }

 private:
  // Reads the range in order and keeps every cluster that looks like a folder. The range
  // holds only clusters that lie wholly inside the volume and the device (a cut image ends
  // it early). A bad sector reads as zeros and is recorded: it must not hide the folders
  // after it.
  void collect() {
    const FatBootSector& b = m_v.m_boot;
    uint32_t first = 0, last = 0;
    bool any = m_v.m_rangeFirst <= m_v.m_rangeLast;
    if (any) {
      first = m_v.rangeCluster(m_v.m_rangeFirst);
      last = std::min({m_v.rangeCluster(m_v.m_rangeLast), b.lastDataCluster, lastClusterOnDevice()});
      any = first <= last;
    }
    const uint64_t total = any ? uint64_t(last) - first + 1 : 0;
    m_progress.foundTotal.store(total);
    m_progress.foundCurrent.store(0);
    m_progress.setStatus("Found Folders : 0");
    if (!any) return;

    const FolderSectorFacts facts = m_v.sectorFacts();
    const uint32_t cb = b.clusterBytes();
    const uint32_t perBlock = uint32_t(std::max<uint64_t>(1, kBlockBytes / cb));
    std::vector<uint8_t> block;
    uint32_t c = first;
    uint64_t j = 0;
    size_t shown = 0;  // the count the status text shows
    while (c <= last && m_v.m_scanFlag.isSet()) {
      const uint32_t n = (b.hasFixedRoot() && c == 1) ? 1 : std::min<uint32_t>(perBlock, last - c + 1);
      if (!m_v.readClusters(c, n, block)) return;  // the range was cut to the volume: not reached
      const size_t unit = block.size() / n;
      for (uint32_t k = 0; k < n && m_v.m_scanFlag.isSet(); ++k, ++c, ++j) {
        m_progress.foundCurrent.store(j);
        if (m_candidates.size() != shown) {
          shown = m_candidates.size();
          m_progress.setStatus(numberedText("Found Folders : %d", shown));
        }
        consider(c, ByteSpan(block.data() + k * unit, unit), facts);
      }
      if (!m_v.m_scanFlag.isSet()) return;
    }
  }

  void consider(uint32_t c, ByteSpan cluster, const FolderSectorFacts& facts) {
    if (!folderSectorTest(cluster.first(std::min<size_t>(cluster.size(), m_v.m_boot.bytesPerSector)), facts)) return;
    if (!beginsWithDotEntries(cluster) && m_haveLastStart && c == m_lastStart + 1) {
      ++m_candidates.back().count;
      return;
    }
    m_index[c] = m_candidates.size();
    m_candidates.push_back(Candidate{c, m_volumeItem, {}, 1, true});
    m_lastStart = c;
    m_haveLastStart = true;
  }

  // The last cluster whose bytes lie wholly on the device (a cut image holds fewer than its
  // boot sector claims).
  uint32_t lastClusterOnDevice() const {
    const FatBootSector& b = m_v.m_boot;
    const uint64_t device = m_v.m_reader.deviceSize();
    const uint64_t base = m_v.m_reader.base();
    const uint64_t bytes = device > base ? device - base : 0;
    const uint64_t start = b.clusterOffset(2);
    if (bytes < start + b.clusterBytes()) return b.hasFixedRoot() ? 1 : 0;
    return uint32_t(std::min<uint64_t>(2 + (bytes - start) / b.clusterBytes() - 1, UINT32_MAX));
  }

  bool waiting(uint32_t cluster) const {
    auto it = m_index.find(cluster);
    return it != m_index.end() && m_candidates[it->second].pending;
  }

  void process() {
    std::deque<size_t> list;
    for (size_t i = 0; i < m_candidates.size(); ++i) list.push_back(i);
    const FatBootSector& b = m_v.m_boot;
    std::vector<uint8_t> data;
    size_t deferred = 0;  // consecutive deferrals: a full turn without progress ends them
    uint64_t taken = 0;
    while (!list.empty()) {
      const size_t idx = list.front();
      Candidate& cand = m_candidates[idx];
      if (!m_v.readClusters(cand.first, cand.count, data)) {
        // Read once already while collecting; if it fails now, the other folders still count.
        cand.pending = false;
        list.pop_front();
        m_progress.foundCurrent.store(++taken);
        continue;
      }
      size_t start = 0;
      if (beginsWithDotEntries(data)) {
        const uint32_t dotdot = m_v.entryCluster(*FatDirEntry::at(data, 1));
        // A folder is processed after its parent, unless they wait on each other.
        if (dotdot != cand.first && waiting(dotdot) && deferred < list.size()) {
          list.pop_front();
          list.push_back(idx);
          ++deferred;
          continue;
        }
        const bool parentIsRoot = dotdot == 0 || (!b.hasFixedRoot() && dotdot == b.rootCluster);
        if (!parentIsRoot && cand.parent == m_volumeItem) cand.parent = m_lost;
        start = 2;
      } else if (cand.first > (b.hasFixedRoot() ? 1 : b.rootCluster)) {
        cand.parent = m_lost;
      }
      deferred = 0;
      if (cand.name.empty()) cand.name = numberedText("DIR%d", m_nameCounter++);
      FolderItem* item = m_sink.addFolder(cand.parent, cand.name);
      examine(data, start, item);
      cand.pending = false;
      list.pop_front();
      m_progress.foundCurrent.store(++taken);
    }
  }

  void examine(const std::vector<uint8_t>& data, size_t start, FolderItem* item) {
    LongNameAccumulator longName;
    const size_t entries = FatDirEntry::countIn(data);
    for (size_t i = start; i < entries; ++i) {
      const FatDirEntry e = *FatDirEntry::at(data, i);
      // Anything that is not the next long-name piece or its short entry ends a long name,
      // so no file is listed under an older file's name.
      if (!longName.feed(e)) continue;
      if (!m_v.entryTest(e, !longName.empty())) {
        longName.clear();
        continue;
      }
      const ShortName sn = shortNameOf(e);
      if (e.isDirectory()) {
        if (!e.isDotEntry()) {
          auto it = m_index.find(m_v.entryCluster(e));
          if (it != m_index.end() && m_candidates[it->second].pending) {
            Candidate& named = m_candidates[it->second];
            named.parent = item;
            named.name = longName.empty() ? sn.base : cutUtf8(longName.text(), kFatNameBytes);
          }
        }
      } else {
        const ListedName n = listedNameOf(longName.empty() ? std::string() : longName.text(), sn);
        auto record = m_v.makeRecord(e, n, attributeTextOf(e.attributes));
        record->deleted = e.deleted();
        if (keep(*record)) {
          m_v.judgeStart(*record, e);
          m_sink.addFile(item, std::move(record));
        }
      }
      longName.clear();
    }
  }

  bool keep(const FatFileRecord& r) const {
    if (m_preset == kPresetPictures) return inList(kPictureExtensions, r.extension);
    if (m_preset == kPresetMail) return inList(kMailExtensions, r.extension);
    return FilterAccepts(m_filter, r, m_filterEnabled);
  }

  FatVolume& m_v;
  ResultSink& m_sink;
  int m_preset;
  const FileFilter& m_filter;
  bool m_filterEnabled;
  Progress& m_progress;
  FolderItem* m_volumeItem = nullptr;
  FolderItem* m_lost = nullptr;
  std::vector<Candidate> m_candidates;
  std::unordered_map<uint32_t, size_t> m_index;  // first cluster → candidate (each cluster once)
  uint32_t m_lastStart = 0;
  bool m_haveLastStart = false;
  uint32_t m_nameCounter = 0;
};

Status FatVolume::scanFormatted(ResultSink& sink, int preset, const FileFilter& filter, bool filterEnabled,
                                Progress& progress) {
  if (!m_valid) return fail(m_openError);
  std::lock_guard lock(m_readerMutex);
  return FormattedScan(*this, sink, preset, filter, filterEnabled, progress).run();
}

}  // namespace velk
