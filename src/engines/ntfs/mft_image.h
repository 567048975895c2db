#pragma once
// An MFT image: consecutive MFT records held in memory, with the update sequence already
// applied to each (records whose fixups did not match are kept as read and flagged).
// Image 0 is the MFT the boot sector points to; a formatted-volume scan adds the runs of
// records it finds elsewhere as further images, each knowing the absolute MFT number of
// its first record.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "disk/memory_hint.h"
#include "formats/bytes.h"

namespace velk {

// The buffer of an MFT image. New elements are left uninitialised (a gigabyte-sized MFT is
// read over at once, so zero-filling it first would only double the memory traffic), and
// large buffers ask for huge pages: touching a gigabyte page by page costs more than
// reading it.
template <typename T>
struct MftBufferAllocator {
  using value_type = T;
  static constexpr size_t kHugeThreshold = size_t(4) << 20;
  static constexpr size_t kHugePage = size_t(2) << 20;

  MftBufferAllocator() = default;
  template <typename U>
  MftBufferAllocator(const MftBufferAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    const size_t bytes = n * sizeof(T);
    if (bytes < kHugeThreshold) return static_cast<T*>(::operator new(bytes));
    const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* p = std::aligned_alloc(kHugePage, rounded);
    if (!p) throw std::bad_alloc();
    adviseHugePages(p, rounded);
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t n) noexcept {
    if (n * sizeof(T) < kHugeThreshold) ::operator delete(p);
    else std::free(p);
  }
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
  template <typename U>
  bool operator==(const MftBufferAllocator<U>&) const noexcept {
    return true;
  }
};

// What became of a record a sparse image left out, as far as a folder chain needs to know.
enum class LeftOut : uint8_t {
  No,          // the record is held
  Unparsable,  // not a parsable "FILE0" record: a chain stops there
  NotFolder,   // a record in use that names no folder: a chain through it is broken
};

// Frees what MftBlock allocated.
struct MftBlockFree {
  void operator()(uint8_t* p) const noexcept { std::free(p); }
};
using MftBlock = std::unique_ptr<uint8_t[], MftBlockFree>;
// An uninitialised block of bytes, on huge pages when it is large enough.
inline MftBlock allocateMftBlock(size_t bytes) {
  constexpr size_t kHugePage = size_t(2) << 20;
  const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* p = std::aligned_alloc(kHugePage, rounded);
  if (!p) throw std::bad_alloc();
  adviseHugePages(p, rounded);
  return MftBlock(static_cast<uint8_t*>(p));
}

struct MftImage {
  // Records held by a sparse image, in blocks so that growing never moves them.
  static constexpr uint32_t kKeptBlockRecords = 4096;

  std::vector<uint8_t, MftBufferAllocator<uint8_t>> bytes;  // every record (dense images)
  uint32_t recordSize = 1024;
  uint32_t recordCount = 0;
  uint64_t firstNumber = 0;            // absolute MFT number of the image's record 0
  uint64_t volumeOffset = 0;           // byte position of record 0 on the volume
  std::vector<uint8_t> fixupMismatch;  // per record: 1 when kept as read

  // A sparse image (the deleted-file scan) holds only the records a scan can use, so its
  // memory follows the results and not the size of the MFT: slot[i] is 1 + the held
  // position of record i, or 0 with leftOut[i] saying what the record was.
  std::vector<uint32_t> slot;
  std::vector<LeftOut> leftOut;
  std::vector<MftBlock> kept;
  uint32_t keptCount = 0;

  bool sparse() const { return !slot.empty(); }
  // The record's bytes; empty for a record a sparse image left out.
  ByteSpan record(uint32_t index) const {
    if (slot.empty()) return ByteSpan(bytes.data() + size_t(index) * recordSize, recordSize);
    const uint32_t k = slot[index];
    if (k == 0) return {};
    return ByteSpan(kept[(k - 1) / kKeptBlockRecords].get() + size_t((k - 1) % kKeptBlockRecords) * recordSize,
                    recordSize);
  }
  // Puts other bytes in place of a held record (a damaged one mended from a copy).
  void replace(uint32_t index, const uint8_t* data) {
    uint8_t* at = nullptr;
    if (slot.empty()) at = bytes.data() + size_t(index) * recordSize;
    else if (const uint32_t k = slot[index]; k != 0)
      at = kept[(k - 1) / kKeptBlockRecords].get() + size_t((k - 1) % kKeptBlockRecords) * recordSize;
    if (at) std::memcpy(at, data, recordSize);
  }
  LeftOut leftOutAs(uint32_t index) const { return slot.empty() ? LeftOut::No : leftOut[index]; }
  // Keeps a copy of record index of a sparse image.
  void keep(uint32_t index, const uint8_t* data) {
    if (keptCount % kKeptBlockRecords == 0)
      kept.push_back(allocateMftBlock(size_t(kKeptBlockRecords) * recordSize));
    std::memcpy(kept.back().get() + size_t(keptCount % kKeptBlockRecords) * recordSize, data, recordSize);
    slot[index] = ++keptCount;
  }
  bool covers(uint64_t number) const { return number >= firstNumber && number - firstNumber < recordCount; }
};

}  // namespace velk
