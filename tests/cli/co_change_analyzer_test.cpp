// Reading `git log` output into commit file lists, and counting file pairs in `co_changes`.
#include "cli/co_change_analyzer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/temp_home.h"

namespace nodrel::cli {
namespace {

using CoChangeAnalyzer::CommitFileList;
using CoChangeAnalyzer::GitLogParser;
using namespace std::string_literals;

// The shape git gives with -z: a header "---" and a line feed before the first name, NUL after
// each name, an empty field between commits, and a bare "---" for a commit without files.
const std::string kLog =
    "---\ny.txt\0z.txt\0\0---\0---\nz.txt\0\0---\n lead.txt\0---\0a b.txt\0x---y.txt\0"
    "new\nline\0\xc3\xa9.txt\0bad\xff.txt\0\0---"s;

TEST(GitLogParser, KeepsNamesVerbatimWhateverTheChunking) {
  const std::vector<CommitFileList> want = {
      {"y.txt", "z.txt"},
      {"z.txt"},
      {" lead.txt", "---", "a b.txt", "x---y.txt", "new\nline", "\xc3\xa9.txt"},
  };
  for (std::size_t chunk : {kLog.size(), std::size_t{1}, std::size_t{5}}) {
    SCOPED_TRACE(chunk);
    GitLogParser parser;
    for (std::size_t i = 0; i < kLog.size(); i += chunk) parser.feed(kLog.substr(i, chunk));
    EXPECT_EQ(parser.finish(), want);
  }
}

TEST(GitLogParser, KeepsOnlyEnoughOfAHugeCommitToSkipIt) {
  GitLogParser parser;
  parser.feed("---\n");
  for (int i = 0; i < 100000; ++i) parser.feed("src/file" + std::to_string(i) + ".c\0"s);
  parser.feed("\0---\na\0b\0"s);
  const auto commits = parser.finish();
  ASSERT_EQ(commits.size(), 2u);
  EXPECT_EQ(commits[0].size(), CoChangeAnalyzer::kMaxFilesPerCommit + 1);
  EXPECT_EQ(commits[1], (CommitFileList{"a", "b"}));
}

CommitFileList files(int n) {
  CommitFileList list;
  for (int i = n; i > 0; --i) list.push_back("f" + std::to_string(100 + i));
  return list;
}

TEST(RecordCoChanges, CountsEachPairOnceSmallerPathFirst) {
  struct Case {
    std::vector<CommitFileList> commits;
    std::int64_t rows;
  };
  const Case cases[] = {
      {{{"b.swift", "a.swift"}}, 1},
      {{files(20)}, 190},
      {{files(21)}, 0},
      {{files(1)}, 0},
      {{}, 0},
      {{files(3), files(2), {"x"}}, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rows);
    testing::TestDatabase store;
    CoChangeAnalyzer::recordCoChanges(c.commits, store.db(), "/p", "T1");
    EXPECT_EQ(db::integerOf(*store.db().scalar("SELECT COUNT(*) FROM co_changes")), c.rows);
    EXPECT_EQ(
        db::integerOf(*store.db().scalar("SELECT COUNT(*) FROM co_changes WHERE file_a >= file_b")),
        0);
  }

  // Each recording describes the history it is given, so mining again never inflates a count.
  testing::TestDatabase store;
  const std::vector<CommitFileList> history = {{"b.swift", "a.swift"}, {"a.swift", "b.swift"}};
  CoChangeAnalyzer::recordCoChanges(history, store.db(), "/p", "T1");
  CoChangeAnalyzer::recordCoChanges(history, store.db(), "/p", "T2");
  CoChangeAnalyzer::recordCoChanges({{"b.swift", "a.swift"}}, store.db(), "/q", "T3");
  EXPECT_EQ(store.db().query("SELECT project, file_a, file_b, count, last_seen FROM co_changes "
                             "ORDER BY project"),
            (std::vector<db::Row>{{"/p"s, "a.swift"s, "b.swift"s, std::int64_t{2}, "T2"s},
                                  {"/q"s, "a.swift"s, "b.swift"s, std::int64_t{1}, "T3"s}}));
  CoChangeAnalyzer::recordCoChanges({}, store.db(), "/p", "T4");
  EXPECT_EQ(db::integerOf(*store.db().scalar("SELECT COUNT(*) FROM co_changes")), 1);
}

TEST(FilesInProject, KeepsTheFolderOwnFilesOfEachWholeCommit) {
  struct Case {
    std::string prefix;
    CommitFileList commit, want;
  };
  const Case cases[] = {
      {"", {"a.py", "b/c.py"}, {"a.py", "b/c.py"}},
      {"app/", {"app/a.py", "lib/b.py", "app/x/c.py", "app", "apple/d.py"}, {"a.py", "x/c.py"}},
      {"app/", {"lib/a.py", "lib/b.py"}, {}},
      {"app/", {"app/a.py"}, {}},  // one file says nothing
      {"app/", files(21), {}},     // sweeping, judged by all its files
      {"", files(20), files(20)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.prefix + ::testing::PrintToString(c.commit));
    EXPECT_EQ(CoChangeAnalyzer::filesInProject({c.commit}, c.prefix),
              (std::vector<CommitFileList>{c.want}));
  }
}

}  // namespace
}  // namespace nodrel::cli
