// readHeadCommit against what git itself says, on repositories made for the test.
#include "platform/git_head.h"

#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/run_program.h"
#include "tests/support/temp_home.h"

namespace nodrel::platform {
namespace {

namespace fs = std::filesystem;

class GitHead : public ::testing::Test {
 protected:
  void SetUp() override {
    repo_ = home_.path() / "repo";
    fs::create_directories(repo_ / "src" / "deep");
    git({"init", "-q", "-b", "main", "."});
    commit("src/deep/a.py");
  }

  std::string git(std::vector<std::string> args, const fs::path& where = {}) {
    args.insert(args.begin(), {"-C", (where.empty() ? repo_ : where).string()});
    const auto run = testing::runProgram("/usr/bin/git", args, "");
    EXPECT_EQ(run.status, 0) << run.err;
    return run.out;
  }
  void commit(const std::string& name) {
    std::ofstream(repo_ / name, std::ios::app) << "x\n";
    git({"add", "-A"});
    git({"-c", "user.name=T", "-c", "user.email=t@example.com", "-c", "commit.gpgsign=false",
         "commit", "-q", "-m", name});
  }
  std::string revParseHead(const fs::path& where = {}) {
    return git({"rev-parse", "HEAD"}, where).substr(0, 40);
  }

  testing::TempHome home_;
  fs::path repo_;
};

TEST_F(GitHead, NamesTheCommitGitNamesWhereverTheRefLives) {
  EXPECT_EQ(readHeadCommit(repo_), revParseHead());
  EXPECT_EQ(readHeadCommit(repo_ / "src" / "deep"), revParseHead());

  // Only in packed-refs, then a loose ref newer than its packed line.
  git({"pack-refs", "--all"});
  ASSERT_FALSE(fs::exists(repo_ / ".git" / "refs" / "heads" / "main"));
  EXPECT_EQ(readHeadCommit(repo_), revParseHead());
  commit("src/b.py");
  EXPECT_EQ(readHeadCommit(repo_ / "src"), revParseHead());

  git({"checkout", "-q", "--detach", "HEAD~1"});
  EXPECT_EQ(readHeadCommit(repo_), revParseHead());

  // A linked work tree keeps its HEAD apart and its branches in the main repository.
  const fs::path linked = home_.path() / "linked";
  git({"worktree", "add", "-q", "-b", "side", linked.string(), "main"});
  EXPECT_EQ(readHeadCommit(linked), revParseHead(linked));
  EXPECT_NE(readHeadCommit(linked), readHeadCommit(repo_));

  fs::create_directory_symlink(repo_ / "src", home_.path() / "alias");
  EXPECT_EQ(readHeadCommit(home_.path() / "alias"), revParseHead());
}

// Each leaves HEAD's file readable yet the history git walks in doubt, or no commit at all.
TEST_F(GitHead, DoubtGivesNothing) {
  const std::vector<std::pair<std::string, std::function<void()>>> cases = {
      {"shallow", [&] { std::ofstream(repo_ / ".git" / "shallow") << revParseHead() << "\n"; }},
      {"grafts",
       [&] {
         fs::create_directories(repo_ / ".git" / "info");
         std::ofstream(repo_ / ".git" / "info" / "grafts") << revParseHead() << "\n";
       }},
      {"replacement",
       [&] {
         fs::create_directories(repo_ / ".git" / "refs" / "replace");
         std::ofstream(repo_ / ".git" / "refs" / "replace" / revParseHead()) << revParseHead();
       }},
      {"unborn branch",
       [&] {
         git({"checkout", "-q", "--orphan", "fresh"});
       }},
      {"branch ref elsewhere",
       [&] { std::ofstream(repo_ / ".git" / "HEAD") << "ref: refs/remotes/origin/main\n"; }},
      {"not a hash", [&] { std::ofstream(repo_ / ".git" / "refs" / "heads" / "main") << "zz\n"; }},
  };
  for (const auto& [name, spoil] : cases) {
    SCOPED_TRACE(name);
    fs::remove_all(repo_ / ".git");
    git({"init", "-q", "-b", "main", "."});
    commit("src/deep/a.py");
    spoil();
    EXPECT_EQ(readHeadCommit(repo_), std::nullopt);
  }

  EXPECT_EQ(readHeadCommit(home_.path()), std::nullopt);  // no repository above
}

TEST_F(GitHead, GitVariablesInTheEnvironmentGiveNothing) {
  ASSERT_TRUE(readHeadCommit(repo_));
  setenv("GIT_DIR", (repo_ / ".git").c_str(), 1);
  EXPECT_EQ(readHeadCommit(repo_), std::nullopt);
  unsetenv("GIT_DIR");
}

}  // namespace
}  // namespace nodrel::platform
