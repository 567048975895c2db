#include "disk/vhd_dynamic.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "disk/piecewise_read.h"

namespace velk {
namespace {

constexpr uint32_t kVersion1 = 0x00010000;
constexpr uint32_t kUnallocated = 0xFFFFFFFF;
constexpr uint64_t kSector = 512;

// Footer fields.
constexpr size_t kFooterVersion = 12, kFooterDataOffset = 16, kFooterCurrentSize = 48, kFooterDiskType = 60,
                 kFooterChecksum = 64;
// Dynamic header fields.
constexpr size_t kHeaderTableOffset = 16, kHeaderVersion = 24, kHeaderMaxEntries = 28, kHeaderBlockSize = 32,
                 kHeaderChecksum = 36;

// The ones' complement of the byte sum, the checksum field itself left out.
bool checksumHolds(ByteSpan bytes, size_t field) {
  uint32_t sum = 0;
  for (size_t i = 0; i < bytes.size(); ++i)
    if (i < field || i >= field + 4) sum += bytes[i];
  return ~sum == be32At(bytes, field);
}

class DynamicVhdDevice final : public BlockDevice {
 public:
  DynamicVhdDevice(std::unique_ptr<BlockDevice> file, std::vector<uint32_t> table, uint64_t size, uint32_t blockSize)
      : m_file(std::move(file)), m_table(std::move(table)), m_size(size), m_blockSize(blockSize),
        m_bitmapBytes(((blockSize / kSector + 7) / 8 + kSector - 1) / kSector * kSector) {}

  int64_t readAt(uint64_t offset, void* buffer, size_t length) override {
    return readInPieces(m_size, m_blockSize, offset, buffer, length,
                        [this](uint64_t at, uint8_t* out, size_t n) { return readInBlock(at, out, n); });
  }
  int64_t writeAt(uint64_t, const void*, size_t) override { return -EBADF; }
  uint64_t size() const override { return m_size; }
  std::optional<std::pair<uint64_t, uint64_t>> identity() const override { return m_file->identity(); }

 private:
  // [at, at + n) lies inside one block.
  int64_t readInBlock(uint64_t at, uint8_t* out, size_t n) {
    const uint64_t block = at / m_blockSize;
    const uint32_t entry = m_table[size_t(block)];
    if (entry == kUnallocated) {
      std::memset(out, 0, n);
      return int64_t(n);
    }
    const uint64_t start = uint64_t(entry) * kSector;
    if (block != m_cachedBlock) {
      m_bitmap.assign(m_bitmapBytes, 0);
      if (m_file->readAt(start, m_bitmap.data(), m_bitmap.size()) != int64_t(m_bitmap.size())) return -EIO;
      m_cachedBlock = block;
      m_allWritten = std::all_of(m_bitmap.begin(), m_bitmap.end(), [](uint8_t b) { return b == 0xFF; });
    }
    const uint64_t within = at % m_blockSize, data = start + m_bitmapBytes;
    if (m_allWritten) return m_file->readAt(data + within, out, n);
    // Runs of sectors with the same bit: read what was written, zeros for the rest.
    size_t done = 0;
    while (done < n) {
      const uint64_t sector = (within + done) / kSector;
      const bool written = isWritten(sector);
      uint64_t end = sector + 1;
      while (end * kSector < within + n && isWritten(end) == written) ++end;
      const size_t run = size_t(std::min<uint64_t>(end * kSector, within + n) - (within + done));
      if (!written) {
        std::memset(out + done, 0, run);
      } else {
        const int64_t got = m_file->readAt(data + within + done, out + done, run);
        if (got < 0) return done ? int64_t(done) : got;
        if (size_t(got) < run) return int64_t(done + size_t(got));
      }
      done += run;
    }
    return int64_t(done);
  }
  bool isWritten(uint64_t sector) const { return (m_bitmap[size_t(sector / 8)] & (0x80 >> (sector % 8))) != 0; }

