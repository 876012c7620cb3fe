#include "platform/sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace nodrel::platform {

std::array<std::uint8_t, 32> sha256Digest(std::string_view bytes) {
  std::array<std::uint8_t, 32> digest{};
  unsigned int length = 0;
  // EVP_Digest only fails when libcrypto cannot allocate or find SHA-256, which leaves no hash
  // to return.
  if (EVP_Digest(bytes.data() != nullptr ? bytes.data() : "", bytes.size(), digest.data(), &length,
                 EVP_sha256(), nullptr) != 1 ||
      length != digest.size()) {
    throw std::runtime_error("SHA-256 is not available from libcrypto");
  }
  return digest;
}

std::string digestHexString(const std::array<std::uint8_t, 32>& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(digest.size() * 2);
  for (std::uint8_t b : digest) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0x0F]);
  }
  return out;
}

std::string sha256Hex(std::string_view bytes) { return digestHexString(sha256Digest(bytes)); }

}  // namespace nodrel::platform
