#include "workspace/saved_scan.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <unordered_map>

#include "disk/device.h"
#include "output/file_write.h"
#include "support/sha256.h"
#include "workspace/variant_policy.h"

namespace velk {
namespace {

constexpr std::string_view kMagic = "VELKSCAN";
constexpr size_t kHeaderBytes = 8 + 4 + 4 + 8 + 32;
constexpr uint64_t kIdentityBytes = 1 << 20;
constexpr uint32_t kNoParent = UINT32_MAX;
// The sortable columns, in the order of SavedFileRecord::ranks.
constexpr int kRankedColumns[] = {kColumnSize, kColumnAttributes, kColumnModified, kColumnCreated, kColumnAccessed};

Error damagedFile(const char* detail) { return corruptError("the saved scan", detail); }

// ---- writing ----------------------------------------------------------------------------

class Writer {
 public:
  void u8(uint8_t v) { m_out.push_back(v); }
  void u16(uint16_t v) { put(v, 2); }
  void u32(uint32_t v) { put(v, 4); }
  void u64(uint64_t v) { put(v, 8); }
  void raw(ByteSpan b) { m_out.insert(m_out.end(), b.begin(), b.end()); }
  void text(std::string_view s) {
    u32(uint32_t(s.size()));
    m_out.insert(m_out.end(), s.begin(), s.end());
  }
  std::vector<uint8_t>& bytes() { return m_out; }

 private:
  void put(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) m_out.push_back(uint8_t(v >> (8 * i)));
  }
  std::vector<uint8_t> m_out;
};

void writeOptions(Writer& w, const ScanOptions& o) {
  w.u8(uint8_t(o.task));
  w.u64(o.firstSector);
  w.u64(o.lastSector);
  w.u32(o.maxSizeKb);
  w.u32(uint32_t(o.rawTypes.size()));
  for (const auto& t : o.rawTypes) w.text(t);
  w.text(o.catalogPath);
  w.text(o.mask);
  w.text(o.folder);
  w.u32(uint32_t(o.preset));
  w.u8(o.nameFromContent ? 1 : 0);
}

void writeField(Writer& w, const Field& f) {
  w.text(f.key);
  w.u8(uint8_t(f.value.index()));
  std::visit(
      [&](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>) w.text(v);
        else if constexpr (std::is_same_v<T, bool>) w.u8(v ? 1 : 0);
        else w.u64(uint64_t(v));
      },
      f.value);
}

void writePlan(Writer& w, const ExtractionPlan& plan) {
  w.u32(uint32_t(plan.pieces.size()));
  for (const PlanPiece& p : plan.pieces) {
    w.u8(uint8_t(p.kind));
    w.u64(p.offset);
    w.u64(p.length);
    w.u32(uint32_t(p.bytes.size()));
    w.raw(p.bytes);
    w.u32(uint32_t(p.stored.size()));
    for (const auto& [offset, length] : p.stored) {
      w.u64(offset);
      w.u64(length);
    }
    w.u32(p.unitBytes);
  }
}

// Each record's place in every sortable column, as the engine's own comparison orders them.
std::unordered_map<const FileRecord*, std::array<uint32_t, 5>> rankRecords(const std::vector<const FileRecord*>& all) {
  std::unordered_map<const FileRecord*, std::array<uint32_t, 5>> ranks;
  std::vector<const FileRecord*> order = all;
  for (size_t c = 0; c < std::size(kRankedColumns); ++c) {
    const int column = kRankedColumns[c];
    std::stable_sort(order.begin(), order.end(),
                     [column](const FileRecord* a, const FileRecord* b) { return a->compareColumn(*b, column) < 0; });
    uint32_t rank = 0;
    for (size_t i = 0; i < order.size(); ++i) {
      if (i > 0 && order[i - 1]->compareColumn(*order[i], column) != 0) ++rank;
      ranks[order[i]][c] = rank;
    }
  }
  return ranks;
}

// ---- reading ----------------------------------------------------------------------------

// Reads the payload front to back; every read checks what is left, and a count can never
// ask for more items than the bytes left could hold.
class Reader {
 public:
  explicit Reader(ByteSpan bytes) : m_bytes(bytes) {}
  bool ok() const { return m_ok; }
  uint8_t u8() { return uint8_t(take(1)); }
  uint16_t u16() { return uint16_t(take(2)); }
  uint32_t u32() { return uint32_t(take(4)); }
  uint64_t u64() { return take(8); }
  std::string text() {
    const uint32_t n = u32();
    ByteSpan b = span(n);
    return std::string(reinterpret_cast<const char*>(b.data()), b.size());
  }
  ByteSpan span(uint64_t n) {
    if (!m_ok || n > m_bytes.size() - m_at) {
      m_ok = false;
      return {};
    }
    ByteSpan b = m_bytes.subspan(m_at, size_t(n));
    m_at += size_t(n);
    return b;
  }
  // A count of items each at least minBytes long.
  uint32_t count(size_t minBytes) {
    const uint32_t n = u32();
    if (m_ok && uint64_t(n) * minBytes > m_bytes.size() - m_at) m_ok = false;
    return m_ok ? n : 0;
  }
  bool atEnd() const { return m_at == m_bytes.size(); }