  std::unique_ptr<BlockDevice> m_file;
  std::vector<uint32_t> m_table;
  uint64_t m_size;
  uint64_t m_blockSize;
  size_t m_bitmapBytes;
  // The sector bitmap of the block read last (reads go block by block, mostly forward).
  uint64_t m_cachedBlock = UINT64_MAX;
  std::vector<uint8_t> m_bitmap;
  bool m_allWritten = false;
};

}  // namespace

std::optional<VhdFooter> VhdFooter::parse(ByteSpan bytes) {
  if (bytes.size() != kVhdFooterBytes || !matchesAt(bytes, 0, "conectix") || be32At(bytes, kFooterVersion) != kVersion1 ||
      !checksumHolds(bytes, kFooterChecksum))
    return std::nullopt;
  return VhdFooter{be64At(bytes, kFooterDataOffset), be64At(bytes, kFooterCurrentSize), be32At(bytes, kFooterDiskType)};
}

std::optional<VhdDynamicHeader> VhdDynamicHeader::parse(ByteSpan bytes) {
  if (bytes.size() != kVhdDynamicHeaderBytes || !matchesAt(bytes, 0, "cxsparse") ||
      be32At(bytes, kHeaderVersion) != kVersion1 || !checksumHolds(bytes, kHeaderChecksum))
    return std::nullopt;
  const uint32_t blockSize = be32At(bytes, kHeaderBlockSize);
  if (blockSize < kSector || (blockSize & (blockSize - 1)) != 0) return std::nullopt;
  return VhdDynamicHeader{be64At(bytes, kHeaderTableOffset), be32At(bytes, kHeaderMaxEntries), blockSize};
}

tl::expected<std::unique_ptr<BlockDevice>, std::string> openDynamicVhd(std::unique_ptr<BlockDevice> file) {
  const uint64_t fileSize = file->size();
  std::vector<uint8_t> footerBytes(kVhdFooterBytes), headerBytes(kVhdDynamicHeaderBytes);
  if (fileSize < kVhdFooterBytes ||
      file->readAt(fileSize - kVhdFooterBytes, footerBytes.data(), kVhdFooterBytes) != int64_t(kVhdFooterBytes))
    return tl::unexpected(std::string("the VHD footer cannot be read"));
  auto footer = VhdFooter::parse(footerBytes);
  if (!footer || footer->diskType != kVhdDiskTypeDynamic || footer->currentSize == 0)
    return tl::unexpected(std::string("no valid footer of a dynamic VHD"));
  if (footer->dataOffset > fileSize - kVhdFooterBytes ||
      file->readAt(footer->dataOffset, headerBytes.data(), headerBytes.size()) != int64_t(headerBytes.size()))
    return tl::unexpected(std::string("the dynamic header cannot be read"));
  auto header = VhdDynamicHeader::parse(headerBytes);
  if (!header) return tl::unexpected(std::string("no valid dynamic header"));
  // The table covers the disk and lies inside the file (which bounds what it costs).
  const uint64_t entries = (footer->currentSize - 1) / header->blockSize + 1;
  if (entries > header->maxTableEntries || header->tableOffset > fileSize || entries > (fileSize - header->tableOffset) / 4)
    return tl::unexpected(std::string("the block allocation table does not cover the disk"));
  std::vector<uint8_t> raw(size_t(entries) * 4);
  if (file->readAt(header->tableOffset, raw.data(), raw.size()) != int64_t(raw.size()))
    return tl::unexpected(std::string("the block allocation table cannot be read"));
  std::vector<uint32_t> table(static_cast<size_t>(entries));
  for (size_t i = 0; i < table.size(); ++i) table[i] = be32(raw.data() + 4 * i);
  return std::make_unique<DynamicVhdDevice>(std::move(file), std::move(table), footer->currentSize, header->blockSize);
}

}  // namespace velk
