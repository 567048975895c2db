#include "engines/fat/fat_volume.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <deque>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "support/text.h"
#include "workspace/file_filter.h"

namespace velk {

using namespace fatlayout;

namespace {

// Extraction and the formatted scan stream through buffers of this size.
constexpr uint64_t kBlockBytes = 1 << 20;
// Files found between two updates of the status text: formatting and storing it for every
// file cost as much as finding the file; the count is exact again when the walk ends.
constexpr uint64_t kStatusEvery = 64;

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

// "." and ".." name the folder itself and its parent: never followed as sub-folders.
bool isDotEntry(const uint8_t* e) {
  return std::memcmp(e, ".          ", 11) == 0 || std::memcmp(e, "..         ", 11) == 0;
}

std::string foundText(const char* format, uint64_t n) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, int(n));
  return buf;
}

}  // namespace

// ---------------------------------------------------------------------------- opening

FatVolume::FatVolume(FatWidth width, SectorReader reader, uint32_t startSector, char letter)
    : m_width(width), m_reader(std::move(reader)), m_startSector(startSector), m_letter(letter) {
  m_currentYear = currentLocalYear();
  if (!m_reader.isOpen()) {
    m_openError = notFoundError("the volume's device");
    return;
  }
  open();
}

void FatVolume::open() {
  std::array<uint8_t, kBootSectorSize> boot{};
  if (auto read = m_reader.ReadAt(0, boot.size(), boot.data()); !read) {
    m_openError = read.error();
    m_reader.Close();
    return;
  }
  auto parsed = FatBootSector::parse(boot, m_width);
  if (!parsed) {
    m_openError = parsed.error();
    m_reader.Close();
    return;
  }
  m_boot = *parsed;

  // Only the entries of clusters that exist are kept; the rest of the table says nothing.
  const uint32_t entryBytes = m_width == FatWidth::Fat16 ? 2 : 4;
  const uint64_t needed = (uint64_t(m_boot.lastDataCluster) + 1) * entryBytes;
  const uint64_t bps = m_boot.bytesPerSector;
  const uint64_t readBytes = (needed + bps - 1) / bps * bps;
  const uint64_t fatOffset = uint64_t(m_boot.reservedSectors) * bps;
  // A damaged boot sector must not make us allocate more than the device holds.
  const uint64_t deviceSize = m_reader.deviceSize();
  if (m_reader.base() > deviceSize || fatOffset + readBytes > deviceSize - m_reader.base()) {
    m_openError = corruptError("the FAT boot sector", "its allocation table lies past the volume's end");
    m_reader.Close();
    return;
  }
  // Read a piece at a time into one buffer: a table of millions of entries is not held
  // twice, and the buffer stays in the cache while its entries are decoded.
  const size_t entries = size_t(m_boot.lastDataCluster) + 1;
  m_fat.resize(entries);
  std::vector<uint8_t> raw(size_t(std::min<uint64_t>(readBytes, kBlockBytes)));
  for (uint64_t done = 0; done < readBytes; done += raw.size()) {
    const size_t n = size_t(std::min<uint64_t>(raw.size(), readBytes - done));
    if (auto read = m_reader.ReadAt(fatOffset + done, n, raw.data()); !read) {
      m_fat.clear();
      m_openError = read.error();
      m_reader.Close();
      return;
    }
    const size_t first = size_t(done / entryBytes);
    const size_t count = std::min(entries - std::min(entries, first), n / entryBytes);
    for (size_t k = 0; k < count; ++k)
      m_fat[first + k] =
          m_width == FatWidth::Fat16 ? le16(raw.data() + 2 * k) : (le32(raw.data() + 4 * k) & kFat32EntryMask);
  }
  m_valid = true;
  computeChainEstimate();
}

uint32_t FatVolume::fatEntry(uint32_t c) const { return c < m_fat.size() ? m_fat[c] : 0; }

bool FatVolume::isEndOfChain(uint32_t v) const {
  return v >= (m_width == FatWidth::Fat16 ? kEndOfChain16 : kEndOfChain32);
}

