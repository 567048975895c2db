#include "engines/ntfs/ntfs_engine.h"

#include <algorithm>
#include <cstring>

#include "engines/ntfs/ntfs_lister.h"
#include "formats/ntfs_layout.h"

namespace velk {

using namespace ntfs;

namespace {

// Sector sizes the backup boot sector is looked for with: it fills the volume's last sector.
constexpr uint32_t kBackupSectorSizes[] = {512, 1024, 2048, 4096};

}  // namespace

NtfsVolume::NtfsVolume(SectorReader reader, uint64_t startSector, char letter, uint64_t availableBytes)
    : m_reader(std::move(reader)), m_startSector(startSector), m_letter(letter), m_availableBytes(availableBytes) {
  useDefaultGeometry();
}

NtfsVolume::~NtfsVolume() = default;

std::string NtfsVolume::rootItemText() const {
  std::string text = "NTFS - Logical Disk (";
  text += m_letter;
  text += ":)";
  return text;
}

Status NtfsVolume::readVolume(uint64_t offset, size_t length, uint8_t* buffer) {
  std::lock_guard lock(m_readMutex);
  if (Status whole = m_reader.ReadAt(offset, length, buffer)) return whole;
  // One bad sector must not cost the megabyte around it: take what each sector gives.
  const uint64_t unit = m_ntfsFound ? m_boot.bytesPerSector : kSectorSize;
  const uint64_t deviceEnd = m_reader.deviceSize();
  Status first;
  for (uint64_t done = 0; done < length;) {
    const uint64_t at = offset + done;
    const size_t n = size_t(std::min<uint64_t>(length - done, unit - at % unit));
    if (Status part = m_reader.ReadAt(at, n, buffer + done); !part) {
      std::memset(buffer + done, 0, n);
      // Past the device's end nothing is unreadable: there is nothing.
      if (at < deviceEnd) m_damage.unreadable(m_reader.diskSectorOf(at), (n + kSectorSize - 1) / kSectorSize);
      if (first) first = part;
    }
    done += n;
  }
  return first;
}

void NtfsVolume::useDefaultGeometry() {
  m_clusterSize = 8 * kSectorSize;
  m_recordSize = kDefaultRecordSize;
  m_totalClusters = m_availableBytes / m_clusterSize;
}

std::optional<NtfsBootSector> NtfsVolume::backupBootSector() {
  uint8_t sector[kBootSize];
  for (uint32_t size : kBackupSectorSizes) {
    if (m_availableBytes < 2 * uint64_t(size)) break;
    if (!m_reader.ReadAt(m_availableBytes - size, sizeof sector, sector)) continue;
    auto boot = NtfsBootSector::parse(ByteSpan(sector, sizeof sector));
    // The backup describes the volume it ends: its sector size is the one it was found at.
    if (boot && boot->bytesPerSector == size && boot->volumeBytes() <= m_availableBytes) return boot;
  }
  return std::nullopt;
}

Status NtfsVolume::readBootSector() {
  m_ntfsFound = false;
  m_bootCopy = NtfsCopy::None;
  if (!m_reader.isOpen()) return fail(notFoundError("the volume's device"));
  uint8_t sector[kBootSize];
  Status read = readVolume(0, sizeof sector, sector);
  std::optional<NtfsBootSector> boot;
  if (read) boot = NtfsBootSector::parse(ByteSpan(sector, sizeof sector));
  m_bootCopy = NtfsCopy::Primary;
  if (!boot && (boot = backupBootSector())) {
    m_bootCopy = NtfsCopy::Backup;
    m_damage.damaged(NtfsDamage::kBackupBoot);
  }
  if (!boot) {
    m_bootCopy = NtfsCopy::None;
    useDefaultGeometry();
    if (!read) return read;
    return fail(unsupportedError("the volume has no NTFS boot sector"));
  }
  m_boot = *boot;
  m_ntfsFound = true;
  m_clusterSize = boot->clusterSize;
  m_recordSize = boot->recordSize;
  m_totalClusters = boot->totalClusters();
  // Clusters beyond the partition belong to whatever follows it.
  if (m_availableBytes) m_totalClusters = std::min(m_totalClusters, m_availableBytes / m_clusterSize);
  return {};
}

std::optional<std::pair<int, uint32_t>> NtfsVolume::locate(uint64_t number, int preferImage) const {
  if (preferImage >= 0 && size_t(preferImage) < m_images.size() && m_images[size_t(preferImage)].covers(number))
    return std::make_pair(preferImage, uint32_t(number - m_images[size_t(preferImage)].firstNumber));
  for (size_t i = 0; i < m_images.size(); ++i)
    if (m_images[i].covers(number)) return std::make_pair(int(i), uint32_t(number - m_images[i].firstNumber));
  return std::nullopt;
}

std::optional<ByteSpan> NtfsVolume::recordBytes(uint64_t number, int preferImage) const {
  auto where = locate(number, preferImage);
  if (!where) return std::nullopt;
  const ByteSpan bytes = m_images[size_t(where->first)].record(where->second);
  // A record a sparse image left out is never a folder, nor an extension record.
  if (bytes.empty()) return std::nullopt;
  return bytes;
}

Status NtfsVolume::scan(ResultSink& sink, const ScanOptions& options, Progress& progress) {
  m_lostCounter = 0;
  m_damage.clear();
  switch (options.task) {
    case Task::Deleted: return scanDeleted(sink, options, progress);
    case Task::Formatted: return scanFormatted(sink, options, progress);
    case Task::Raw: break;
  }
  return fail(unsupportedError("the NTFS engine does not run the raw scan"));
}

Status NtfsVolume::recordLayout(const FileRecord& record, NtfsStreamLayout& layout) {
  const auto* r = dynamic_cast<const NtfsFileRecord*>(&record);
  if (!r) return fail(foreignRecordError());
  const auto gone = [] { return fail(corruptError("the file's MFT record", "it is no longer in memory or no longer parses")); };
  if (r->imageIndex < 0 || size_t(r->imageIndex) >= m_images.size()) return gone();
  const MftImage& image = m_images[size_t(r->imageIndex)];
  if (r->recordIndex >= image.recordCount) return gone();
  auto parsed = std::make_unique<ParsedMftRecord>();
  if (!parseMftRecord(image.record(r->recordIndex), *parsed)) return gone();
  streamLayout(r->imageIndex, image.firstNumber + r->recordIndex, *parsed, ByteSpan(r->streamName), layout);
  return {};
}

Status NtfsVolume::extract(const FileRecord& record, ByteSink& out) {
  NtfsStreamLayout layout;
  if (Status found = recordLayout(record, layout); !found) return found;
  return writeNtfsStream(layout, m_clusterSize, *this, out);
}

Result<ExtractionPlan> NtfsVolume::extractionPlan(const FileRecord& record) {
  NtfsStreamLayout layout;
  if (Status found = recordLayout(record, layout); !found) return fail(found.error());
  return ntfsStreamPlan(layout, m_clusterSize);
}

Result<std::unique_ptr<RecoveryEngine>> openNtfsEngine(EngineSource source, Task task) {
  if (task != Task::Deleted && task != Task::Formatted) return fail(unsupportedError("the NTFS engine does not run the raw scan"));
  const uint64_t available = source.reader.deviceSize();
  auto volume = std::make_unique<NtfsVolume>(std::move(source.reader), source.record.startSector, source.record.letter,
                                             available);
  // A formatted-volume scan also serves volumes whose boot sector is gone.
  if (Status boot = volume->readBootSector(); !boot && task == Task::Deleted) return fail(boot.error());
  return std::unique_ptr<RecoveryEngine>(std::move(volume));
}

}  // namespace velk
