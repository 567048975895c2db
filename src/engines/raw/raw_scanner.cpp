#include "engines/raw/raw_scanner.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "engines/raw/content_name.h"
#include "engines/raw/jpeg_join.h"
#include "support/text.h"
#include "workspace/recovery_job.h"
#include "workspace/row_format.h"

namespace velk {
namespace {

// A carved window read on demand: from the chunks the scan holds in memory (the one being
// tested, the one before, and those the reader thread has read ahead) when they hold the
// bytes, else from the device. Most carved files lie inside those chunks; reading them
// again from the device doubled the bytes copied per scan.
class DeviceWindow final : public ByteSource {
 public:
  DeviceWindow(SectorReader& reader, std::mutex& lock, uint64_t start, uint64_t length,
               std::vector<RawChunkView> chunks)
      : m_reader(reader), m_lock(lock), m_start(start), m_length(length), m_chunks(std::move(chunks)) {}
  uint64_t size() const override { return m_length; }
  size_t read(uint64_t offset, uint8_t* out, size_t n) override {
    if (offset >= m_length) return 0;
    n = size_t(std::min<uint64_t>(n, m_length - offset));
    size_t done = 0;
    while (done < n) {
      const uint64_t at = m_start + offset + done;
      const RawChunkView* c = chunkAt(at);
      if (!c) break;
      const size_t take = size_t(std::min<uint64_t>(n - done, c->offset + c->length - at));
      std::memcpy(out + done, c->data + (at - c->offset), take);
      done += take;
    }
    if (done == n) return n;
    const std::lock_guard device(m_lock);
    return m_reader.ReadAt(m_start + offset + done, n - done, out + done) ? n : done;
  }
  uint64_t resident(uint64_t offset) const override {
    if (offset >= m_length) return 0;
    const RawChunkView* c = chunkAt(m_start + offset);
    return c ? std::min(c->offset + c->length - (m_start + offset), m_length - offset) : 0;
  }
  const uint8_t* peek(uint64_t offset, size_t n) override {
    if (offset > m_length || n > m_length - offset) return nullptr;
    const uint64_t at = m_start + offset;
    const RawChunkView* c = chunkAt(at);
    return c && n <= c->offset + c->length - at ? c->data + (at - c->offset) : nullptr;
  }

 private:
  const RawChunkView* chunkAt(uint64_t at) const {
    for (const auto& c : m_chunks)
      if (at >= c.offset && at - c.offset < c.length) return &c;
    return nullptr;
  }

