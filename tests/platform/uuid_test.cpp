#include "platform/uuid.h"

#include <set>
#include <string>

#include <gtest/gtest.h>

namespace nodrel::platform {
namespace {

TEST(Uuid, CanonicalUpperCaseVersion4) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string id = makeUUID();
    ASSERT_EQ(id.size(), 36u);
    for (std::size_t j = 0; j < id.size(); ++j) {
      if (j == 8 || j == 13 || j == 18 || j == 23) {
        ASSERT_EQ(id[j], '-');
      } else {
        ASSERT_TRUE((id[j] >= '0' && id[j] <= '9') || (id[j] >= 'A' && id[j] <= 'F')) << id;
      }
    }
    ASSERT_EQ(id[14], '4') << id;
    ASSERT_NE(std::string("89AB").find(id[19]), std::string::npos) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

}  // namespace
}  // namespace nodrel::platform
