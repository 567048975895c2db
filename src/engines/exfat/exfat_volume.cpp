#include "engines/exfat/exfat_volume.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <unordered_map>

#include "engines/exfat/exfat_scans.h"
#include "formats/exfat_volume_facts.h"

namespace velk {

using namespace exfatlayout;

namespace {

void appendCluster(std::vector<ClusterRun>& runs, uint32_t c) {
  if (!runs.empty() && runs.back().first + runs.back().count == c) {
    ++runs.back().count;
    return;
  }
  runs.push_back({c, 1});
}

}  // namespace

// ---------------------------------------------------------------------------- table pages

const ExfatTablePages::Page& ExfatTablePages::page(uint64_t index) {
  ++m_clock;
  if (m_last < m_pages.size() && m_pages[m_last].index == index) {
    m_pages[m_last].lastUse = m_clock;
    return m_pages[m_last];
  }
  for (size_t i = 0; i < m_pages.size(); ++i) {
    if (m_pages[i].index != index) continue;
    m_last = i;
    m_pages[i].lastUse = m_clock;
    return m_pages[i];
  }
  Page p;
  p.index = index;
  p.lastUse = m_clock;
  const uint64_t start = index * kPageBytes;
  p.bytes.resize(size_t(std::min<uint64_t>(kPageBytes, m_bytes - start)));
  if (!m_loader(start, p.bytes.size(), p.bytes.data())) p.bytes.clear();
  if (m_pages.size() < kMaxPages) {
    m_pages.push_back(std::move(p));
    m_last = m_pages.size() - 1;
  } else {
    auto oldest = std::min_element(m_pages.begin(), m_pages.end(),
                                   [](const Page& a, const Page& b) { return a.lastUse < b.lastUse; });
    *oldest = std::move(p);
    m_last = size_t(oldest - m_pages.begin());
  }
  return m_pages[m_last];
}

std::optional<uint32_t> ExfatTablePages::le32(uint64_t offset) {
  if (offset >= m_bytes || m_bytes - offset < 4) return std::nullopt;
  const Page& p = page(offset / kPageBytes);
  const size_t in = size_t(offset % kPageBytes);
  if (in + 4 > p.bytes.size()) return std::nullopt;
  return velk::le32(p.bytes.data() + in);
}

std::optional<uint8_t> ExfatTablePages::byte(uint64_t offset) {
  if (offset >= m_bytes) return std::nullopt;
  const Page& p = page(offset / kPageBytes);
  const size_t in = size_t(offset % kPageBytes);
  if (in >= p.bytes.size()) return std::nullopt;
  return p.bytes[in];
}

// ---------------------------------------------------------------------------- opening

ExfatVolume::ExfatVolume(SectorReader reader, uint64_t startSector, char letter)
    : m_reader(std::move(reader)), m_letter(letter), m_startSector(startSector) {
  if (m_reader.isOpen()) open();
}

void ExfatVolume::open() {
  auto facts = readExfatVolumeFacts([this](uint64_t o, size_t n, uint8_t* p) { return read(o, n, p); }, false);
  if (!facts) {
    m_openError = unsupportedError("the volume holds no readable exFAT boot region");
    m_reader.Close();
    return;
  }
  m_boot = facts->found.boot;
  m_fromBackup = facts->found.fromBackup;
  m_label = std::move(facts->label);
  m_rootClusters = std::move(facts->rootClusters);
  const uint64_t fatAt = m_boot.activeFatOffset();
  m_fat.emplace((uint64_t(m_boot.clusterCount) + kFirstCluster) * 4,
                [this, fatAt](uint64_t o, size_t n, uint8_t* p) { return read(fatAt + o, n, p); });
  if (!facts->bitmapClusters.empty()) {
    m_bitmap.emplace(facts->bitmapBytes, [this, clusters = std::move(facts->bitmapClusters)](uint64_t o, size_t n,
                                                                                            uint8_t* p) {
      const uint64_t cb = m_boot.clusterBytes();
      while (n > 0) {
        const uint64_t index = o / cb, in = o % cb;
        if (index >= clusters.size()) return false;
        const size_t k = size_t(std::min<uint64_t>(n, cb - in));
        if (!read(m_boot.clusterOffset(clusters[size_t(index)]) + in, k, p)) return false;
        o += k;
        p += k;
        n -= k;
      }
      return true;
    });
  }
  m_valid = true;
}

std::string ExfatVolume::rootItemText() const {
  char buf[64];
  std::snprintf(buf, sizeof buf, "exFAT - Logical Disk (%c:)", m_letter);
  return buf;
}

void ExfatVolume::setScope(std::string_view folderPath, std::string_view patternText) {
  m_scopePath = parseScopePath(folderPath);
  m_patterns = parseNamePatterns(patternText);
}

// ---------------------------------------------------------------------------- clusters

std::optional<uint32_t> ExfatVolume::fatEntry(uint32_t c) { return m_fat ? m_fat->le32(uint64_t(c) * 4) : std::nullopt; }

bool ExfatVolume::allocated(uint32_t c) {
  if (!m_bitmap || !m_boot.isCluster(c)) return false;
  const uint32_t bit = c - kFirstCluster;
  const auto b = m_bitmap->byte(bit / 8);
  return b && ((*b >> (bit % 8)) & 1);
}

uint64_t ExfatVolume::nextUntaken(uint64_t c, bool formatted) {
  while (c <= m_boot.lastCluster()) {
    if (formatted) {
      auto it = std::upper_bound(m_claimed.begin(), m_claimed.end(), c,
                                 [](uint64_t v, const ClusterRun& r) { return v < r.first; });
      if (it == m_claimed.begin() || c - std::prev(it)->first >= std::prev(it)->count) return c;
      c = uint64_t(std::prev(it)->first) + std::prev(it)->count;
      continue;
    }
    const uint64_t bit = c - kFirstCluster;
    const auto b = m_bitmap ? m_bitmap->byte(bit / 8) : std::nullopt;
    if (!b) return c;
    if (*b == 0xFF && bit % 8 == 0) {
      c += 8;  // eight clusters in use at once: a full volume is crossed a byte at a time
      continue;
    }
    if (((*b >> (bit % 8)) & 1) == 0) return c;
    ++c;
  }
  return c;
}

uint32_t ExfatVolume::clusterAtByte(uint64_t offset) const {
  const uint64_t heap = uint64_t(m_boot.heapOffset) << m_boot.sectorShift;
  if (offset < heap) return kFirstCluster;
  return uint32_t(std::min<uint64_t>(kFirstCluster + (offset - heap) / m_boot.clusterBytes(), UINT32_MAX));
}

std::vector<ClusterRun> ExfatVolume::runsFor(const ExfatExtent& x, bool* chainGone) {
  std::vector<ClusterRun> runs;
  const uint64_t cb = m_boot.clusterBytes();
  const uint64_t n = x.dataLength / cb + (x.dataLength % cb ? 1 : 0);
  if (n == 0 || !m_boot.isCluster(x.firstCluster)) return runs;
  const uint64_t toHeapEnd = uint64_t(m_boot.lastCluster()) - x.firstCluster + 1;
  if (x.noFatChain) {
    runs.push_back({x.firstCluster, uint32_t(std::min(n, toHeapEnd))});
    return runs;
  }
  // The chain holds when it is exactly as long as the data and, for a removed object, none
  // of its clusters went to something else since.
  const ExfatChain chain = followExfatChain(m_boot, x.firstCluster, n, [this](uint32_t c) { return fatEntry(c); });
  bool holds = chain.complete && chain.clusters.size() == n;
  for (size_t i = 0; holds && !x.inUse && i < chain.clusters.size(); ++i) holds = !allocated(chain.clusters[i]);
  if (holds) {
    for (uint32_t c : chain.clusters) appendCluster(runs, c);
    return runs;
  }
  if (x.inUse && !x.formatted) {
    runs.push_back({x.firstCluster, uint32_t(std::min(n, toHeapEnd))});
    return runs;
  }
  // The chain is gone: the data is taken from the first cluster on, stepping over clusters
  // known to hold something else (marked in use, or found belonging to another object).
  if (chainGone) *chainGone = true;
  appendCluster(runs, x.firstCluster);
  uint64_t c = x.firstCluster;
  for (uint64_t taken = 1; taken < n; ++taken) {
    c = nextUntaken(c + 1, x.formatted);
    if (c > m_boot.lastCluster()) break;
    appendCluster(runs, uint32_t(c));
  }
  return runs;
}

bool ExfatVolume::overwritten(const ExfatExtent& x) {
  if (x.inUse && !x.formatted) return false;
  for (const ClusterRun& run : runsFor(x))
    for (uint64_t c = run.first; c < uint64_t(run.first) + run.count; ++c)
      if (allocated(uint32_t(c))) return true;
  return false;
}

// ---------------------------------------------------------------------------- engine

Status ExfatVolume::scan(ResultSink& sink, const ScanOptions& options, Progress& progress) {
  if (!m_valid) return fail(m_openError);
  std::lock_guard lock(m_readerMutex);
  switch (options.task) {
    case Task::Deleted:
      setScope(options.folder, options.extensionListForScan());
      return runDeletedWalk(*this, sink, options, progress);
    case Task::Formatted: {
      uint32_t first = kFirstCluster, last = m_boot.lastCluster();
      if (options.firstSector != 0 || options.lastSector != 0) {
        // The range comes in absolute 512-byte disk sectors.
        if (options.lastSector < m_startSector || options.lastSector < options.firstSector) return {};
        const uint64_t from = options.firstSector > m_startSector ? options.firstSector - m_startSector : 0;
        first = clusterAtByte(from * kSectorSize);
        last = std::min(last, clusterAtByte((options.lastSector - m_startSector) * kSectorSize));
      }
      return runFormattedScan(*this, sink, options, progress, first, last);
    }
    case Task::Raw:
      break;
  }
  return fail(unsupportedError("the exFAT engine does not run the raw scan"));
}

Result<ExtractionPlan> ExfatVolume::extractionPlan(const FileRecord& base) {
  const auto* r = dynamic_cast<const ExfatFileRecord*>(&base);
  if (!r) return fail(foreignRecordError());
  if (!m_valid) return fail(m_openError);
  // No file outgrows the heap: a length past it is damage, not megabytes of zeros to write.
  if (r->dataLength > m_boot.heapBytes()) return fail(corruptError("the file's entry set", "its size is larger than the volume"));
  std::lock_guard lock(m_readerMutex);
  const auto runs = runsFor({r->firstCluster, r->dataLength, r->noFatChain, r->inUse, r->formatted});
  // Bytes up to the valid data length come from the clusters, the rest reads as zeros (so
  // only the clusters before it must exist).
  ExtractionPlan plan;
  uint64_t remaining = r->validDataLength;
  const uint64_t cb = m_boot.clusterBytes();
  for (const ClusterRun& run : runs) {
    if (remaining == 0) break;
    const uint64_t bytes = std::min<uint64_t>(remaining, uint64_t(run.count) * cb);
    plan.disk(m_boot.clusterOffset(run.first), bytes);
    remaining -= bytes;
  }
  if (remaining > 0) return fail(corruptError("the file's clusters", "they end before its valid length"));
  plan.zeros(r->dataLength - r->validDataLength);
  return plan;
}

Status ExfatVolume::extract(const FileRecord& base, ByteSink& out) {
  auto plan = extractionPlan(base);
  if (!plan) return fail(plan.error());
  std::lock_guard lock(m_readerMutex);
  return writePlan(m_reader, *plan, out, &m_scanFlag);
}

void ExfatVolume::prune(ResultSink& sink, const std::vector<FolderItem*>& created) {
  // Parents are made before their children: from the last made back, each folder tells its
  // parent whether anything lies below. No recursion, however deep the tree. Parents are
  // looked up before anything is removed (a removed folder takes its children along).
  std::unordered_map<const FolderItem*, size_t> index;
  for (size_t i = 0; i < created.size(); ++i) index[created[i]] = i;
  std::vector<size_t> parent(created.size(), SIZE_MAX);
  for (size_t i = 0; i < created.size(); ++i) {
    auto it = index.find(created[i]->parent);
    if (it != index.end()) parent[i] = it->second;
  }
  std::vector<bool> keep(created.size(), false);
  for (size_t i = created.size(); i-- > 0;) {
    if (!created[i]->files.empty()) keep[i] = true;
    if (keep[i] && parent[i] != SIZE_MAX) keep[parent[i]] = true;
  }
  std::vector<bool> gone(created.size(), false);
  for (size_t i = 1; i < created.size(); ++i) {
    if (parent[i] != SIZE_MAX && gone[parent[i]]) {
      gone[i] = true;  // removed with its parent
    } else if (!keep[i]) {
      sink.removeFolder(created[i]);
      gone[i] = true;
    }
  }
}

}  // namespace velk