void FatVolume::computeChainEstimate() {
  // Counts the clusters of short chains (under four clusters): the files in use that the
  // walk steps over, which is what its progress count advances by.
  m_chainEstimate = 0;
  std::vector<bool> reached(m_fat.size(), false);
  const uint32_t first = m_width == FatWidth::Fat16 ? 2 : m_boot.rootCluster;
  for (uint32_t i = first; i < m_fat.size(); ++i) {
    if (m_fat[i] == 0 || reached[i]) continue;
    int64_t n = 1;
    uint32_t c = m_fat[i];
    // Each cluster is marked once, so a looping or cross-linked chain ends.
    while (!isEndOfChain(c) && c >= 2 && c < m_fat.size() && !reached[c]) {
      reached[c] = true;
      ++n;
      c = m_fat[c];
    }
    if (n < 4 && m_chainEstimate < INT32_MAX - 4) m_chainEstimate += int32_t(n);
  }
}

std::string FatVolume::rootItemText() const {
  char buf[64];
  std::snprintf(buf, sizeof buf, m_width == FatWidth::Fat16 ? "FAT16 - Logical Disk (%c:)" : "FAT32 - Logical Disk (%c:)",
                m_letter);
  return buf;
}

void FatVolume::setScope(std::string_view folderPath, std::string_view patternText) {
  m_scopePath = parseScopePath(folderPath);
  m_patterns = parseNamePatterns(patternText);
}

void FatVolume::setScanRange(uint32_t firstSector, uint32_t lastSector) {
  m_rangeFirst = firstSector;
  m_rangeLast = lastSector;
}

// ---------------------------------------------------------------------------- entries

uint32_t FatVolume::entryCluster(const uint8_t* e) const {
  uint32_t c = le16(e + kClusterLow);
  if (m_width == FatWidth::Fat32) c |= uint32_t(le16(e + kClusterHigh)) << 16;
  return c;
}

bool FatVolume::entryTest(const uint8_t* e, bool hasLongName) const {
  if (e[kName] == kNeverUsed) return false;
  const bool directory = (e[kAttributes] & kAttrDirectory) != 0;
  if (m_width == FatWidth::Fat16) {
    const uint32_t c = le16(e + kClusterLow);
    // An empty file owns no cluster: first cluster 0 with size 0 is a real file.
    const bool emptyFile = c == 0 && !directory && le32(e + kFileSize) == 0;
    if (!emptyFile && (c < 1 || c > m_boot.totalSectors / m_boot.sectorsPerCluster)) return false;
  } else if (le16(e + kClusterHigh) > (m_boot.fatBytes() >> 18)) {
    return false;
  }
  if (m_width == FatWidth::Fat32 && hasLongName) return true;
  if (!hasLongName) {
    if (!directory)
      for (size_t k = 0; k < kExtensionLength; ++k)
        if (!isShortNameByte(e[kExtension + k])) return false;
    for (size_t k = 1; k < kNameLength; ++k)
      if (!isShortNameByte(e[kName + k])) return false;
  }
  if (m_width == FatWidth::Fat16) {
    return dateInWindow(le16(e + kCreateDate), m_currentYear) && dateInWindow(le16(e + kWriteDate), m_currentYear) &&
           dateInWindow(le16(e + kAccessDate), m_currentYear);
  }
  return true;
}

FolderSectorFacts FatVolume::sectorFacts() const {
  return {m_boot.totalSectors / m_boot.sectorsPerCluster, m_width == FatWidth::Fat32, m_currentYear};
}

uint64_t FatVolume::runBytes(uint32_t c, uint32_t count) const {
  if (count == 0) return 0;
  if (m_width == FatWidth::Fat16 && c == 1)
    return uint64_t(m_boot.rootDirSectors) * m_boot.bytesPerSector + uint64_t(count - 1) * m_boot.clusterBytes();
  return uint64_t(count) * m_boot.clusterBytes();
}