 private:
  uint64_t take(int n) {
    ByteSpan b = span(uint64_t(n));
    uint64_t v = 0;
    for (size_t i = 0; i < b.size(); ++i) v |= uint64_t(b[i]) << (8 * i);
    return v;
  }
  ByteSpan m_bytes;
  size_t m_at = 0;
  bool m_ok = true;
};

ScanOptions readOptions(Reader& r) {
  ScanOptions o;
  const uint8_t task = r.u8();
  o.task = task <= uint8_t(Task::Raw) ? Task(task) : Task::Deleted;
  o.firstSector = r.u64();
  o.lastSector = r.u64();
  o.maxSizeKb = r.u32();
  for (uint32_t n = r.count(4); n > 0 && r.ok(); --n) o.rawTypes.push_back(r.text());
  o.catalogPath = r.text();
  o.mask = r.text();
  o.folder = r.text();
  o.preset = int(r.u32());
  o.nameFromContent = r.u8() != 0;
  return o;
}

bool readField(Reader& r, Field& f) {
  f.key = r.text();
  switch (r.u8()) {
    case 0: f.value = int64_t(r.u64()); return true;
    case 1: f.value = r.u64(); return true;
    case 2: f.value = r.text(); return true;
    case 3: f.value = r.u8() != 0; return true;
    default: return false;
  }
}

bool readPlan(Reader& r, ExtractionPlan& plan) {
  for (uint32_t n = r.count(29); n > 0 && r.ok(); --n) {
    PlanPiece p;
    const uint8_t kind = r.u8();
    if (kind > uint8_t(PlanPiece::Kind::Lznt1)) return false;
    p.kind = PlanPiece::Kind(kind);
    p.offset = r.u64();
    p.length = r.u64();
    ByteSpan data = r.span(r.u32());
    p.bytes.assign(data.begin(), data.end());
    for (uint32_t s = r.count(16); s > 0 && r.ok(); --s) {
      const uint64_t offset = r.u64();
      p.stored.emplace_back(offset, r.u64());
    }
    p.unitBytes = r.u32();
    plan.pieces.push_back(std::move(p));
  }
  return r.ok();
}

}  // namespace

// ---- the record ---------------------------------------------------------------------------

std::string SavedFileRecord::dateText(int column) const {
  switch (column) {
    case kColumnModified: return dateColumns[0];
    case kColumnCreated: return dateColumns[1];
    case kColumnAccessed: return dateColumns[2];
    default: return {};
  }
}

int SavedFileRecord::compareColumn(const FileRecord& other, int column) const {
  const auto* o = dynamic_cast<const SavedFileRecord*>(&other);
  if (!o) return 0;
  for (size_t c = 0; c < std::size(kRankedColumns); ++c)
    if (kRankedColumns[c] == column) return ranks[c] < o->ranks[c] ? -1 : (ranks[c] > o->ranks[c] ? 1 : 0);
  return 0;
}

bool SavedFileRecord::extensionAccepts(std::string_view list) const {
  if (extensionForFilter.empty()) return false;
  if (!policyOf(family).extensionIsListItem) return list.find(extensionForFilter) != std::string_view::npos;
  const std::string mine = toLowerAscii(extensionForFilter);
  for (size_t i = 0; i <= list.size();) {
    const size_t j = std::min(list.find('.', i), list.size());
    if (j > i && toLowerAscii(list.substr(i, j - i)) == mine) return true;
    i = j + 1;
  }
  return false;
}

// ---- identity -----------------------------------------------------------------------------

Result<DiskIdentity> identifyDisk(int diskNumber) {
  auto device = DeviceNamespace::instance().openDrive(diskNumber, Access::Read);
  if (!device) return fail(device.error());
  DiskIdentity id;
  id.size = (*device)->size();
  std::vector<uint8_t> head(size_t(std::min(id.size, kIdentityBytes)));
  if ((*device)->readAt(0, head.data(), head.size()) != int64_t(head.size()))
    return fail(ioError("reading the first megabyte of the disk", EIO, 0));
  Sha256 hash;
  hash.update(head);
  id.headHash = hash.finish();
  return id;
}

// ---- saving -------------------------------------------------------------------------------

