#include "engines/unclaimed_carving.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "engines/raw/raw_scanner.h"

namespace velk {

namespace {

constexpr uint64_t kSector = 512;

// Passes everything to the tree, but the raw scan's root becomes "Carved" under the first
// scan's root, and every file the first scan lists is remembered for its claim.
class CarvedSink final : public ResultSink {
 public:
  explicit CarvedSink(ResultSink& sink) : m_sink(sink) {}

  FolderItem* addFolder(FolderItem* parent, std::string text, uint64_t number) override {
    if (parent || !m_carving) {
      FolderItem* added = m_sink.addFolder(parent, std::move(text), number);
      if (!parent && !m_root) m_root = added;
      return added;
    }
    if (!m_carved) {
      m_carved = m_root ? m_sink.findFolder(m_root, kCarvedFolderText) : nullptr;
      if (!m_carved) m_carved = m_sink.addFolder(m_root, kCarvedFolderText);
    }
    return m_carved;
  }
  FolderItem* findFolder(FolderItem* parent, std::string_view text) override { return m_sink.findFolder(parent, text); }
  FileRecord* addFile(FolderItem* folder, std::unique_ptr<FileRecord> record) override {
    FileRecord* added = m_sink.addFile(folder, std::move(record));
    if (added && !m_carving) m_listed.push_back(added);
    return added;
  }
  void removeFolder(FolderItem* folder) override { m_sink.removeFolder(folder); }

  void startCarving() { m_carving = true; }
  // A "Carved" folder that got nothing is not left in the tree.
  void dropEmptyCarved() {
    if (m_carved && m_carved->files.empty() && m_carved->children.empty()) m_sink.removeFolder(m_carved);
    m_carved = nullptr;
  }
  const std::vector<const FileRecord*>& listed() const { return m_listed; }

 private:
  ResultSink& m_sink;
  bool m_carving = false;
  FolderItem* m_root = nullptr;
  FolderItem* m_carved = nullptr;
  std::vector<const FileRecord*> m_listed;
};

// A stop asked of the wrapper reaches the engine working under it: scans test their own
// engine's flag, so it is relayed while a scan runs.
class FlagRelay {
 public:
  FlagRelay(const StopFlag& from, StopFlag& to)
      : m_thread([&from, &to](std::stop_token stop) {
          while (!stop.stop_requested()) {
            if (!from.isSet()) {
              to.clear();
              return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
          }
        }) {}

 private:
  std::jthread m_thread;
};

class UnclaimedCarvingEngine final : public RecoveryEngine {
 public:
  UnclaimedCarvingEngine(std::unique_ptr<RecoveryEngine> engine, const PartitionRecord& record)
      : m_engine(std::move(engine)), m_record(record) {}

  Variant variant() const override { return m_engine->variant(); }

  Status scan(ResultSink& sink, const ScanOptions& options, Progress& progress) override {
    m_damage.clear();
    CarvedSink carvedSink(sink);
    m_engine->scanFlag().set();
    Status scanned;
    {
      FlagRelay relay(m_scanFlag, m_engine->scanFlag());
      scanned = m_engine->scan(carvedSink, options, progress);
    }
    copyDamage(m_engine->damage());
    if (!scanned || !m_scanFlag.isSet()) return scanned;

    std::vector<std::pair<uint64_t, uint64_t>> claimed = m_engine->liveByteRanges();
    for (const FileRecord* record : carvedSink.listed()) {
      auto plan = m_engine->extractionPlan(*record);
      if (!plan) continue;  // a file whose place is unknown claims nothing
      for (const ByteRun& run : byteRunsOf(*plan)) claimed.emplace_back(run.partitionOffset, run.length);
    }
    SectorReader reader;
    if (Status opened = reader.OpenPartition(m_record); !opened) return opened;
    const uint64_t available = reader.deviceSize() > reader.base() ? reader.deviceSize() - reader.base() : 0;
    const uint64_t bytes = m_record.length ? std::min(m_record.length, available) : available;
    std::vector<SectorExtent> extents;
    for (const SectorSpan& s : unclaimedSectors(std::move(claimed), bytes / kSector)) extents.push_back({s.first, s.count});
    if (extents.empty()) return {};

    m_carver = std::make_unique<RawEngine>(m_record, std::move(reader));
    m_carver->setExtents(std::move(extents));
    ScanOptions raw = options;
    raw.task = Task::Raw;
    raw.firstSector = raw.lastSector = 0;
    carvedSink.startCarving();
    Status carved;
    {
      FlagRelay relay(m_scanFlag, m_carver->scanFlag());
      carved = m_carver->scan(carvedSink, raw, progress);
    }
    carvedSink.dropEmptyCarved();
    copyDamage(m_carver->damage());
    return carved;
  }

  Status extract(const FileRecord& record, ByteSink& out) override {
    return engineOf(record).extract(record, out);
  }
  Result<ExtractionPlan> extractionPlan(const FileRecord& record) override {
    return engineOf(record).extractionPlan(record);
  }
  std::vector<std::pair<uint64_t, uint64_t>> liveByteRanges() override { return m_engine->liveByteRanges(); }

 private:
  RecoveryEngine& engineOf(const FileRecord& record) {
    if (m_carver && dynamic_cast<const RawFileRecord*>(&record)) return *m_carver;
    return *m_engine;
  }
  void copyDamage(const DamageLog& log) {
    for (const SectorRange& r : log.unreadableRanges()) m_damage.unreadable(r.first, r.count);
    for (const auto& [kind, count] : log.damagedCounts())
      for (uint64_t n = 0; n < count; ++n) m_damage.damaged(kind);
  }

  std::unique_ptr<RecoveryEngine> m_engine;
  PartitionRecord m_record;
  std::unique_ptr<RawEngine> m_carver;
};

}  // namespace

std::vector<SectorSpan> unclaimedSectors(std::vector<std::pair<uint64_t, uint64_t>> claimed, uint64_t totalSectors) {
  std::sort(claimed.begin(), claimed.end());
  std::vector<SectorSpan> free;
  uint64_t next = 0;  // first sector not yet known to be claimed
  for (const auto& [offset, length] : claimed) {
    if (length == 0) continue;
    const uint64_t first = offset / kSector;
    if (first >= totalSectors) break;
    const uint64_t end = std::min(totalSectors, offset / kSector + (offset % kSector + length + kSector - 1) / kSector);
    if (first > next) free.push_back({next, first - next});
    next = std::max(next, end);
  }
  if (next < totalSectors) free.push_back({next, totalSectors - next});
  return free;
}

std::unique_ptr<RecoveryEngine> withUnclaimedCarving(std::unique_ptr<RecoveryEngine> engine,
                                                     const PartitionRecord& record) {
  return std::make_unique<UnclaimedCarvingEngine>(std::move(engine), record);
}

}  // namespace velk
