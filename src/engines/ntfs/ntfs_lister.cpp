#include "engines/ntfs/ntfs_lister.h"

#include <algorithm>
#include <cstdio>

#include "engines/ntfs/ntfs_filters.h"
#include "engines/ntfs/ntfs_volume.h"
#include "formats/ntfs_layout.h"
#include "support/text.h"

namespace velk {

using namespace ntfs;

namespace {

constexpr size_t kMaxChainDepth = 1024;  // folders above one file
// Claims overlapping one another beyond this many are cross-linked damage, not history.
constexpr size_t kMaxOverlappingClaims = 256;

// UTF-16 name as listed: UTF-8, with "?" (what a code page makes of the unmappable)
// turned into "_" like the characters that do not convert.
std::string listedName(ByteSpan utf16) {
  std::string name = utf16leToUtf8(utf16);
  std::replace(name.begin(), name.end(), '?', '_');
  return name;
}

// Whether a parent reference still names the record: its sequence number is the one the
// reference carries, or one more when the record is no longer in use (freeing a record
// counts it up). References without a sequence number (0) are taken as they are.
bool sameGeneration(const MftRecordHeader& header, uint16_t sequence) {
  if (sequence == 0 || header.sequence == sequence) return true;
  return !header.inUse() && header.sequence == uint16_t(sequence + 1);
}

}  // namespace

std::string formatCount(const char* format, uint64_t value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, int(std::min<uint64_t>(value, INT32_MAX)));
  return buf;
}

struct NtfsLister::Chain {
  enum class End : uint8_t {
    Root,    // the chain reaches the root (or ends where a folder no longer parses)
    Broken,  // a parent that is missing or names no folder: "Dir%d" under "Lost Files%d"
    Reused,  // a parent record now of another generation: under "Lost Files%d"
  };
  std::vector<std::pair<std::string, uint32_t>> folders;  // innermost first
  End end = End::Root;
  uint64_t brokenAt = 0;
};

size_t NtfsLister::ChainKeyHash::operator()(const ChainKey& k) const noexcept {
  return std::hash<uint64_t>()(k.reference * 31 + uint64_t(uint32_t(k.image)));
}

NtfsLister::NtfsLister(NtfsVolume& volume, ResultSink& sink, const ScanOptions& options, bool applyScope)
    : m_v(volume),
      m_sink(sink),
      m_options(options),
      m_applyScope(applyScope),
      m_parsed(std::make_unique<ParsedMftRecord>()),
      m_chainParsed(std::make_unique<ParsedMftRecord>()) {
  m_root = sink.addFolder(nullptr, volume.rootItemText());
  if (applyScope) {
    m_mask = trimSpaces(options.extensionListForScan());
    m_folder = trimSpaces(options.folder);
  }
  refreshUnreadable();
}

NtfsLister::~NtfsLister() = default;

void NtfsLister::refreshUnreadable() { m_unreadable = m_v.m_damage.unreadableRanges(); }

const NtfsLister::Chain& NtfsLister::folderChain(int imageIndex, uint64_t parent) {
  const ChainKey key{imageIndex, parent};
  if (auto it = m_chains.find(key); it != m_chains.end()) return it->second;
  Chain chain;
  std::vector<uint64_t> visited;
  auto breakAt = [&](uint64_t number) {
    chain.end = Chain::End::Broken;
    chain.brokenAt = number;
  };
  for (uint64_t ref = parent;;) {
    const uint64_t p = referenceNumber(ref);
    const auto where = m_v.locate(p, imageIndex);
    // A parent no image covers, a folder met twice (two folders naming each other) or a
    // chain deeper than any real tree: the chain is broken here.
    if (!where || std::find(visited.begin(), visited.end(), p) != visited.end() || visited.size() >= kMaxChainDepth) {
      breakAt(p);
      break;
    }
    visited.push_back(p);
    const MftImage& holder = m_v.m_images[size_t(where->first)];
    // A sparse image says what a record it left out would have given.
    const LeftOut leftOut = holder.leftOutAs(where->second);
    if (leftOut == LeftOut::Unparsable) break;
    if (leftOut == LeftOut::NotFolder) {
      // A file in use holds the record: a folder's record only becomes one when reused.
      if (referenceSequence(ref) != 0) chain.end = Chain::End::Reused;
      else breakAt(p);
      break;
    }
    const ByteSpan bytes = holder.record(where->second);
    if (auto header = readMftRecordHeader(bytes); header && !sameGeneration(*header, referenceSequence(ref))) {
      chain.end = Chain::End::Reused;
      break;
    }
    FileNameView fn;
    bool hasName = false;
    if (!quickParseMftRecord(bytes, fn, hasName)) break;  // path ends as far as it got
    // A folder with many entries may keep its names in extension records.
    if (!hasName && parseMftRecord(bytes, *m_chainParsed) && m_chainParsed->hasAttributeList)
      hasName = m_v.fileNameThroughAttributeList(imageIndex, p, *m_chainParsed, fn);
    std::string name = hasName ? listedName(fn.name) : std::string();
    if (!(fn.flags & kFnFlagDirectory) || name.empty()) {
      breakAt(p);
      break;
    }
    chain.folders.emplace_back(std::move(name), uint32_t(p));
    const uint64_t q = referenceNumber(fn.parentReference);
    if (q == p || q <= kLastSystemRecord) break;  // the root is reached
    ref = fn.parentReference;
  }
  return m_chains.emplace(key, std::move(chain)).first->second;
}

