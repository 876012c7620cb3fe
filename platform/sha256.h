// platform/sha256.h: SHA-256 digests (OpenSSL's libcrypto).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace nodrel::platform {

std::array<std::uint8_t, 32> sha256Digest(std::string_view bytes);
// Two lower-case hexadecimal digits per byte, 64 characters.
std::string digestHexString(const std::array<std::uint8_t, 32>& digest);
std::string sha256Hex(std::string_view bytes);

}  // namespace nodrel::platform
