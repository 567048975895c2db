#pragma once
// Shared by the hardening tests: fixture images copied into memory, a watch over what a
// piece of work allocates, a watchdog for work that must end, and one pass of every engine
// and task over the drives attached. Header-only, so the test glob needs no extra source.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) && __has_include(<sanitizer/allocator_interface.h>)
#include <sanitizer/allocator_interface.h>
#define VELK_HEAP_WATCH 1
#endif

#include "disk/device.h"
#include "disk/drive_catalog.h"
#include "engines/engine_registry.h"
#include "test_support.h"
#include "workspace/result_tree.h"

namespace velk::test {

// The unpacked fixture image in memory, whole or its first `keep` bytes.
inline std::shared_ptr<std::vector<uint8_t>> fixtureCopy(const std::string& image, size_t keep = SIZE_MAX) {
  std::ifstream in(fixturePath(image), std::ios::binary);
  in.seekg(0, std::ios::end);
  const auto size = size_t(in.tellg());
  auto bytes = std::make_shared<std::vector<uint8_t>>(std::min(size, keep));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes->data()), std::streamsize(bytes->size()));
  return bytes;
}

// Peak growth of the live heap and the largest single block between start() and stop(),
// through the address sanitizer's allocation hooks; unavailable (and silent) in builds
// without it.
class HeapWatch {
 public:
  static bool available() {
#ifdef VELK_HEAP_WATCH
    return true;
#else
    return false;
#endif
  }
  void start() {
#ifdef VELK_HEAP_WATCH
    static const int installed = __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
    (void)installed;
#endif
    state().live = 0;
    state().peak = 0;
    state().largest = 0;
    state().active = true;
  }
  void stop() { state().active = false; }
  uint64_t peakGrowth() const { return uint64_t(std::max<int64_t>(0, state().peak.load())); }
  uint64_t largestBlock() const { return state().largest.load(); }

 private:
  struct State {
    std::atomic<bool> active{false};
    std::atomic<int64_t> live{0};
    std::atomic<int64_t> peak{0};
    std::atomic<uint64_t> largest{0};
  };
  static State& state() {
    static State s;
    return s;
  }
#ifdef VELK_HEAP_WATCH
  static void onMalloc(const volatile void*, size_t size) {
    State& s = state();
    if (!s.active.load(std::memory_order_relaxed)) return;
    const int64_t now = s.live.fetch_add(int64_t(size)) + int64_t(size);
    for (int64_t p = s.peak.load(); now > p && !s.peak.compare_exchange_weak(p, now);) {
    }
    for (uint64_t l = s.largest.load(); size > l && !s.largest.compare_exchange_weak(l, size);) {
    }
  }
  static void onFree(const volatile void* ptr) {
    State& s = state();
    if (!s.active.load(std::memory_order_relaxed) || !ptr) return;
    s.live.fetch_sub(int64_t(__sanitizer_get_allocated_size(const_cast<const void*>(ptr))));
  }
#endif
};

// Runs work on a thread of its own. When it has not returned within the limit, stop() is
// called (clearing a scan flag, say) and the work is waited for; the answer is then false.
inline bool finishesWithin(std::chrono::seconds limit, const std::function<void()>& work,
                           const std::function<void()>& stop = {}) {
  auto done = std::async(std::launch::async, work);
  if (done.wait_for(limit) == std::future_status::ready) {
    done.get();
    return true;
  }
  if (stop) stop();
  done.wait();
  return false;
}

// Counts what an extraction produced and drops it.
class CountingSink final : public ByteSink {
 public:
  [[nodiscard]] bool write(const uint8_t*, size_t n) override {
    m_written += n;
    return true;
  }
};

struct EnginePass {
  size_t scans = 0;          // engine and task pairs that opened and scanned
  size_t openFailures = 0;   // pairs whose engine refused the volume
  size_t files = 0;          // records listed by the scans
  size_t extracted = 0;      // extractions that reported success
  size_t extractFailures = 0;
  std::vector<std::string> problems;  // broken promises (more bytes than the record's size)
};

// For every record of the catalogue and every task an engine takes it for: opens the
// engine, scans, and extracts up to maxFiles of what was listed into a counting sink.
// Fails the test when a scan has not returned within the limit.
inline EnginePass runEveryEngine(const std::vector<PartitionRecord>& records, const std::vector<Task>& tasks,
                                 size_t maxFiles, std::chrono::seconds limit = std::chrono::seconds(60)) {
  EnginePass pass;
  for (const PartitionRecord& record : records) {
    for (Task task : tasks) {
      if (!engineFor(record, task)) continue;
      std::unique_ptr<RecoveryEngine> engine;
      const bool opened = finishesWithin(limit, [&] {
        if (auto e = openEngine(record, task)) engine = std::move(*e);
      });
      EXPECT_TRUE(opened) << "opening " << record.fsNameText() << " at " << record.startSector;
      if (!engine) {
        ++pass.openFailures;
        continue;
      }
      ResultTree tree(engine->variant());
      const bool scanned = finishesWithin(
          limit,
          [&] {
            ScanOptions options;
            options.task = task;
            Progress progress;
            (void)engine->scan(tree, options, progress);
          },
          [&] { engine->scanFlag().clear(); });
      EXPECT_TRUE(scanned) << "scan of " << record.fsNameText() << " task " << int(task) << " did not end";
      ++pass.scans;
      pass.files += tree.recordCount();
      size_t tried = 0;
      for (FolderItem* folder : tree.foldersBreadthFirst()) {
        for (FileRecord* file : folder->files) {
          if (tried++ >= maxFiles) break;
          CountingSink sink;
          Status rc;
          const bool ended = finishesWithin(limit, [&] { rc = engine->extract(*file, sink); });
          EXPECT_TRUE(ended) << "extraction of " << file->name << " did not end";
          if (rc) ++pass.extracted;
          else ++pass.extractFailures;
          if (sink.written() > file->contentSize())
            pass.problems.push_back(file->name + ": " + std::to_string(sink.written()) + " bytes for a size of " +
                                    std::to_string(file->contentSize()));
        }
      }
    }
  }
  return pass;
}

// Attaches bytes as drive 0 (the namespace is reset first), letters its volumes and reads
// the catalogue.
inline std::vector<PartitionRecord> attachInMemory(std::shared_ptr<std::vector<uint8_t>> bytes) {
  auto& ns = DeviceNamespace::instance();
  ns.reset();
  (void)ns.attachMemory("damaged", std::move(bytes));
  ns.assignLetters();
  DriveCatalog catalog;
  catalog.Refresh();
  return catalog.partitions();
}

}  // namespace velk::test