  SectorReader& m_reader;
  std::mutex& m_lock;
  uint64_t m_start;
  uint64_t m_length;
  std::vector<RawChunkView> m_chunks;
};

// The fewest bytes an entry's patterns fix (the shortest alternative of each).
size_t signatureBytes(const SignatureEntry& e) {
  size_t total = 0;
  for (int k = 0; k < e.patternCount; ++k) {
    size_t shortest = SIZE_MAX, start = 0;
    const std::string& p = e.patterns[size_t(k)];
    while (start <= p.size()) {
      const size_t bar = std::min(p.find('|', start), p.size());
      shortest = std::min(shortest, (bar - start) / 2);
      start = bar + 1;
    }
    total += shortest == SIZE_MAX ? 0 : shortest;
  }
  return total;
}

// Buffers of the reader thread: the chunk being tested, the one before it (files that
// began there) and a few read ahead.
constexpr size_t kRawPipelineSlots = 6;

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
      {"carved_name", carvedName.empty() ? name : carvedName},
      {"content_name", contentName},
      {"joined_at_sector", joinLength ? joinSector : uint64_t(0)},
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
  DeviceWindow window(m_reader, m_deviceLock, start, length,
                      m_pipeline ? m_pipeline->resident() : std::vector<RawChunkView>{});
  return findFormatEnd(m_catalog->entries()[size_t(entry)].extension, window);
}

void RawScanner::addRecord(uint64_t start, uint64_t length, int32_t entry, const FormatEnd& end) {
  const SignatureEntry& e = m_catalog->entries()[size_t(entry)];
  auto rec = std::make_unique<RawFileRecord>();
  if (end.end > 0 && end.end < length) length = end.end;
  rec->extension = end.extension.empty() ? e.extension : end.extension;
  rec->name = "File" + std::to_string(m_found.size()) + "." + rec->extension;
  rec->carvedName = rec->name;
  rec->description = e.description;
  rec->startSector = start / m_sectorSize;
  rec->diskSector = m_diskBase + rec->startSector;
  rec->length = uint32_t(std::min<uint64_t>(length, UINT32_MAX));
  rec->size = rec->length;
  rec->entryIndex = entry;
  rec->verdict = end.verdict;
  rec->checked = false;
  if (m_nameFromContent) nameFromContent(*rec);
  m_found.push_back(std::move(rec));
}

void RawScanner::closeFile(uint64_t at) {
  if (!m_open) return;
  const OpenFile file = std::move(*m_open);
  m_open.reset();
  if (at <= file.start) return;
  addRecord(file.start, at - file.start, file.entry, file.end);
}

void RawScanner::openHeader(uint64_t n, uint64_t q, int32_t entry, uint64_t runEnd) {
  const SignatureEntry& e = m_catalog->entries()[size_t(entry)];
  const bool decoded = m_formatEnds && endModeOf(e.extension) == EndMode::Decoded;
  const uint64_t window = std::min(maximumSizeBytes(), runEnd - n);
  while (!m_joinedPieces.empty() && m_joinedPieces.front().second <= n) m_joinedPieces.erase(m_joinedPieces.begin());
  const bool inJoined = !m_joinedPieces.empty() && n >= m_joinedPieces.front().first;
  if (n < m_claimEnd || inJoined) {
    // Inside a file whose structure gave its end: a stored picture in an archive, a track
    // in a container. Inside a file that proved itself, only a file that proves itself is
    // listed; inside one that did not (a size field, a trailer without its table), any
    // file whose structure ends. Other headers are its data.
    if (!decoded) return;
    const FormatEnd end = formatEndOf(n, window, entry);
    const bool listed = m_claimVerified || inJoined ? end.verdict == StructureVerdict::Verified
                                                    : end.verdict != StructureVerdict::Damaged;
    if (listed && end.end > 0 && !end.guessed) addRecord(n, end.end, entry, end);
    return;
  }
  if (m_open) closeFile(n > m_open->start ? n : q);
  if (decoded) {
    const FormatEnd end = formatEndOf(n, window, entry);
    if (end.end > 0 && !end.guessed) {
      addRecord(n, end.end, entry, end);
      m_claimEnd = n + end.end;
      m_claimVerified = end.verdict == StructureVerdict::Verified;
      return;
    }
    if (end.end == 0 && joinJpeg(n, runEnd, entry)) return;
    // A signature of one or two bytes matches random data every few megabytes: such a
    // header stands only when its structure does.
    if (end.end == 0 && signatureBytes(e) < 3) return;
    m_open = OpenFile{n, entry, end};
    return;
  }
  m_open = OpenFile{n, entry, {}};
}

void RawScanner::scanRun(ChunkPipeline& pipeline, const SignatureMatcher& matcher, uint64_t begin, uint64_t end,
                         Progress* progress, uint64_t& done) {
  const uint64_t ss = m_sectorSize;
  const uint64_t limit = maximumSizeBytes();
  MatchState state;
  m_open.reset();
  m_claimEnd = 0;
  m_joinedPieces.clear();
  uint64_t p = begin;
  while (p < end && m_flag->isSet()) {
    const ReadChunk* chunk = pipeline.next();
    if (!chunk) break;
    // The chunk before stays in hand for the files that began in it.
    pipeline.releaseAllBut(2);
    const uint64_t length = chunk->view.length;
    auto* buffer = const_cast<uint8_t*>(chunk->view.data);
    for (uint64_t off = 0; off < length; off += ss) {
      const uint64_t q = p + off;
      // One unreadable sector must not hide the rest of its chunk: a chunk that failed is
      // read again sector by sector, and only the sectors that do not read are skipped.
      if (!chunk->whole) {
        const std::lock_guard device(m_deviceLock);
        if (!m_reader.ReadAt(q, size_t(ss), buffer + off)) {
          if (m_damage) m_damage->unreadable(m_reader.diskSectorOf(q), (ss + kSectorSize - 1) / kSectorSize);
          state.reset();  // a header cannot continue across data we did not see
          continue;
        }
      }
      const SectorMatch m = matcher.testSector(buffer + off, state);
      if (m.result == kHeader && m.backOffset <= q - begin) {
        openHeader(q - m.backOffset, q, m.entry, end);
      } else if (m_open && q - m_open->start >= limit) {
        closeFile(q);
      }
    }
    p += length;
    done += length;
    if (progress) {
      progress->foundCurrent = done / (uint64_t(kRawLargeChunkSectors) * ss);
      progress->setStatus("Found Raw Files : " + std::to_string(m_found.size()));
    }
  }
  // A file still open at the end of the stretch runs to the end of what was scanned.
  if (m_open) closeFile(std::min(p, end));
}

Status RawScanner::scan(Progress* progress) {
  m_found.clear();
  m_recovery.clear();
  m_open.reset();
  if (!m_catalog || m_catalog->empty()) return fail(usageError("the signature catalogue holds no type"));
  const SignatureMatcher matcher(*m_catalog);
  if (matcher.enabledEntries() == 0) return fail(usageError("no file type is chosen"));
  if (!m_reader.isOpen()) return fail(notFoundError("the device to scan"));

  const uint64_t ss = m_sectorSize;
  // Never read past the device, whatever the range or the extents say.
  const uint64_t base = m_reader.base();
  const uint64_t deviceBytes = (m_reader.deviceSize() > base ? m_reader.deviceSize() - base : 0) / ss * ss;
  // Stretches of adjacent sectors: the range, or the extents with touching ones joined.
  std::vector<std::pair<uint64_t, uint64_t>> runs;
  if (m_extents.empty()) {
    runs.push_back({m_rangeFirst * ss, std::min(m_rangeLast * ss, deviceBytes)});
  } else {
    for (const auto& x : m_extents) {
      if (x.count == 0 || x.first > deviceBytes / ss) continue;
      const uint64_t a = x.first * ss, b = std::min((x.first + std::min(x.count, deviceBytes / ss - x.first)) * ss, deviceBytes);
      if (!runs.empty() && runs.back().second == a) runs.back().second = b;
      else if (runs.empty() || a >= runs.back().second) runs.push_back({a, b});
    }
  }
  const uint64_t largeBytes = uint64_t(kRawLargeChunkSectors) * ss;
  const uint64_t smallBytes = uint64_t(kRawSmallChunkSectors) * ss;
  std::vector<ChunkRequest> requests;
  uint64_t total = 0;
  for (size_t i = 0; i < runs.size(); ++i) {
    for (uint64_t p = runs[i].first; p < runs[i].second;) {
      const uint64_t left = runs[i].second - p;
      const uint64_t chunk = std::min(left >= largeBytes ? largeBytes : smallBytes, left);
      requests.push_back({p, chunk, i});
      p += chunk;
    }
    if (runs[i].second > runs[i].first) total += runs[i].second - runs[i].first;
  }
  if (progress) {
    progress->foundTotal = (total + largeBytes - 1) / largeBytes;
    progress->foundCurrent = 0;
    progress->setStatus("Found Raw Files : 0");
  }
  {
    ChunkPipeline pipeline(m_reader, m_deviceLock, std::move(requests), kRawPipelineSlots, size_t(largeBytes),
                           kRawReadAheadChunks * largeBytes);
    m_pipeline = &pipeline;
    uint64_t done = 0;
    for (const auto& [begin, end] : runs)
      if (end > begin && m_flag->isSet()) scanRun(pipeline, matcher, begin, end, progress, done);
    m_pipeline = nullptr;
  }
  if (progress) progress->setStatus("Found Raw Files : " + std::to_string(m_found.size()));
  return {};
}

bool RawScanner::joinJpeg(uint64_t start, uint64_t runEnd, int32_t entry) {
  const std::string_view ext = m_catalog->entries()[size_t(entry)].extension;
  if (lowerAscii(ext) != "jpg" && lowerAscii(ext) != "jpeg") return false;
  DeviceWindow window(m_reader, m_deviceLock, start, std::min(maximumSizeBytes(), runEnd - start),
                      m_pipeline ? m_pipeline->resident() : std::vector<RawChunkView>{});
  const auto join = findJpegContinuation(window, m_sectorSize);
  if (!join) return false;
  FormatEnd end;
  end.verdict = StructureVerdict::Verified;
  addRecord(start, join->firstLength + join->secondLength, entry, end);
  RawFileRecord& rec = *m_found.back();
  rec.joinSector = (start + join->secondOffset) / m_sectorSize;
  rec.joinLength = uint32_t(join->secondLength);
  if (m_nameFromContent) nameFromContent(rec);
  // The first piece is this file's; the second is skipped when the scan gets there.
  m_claimEnd = start + join->firstLength;
  m_claimVerified = true;
  m_joinedPieces.push_back({start + join->secondOffset, start + join->secondOffset + join->secondLength});
  return true;
}

void RawScanner::nameFromContent(RawFileRecord& rec) {
  VectorSink bytes;
  const uint64_t reach = std::min<uint64_t>(rec.length, 16u << 20);
  RawFileRecord head = rec;
  head.length = uint32_t(reach);
  if (head.joinLength) head.joinLength = uint32_t(std::min<uint64_t>(rec.joinLength, reach));
  {
    const std::lock_guard device(m_deviceLock);
    if (!writeFile(bytes, head)) return;
  }
  MemorySource source(bytes.bytes());
  const std::string name = contentNameOf(rec.extension, source);
  if (name.empty()) return;
  rec.contentName = safeComponent(name + "." + rec.extension);
  rec.name = rec.contentName;
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
  // A joined file: its first piece, then the continuation.
  const uint64_t first = record.joinLength && record.joinLength < record.length ? record.length - record.joinLength
                                                                                 : record.length;
  if (Status read = m_reader.ReadUnitsLooped(record.startSector, first, out); !read) return read;
  if (first == record.length) return {};
  return m_reader.ReadUnitsLooped(record.joinSector, record.joinLength, out);
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
  m_scanner.setExtents(m_extents);
  m_scanner.setNameFromContent(options.nameFromContent);
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

Result<ExtractionPlan> RawEngine::extractionPlan(const FileRecord& record) {
  const auto* raw = dynamic_cast<const RawFileRecord*>(&record);
  if (!raw) return fail(foreignRecordError());
  // Positions are sectors from the scanner's start, which is the partition's first sector.
  ExtractionPlan plan;
  const uint64_t first = raw->joinLength && raw->joinLength < raw->length ? raw->length - raw->joinLength : raw->length;
  plan.disk(raw->startSector * kRawSectorSize, first);
  if (first < raw->length) plan.disk(raw->joinSector * kRawSectorSize, raw->joinLength);
  return plan;
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
