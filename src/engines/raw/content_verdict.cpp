#include "engines/raw/content_verdict.h"

#include "disk/device.h"
#include "engines/raw/format_end.h"
#include "support/text.h"

namespace velk {
namespace {

// A written file read back as the end rules read a carved window.
class DeviceSource final : public ByteSource {
 public:
  explicit DeviceSource(BlockDevice& device) : m_device(device) {}
  uint64_t size() const override { return m_device.size(); }
  size_t read(uint64_t offset, uint8_t* out, size_t n) override {
    const int64_t got = m_device.readAt(offset, out, n);
    return got > 0 ? size_t(got) : 0;
  }

 private:
  BlockDevice& m_device;
};

}  // namespace

Verdict verifyContent(const std::filesystem::path& file, std::string_view name) {
  const std::string extension = lowerAscii(extensionOf(name));
  if (extension.empty() || endModeOf(extension) != EndMode::Decoded) return Verdict::Unverified;
  auto device = openDeviceFile(file, Access::Read);
  if (!device || (*device)->size() == 0 || (*device)->size() > kMaxVerifiedBytes) return Verdict::Unverified;
  DeviceSource source(**device);
  const FormatEnd end = findFormatEnd(extension, source);
  // A structure that ends inside the file and checks out is this file; one that runs past
  // the end or breaks is damage.
  if (end.verdict == Verdict::Verified && end.end > 0 && end.end <= (*device)->size()) return Verdict::Verified;
  return end.verdict == Verdict::Damaged ? Verdict::Damaged : Verdict::Unverified;
}

}  // namespace velk
