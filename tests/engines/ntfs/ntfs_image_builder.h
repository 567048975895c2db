#pragma once
// Builds NTFS structures byte by byte for the unit tests: MFT records with the attributes
// the engine reads (update sequence included), runlists, and small volumes holding a boot
// sector, an MFT and data clusters. Offsets follow the published format, written out here
// independently of the engine's own constants.

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "disk/device.h"
#include "engines/ntfs/ntfs_volume.h"

namespace velk::test {

inline void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}
inline void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
inline void put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

inline std::vector<uint8_t> utf16(const std::u16string& s) {
  std::vector<uint8_t> out;
  for (char16_t c : s) {
    out.push_back(uint8_t(c));
    out.push_back(uint8_t(c >> 8));
  }
  return out;
}

struct Run {
  uint64_t length = 0;
  int64_t lcn = -1;  // -1: a hole
};

// Runlist bytes: each run's offset relative to the previous allocated run, in the fewest
// signed bytes, then the terminating zero.
inline std::vector<uint8_t> encodeRuns(const std::vector<Run>& runs) {
  std::vector<uint8_t> out;
  int64_t previous = 0;
  for (const Run& r : runs) {
    std::vector<uint8_t> len;
    uint64_t l = r.length;
    do {
      len.push_back(uint8_t(l));
      l >>= 8;
    } while (l);
    if (len.back() & 0x80) len.push_back(0);
    std::vector<uint8_t> off;
    if (r.lcn >= 0) {
      int64_t d = r.lcn - previous;
      previous = r.lcn;
      while (true) {
        off.push_back(uint8_t(d));
        const bool done = (d >= -128 && d <= 127);
        d >>= 8;
        if (done) break;
      }
    }
    out.push_back(uint8_t(len.size() | (off.size() << 4)));
    out.insert(out.end(), len.begin(), len.end());
    out.insert(out.end(), off.begin(), off.end());
  }
  out.push_back(0);
  return out;
}

struct NonResident {
  std::vector<Run> runs;
  std::vector<uint8_t> rawRunlist;  // used instead of runs when not empty
  uint64_t startVcn = 0;
  uint64_t lastVcn = 0;             // computed from the runs when 0
  uint64_t allocatedSize = 0;       // computed when 0
  uint64_t realSize = 0;
  uint64_t initializedSize = UINT64_MAX;  // realSize when left
  uint16_t flags = 0;
  uint8_t compressionUnit = 0;
};

class RecordBuilder {
 public:
  explicit RecordBuilder(uint32_t recordSize = 1024, uint32_t number = 0) : m_rec(recordSize, 0) {
    std::memcpy(m_rec.data(), "FILE", 4);
    put16(m_rec, 0x04, 0x30);                        // update sequence offset
    put16(m_rec, 0x06, uint16_t(recordSize / 512 + 1));
    put16(m_rec, 0x10, 1);                           // sequence
    put16(m_rec, 0x12, 1);                           // hard links
    m_off = align8(0x30 + 2 * (recordSize / 512 + 1));  // attributes follow the array
    put16(m_rec, 0x14, uint16_t(m_off));             // first attribute
    put32(m_rec, 0x1C, recordSize);                  // allocated
    put32(m_rec, 0x2C, number);
  }

  RecordBuilder& flags(uint16_t f) {
    put16(m_rec, 0x16, f);
    return *this;
  }
  RecordBuilder& baseReference(uint64_t ref) {
    put64(m_rec, 0x20, ref);
    return *this;
  }

  RecordBuilder& standardInfo(uint32_t attributes, uint64_t created = 0x01D9000000000000ull,
                              uint64_t modified = 0x01D9000000000001ull, uint64_t accessed = 0x01D9000000000002ull) {
    std::vector<uint8_t> v(0x48, 0);
    put64(v, 0x00, created);
    put64(v, 0x08, modified);
    put64(v, 0x10, modified);
    put64(v, 0x18, accessed);
    put32(v, 0x20, attributes);
    return resident(0x10, v, {});
  }

  RecordBuilder& fileName(uint64_t parent, const std::u16string& name, uint32_t flags = 0x20,
                          uint8_t nameSpace = 1) {
    std::vector<uint8_t> v(0x42 + name.size() * 2, 0);
    put64(v, 0x00, parent);
    put32(v, 0x38, flags);
    v[0x40] = uint8_t(name.size());
    v[0x41] = nameSpace;
    auto n = utf16(name);
    std::memcpy(v.data() + 0x42, n.data(), n.size());
    return resident(0x30, v, {});
  }