void NtfsLister::addFolderPath(NtfsFileRecord& record, uint64_t parent, Placement& placement) {
  if (referenceNumber(parent) <= kLastSystemRecord) return;
  if (record.imageIndex < 0 || size_t(record.imageIndex) >= m_v.m_images.size()) return;
  const Chain& chain = folderChain(record.imageIndex, parent);
  const size_t entries = chain.folders.size() + 2;
  record.FolderNames.reserve(entries);
  record.FolderRecords.reserve(entries);
  for (const auto& [name, number] : chain.folders) {
    record.FolderNames.push_back(name);
    record.FolderRecords.push_back(number);
  }
  placement.key = ChainKey{record.imageIndex, parent};
  if (chain.end == Chain::End::Broken) {
    // Each broken chain gets its own "Dir%d", even when two files miss the same parent.
    record.FolderNames.push_back(formatCount("Dir%d", uint64_t(m_v.m_lostCounter++)));
    record.FolderRecords.push_back(uint32_t(chain.brokenAt));
    placement.shared = false;
  }
  if (chain.end != Chain::End::Root) {
    record.FolderNames.push_back(formatCount("Lost Files%d", uint64_t(record.imageIndex)));
    record.FolderRecords.push_back(uint32_t(record.imageIndex + 1));
  }
}

std::unique_ptr<NtfsFileRecord> NtfsLister::buildRecord(int imageIndex, uint32_t recordIndex,
                                                        const ParsedMftRecord& parsed, Placement& placement) {
  const MftImage& image = m_v.m_images[size_t(imageIndex)];
  const uint64_t number = image.firstNumber + recordIndex;
  FileNameView fileName = parsed.fileName;
  const bool named = parsed.hasFileName ||
                     (parsed.hasAttributeList && m_v.fileNameThroughAttributeList(imageIndex, number, parsed, fileName));
  std::string name = named ? listedName(fileName.name) : std::string();
  // A file whose names are gone (moved to extension records that its deletion emptied)
  // still has its data: it is listed by its record number.
  const bool orphan = name.empty();
  if (orphan) {
    if (parsed.directoryFlag || (parsed.dataCount == 0 && !parsed.hasAttributeList)) return nullptr;
    name = "Record_" + std::to_string(number);
  }
  if (!ntfsPresetAccepts(m_options.preset, name)) return nullptr;

  auto record = std::make_unique<NtfsFileRecord>();
  record->name = std::move(name);
  record->recordIndex = recordIndex;
  record->imageIndex = imageIndex;
  record->mftNumber = number;
  record->created = parsed.standardInfo.created;
  record->modified = parsed.standardInfo.modified;
  record->accessed = parsed.standardInfo.accessed;
  record->attributes = parsed.standardInfo.attributes | (orphan ? 0 : fileName.flags);
  record->deleted = !parsed.inUse;
  record->checked = false;
  if (const AttributeView* data = parsed.unnamedData()) {
    record->size64 = data->contentSize();
  } else if (parsed.hasAttributeList) {
    record->size64 = m_v.sizeThroughAttributeList(imageIndex, number, parsed).value_or(0);
  }
  record->size = record->size64;
  record->fixupMismatch = image.fixupMismatch[recordIndex] != 0;
  record->damaged = parsed.damaged;

  if (orphan) {
    record->FolderNames.push_back(formatCount("Lost Files%d", uint64_t(imageIndex)));
    record->FolderRecords.push_back(uint32_t(imageIndex + 1));
  } else if (!record->isDirectory()) {
    addFolderPath(*record, fileName.parentReference, placement);
  }
  if (m_options.quickFilterEnabled && !ntfsResultFilterAccepts(m_options.quickFilter, *record)) return nullptr;
  return record;
}

FolderItem* NtfsLister::folderFor(const NtfsFileRecord& record, const Placement& placement) {
  if (record.FolderNames.empty()) return m_root;
  const bool reuse = placement.shared && placement.key;
  if (reuse) {
    if (auto it = m_placed.find(*placement.key); it != m_placed.end()) return it->second;
  }
  FolderItem* item = m_root;
  for (size_t i = record.FolderNames.size(); i-- > 0;) {
    auto key = std::make_tuple(item, record.FolderRecords[i], record.FolderNames[i]);
    auto it = m_folders.find(key);
    if (it == m_folders.end())
      it = m_folders.emplace(key, m_sink.addFolder(item, record.FolderNames[i], record.FolderRecords[i])).first;
    item = it->second;
  }
  if (reuse) m_placed.emplace(*placement.key, item);
  return item;
}