Status FatVolume::readClusters(uint32_t c, uint32_t count, std::vector<uint8_t>& out) {
  uint64_t offset;
  const auto outside = [] { return fail(corruptError("a cluster number", "it lies outside the volume")); };
  if (m_width == FatWidth::Fat16 && c == 1) {
    // The fixed root directory sits right before cluster 2, at its own size.
    offset = uint64_t(m_boot.rootDirStart) * m_boot.bytesPerSector;
    if (count > 1 && !m_boot.isDataCluster(count)) return outside();
  } else {
    if (!m_boot.isDataCluster(c) || count == 0 || !m_boot.isDataCluster(c + count - 1)) return outside();
    offset = m_boot.clusterOffset(c);
  }
  out.resize(size_t(runBytes(c, count)));
  return m_reader.ReadAt(offset, out.size(), out.data());
}

std::unique_ptr<FatFileRecord> FatVolume::makeRecord(const uint8_t* e, const ListedName& n,
                                                     const std::string& attributes) const {
  auto r = std::make_unique<FatFileRecord>();
  const size_t extBytes = n.recordExtension.empty() ? 0 : n.recordExtension.size() + 1;
  r->name = cutUtf8(n.base, kFatNameBytes - std::min(extBytes, kFatNameBytes / 2));
  if (!n.recordExtension.empty()) r->name += "." + n.recordExtension;
  r->extension = n.recordExtension;
  r->attributes = attributes;
  r->size = le32(e + kFileSize);
  r->firstCluster = entryCluster(e);
  r->createTime = le16(e + kCreateTime);
  r->createDate = le16(e + kCreateDate);
  r->accessDate = le16(e + kAccessDate);
  r->writeTime = le16(e + kWriteTime);
  r->writeDate = le16(e + kWriteDate);
  return r;
}

void FatVolume::prune(ResultSink& sink, FolderItem* root) const {
  if (!root) return;
  // Breadth-first order, then sums from the leaves up: no recursion, however deep the tree.
  std::vector<FolderItem*> order{root};
  for (size_t i = 0; i < order.size(); ++i)
    for (auto& child : order[i]->children) order.push_back(child.get());
  std::unordered_map<const FolderItem*, uint64_t> files;
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    uint64_t n = (*it)->files.size();
    for (auto& child : (*it)->children) n += files[child.get()];
    files[*it] = n;
  }
  std::vector<FolderItem*> empty;
  for (FolderItem* f : order)
    if (f != root && files[f] == 0 && (f->parent == root || files[f->parent] != 0)) empty.push_back(f);
  for (FolderItem* f : empty) sink.removeFolder(f);
}

