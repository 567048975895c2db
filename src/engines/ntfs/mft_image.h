#pragma once
// An MFT image: consecutive MFT records held in memory, with the update sequence already
// applied to each (records whose fixups did not match are kept as read and flagged).
// Image 0 is the MFT the boot sector points to; a formatted-volume scan adds the runs of
// records it finds elsewhere as further images, each knowing the absolute MFT number of
// its first record.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "disk/bytes.h"

namespace velk {

// Asks the system to back a large buffer with huge pages (a hint; no-op where unsupported).
void adviseHugePages(void* p, size_t bytes);

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

struct MftImage {
  std::vector<uint8_t, MftBufferAllocator<uint8_t>> bytes;
  uint32_t recordSize = 1024;
  uint32_t recordCount = 0;
  uint64_t firstNumber = 0;            // absolute MFT number of the image's record 0
  uint64_t volumeOffset = 0;           // byte position of record 0 on the volume
  std::vector<uint8_t> fixupMismatch;  // per record: 1 when kept as read

  ByteSpan record(uint32_t index) const {
    return ByteSpan(bytes.data() + size_t(index) * recordSize, recordSize);
  }
  bool covers(uint64_t number) const { return number >= firstNumber && number - firstNumber < recordCount; }
};

}  // namespace velk
