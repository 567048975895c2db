#include "engines/fat/fat_volume.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "formats/fat_table.h"
#include "support/text.h"

namespace velk {

using namespace fatlayout;

namespace {

// The table is read through a buffer of this size.
constexpr uint64_t kTablePieceBytes = 1 << 20;
// An entry that neither copy of the table could give.
constexpr uint32_t kUnknownEntry = 0xFFFFFFFF;

}  // namespace

// ---------------------------------------------------------------------------- opening

FatVolume::FatVolume(SectorReader reader, uint64_t startSector, char letter)
    : m_reader(std::move(reader)), m_startSector(startSector), m_letter(letter) {
  if (!m_reader.isOpen()) {
    m_openError = notFoundError("the volume's device");
    return;
  }
  open();
}

void FatVolume::open() {
  auto boot = readBootSector();
  if (!boot) {
    m_openError = boot.error();
    m_reader.Close();
    return;
  }
  m_boot = *boot;
  if (Status loaded = loadTable(); !loaded) {
    m_fat.clear();
    m_openError = loaded.error();
    m_reader.Close();
    return;
  }
  m_valid = true;
  computeChainEstimate();
}

Result<FatBootSector> FatVolume::readBootSector() {
  std::array<uint8_t, kBootSectorSize> sector{};
  Result<FatBootSector> primary = fail(corruptError("the FAT boot sector", "it cannot be read"));
  if (readSalvaging(0, sector.size(), sector.data()) == 0) primary = FatBootSector::parse(sector);
  if (primary) return primary;
  // FAT32 keeps a copy at sector 6. The sector size is not known yet: each legal one is
  // tried, and the copy must agree with the size it was found at.
  for (uint32_t bps : {512u, 1024u, 2048u, 4096u}) {
    const uint64_t at = uint64_t(kDefaultBackupBootSector) * bps;
    if (at + sector.size() > m_reader.deviceSize() - std::min(m_reader.deviceSize(), m_reader.base())) break;
    if (readSalvaging(at, sector.size(), sector.data()) != 0) continue;
    auto backup = FatBootSector::parse(sector);
    if (!backup || backup->width != FatWidth::Fat32 || backup->bytesPerSector != bps ||
        backup->reservedSectors <= kDefaultBackupBootSector)
      continue;
    m_bootSectorUsed = kDefaultBackupBootSector;
    m_damage.damaged(kBackupBootUsed);
    return backup;
  }
  return primary;
}

Status FatVolume::loadTable() {
  const FatWidth width = m_boot.width;
  const uint64_t bps = m_boot.bytesPerSector;
  // Only the entries of clusters that exist are kept; the rest of the table says nothing.
  const size_t entries = size_t(m_boot.lastDataCluster) + 1;
  const uint64_t readBytes = (fatTableBytes(entries, width) + bps - 1) / bps * bps;
  const auto copyOffset = [&](uint32_t copy) {
    return (uint64_t(m_boot.reservedSectors) + uint64_t(copy - 1) * m_boot.sectorsPerFat) * bps;
  };
  // A damaged boot sector must not make us allocate more than the device holds.
  const uint64_t deviceSize = m_reader.deviceSize();
  if (m_reader.base() > deviceSize || copyOffset(1) + readBytes > deviceSize - m_reader.base())
    return fail(corruptError("the FAT boot sector", "its allocation table lies past the volume's end"));

  // A first table whose head is unreadable or wiped while the second holds is replaced whole.
  std::vector<uint8_t> head(static_cast<size_t>(bps));
  const auto headHolds = [&](uint32_t copy) {
    if (!m_reader.ReadAt(copyOffset(copy), head.size(), head.data())) return false;
    const auto e0 = fatEntryAt(head, 0, width);
    return e0 && fatTableHeadHolds(*e0, width);
  };
  const uint32_t copies = std::min<uint32_t>(m_boot.numberOfFats, 2);
  if (copies == 2 && !headHolds(1) && copyOffset(2) + readBytes <= deviceSize - m_reader.base() && headHolds(2)) {
    m_fatCopyUsed = 2;
    m_damage.damaged(kSecondFatUsed);
  }
  const uint32_t other = copies == 2 ? 3 - m_fatCopyUsed : 0;

  // FAT12 entries straddle byte boundaries: its table (at most 6 KiB) is read in one piece.
  // Wider entries never straddle a sector, so a megabyte at a time decodes whole entries.
  const uint64_t pieceBytes = width == FatWidth::Fat12 ? readBytes : std::min(readBytes, kTablePieceBytes);
  const uint64_t entryBytes = width == FatWidth::Fat16 ? 2 : 4;
  m_fat.assign(entries, 0);
  std::vector<uint8_t> raw(static_cast<size_t>(pieceBytes));
  
  for (uint64_t done = 0; done < readBytes; done += pieceBytes) {
    const size_t n = size_t(std::min(pieceBytes, readBytes - done));
    const uint64_t at = copyOffset(m_fatCopyUsed) + done;
    std::vector<std::pair<uint64_t, uint64_t>> unknown;  // byte ranges of the piece neither copy gave
    if (!m_reader.ReadAt(at, n, raw.data())) {
      for (uint64_t s = 0; s < n; s += bps) {
        if (m_reader.ReadAt(at + s, size_t(bps), raw.data() + s)) continue;
        m_damage.unreadable(m_reader.diskSectorOf(at + s), bps / kSectorSize);
        if (other && m_reader.ReadAt(copyOffset(other) + done + s, size_t(bps), raw.data() + s)) continue;
        if (other) m_damage.unreadable(m_reader.diskSectorOf(copyOffset(other) + done + s), bps / kSectorSize);
        std::memset(raw.data() + s, 0, size_t(bps));
        unknown.emplace_back(s, s + bps);
      }
    }
    const ByteSpan piece(raw.data(), n);
    const size_t first = width == FatWidth::Fat12 ? 0 : size_t(done / entryBytes);
    size_t end = first;
    for (; end < entries; ++end) {
      const auto value = fatEntryAt(piece, end - first, width);
      if (!value) break;
      m_fat[end] = *value;
    }
    // Entries with a byte in a sector neither copy gave are not known.
    for (const auto& [lo, hi] : unknown) {
      const uint64_t from = width == FatWidth::Fat12 ? (lo ? (lo - 1) * 2 / 3 : 0) : lo / entryBytes;
      const uint64_t to = width == FatWidth::Fat12 ? hi * 2 / 3 + 1 : (hi + entryBytes - 1) / entryBytes;
      for (uint64_t k = from; k < to && first + k < end; ++k) {
        const uint64_t byte = width == FatWidth::Fat12 ? k + k / 2 : k * entryBytes;
        if (byte < hi && byte + (width == FatWidth::Fat32 ? 4 : 2) > lo) m_fat[first + k] = kUnknownEntry;
      }
    }
  }
  return {};
}

uint32_t FatVolume::fatEntry(uint32_t c) const { return c < m_fat.size() ? m_fat[c] : 0; }

bool FatVolume::isEndOfChain(uint32_t v) const { return v >= fatEndOfChain(m_boot.width); }

bool FatVolume::allocated(uint32_t c) const {
  const uint32_t v = fatEntry(c);
  return v != 0 && v != kUnknownEntry;
}

void FatVolume::computeChainEstimate() {
  // Counts the clusters of short chains (under four clusters): the files in use that the
  // walk steps over, which is what its progress count advances by.
  m_chainEstimate = 0;
  std::vector<bool> reached(m_fat.size(), false);
  const uint32_t first = m_boot.hasFixedRoot() ? 2 : m_boot.rootCluster;
  for (uint32_t i = first; i < m_fat.size(); ++i) {
    if (!allocated(i) || reached[i]) continue;
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
  const char* bits = m_boot.width == FatWidth::Fat12 ? "12" : m_boot.width == FatWidth::Fat16 ? "16" : "32";
  char buf[64];
  std::snprintf(buf, sizeof buf, "FAT%s - Logical Disk (%c:)", bits, m_letter);
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

// ---------------------------------------------------------------------------- reading

uint64_t FatVolume::readSalvaging(uint64_t offset, size_t length, uint8_t* out, Error* firstError) {
  if (m_reader.ReadAt(offset, length, out)) return 0;
  // Before the boot sector is known, the disk's own sector is the unit.
  const uint64_t unit = m_boot.bytesPerSector ? m_boot.bytesPerSector : kSectorSize;
  uint64_t missing = 0;
  bool first = true;
  for (uint64_t done = 0; done < length;) {
    const uint64_t at = offset + done;
    const size_t n = size_t(std::min<uint64_t>(length - done, unit - at % unit));
    if (Status read = m_reader.ReadAt(at, n, out + done); !read) {
      std::memset(out + done, 0, n);
      m_damage.unreadable(m_reader.diskSectorOf(at), (n + kSectorSize - 1) / kSectorSize);
      if (first && firstError) *firstError = read.error();
      first = false;
      missing += n;
    }
    done += n;
  }
  return missing;
}

uint64_t FatVolume::runBytes(uint32_t c, uint32_t count) const {
  if (count == 0) return 0;
  if (m_boot.hasFixedRoot() && c == 1)
    return uint64_t(m_boot.rootDirSectors) * m_boot.bytesPerSector + uint64_t(count - 1) * m_boot.clusterBytes();
  return uint64_t(count) * m_boot.clusterBytes();
}

Status FatVolume::readClusters(uint32_t c, uint32_t count, std::vector<uint8_t>& out, uint64_t* missing,
                               Error* firstError) {
  uint64_t offset;
  const auto outside = [] { return fail(corruptError("a cluster number", "it lies outside the volume")); };
  if (m_boot.hasFixedRoot() && c == 1) {
    // The fixed root directory sits right before cluster 2, at its own size.
    offset = uint64_t(m_boot.rootDirStart) * m_boot.bytesPerSector;
    if (count > 1 && !m_boot.isDataCluster(count)) return outside();
  } else {
    if (!m_boot.isDataCluster(c) || count == 0 || !m_boot.isDataCluster(c + count - 1)) return outside();
    offset = m_boot.clusterOffset(c);
  }
  out.resize(size_t(runBytes(c, count)));
  const uint64_t lost = readSalvaging(offset, out.size(), out.data(), firstError);
  if (missing) *missing = lost;
  return {};
}

// ---------------------------------------------------------------------------- entries

bool FatVolume::entryTest(const FatDirEntry& e, bool hasLongName) const {
  if (e.first() == kNeverUsed) return false;
  if (m_boot.hasFixedRoot()) {
    const uint32_t c = e.clusterLow;
    // An empty file owns no cluster: first cluster 0 with size 0 is a real file.
    const bool emptyFile = c == 0 && !e.isDirectory() && e.size == 0;
    if (!emptyFile && (c < 1 || c > m_boot.totalSectors / m_boot.sectorsPerCluster)) return false;
  } else if (e.clusterHigh > (m_boot.fatBytes() >> 18)) {
    return false;
  }
  if (!m_boot.hasFixedRoot() && hasLongName) return true;
  if (!hasLongName && !shortNameBytesHold(e)) return false;
  if (!m_boot.hasFixedRoot()) return true;
  // Dates a FAT driver can have written, however long ago: an old card's files count.
  return validFatDate(e.createDate) && validFatDate(e.writeDate) && validFatDate(e.accessDate);
}

FolderSectorFacts FatVolume::sectorFacts() const {
  return {m_boot.totalSectors / m_boot.sectorsPerCluster, m_boot.width == FatWidth::Fat32};
}

std::unique_ptr<FatFileRecord> FatVolume::makeRecord(const FatDirEntry& e, const ListedName& n,
                                                     const std::string& attributes) const {
  auto r = std::make_unique<FatFileRecord>();
  const size_t extBytes = n.recordExtension.empty() ? 0 : n.recordExtension.size() + 1;
  r->name = cutUtf8(n.base, kFatNameBytes - std::min(extBytes, kFatNameBytes / 2));
  if (!n.recordExtension.empty()) r->name += "." + n.recordExtension;
  r->extension = n.recordExtension;
  r->attributes = attributes;
  r->size = e.size;
  r->createTime = e.createTime;
  r->createDate = e.createDate;
  r->accessDate = e.accessDate;
  r->writeTime = e.writeTime;
  r->writeDate = e.writeDate;
  r->firstCluster = entryCluster(e);
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

}  // namespace velk