// ---------------------------------------------------------------------------- deleted walk

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
    const uint32_t rootCluster = m_v.m_width == FatWidth::Fat16 ? 1 : m_v.m_boot.rootCluster;
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

  void showFound() { m_progress.setStatus(foundText("Found Deleted Files : %d", m_found)); }

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
    if (m_v.m_width == FatWidth::Fat16 && w.cluster == 1) {
      // The fixed root: its own sectors only, never continued through the table.
      if (Status read = m_v.readClusters(1, 1, m_buffer); !read) return read;
      examine(w, std::min<size_t>(b.rootEntries, m_buffer.size() / kEntrySize));
      return {};
    }
    std::unordered_set<uint32_t> visited{w.cluster};
    uint32_t c = w.cluster;
    for (;;) {
      // An unreadable cluster ends its folder only; the walk goes on with the others. Only
      // a root that cannot be read at all ends the scan.
      if (Status read = m_v.readClusters(c, 1, m_buffer); !read) return w.depth == 0 && c == w.cluster ? read : Status();
      if (examine(w, m_buffer.size() / kEntrySize) == Next::FolderDone) return {};
      // A deleted folder's chain is gone from the table: only its first cluster is read.
      if (!w.live) return {};
      const uint32_t next = m_v.fatEntry(c);
      if (m_v.isEndOfChain(next) || !b.isDataCluster(next) || !visited.insert(next).second) return {};
      c = next;
    }
  }

  Next examine(const FolderWork& w, size_t entries) {
    const std::string* scopeName = w.depth < m_v.m_scopePath.size() ? &m_v.m_scopePath[w.depth] : nullptr;
    const size_t start = beginsWithDotEntries(m_buffer) ? 2 : 0;
    for (size_t i = start; i < entries; ++i) {
      if (!m_v.m_scanFlag.isSet()) return Next::FolderDone;
      const uint8_t* e = m_buffer.data() + i * kEntrySize;
      const uint8_t attr = e[kAttributes];
      if (e[kName] == kNeverUsed || attr == kAttrVolumeLabel) {
        m_longName.clear();
        continue;
      }
      if (attr == kAttrLongName) {
        m_longName.add(e);
        continue;
      }
      if (!m_v.entryTest(e, !m_longName.empty())) {
        m_longName.clear();
        continue;
      }
      const ShortName sn = shortNameOf(e);
      Next next = Next::Continue;
      if (attr & kAttrDirectory) next = folderEntry(w, e, sn, scopeName);
      else if (!scopeName) fileEntry(w, e, sn);
      m_longName.clear();
      if (next == Next::FolderDone) return next;
    }
    return Next::Continue;
  }

  Next folderEntry(const FolderWork& w, const uint8_t* e, const ShortName& sn, const std::string* scopeName) {
    if (isDotEntry(e)) return Next::Continue;
    const std::string name = m_longName.empty() ? sn.base : cutUtf8(m_longName.text(), kFatNameBytes);
    if (scopeName && lowerAscii(name) != *scopeName) return Next::Continue;
    // The scope folder is the one followed; the rest of this folder is not examined.
    const Next done = scopeName ? Next::FolderDone : Next::Continue;
    const bool deleted = e[kName] == kDeletedMark;
    const bool live = w.live && !deleted;

    uint32_t cluster = 0;
    if (m_v.m_width == FatWidth::Fat16 || !deleted) {
      cluster = m_v.entryCluster(e);
      if (!m_v.m_boot.isDataCluster(cluster)) return done;
    } else {
      auto found = findDeletedFolder(e, w.cluster);
      if (!found) return done;
      cluster = *found;
    }

    if (m_v.m_width == FatWidth::Fat32 || deleted) {
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
  std::optional<uint32_t> findDeletedFolder(const uint8_t* e, uint32_t parentCluster) {
    const FatBootSector& b = m_v.m_boot;
    const uint32_t high = le16(e + kClusterHigh);
    const uint32_t low = le16(e + kClusterLow);
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
    if (!m_v.m_reader.ReadAt(b.clusterOffset(c), m_sector.size(), m_sector.data())) return std::nullopt;
    if (!folderSectorTest(m_sector, m_v.sectorFacts()) || !beginsWithDotEntries(m_sector)) return std::nullopt;
    return (uint32_t(le16(m_sector.data() + kEntrySize + kClusterHigh)) << 16) |
           le16(m_sector.data() + kEntrySize + kClusterLow);
  }

  void fileEntry(const FolderWork& w, const uint8_t* e, const ShortName& sn) {
    const bool inUse = e[kName] != kDeletedMark;
    const uint32_t size = le32(e + kFileSize);
    if (inUse && w.live) {
      const uint64_t cb = m_v.m_boot.clusterBytes();
      const uint64_t clusters = (uint64_t(size) + cb - 1) / cb;
      if (clusters < 4) m_progress.foundCurrent.fetch_add(clusters);
      return;
    }
    const ListedName n = listedNameOf(m_longName.empty() ? std::string() : m_longName.text(), sn);
    if (!patternsAccept(m_v.m_patterns, lowerAscii(n.base), n.matchExtension)) return;
    auto record = m_v.makeRecord(e, n, attributeTextOf(e[kAttributes]));
    record->deleted = true;
    if (!FilterAccepts(m_filter, *record, m_filterEnabled)) return;
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

// ---------------------------------------------------------------------------- formatted scan

struct FatVolume::Candidate {
  uint32_t first = 0;
  FolderItem* parent = nullptr;
  std::string name;
  uint32_t count = 1;
  bool pending = true;
};

uint32_t FatVolume::rangeCluster(uint32_t sector) const {
  const uint32_t spc = m_boot.sectorsPerCluster;
  if (m_width == FatWidth::Fat16) {
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
  // it early). A cluster that cannot be read is skipped: a bad sector must not hide the
  // folders after it.
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
    std::vector<uint8_t> block, single;
    uint32_t c = first;
    uint64_t j = 0;
    size_t shown = 0;  // the count the status text shows
    while (c <= last && m_v.m_scanFlag.isSet()) {
      const uint32_t n = (m_v.m_width == FatWidth::Fat16 && c == 1) ? 1 : std::min<uint32_t>(perBlock, last - c + 1);
      // When the block fails, its clusters are read one by one and only the failing ones skipped.
      const bool whole = m_v.readClusters(c, n, block).has_value();
      const size_t unit = whole ? block.size() / n : 0;
      for (uint32_t k = 0; k < n && m_v.m_scanFlag.isSet(); ++k, ++c, ++j) {
        m_progress.foundCurrent.store(j);
        if (m_candidates.size() != shown) {
          shown = m_candidates.size();
          m_progress.setStatus(foundText("Found Folders : %d", shown));
        }
        ByteSpan cluster;
        if (whole) {
          cluster = ByteSpan(block.data() + k * unit, unit);
        } else if (m_v.readClusters(c, 1, single)) {
          cluster = ByteSpan(single);
        } else {
          continue;
        }
        consider(c, cluster, facts);
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
    if (bytes < start + b.clusterBytes()) return m_v.m_width == FatWidth::Fat16 ? 1 : 0;
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
        const uint32_t dotdot = m_v.entryCluster(data.data() + kEntrySize);
        // A folder is processed after its parent, unless they wait on each other.
        if (dotdot != cand.first && waiting(dotdot) && deferred < list.size()) {
          list.pop_front();
          list.push_back(idx);
          ++deferred;
          continue;
        }
        const bool parentIsRoot = dotdot == 0 || (m_v.m_width == FatWidth::Fat32 && dotdot == b.rootCluster);
        if (!parentIsRoot && cand.parent == m_volumeItem) cand.parent = m_lost;
        start = 2;
      } else if (cand.first > (m_v.m_width == FatWidth::Fat16 ? 1 : b.rootCluster)) {
        cand.parent = m_lost;
      }
      deferred = 0;
      if (cand.name.empty()) cand.name = foundText("DIR%d", m_nameCounter++);
      FolderItem* item = m_sink.addFolder(cand.parent, cand.name);
      examine(data, start, item);
      cand.pending = false;
      list.pop_front();
      m_progress.foundCurrent.store(++taken);
    }
  }

  void examine(const std::vector<uint8_t>& data, size_t start, FolderItem* item) {
    LongNameAccumulator longName;
    const size_t entries = data.size() / kEntrySize;
    for (size_t i = start; i < entries; ++i) {
      const uint8_t* e = data.data() + i * kEntrySize;
      const uint8_t attr = e[kAttributes];
      // Anything that is not the next long-name piece or its short entry ends a long name,
      // so no file is listed under an older file's name.
      if (e[kName] == kNeverUsed || attr == kAttrVolumeLabel) {
        longName.clear();
        continue;
      }
      if (attr == kAttrLongName) {
        longName.add(e);
        continue;
      }
      if (!m_v.entryTest(e, !longName.empty())) {
        longName.clear();
        continue;
      }
      const ShortName sn = shortNameOf(e);
      if (attr & kAttrDirectory) {
        if (!isDotEntry(e)) {
          auto it = m_index.find(m_v.entryCluster(e));
          if (it != m_index.end() && m_candidates[it->second].pending) {
            Candidate& named = m_candidates[it->second];
            named.parent = item;
            named.name = longName.empty() ? sn.base : cutUtf8(longName.text(), kFatNameBytes);
          }
        }
      } else {
        const ListedName n = listedNameOf(longName.empty() ? std::string() : longName.text(), sn);
        auto record = m_v.makeRecord(e, n, attributeTextOf(attr));
        record->deleted = e[kName] == kDeletedMark;
        if (keep(*record)) m_sink.addFile(item, std::move(record));
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

// ---------------------------------------------------------------------------- engine

Status FatVolume::scan(ResultSink& sink, const ScanOptions& options, Progress& progress) {
  if (!m_valid) return fail(m_openError);
  switch (options.task) {
    case Task::Deleted:
      setScope(options.folder, options.extensionListForScan());
      return scanDeleted(sink, options.quickFilter, options.quickFilterEnabled, progress);
    case Task::Formatted: {
      if (options.firstSector == 0 && options.lastSector == 0) {
        setScanRange(0, m_boot.totalSectors - 1);
      } else {
        // The range comes in absolute 512-byte disk sectors; the scan counts the file
        // system's own sectors from the volume's start.
        auto toVolume = [&](uint64_t absolute) {
          const uint64_t rel = absolute > m_startSector ? absolute - m_startSector : 0;
          return uint32_t(std::min<uint64_t>(rel * kSectorSize / m_boot.bytesPerSector, UINT32_MAX));
        };
        if (options.lastSector < m_startSector || options.lastSector < options.firstSector)
          setScanRange(1, 0);
        else
          setScanRange(toVolume(options.firstSector), toVolume(options.lastSector));
      }
      return scanFormatted(sink, options.preset, options.quickFilter, options.quickFilterEnabled, progress);
    }
    case Task::Raw:
      break;
  }
  return fail(unsupportedError("the FAT engine does not run the raw scan"));
}

Status FatVolume::extract(const FileRecord& base, ByteSink& out) {
  const auto* record = dynamic_cast<const FatFileRecord*>(&base);
  if (!record) return fail(foreignRecordError());
  if (!m_valid) return fail(m_openError);
  const uint64_t size = record->size;
  if (size == 0) return {};  // an empty file owns no cluster: nothing to read
  const auto beyond = [] { return fail(corruptError("the file's entry", "its data lies outside the volume")); };
  if (record->firstCluster < 2) return beyond();

  // The data is one unbroken run from the first cluster; a run past the volume's end is
  // copied as far as the volume goes and reported as failed.
  const uint64_t offset = m_boot.clusterOffset(record->firstCluster);
  const uint64_t volumeEnd = m_boot.volumeBytes();
  if (offset >= volumeEnd) return beyond();
  const uint64_t available = std::min(size, volumeEnd - offset);
  const uint64_t bps = m_boot.bytesPerSector;
  const uint64_t whole = available / bps * bps;
  const uint64_t remainder = available - whole;

  std::lock_guard lock(m_readerMutex);
  // One buffer for every file extracted: a recovery extracts thousands of small files.
  const size_t bufBytes = size_t(std::min<uint64_t>(kBlockBytes, std::max<uint64_t>(whole, bps)));
  if (m_extractBuffer.size() < bufBytes) m_extractBuffer.resize(bufBytes);
  uint8_t* const buf = m_extractBuffer.data();
  for (uint64_t done = 0; done < whole;) {
    const size_t n = size_t(std::min<uint64_t>(bufBytes, whole - done));
    if (Status read = m_reader.ReadAt(offset + done, n, buf); !read) return read;
    if (!out.write(buf, n)) return fail(outputError(out));
    done += n;
  }
  if (remainder > 0) {
    if (Status read = m_reader.ReadAt(offset + whole, size_t(bps), buf); !read) return read;
    if (!out.write(buf, size_t(remainder))) return fail(outputError(out));
  }
  return available < size ? beyond() : Status();
}

}  // namespace velk
