#pragma once
// SHA-256 for reports, saved scans, undo files and checking recovered files. Computed by
// libcrypto, which uses the processor's SHA instructions: every recovered byte is hashed
// for the report, so a portable loop would cost more than copying the file.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace velk {

class Sha256 {
 public:
  Sha256();
  void update(std::span<const uint8_t> data);
  std::array<uint8_t, 32> finish();
  static std::string hex(std::span<const uint8_t> data);

 private:
  // libcrypto's SHA256_CTX, a plain value (copies of a running hash stay valid).
  alignas(8) std::array<uint8_t, 112> m_state{};
};

}  // namespace velk