Status saveScan(const std::filesystem::path& file, const PartitionRecord& partition, const ScanOptions& options,
                const DiskIdentity& disk, const ResultTree& tree, RecoveryEngine& engine) {
  std::lock_guard lock(tree.mutex());
  Writer w;
  w.u64(disk.size);
  w.raw(disk.headHash);
  const auto record = partition.encode();
  w.raw(record);
  w.u8(uint8_t(tree.variant()));
  writeOptions(w, options);
  const auto unreadable = engine.damage().unreadableRanges();
  w.u32(uint32_t(unreadable.size()));
  for (const auto& r : unreadable) {
    w.u64(r.first);
    w.u64(r.count);
  }

  // Folders breadth first, each after its parent.
  std::vector<const FolderItem*> folders;
  std::unordered_map<const FolderItem*, uint32_t> index;
  for (const auto& root : tree.roots()) folders.push_back(root.get());
  for (size_t i = 0; i < folders.size(); ++i)
    for (const auto& c : folders[i]->children) folders.push_back(c.get());
  std::vector<const FileRecord*> files;
  std::vector<uint32_t> folderOfFile;  // the tree lock is held: no folderOf()
  w.u32(uint32_t(folders.size()));
  for (uint32_t i = 0; i < folders.size(); ++i) {
    const FolderItem* f = folders[i];
    index[f] = i;
    w.u32(f->parent && index.count(f->parent) ? index[f->parent] : kNoParent);
    w.text(f->text);
    w.u32(uint32_t(f->image));
    w.u64(f->number);
    for (const FileRecord* r : f->files)
      if (r) {
        files.push_back(r);
        folderOfFile.push_back(i);
      }
  }
  const auto ranks = rankRecords(files);
  w.u32(uint32_t(files.size()));
  for (size_t n = 0; n < files.size(); ++n) {
    const FileRecord* r = files[n];
    auto plan = engine.extractionPlan(*r);
    if (!plan) return fail(plan.error());
    w.u32(folderOfFile[n]);
    w.u64(r->id);
    w.text(r->name);
    w.u64(r->size);
    w.u64(r->contentSize());
    w.u8(r->deleted ? 1 : 0);
    w.u8(uint8_t(r->verdict));
    w.text(r->sizeText());
    w.text(r->attributeText());
    w.text(r->typeText());
    for (int column : {kColumnModified, kColumnCreated, kColumnAccessed}) w.text(r->dateText(column));
    for (uint32_t rank : ranks.at(r)) w.u32(rank);
    w.text(r->filterExtension());
    const auto date = r->filterDate();
    w.u8(date ? 1 : 0);
    w.u16(date.value_or(0));
    const auto recordFolders = r->recordFolders();
    w.u32(uint32_t(recordFolders.size()));
    for (const auto& f : recordFolders) w.text(f);
    const auto fields = r->fields();
    w.u32(uint32_t(fields.size()));
    for (const auto& f : fields) writeField(w, f);
    writePlan(w, *plan);
  }

  Writer whole;
  whole.raw(ByteSpan(reinterpret_cast<const uint8_t*>(kMagic.data()), kMagic.size()));
  whole.u32(kSavedScanVersion);
  whole.u32(0);
  whole.u64(w.bytes().size());
  Sha256 hash;
  hash.update(w.bytes());
  whole.raw(hash.finish());
  whole.raw(w.bytes());
  return writeFileAtomically(file, whole.bytes(), Replace::Allowed);
}

// ---- loading ------------------------------------------------------------------------------

