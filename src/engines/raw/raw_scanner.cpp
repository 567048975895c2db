#include "engines/raw/raw_scanner.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "workspace/row_format.h"

namespace velk {
namespace {

// A carved window read on demand: from the chunks the scan has in hand (this one and the
// one before) when they hold the bytes, else from the device. Most carved files end inside
// the chunk they began in or the next one; reading them again from the device doubled the
// bytes copied per scan, and the step back broke the system's read-ahead.
class DeviceWindow final : public ByteSource {
 public:
  DeviceWindow(SectorReader& reader, uint64_t start, uint64_t length, const RawChunkView& chunk,
               const RawChunkView& before)
      : m_reader(reader), m_start(start), m_length(length), m_chunk(chunk), m_before(before) {}
  uint64_t size() const override { return m_length; }
  size_t read(uint64_t offset, uint8_t* out, size_t n) override {
    if (offset >= m_length) return 0;
    n = size_t(std::min<uint64_t>(n, m_length - offset));
    if (const uint8_t* p = peek(offset, n)) {
      std::memcpy(out, p, n);
      return n;
    }
    const uint64_t at = m_start + offset;
    if (m_chunk.data && m_before.data && m_before.offset + m_before.length == m_chunk.offset &&
        at >= m_before.offset && at + n <= m_chunk.offset + m_chunk.length) {
      const size_t first = size_t(std::min<uint64_t>(n, m_chunk.offset - std::min(at, m_chunk.offset)));
      std::memcpy(out, m_before.data + (at - m_before.offset), first);
      std::memcpy(out + first, m_chunk.data, n - first);
      return n;
    }
    return m_reader.ReadAt(at, n, out) ? n : 0;
  }
  const uint8_t* peek(uint64_t offset, size_t n) override {
    if (offset > m_length || n > m_length - offset) return nullptr;
    const uint64_t at = m_start + offset;
    if (!m_chunk.data || at < m_chunk.offset || at - m_chunk.offset > m_chunk.length ||
        n > m_chunk.length - (at - m_chunk.offset))
      return nullptr;
    return m_chunk.data + (at - m_chunk.offset);
  }