  RecordBuilder& residentData(const std::vector<uint8_t>& value, const std::u16string& name = {}) {
    return resident(0x80, value, name);
  }

  RecordBuilder& resident(uint32_t type, const std::vector<uint8_t>& value, const std::u16string& name,
                          uint16_t attrFlags = 0) {
    const size_t nameBytes = name.size() * 2;
    const size_t valueOffset = align8(0x18 + nameBytes);
    const size_t length = align8(valueOffset + value.size());
    const size_t at = reserve(length);
    put32(m_rec, at + 0x00, type);
    put32(m_rec, at + 0x04, uint32_t(length));
    m_rec[at + 0x08] = 0;
    m_rec[at + 0x09] = uint8_t(name.size());
    put16(m_rec, at + 0x0A, 0x18);
    put16(m_rec, at + 0x0C, attrFlags);
    put16(m_rec, at + 0x0E, m_nextId++);
    put32(m_rec, at + 0x10, uint32_t(value.size()));
    put16(m_rec, at + 0x14, uint16_t(valueOffset));
    auto n = utf16(name);
    if (!n.empty()) std::memcpy(m_rec.data() + at + 0x18, n.data(), n.size());
    if (!value.empty()) std::memcpy(m_rec.data() + at + valueOffset, value.data(), value.size());
    return *this;
  }

  RecordBuilder& nonResident(uint32_t type, const NonResident& a, const std::u16string& name = {},
                             uint32_t clusterSize = 4096) {
    const std::vector<uint8_t> runlist = a.rawRunlist.empty() ? encodeRuns(a.runs) : a.rawRunlist;
    uint64_t clusters = 0;
    for (const Run& r : a.runs) clusters += r.length;
    const size_t nameBytes = name.size() * 2;
    const size_t header = (a.flags & 0x0001) ? 0x48 : 0x40;
    const size_t runlistOffset = align8(header + nameBytes);
    const size_t length = align8(runlistOffset + runlist.size());
    const size_t at = reserve(length);
    put32(m_rec, at + 0x00, type);
    put32(m_rec, at + 0x04, uint32_t(length));
    m_rec[at + 0x08] = 1;
    m_rec[at + 0x09] = uint8_t(name.size());
    put16(m_rec, at + 0x0A, uint16_t(header));
    put16(m_rec, at + 0x0C, a.flags);
    put16(m_rec, at + 0x0E, m_nextId++);
    put64(m_rec, at + 0x10, a.startVcn);
    put64(m_rec, at + 0x18, a.lastVcn ? a.lastVcn : (clusters ? a.startVcn + clusters - 1 : 0));
    put16(m_rec, at + 0x20, uint16_t(runlistOffset));
    m_rec[at + 0x22] = a.compressionUnit;
    put64(m_rec, at + 0x28, a.allocatedSize ? a.allocatedSize : clusters * clusterSize);
    put64(m_rec, at + 0x30, a.realSize);
    put64(m_rec, at + 0x38, a.initializedSize == UINT64_MAX ? a.realSize : a.initializedSize);
    auto n = utf16(name);
    if (!n.empty()) std::memcpy(m_rec.data() + at + header, n.data(), n.size());
    std::memcpy(m_rec.data() + at + runlistOffset, runlist.data(), runlist.size());
    return *this;
  }

  RecordBuilder& nonResidentData(const NonResident& a, const std::u16string& name = {},
                                 uint32_t clusterSize = 4096) {
    return nonResident(0x80, a, name, clusterSize);
  }

  struct ListEntry {
    uint32_t type;
    uint64_t startVcn;
    uint64_t reference;
    std::u16string name;
  };
  RecordBuilder& attributeList(const std::vector<ListEntry>& entries) {
    std::vector<uint8_t> v;
    for (const ListEntry& e : entries) {
      const size_t length = align8(0x1A + e.name.size() * 2);
      std::vector<uint8_t> entry(length, 0);
      put32(entry, 0x00, e.type);
      put16(entry, 0x04, uint16_t(length));
      entry[0x06] = uint8_t(e.name.size());
      entry[0x07] = 0x1A;
      put64(entry, 0x08, e.startVcn);
      put64(entry, 0x10, e.reference);
      auto n = utf16(e.name);
      if (!n.empty()) std::memcpy(entry.data() + 0x1A, n.data(), n.size());
      v.insert(v.end(), entry.begin(), entry.end());
    }
    return resident(0x20, v, {});
  }

