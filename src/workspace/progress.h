#pragma once
// Stop flags and progress fields shared between a worker and whoever watches it. Each
// flag is written by one thread and read by another between units of work; the status
// text is the only field behind a lock.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace velk {

// Set before a job, cleared to stop it (the engines' ScanFlag, the pages' JobFlag).
class StopFlag {
 public:
  StopFlag() = default;
  StopFlag(const StopFlag&) = delete;
  StopFlag& operator=(const StopFlag&) = delete;

  void set() { m_run.store(true, std::memory_order_relaxed); }
  void clear() { m_run.store(false, std::memory_order_relaxed); }
  bool isSet() const { return m_run.load(std::memory_order_relaxed); }
  explicit operator bool() const { return isSet(); }

 private:
  std::atomic<bool> m_run{true};
};

using ScanFlag = StopFlag;
using JobFlag = StopFlag;

class Progress {
 public:
  void reset() {
    foundTotal.store(0);
    foundCurrent.store(0);
    setStatus({});
  }
  void setStatus(std::string text) {
    std::lock_guard lock(m_mutex);
    m_status = std::move(text);
  }
  std::string status() const {
    std::lock_guard lock(m_mutex);
    return m_status;
  }

  std::atomic<uint64_t> foundTotal{0};
  std::atomic<uint64_t> foundCurrent{0};

 private:
  mutable std::mutex m_mutex;
  std::string m_status;
};

}  // namespace velk
