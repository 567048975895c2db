#pragma once
// A device that misbehaves like damaged hardware, for tests: reads touching a byte range of
// the drive fail with EIO, writes are refused (and counted), and every read is counted.
// Attached as a drive of its own, so the production device layer carries no test hooks.

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <vector>

#include "disk/device.h"

namespace velk::test {

struct FaultPlan {
  bool failWrites = false;              // every write fails with EROFS
  uint64_t failReadsFrom = UINT64_MAX;  // reads touching [from, to) of the drive fail with EIO
  uint64_t failReadsTo = 0;
  std::shared_ptr<std::atomic<uint64_t>> refusedWrites = std::make_shared<std::atomic<uint64_t>>(0);
  std::shared_ptr<std::atomic<uint64_t>> readCalls = std::make_shared<std::atomic<uint64_t>>(0);
};

class FaultyDevice final : public BlockDevice {
 public:
  FaultyDevice(std::unique_ptr<BlockDevice> inner, FaultPlan plan) : m_inner(std::move(inner)), m_plan(std::move(plan)) {}
  int64_t readAt(uint64_t offset, void* buffer, size_t length) override {
    m_plan.readCalls->fetch_add(1);
    if (offset < m_plan.failReadsTo && offset + length > m_plan.failReadsFrom) return -EIO;
    return m_inner->readAt(offset, buffer, length);
  }
  int64_t writeAt(uint64_t offset, const void* buffer, size_t length) override {
    if (m_plan.failWrites) {
      m_plan.refusedWrites->fetch_add(1);
      return -EROFS;
    }
    return m_inner->writeAt(offset, buffer, length);
  }
  uint64_t size() const override { return m_inner->size(); }
  std::optional<std::pair<uint64_t, uint64_t>> identity() const override { return m_inner->identity(); }

 private:
  std::unique_ptr<BlockDevice> m_inner;
  FaultPlan m_plan;
};

// Attaches an image file, or bytes in memory, as the next drive with the plan's faults; the
// drive's number.
inline int attachFaulty(const std::filesystem::path& image, const FaultPlan& plan) {
  DriveSource src;
  src.displayName = image.string();
  src.descriptor.product = image.filename().string();
  auto probe = openDeviceFile(image, Access::Read);
  src.size = probe ? (*probe)->size() : 0;
  src.opener = [image, plan](Access access) -> Result<std::unique_ptr<BlockDevice>> {
    auto dev = openDeviceFile(image, access);
    if (!dev) return dev;
    return std::unique_ptr<BlockDevice>(std::make_unique<FaultyDevice>(std::move(*dev), plan));
  };
  return DeviceNamespace::instance().attachSource(std::move(src));
}

inline int attachFaulty(std::shared_ptr<std::vector<uint8_t>> bytes, const FaultPlan& plan,
                        const std::string& name = "memory") {
  DriveSource src;
  src.displayName = name;
  src.descriptor.product = name;
  src.size = bytes->size();
  src.opener = [bytes, plan](Access access) -> Result<std::unique_ptr<BlockDevice>> {
    return std::unique_ptr<BlockDevice>(
        std::make_unique<FaultyDevice>(memoryDevice(bytes, access == Access::Write), plan));
  };
  return DeviceNamespace::instance().attachSource(std::move(src));
}

}  // namespace velk::test
