#include "platform/sha256.h"

// The one-shot digest of libcrypto 3 goes through its provider machinery, whose first use loads
// the configuration and builds name tables: several milliseconds of every hook process, for a
// hash over a few kilobytes. The direct SHA-256 functions are deprecated but keep the same
// algorithm without that start-up.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <stdexcept>

namespace nodrel::platform {

std::array<std::uint8_t, 32> sha256Digest(std::string_view bytes) {
  static_assert(SHA256_DIGEST_LENGTH == 32);
  std::array<std::uint8_t, 32> digest{};
  SHA256_CTX context;
  // These report failure only for a null context, which cannot happen here; a failure still
  // leaves no hash to return.
  if (SHA256_Init(&context) != 1 ||
      SHA256_Update(&context, bytes.data() != nullptr ? bytes.data() : "", bytes.size()) != 1 ||
      SHA256_Final(digest.data(), &context) != 1) {
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
