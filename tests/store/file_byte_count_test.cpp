#include "store/file_byte_count.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace nodrel::store {
namespace {

TEST(FileByteCount, DecimalUnitsInTheFileFormatterStyle) {
  struct Case {
    std::int64_t bytes;
    const char* want;
  };
  const Case cases[] = {
      {0, "Zero KB"},
      {1, "1 byte"},
      {2, "2 bytes"},
      {999, "999 bytes"},
      {1000, "1 KB"},
      {1499, "1 KB"},
      {1500, "2 KB"},
      {2500, "2 KB"},
      {999499, "999 KB"},
      {999500, "1 MB"},
      {1000000, "1 MB"},
      {1250000, "1.2 MB"},
      {1350000, "1.4 MB"},
      {1234567890, "1.23 GB"},
      {5000000000000, "5 TB"},
      {std::numeric_limits<std::int64_t>::max(), "9.22 EB"},
      {-1, "-1 byte"},
      {-1500, "-2 KB"},
      {std::numeric_limits<std::int64_t>::min(), "-9.22 EB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(fileByteCountString(c.bytes), c.want);
  }
}

}  // namespace
}  // namespace nodrel::store