Result<SavedScan> decodeScan(ByteSpan bytes) {
  if (bytes.size() < kHeaderBytes || !matchesAt(bytes, 0, kMagic)) return fail(damagedFile("it is not a saved scan"));
  const uint32_t version = le32(bytes.data() + 8);
  if (version != kSavedScanVersion)
    return fail(unsupportedError("the saved scan was written by another version of Velk (format " +
                                 std::to_string(version) + ")"));
  const uint64_t length = le64(bytes.data() + 16);
  if (length != bytes.size() - kHeaderBytes) return fail(damagedFile("it is cut short or has bytes added"));
  const ByteSpan payload = bytes.subspan(kHeaderBytes);
  Sha256 hash;
  hash.update(payload);
  if (std::memcmp(hash.finish().data(), bytes.data() + 24, 32) != 0) return fail(damagedFile("its checksum does not match"));

  Reader r(payload);
  SavedScan scan;
  scan.disk.size = r.u64();
  ByteSpan head = r.span(32);
  if (head.size() == 32) std::copy(head.begin(), head.end(), scan.disk.headHash.begin());
  ByteSpan record = r.span(kPartitionRecordSize);
  if (!r.ok()) return fail(damagedFile("it is cut short"));
  scan.partition = PartitionRecord::decode(record.first<kPartitionRecordSize>());
  const uint8_t variant = r.u8();
  if (variant > uint8_t(Variant::Raw)) return fail(damagedFile("it names an unknown kind of scan"));
  scan.options = readOptions(r);
  for (uint32_t n = r.count(16); n > 0 && r.ok(); --n) {
    const uint64_t first = r.u64();
    scan.unreadable.push_back({first, r.u64()});
  }

  scan.tree = std::make_unique<ResultTree>(Variant(variant));
  std::vector<FolderItem*> folders;
  for (uint32_t n = r.count(20); n > 0 && r.ok(); --n) {
    const uint32_t parent = r.u32();
    std::string text = r.text();
    const int image = int(r.u32());
    const uint64_t number = r.u64();
    if (parent != kNoParent && parent >= folders.size()) return fail(damagedFile("a folder names a parent after it"));
    FolderItem* item = scan.tree->addFolder(parent == kNoParent ? nullptr : folders[parent], std::move(text), number);
    item->image = image;
    folders.push_back(item);
  }
  for (uint32_t n = r.count(64); n > 0 && r.ok(); --n) {
    auto rec = std::make_unique<SavedFileRecord>();
    rec->family = Variant(variant);
    const uint32_t folder = r.u32();
    const uint64_t id = r.u64();
    rec->name = r.text();
    rec->size = r.u64();
    rec->content = r.u64();
    rec->deleted = r.u8() != 0;
    const uint8_t verdict = r.u8();
    rec->verdict = verdict <= uint8_t(Verdict::Damaged) ? Verdict(verdict) : Verdict::Unverified;
    rec->sizeColumn = r.text();
    rec->attributesColumn = r.text();
    rec->typeColumn = r.text();
    for (auto& d : rec->dateColumns) d = r.text();
    for (auto& rank : rec->ranks) rank = r.u32();
    rec->extensionForFilter = r.text();
    const bool hasDate = r.u8() != 0;
    const uint16_t date = r.u16();
    if (hasDate) rec->dateForFilter = date;
    for (uint32_t k = r.count(4); k > 0 && r.ok(); --k) rec->folders.push_back(r.text());
    for (uint32_t k = r.count(6); k > 0 && r.ok(); --k) {
      Field f;
      if (!readField(r, f)) return fail(damagedFile("a file carries a fact of an unknown kind"));
      rec->facts.push_back(std::move(f));
    }
    if (!readPlan(r, rec->plan)) return fail(damagedFile("a file's plan is cut short or unknown"));
    if (!r.ok()) break;
    if (folder >= folders.size()) return fail(damagedFile("a file names a folder that is not there"));
    if (rec->plan.size() != rec->content) return fail(damagedFile("a file's plan does not cover its size"));
    FileRecord* added = scan.tree->addFile(folders[folder], std::move(rec));
    added->id = id;
  }
  if (!r.ok() || !r.atEnd()) return fail(damagedFile("it is cut short or has bytes added"));
  return scan;
}

Result<SavedScan> loadScan(const std::filesystem::path& file) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(file, ec);
  if (ec) return fail(notFoundError("the saved scan '" + file.string() + "'"));
  // A saved scan of millions of files is large, but never larger than memory should hold.
  if (size > (uint64_t(4) << 30)) return fail(damagedFile("it is larger than any saved scan"));
  std::ifstream in(file, std::ios::binary);
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  if (!in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size())))
    return fail(ioError("reading the saved scan '" + file.string() + "'", EIO));
  return decodeScan(bytes);
}

// ---- recovery -----------------------------------------------------------------------------

Status SavedScanEngine::scan(ResultSink&, const ScanOptions&, Progress&) {
  return fail(unsupportedError("a saved scan is not scanned again"));
}

Status SavedScanEngine::extract(const FileRecord& record, ByteSink& out) {
  const auto* saved = dynamic_cast<const SavedFileRecord*>(&record);
  if (!saved) return fail(foreignRecordError());
  return writePlan(m_reader, saved->plan, out, &m_scanFlag);
}

Result<ExtractionPlan> SavedScanEngine::extractionPlan(const FileRecord& record) {
  const auto* saved = dynamic_cast<const SavedFileRecord*>(&record);
  if (!saved) return fail(foreignRecordError());
  return saved->plan;
}

Result<std::unique_ptr<SavedScanEngine>> openSavedScan(const SavedScan& scan) {
  auto disk = identifyDisk(scan.partition.diskNumber);
  if (!disk) return fail(disk.error());
  if (!(*disk == scan.disk))
    return fail(usageError("the saved scan was made on another disk (drive " + std::to_string(scan.partition.diskNumber) +
                           " differs in size or in its first megabyte)"));
  SectorReader reader;
  if (Status opened = reader.OpenPartition(scan.partition); !opened) return fail(opened.error());
  auto engine = std::make_unique<SavedScanEngine>(scan.tree->variant(), std::move(reader));
  for (const SectorRange& r : scan.unreadable) engine->damage().unreadable(r.first, r.count);
  return engine;
}

}  // namespace velk