bool NtfsLister::touchesUnreadable(uint64_t lcn, uint64_t count) const {
  if (m_unreadable.empty()) return false;
  const uint64_t cs = m_v.m_clusterSize;
  const uint64_t first = m_v.m_reader.diskSectorOf(lcn * cs);
  const uint64_t end = first + count * (cs / kSectorSize);
  auto it = std::upper_bound(m_unreadable.begin(), m_unreadable.end(), first,
                             [](uint64_t s, const SectorRange& r) { return s < r.first; });
  if (it != m_unreadable.begin() && std::prev(it)->first + std::prev(it)->count > first) return true;
  return it != m_unreadable.end() && it->first < end;
}

void NtfsLister::judge(NtfsFileRecord& entry, const ParsedMftRecord& parsed, std::vector<Claim>& claims) {
  NtfsStreamLayout layout;
  m_v.streamLayout(entry.imageIndex, entry.mftNumber, parsed, ByteSpan(entry.streamName), layout);
  bool damaged = entry.fixupMismatch || entry.damaged || layout.incomplete ||
                 !layoutCoversContent(layout, m_v.m_clusterSize);
  // A deleted file's clusters, or those of a record found outside the current MFT, are
  // only history: the allocation bitmap and the other listed files may hold them now.
  const bool history = !parsed.inUse || !m_v.isCurrentMft(entry.imageIndex);
  const uint64_t owner = (uint64_t(uint32_t(entry.imageIndex)) << 48) | entry.mftNumber;
  for (const DataRun& r : layout.runs) {
    if (r.sparse) continue;
    if (!damaged) damaged = touchesUnreadable(r.lcn, r.length);
    if (!history) continue;
    if (!damaged) damaged = m_v.m_bitmap.anyAllocated(m_v, r.lcn, r.length).value_or(false);
    claims.push_back({r.lcn, r.length, parsed.logSequence, owner, nullptr});
  }
  entry.verdict = damaged ? Verdict::Damaged : Verdict::Unverified;
}

void NtfsLister::addEntries(std::unique_ptr<NtfsFileRecord> record, const ParsedMftRecord& parsed,
                            const Placement& placement) {
  // Folders take part in the chains of their files but are not listed themselves.
  if (record->isDirectory()) return;
  if (m_applyScope) {
    if (!ntfsNameMaskAccepts(m_mask, record->name)) return;
    if (!ntfsFolderFilterAccepts(m_folder, record->FolderNames)) return;
  }
  FolderItem* folder = folderFor(*record, placement);
  // Named streams are listed beside their file as "name:stream".
  std::vector<std::unique_ptr<NtfsFileRecord>> entries;
  for (size_t i = 0; i < parsed.dataCount; ++i) {
    const AttributeView& a = parsed.data[i];
    if (a.name.empty() || (a.nonResident && a.startVcn != 0)) continue;
    auto stream = std::make_unique<NtfsFileRecord>(*record);
    stream->name = record->name + ":" + listedName(a.name);
    stream->streamName.assign(a.name.begin(), a.name.end());
    stream->size64 = a.contentSize();
    stream->size = stream->size64;
    entries.push_back(std::move(stream));
  }
  entries.insert(entries.begin(), std::move(record));
  std::vector<Claim> claims;
  for (auto& entry : entries) {
    const size_t from = claims.size();
    judge(*entry, parsed, claims);
    FileRecord* added = m_sink.addFile(folder, std::move(entry));
    ++m_accepted;
    for (size_t i = from; i < claims.size(); ++i) claims[i].entry = added;
  }
  for (const Claim& c : claims)
    if (c.entry) m_claims.push_back(c);
}

void NtfsLister::listRecord(int imageIndex, uint32_t recordIndex) {
  const ByteSpan bytes = m_v.m_images[size_t(imageIndex)].record(recordIndex);
  if (!parseMftRecord(bytes, *m_parsed)) return;
  // Extension records belong to their base record: a name there is the base file's.
  if (referenceNumber(m_parsed->baseReference) != 0) return;
  Placement placement;
  if (auto record = buildRecord(imageIndex, recordIndex, *m_parsed, placement))
    addEntries(std::move(record), *m_parsed, placement);
}

void NtfsLister::settleSharedClusters() {
  std::sort(m_claims.begin(), m_claims.end(), [](const Claim& a, const Claim& b) { return a.lcn < b.lcn; });
  auto lose = [](const Claim& c) { c.entry->verdict = Verdict::Damaged; };
  std::vector<const Claim*> open;  // claims reaching past the one in hand
  for (const Claim& c : m_claims) {
    std::erase_if(open, [&](const Claim* o) { return o->lcn + o->count <= c.lcn; });
    for (const Claim* o : open) {
      if (o->owner == c.owner) continue;
      // Times cannot tell: clocks are set back and copies keep old ones. The log can.
      if (o->logSequence <= c.logSequence) lose(*o);
      if (c.logSequence <= o->logSequence) lose(c);
    }
    open.push_back(&c);
    if (open.size() > kMaxOverlappingClaims) {
      for (const Claim* o : open) lose(*o);
      open.clear();
    }
  }
  m_claims.clear();
}

}  // namespace velk