  // The finished record: end marker, bytes in use and the update sequence (each 512-byte
  // stretch's last word saved in the array and replaced by the sequence number).
  std::vector<uint8_t> finish(uint16_t usn = 0x0007) const {
    std::vector<uint8_t> r = m_rec;
    put32(r, m_off, 0xFFFFFFFF);
    put32(r, 0x18, uint32_t(m_off + 8));
    put16(r, 0x30, usn);
    for (size_t i = 1; i <= r.size() / 512; ++i) {
      const size_t tail = i * 512 - 2;
      r[0x30 + 2 * i] = r[tail];
      r[0x30 + 2 * i + 1] = r[tail + 1];
      put16(r, tail, usn);
    }
    return r;
  }

  std::vector<uint8_t>& raw() { return m_rec; }
  // Where each attribute added so far starts, in order.
  const std::vector<size_t>& attributeOffsets() const { return m_offsets; }

 private:
  static size_t align8(size_t v) { return (v + 7) & ~size_t(7); }
  size_t reserve(size_t length) {
    const size_t at = m_off;
    if (at + length + 8 > m_rec.size()) throw std::runtime_error("record full");
    m_off += length;
    m_offsets.push_back(at);
    return at;
  }

  std::vector<uint8_t> m_rec;
  size_t m_off = 0x38;
  uint16_t m_nextId = 0;
  std::vector<size_t> m_offsets;
};

// A small volume: boot sector, an MFT of mftRecords records at mftCluster, the root folder
// (record 5) and everything else up to the caller.
class VolumeBuilder {
 public:
  VolumeBuilder(uint32_t cluster = 4096, uint32_t record = 1024, uint64_t clusters = 256, uint64_t mftAt = 4,
                uint32_t records = 64, int8_t recordSizeCode = -10)
      : clusterSize(cluster), recordSize(record), mftCluster(mftAt), mftRecords(records),
        bytes(clusters * cluster, 0) {
    std::memcpy(bytes.data() + 3, "NTFS    ", 8);
    put16(bytes, 0x0B, 512);
    bytes[0x0D] = uint8_t(clusterSize / 512);
    put64(bytes, 0x28, clusters * clusterSize / 512 - 1);
    put64(bytes, 0x30, mftCluster);
    put64(bytes, 0x38, 2);
    bytes[0x40] = uint8_t(recordSizeCode);
    bytes[510] = 0x55;
    bytes[511] = 0xAA;
    const uint64_t mftClusters = (uint64_t(mftRecords) * recordSize + clusterSize - 1) / clusterSize;
    NonResident mft;
    mft.runs = {{mftClusters, int64_t(mftCluster)}};
    mft.realSize = uint64_t(mftRecords) * recordSize;
    setRecord(0, RecordBuilder(recordSize, 0)
                     .flags(1)
                     .standardInfo(0x6)
                     .fileName(5, u"$MFT", 0x6)
                     .nonResidentData(mft, {}, clusterSize)
                     .finish());
    setRecord(5, RecordBuilder(recordSize, 5).flags(3).standardInfo(0x6).fileName(5, u".", 0x10000006).finish());
  }

  uint64_t recordOffset(uint64_t number) const { return mftCluster * clusterSize + number * recordSize; }
  void setRecord(uint64_t number, const std::vector<uint8_t>& record) {
    std::memcpy(bytes.data() + recordOffset(number), record.data(), record.size());
  }
  void setClusters(uint64_t lcn, const std::vector<uint8_t>& data) {
    std::memcpy(bytes.data() + lcn * clusterSize, data.data(), data.size());
  }
  RecordBuilder record(uint32_t number) const { return RecordBuilder(recordSize, number); }

  uint32_t clusterSize;
  uint32_t recordSize;
  uint64_t mftCluster;
  uint32_t mftRecords;
  std::vector<uint8_t> bytes;
};

// Deterministic filler bytes.
inline std::vector<uint8_t> patternBytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> out(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = uint8_t(x);
  }
  return out;
}

// Attaches the bytes as a fresh drive (every other drive is forgotten) and opens the volume
// that starts at its first byte.
inline std::unique_ptr<NtfsVolume> openNtfsInMemory(const std::vector<uint8_t>& image, std::string name = "ntfs-test") {
  auto& ns = DeviceNamespace::instance();
  ns.reset();
  const int drive = ns.attachMemory(std::move(name), std::make_shared<std::vector<uint8_t>>(image));
  SectorReader reader;
  if (!reader.OpenPhysicalDrive(drive, Access::Read)) return nullptr;
  return std::make_unique<NtfsVolume>(std::move(reader), 0, 'C', image.size());
}

}  // namespace velk::test