 private:
  SectorReader& m_reader;
  uint64_t m_start;
  uint64_t m_length;
  RawChunkView m_chunk;
  RawChunkView m_before;
};

}  // namespace

// ---- RawFileRecord ----------------------------------------------------------------------

std::string RawFileRecord::sizeText() const { return sizeTextNtfs(size); }

int RawFileRecord::compareColumn(const FileRecord& other, int column) const {
  if (column != kColumnSize) return 0;  // the other RAW columns are empty
  return size < other.size ? -1 : (size > other.size ? 1 : 0);
}

bool RawFileRecord::extensionAccepts(std::string_view extensionList) const {
  const std::string_view ext = textAfterFirstDot(name);
  return !ext.empty() && extensionList.find(ext) != std::string_view::npos;
}

std::vector<Field> RawFileRecord::fields() const {
  return {
      {"start_sector", startSector},
      {"disk_sector", diskSector},
      {"length", uint64_t(length)},
      {"description", description},
      {"extension", extension},
      {"structure", std::string(verdictText(verdict))},
  };
}

// ---- RawScanner -------------------------------------------------------------------------

bool RawScanner::open(const std::string& name, bool isPhysicalDrive) {
  if (isPhysicalDrive) return m_reader.OpenNamed(name, Access::Read).has_value();
  return !name.empty() && m_reader.OpenVolume(name[0], Access::Read).has_value();
}

void RawScanner::setStart(uint64_t startSector, uint32_t sectorSize) {
  m_start = startSector;
  m_sectorSize = sectorSize == 0 ? kRawSectorSize : sectorSize;
  m_reader.SetBaseBytes(startSector * m_sectorSize);
  m_reader.SetUnit(m_sectorSize);
}

uint64_t RawScanner::maximumSizeBytes() const {
  return uint64_t(std::min(m_maxSizeKb, kRawMaxSizeKbCap)) * 1024;
}

FormatEnd RawScanner::formatEndOf(uint64_t start, uint64_t length, int32_t entry) {
  if (!m_formatEnds || !m_catalog || entry < 0 || size_t(entry) >= m_catalog->size()) return {};
  DeviceWindow window(m_reader, start, length, m_chunk, m_chunkBefore);
  return findFormatEnd(m_catalog->entries()[size_t(entry)].extension, window);
}

void RawScanner::addRecord(uint64_t start, uint64_t length, int32_t entry, const FormatEnd& end) {
  const SignatureEntry& e = m_catalog->entries()[size_t(entry)];
  auto rec = std::make_unique<RawFileRecord>();
  if (end.end > 0 && end.end < length) length = end.end;
  rec->extension = end.extension.empty() ? e.extension : end.extension;
  rec->name = "File" + std::to_string(m_found.size()) + "." + rec->extension;
  rec->description = e.description;
  rec->startSector = start / m_sectorSize;
  rec->diskSector = m_diskBase + rec->startSector;
  rec->length = uint32_t(std::min<uint64_t>(length, UINT32_MAX));
  rec->size = rec->length;
  rec->entryIndex = entry;
  rec->verdict = end.verdict;
  rec->checked = false;
  m_found.push_back(std::move(rec));
}

void RawScanner::closeFile(uint64_t at) {
  if (!m_openStart) return;
  const uint64_t start = *m_openStart;
  const uint64_t length = at - start;
  const int32_t entry = m_openEntry;
  m_openStart.reset();
  m_openEntry = -1;
  if (length == 0) return;
  addRecord(start, length, entry, formatEndOf(start, length, entry));
}

void RawScanner::openHeader(uint64_t n, uint64_t q, int32_t entry, uint64_t rangeEnd) {
  if (m_openStart) closeFile(n > *m_openStart ? n : q);
  const SignatureEntry& e = m_catalog->entries()[size_t(entry)];
  if (m_formatEnds && isContainerFormat(e.extension)) {
    // A disc image or compound document says how long it is; files inside it are listed
    // on their own and do not cut it.
    const uint64_t window = std::min(maximumSizeBytes(), rangeEnd - n);
    const FormatEnd end = formatEndOf(n, window, entry);
    if (end.verdict == StructureVerdict::Valid && end.end > 0) {
      addRecord(n, end.end, entry, end);
      return;
    }
  }
  m_openStart = n;
  m_openEntry = entry;
}

Status RawScanner::scan(Progress* progress) {
  m_found.clear();
  m_recovery.clear();
  m_openStart.reset();
  m_openEntry = -1;
  if (!m_catalog || m_catalog->empty()) return fail(usageError("the signature catalogue holds no type"));
  const SignatureMatcher matcher(*m_catalog);
  if (matcher.enabledEntries() == 0) return fail(usageError("no file type is chosen"));
  if (!m_reader.isOpen()) return fail(notFoundError("the device to scan"));

  const uint64_t ss = m_sectorSize;
  // Never read past the device, whatever the range says.
  const uint64_t base = m_reader.base();
  const uint64_t deviceBytes = m_reader.deviceSize() > base ? m_reader.deviceSize() - base : 0;
  const uint64_t begin = m_rangeFirst * ss;
  const uint64_t end = std::min(m_rangeLast * ss, deviceBytes / ss * ss);
  const uint64_t largeBytes = uint64_t(kRawLargeChunkSectors) * ss;
  const uint64_t smallBytes = uint64_t(kRawSmallChunkSectors) * ss;
  const uint64_t limit = maximumSizeBytes();

  if (progress) {
    progress->foundTotal = end > begin ? (end - begin + largeBytes - 1) / largeBytes : 0;
    progress->foundCurrent = 0;
    progress->setStatus("Found Raw Files : 0");
  }
  // Two buffers in turn: the chunk before stays in hand for the files that began in it.
  std::vector<uint8_t> buffers[2] = {std::vector<uint8_t>(size_t(largeBytes)),
                                     std::vector<uint8_t>(size_t(largeBytes))};
  size_t turn = 0;
  uint64_t announced = 0;  // read-ahead asked for up to here
  MatchState state;
  uint64_t p = begin;
  m_chunk = {};
  while (p < end && m_flag->isSet()) {
    std::vector<uint8_t>& buffer = buffers[turn];
    turn ^= 1;
    m_chunkBefore = m_chunk;
    const uint64_t chunk = std::min(end - p >= largeBytes ? largeBytes : smallBytes, end - p);
    // The device reads the next chunks while this one is tested: the scan's own reads
    // (and the end rules' steps back) otherwise leave the system's read-ahead behind.
    // Each stretch is announced once.
    const uint64_t aheadEnd = std::min(end, p + chunk + kRawReadAheadChunks * largeBytes);
    if (aheadEnd > announced) {
      const uint64_t from = std::max(announced, p + chunk);
      if (aheadEnd > from) m_reader.WillRead(from, aheadEnd - from);
      announced = aheadEnd;
    }
    // One unreadable sector must not hide the rest of its chunk: a chunk that fails is read
    // again sector by sector, and only the sectors that do not read are skipped.
    const bool whole = m_reader.ReadAt(p, size_t(chunk), buffer.data()).has_value();
    m_chunk = whole ? RawChunkView{buffer.data(), p, chunk} : RawChunkView{};
    for (uint64_t off = 0; off < chunk; off += ss) {
      const uint64_t q = p + off;
      if (!whole && !m_reader.ReadAt(q, size_t(ss), buffer.data() + off)) {
        if (m_damage) m_damage->unreadable(m_reader.diskSectorOf(q), (ss + kSectorSize - 1) / kSectorSize);
        state.reset();  // a header cannot continue across data we did not see
        continue;
      }
      const SectorMatch m = matcher.testSector(buffer.data() + off, state);
      if (m.result == kHeader && m.backOffset <= q - begin) {
        openHeader(q - m.backOffset, q, m.entry, end);
      } else if (m_openStart && q - *m_openStart >= limit) {
        closeFile(q);
      }
    }
    p += chunk;
    if (progress) {
      progress->foundCurrent = (p - begin) / largeBytes;
      progress->setStatus("Found Raw Files : " + std::to_string(m_found.size()));
    }
  }
  // A file still open at the end of the range runs to the end of what was scanned.
  if (m_openStart) closeFile(std::min(p, end));
  m_chunk = {};
  m_chunkBefore = {};
  if (progress) progress->setStatus("Found Raw Files : " + std::to_string(m_found.size()));
  return {};
}

Status RawScanner::readFile(const RawFileRecord& record, std::vector<uint8_t>& out) {
  VectorSink sink;
  Status rc = writeFile(sink, record);
  out = std::move(sink.bytes());
  return rc;
}

Status RawScanner::writeFile(ByteSink& out, const RawFileRecord& record) {
  if (record.length == 0) return {};
  if (!m_reader.isOpen()) return fail(notFoundError("the scanned device"));
  return m_reader.ReadUnitsLooped(record.startSector, record.length, out);
}

void RawScanner::addRecovery(RawFileRecord* record) {
  if (record && std::find(m_recovery.begin(), m_recovery.end(), record) == m_recovery.end())
    m_recovery.push_back(record);
}

void RawScanner::removeRecovery(RawFileRecord* record) {
  auto it = std::find(m_recovery.begin(), m_recovery.end(), record);
  if (it != m_recovery.end()) m_recovery.erase(it);
}

// ---- planning and the engine ------------------------------------------------------------

Status planRawScan(const PartitionRecord& record, const ScanOptions& options, uint64_t deviceSectors,
                   RawScanPlan& plan) {
  uint64_t partSectors = record.length / kRawSectorSize;
  if (partSectors == 0 || partSectors > deviceSectors) partSectors = deviceSectors;
  plan.maxSizeKb = options.maxSizeKb == 0 ? kRawDefaultMaxSizeKb : options.maxSizeKb;
  if (options.firstSector == 0 && options.lastSector == 0) {
    plan.first = 0;
    plan.last = partSectors;
  } else {
    const uint64_t start = record.startSector;
    if (options.firstSector < start || options.lastSector <= options.firstSector) return fail(rangeError());
    plan.first = options.firstSector - start;
    plan.last = std::min(options.lastSector - start, partSectors);
  }
  return plan.first < plan.last ? Status() : fail(rangeError());
}

RawEngine::RawEngine(const PartitionRecord& record, SectorReader reader) : m_record(record) {
  const uint64_t base = reader.base();
  m_scanner.open(std::move(reader));
  m_scanner.setStart(base / kRawSectorSize);
  m_scanner.setDiskSectorBase(record.startSector);
  m_scanner.setScanFlag(&m_scanFlag);
  m_scanner.setDamageLog(&m_damage);
}

Status RawEngine::scan(ResultSink& sink, const ScanOptions& options, Progress& progress) {
  m_damage.clear();
  SignatureCatalog* catalog = options.rawCatalog;
  if (!catalog) {
    if (Status loaded = m_catalog.load(options.catalogPath); !loaded) return loaded;
    catalog = &m_catalog;
  }
  if (!options.rawTypes.empty()) catalog->enableExtensions(options.rawTypes);
  if (catalog->enabledCount() == 0) return fail(usageError("no file type is chosen"));

  RawScanPlan plan;
  const uint64_t base = m_scanner.reader().base();
  const uint64_t size = m_scanner.reader().deviceSize();
  const uint64_t deviceSectors = size > base ? (size - base) / kRawSectorSize : 0;
  if (Status planned = planRawScan(m_record, options, deviceSectors, plan); !planned) return planned;
  m_scanner.setRange(plan.first, plan.last);
  m_scanner.setMaximumSize(plan.maxSizeKb);
  m_scanner.setCatalog(catalog);
  if (Status scanned = m_scanner.scan(&progress); !scanned) return scanned;

  // One folder per description under the root, in the order the files were found.
  FolderItem* root = sink.addFolder(nullptr, rawRootText(m_record.letter));
  if (root) root->image = 0;
  for (auto& rec : m_scanner.takeFound()) {
    FolderItem* folder = sink.findFolder(root, rec->description);
    if (!folder) folder = sink.addFolder(root, rec->description);
    sink.addFile(folder, std::move(rec));
  }
  return {};
}

Status RawEngine::extract(const FileRecord& record, ByteSink& out) {
  const auto* raw = dynamic_cast<const RawFileRecord*>(&record);
  if (!raw) return fail(foreignRecordError());
  return m_scanner.writeFile(out, *raw);
}

std::string rawRootText(char letter) {
  char text[32];
  std::snprintf(text, sizeof text, "RAW - Logical Disk (%c:)", letter);
  return text;
}

Result<std::unique_ptr<RecoveryEngine>> openRawEngine(EngineSource source, Task task) {
  if (task != Task::Raw) return fail(unsupportedError("the raw engine runs the raw scan only"));
  source.reader.SetUnit(kRawSectorSize);
  return std::unique_ptr<RecoveryEngine>(std::make_unique<RawEngine>(source.record, std::move(source.reader)));
}

Error rangeError() { return usageError("the sector range is empty or lies outside the partition"); }

}  // namespace velk
