#include "store/file_byte_count.h"

#include <array>
#include <string_view>

namespace nodrel::store {
namespace {

std::uint64_t powerOfTen(int exponent) {
  std::uint64_t p = 1;
  for (int i = 0; i < exponent; ++i) p *= 10;
  return p;
}

}  // namespace

std::string fileByteCountString(std::int64_t bytes) {
  if (bytes == 0) return "Zero KB";
  const std::string sign = bytes < 0 ? "-" : "";
  const std::uint64_t n =
      bytes < 0 ? 0 - static_cast<std::uint64_t>(bytes) : static_cast<std::uint64_t>(bytes);
  if (n < 1000) return sign + std::to_string(n) + (n == 1 ? " byte" : " bytes");

  static constexpr std::array<std::string_view, 6> kUnits{"KB", "MB", "GB", "TB", "PB", "EB"};
  static constexpr std::array<int, 6> kDecimals{0, 1, 2, 2, 2, 2};
  for (std::size_t unit = 0; unit < kUnits.size(); ++unit) {
    const int decimals = kDecimals[unit];
    const int exponent = 3 * static_cast<int>(unit + 1);
    // q is the value in this unit times 10^decimals, rounded half to even.
    const std::uint64_t divisor = powerOfTen(exponent - decimals);
    std::uint64_t q = n / divisor;
    const std::uint64_t r = n % divisor;
    const std::uint64_t half = divisor / 2;
    if (r > half || (r == half && (q % 2 == 1))) ++q;
    const std::uint64_t scale = powerOfTen(decimals);
    if (q >= 1000 * scale && unit + 1 < kUnits.size()) continue;

    std::string text = std::to_string(q / scale);
    std::string fraction;
    if (decimals > 0) {
      fraction = std::to_string(q % scale);
      fraction.insert(0, static_cast<std::size_t>(decimals) - fraction.size(), '0');
    }
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
    if (!fraction.empty()) text += "." + fraction;
    return sign + text + " " + std::string(kUnits[unit]);
  }
  return sign + std::to_string(n) + " bytes";  // not reached: EB holds every 64-bit count
}

}  // namespace nodrel::store
