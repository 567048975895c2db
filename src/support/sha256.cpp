#include "support/sha256.h"

// The one-shot context functions are marked deprecated in favour of EVP, whose contexts
// live on the heap and cannot be copied as values; they run the same code.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

namespace velk {
namespace {

SHA256_CTX* context(std::array<uint8_t, 112>& state) {
  static_assert(sizeof(SHA256_CTX) <= 112 && alignof(SHA256_CTX) <= 8);
  return reinterpret_cast<SHA256_CTX*>(state.data());
}

}  // namespace

Sha256::Sha256() { SHA256_Init(context(m_state)); }

void Sha256::update(std::span<const uint8_t> data) { SHA256_Update(context(m_state), data.data(), data.size()); }

std::array<uint8_t, 32> Sha256::finish() {
  std::array<uint8_t, 32> digest{};
  SHA256_Final(digest.data(), context(m_state));
  return digest;
}

std::string Sha256::hex(std::span<const uint8_t> data) {
  Sha256 s;
  s.update(data);
  auto d = s.finish();
  static const char* kDigits = "0123456789abcdef";
  std::string out;
  for (uint8_t b : d) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

}  // namespace velk
