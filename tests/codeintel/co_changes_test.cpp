// Counting file pairs in `co_changes`.
#include "codeintel/co_changes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/value.h"
#include "tests/codeintel/code_rows.h"
#include "tests/support/temp_home.h"

namespace nodrel::codeintel {
namespace {

using testing::commitOfFiles;
using namespace std::string_literals;

TEST(RecordCoChanges, CountsEachPairOnceSmallerPathFirst) {
  struct Case {
    std::vector<CommitFileList> commits;
    std::int64_t rows;
  };
  const Case cases[] = {
      {{{"b.swift", "a.swift"}}, 1},
      {{commitOfFiles(20)}, 190},
      {{commitOfFiles(21)}, 0},
      {{commitOfFiles(1)}, 0},
      {{}, 0},
      {{commitOfFiles(3), commitOfFiles(2), {"x"}}, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rows);
    testing::TestDatabase store;
    recordCoChanges(c.commits, store.db(), "/p", "T1");
    EXPECT_EQ(db::integerOf(*store.db().scalar("SELECT COUNT(*) FROM co_changes")), c.rows);
    EXPECT_EQ(
        db::integerOf(*store.db().scalar("SELECT COUNT(*) FROM co_changes WHERE file_a >= file_b")),
        0);
  }

  // Each recording describes the history it is given, so mining again never inflates a count.
  testing::TestDatabase store;
  const std::vector<CommitFileList> history = {{"b.swift", "a.swift"}, {"a.swift", "b.swift"}};
  recordCoChanges(history, store.db(), "/p", "T1");
  recordCoChanges(history, store.db(), "/p", "T2");
  recordCoChanges({{"b.swift", "a.swift"}}, store.db(), "/q", "T3");
  EXPECT_EQ(store.db().query("SELECT project, file_a, file_b, count, last_seen FROM co_changes "
                             "ORDER BY project"),
            (std::vector<db::Row>{{"/p"s, "a.swift"s, "b.swift"s, std::int64_t{2}, "T2"s},
                                  {"/q"s, "a.swift"s, "b.swift"s, std::int64_t{1}, "T3"s}}));
  recordCoChanges({}, store.db(), "/p", "T4");
  EXPECT_EQ(db::integerOf(*store.db().scalar("SELECT COUNT(*) FROM co_changes")), 1);
}

}  // namespace
}  // namespace nodrel::codeintel
