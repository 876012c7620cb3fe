// Reading `git log` output into commit file lists, and keeping a project folder's files of them.
#include "codeintel/co_change_analyzer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/codeintel/code_rows.h"

namespace nodrel::codeintel {
namespace {

using CoChangeAnalyzer::GitLogParser;
using testing::commitOfFiles;
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
  EXPECT_EQ(commits[0].size(), kMaxFilesPerCommit + 1);
  EXPECT_EQ(commits[1], (CommitFileList{"a", "b"}));
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
      {"app/", {"app/a.py"}, {}},       // one file says nothing
      {"app/", commitOfFiles(21), {}},  // sweeping, judged by all its files
      {"", commitOfFiles(20), commitOfFiles(20)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.prefix + ::testing::PrintToString(c.commit));
    EXPECT_EQ(CoChangeAnalyzer::filesInProject({c.commit}, c.prefix),
              (std::vector<CommitFileList>{c.want}));
  }
}

}  // namespace
}  // namespace nodrel::codeintel
