// Locating the assistant's executable: search paths in order, then `which` on the PATH.
#include "capture/claude_cli_service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/temp_home.h"

namespace nodrel::capture {
namespace {

namespace fs = std::filesystem;

fs::path makeFile(const fs::path& path, fs::perms perms, const std::string& text = "#!/bin/sh\n") {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
  fs::permissions(path, perms);
  return path;
}

constexpr auto kExecutable = fs::perms::owner_all;
constexpr auto kNotExecutable = fs::perms::owner_read | fs::perms::owner_write;

// Where the real `which` is, found on the PATH the test run was started with.
fs::path realWhich() {
  const char* path = std::getenv("PATH");
  std::string entries = path ? path : "";
  for (std::size_t start = 0; start <= entries.size();) {
    const std::size_t end = std::min(entries.find(':', start), entries.size());
    const fs::path candidate = fs::path(entries.substr(start, end - start)) / "which";
    if (end > start && isExecutableFile(candidate)) return candidate;
    start = end + 1;
  }
  return "/usr/bin/which";
}

// Sets PATH for the scope of one test to the given directories only, followed by one that holds
// nothing but a link to the real `which`: a `claude` installed anywhere on the machine (as in
// /usr/bin) cannot be found through it.
class ScopedPath {
 public:
  ScopedPath(const testing::TempHome& home, const std::vector<fs::path>& directories) {
    if (const char* old = std::getenv("PATH")) saved_ = old;
    const fs::path tools = home.path() / "which-only";
    if (!fs::exists(tools / "which")) {
      fs::create_directories(tools);
      fs::create_symlink(realWhich(), tools / "which");
    }
    std::string value;
    for (const auto& directory : directories) value += directory.string() + ":";
    setenv("PATH", (value + tools.string()).c_str(), 1);
  }
  ~ScopedPath() {
    if (saved_) {
      setenv("PATH", saved_->c_str(), 1);
    } else {
      unsetenv("PATH");
    }
  }

 private:
  std::optional<std::string> saved_;
};

TEST(ResolveCLIURL, TakesTheFirstExecutableSearchPath) {
  testing::TempHome home;
  const fs::path local = makeFile(home.path() / ".local/bin/claude", kExecutable);
  const fs::path brew = makeFile(home.path() / "brew/claude", kExecutable);
  const fs::path notExecutable = makeFile(home.path() / "plain/claude", kNotExecutable);
  fs::create_directories(home.path() / "dir/claude");

  EXPECT_EQ(defaultSearchPaths().front(), local);
  EXPECT_EQ(resolveCLIURL({local, brew}, false), local);
  EXPECT_EQ(resolveCLIURL({notExecutable, home.path() / "dir/claude", brew}, false), brew);
  EXPECT_EQ(resolveCLIURL({notExecutable, home.path() / "missing"}, false), std::nullopt);
}

TEST(WhichClaude, FindsTheExecutableOnThePath) {
  testing::TempHome home;
  const fs::path onPath = makeFile(home.path() / "bin/claude", kExecutable);
  // Stands in for a system-wide install, /usr/bin/claude, later on the PATH.
  const fs::path systemWide = makeFile(home.path() / "usr/bin/claude", kExecutable);
  makeFile(home.path() / "plain/claude", kNotExecutable);
  {
    ScopedPath path(home, {home.path() / "bin", home.path() / "usr/bin"});
    EXPECT_EQ(whichClaude(), onPath);  // without the line break `which` prints
    EXPECT_EQ(resolveCLIURL({home.path() / "missing"}, true), onPath);
    EXPECT_EQ(resolveCLIURL({home.path() / "missing"}, false), std::nullopt);
  }
  {
    ScopedPath path(home, {home.path() / "plain", home.path() / "usr/bin"});
    EXPECT_EQ(whichClaude(), systemWide);
  }
  {
    ScopedPath path(home, {home.path() / "empty", home.path() / "plain"});
    EXPECT_EQ(whichClaude(), std::nullopt);  // `which` exits non-zero
  }
}

TEST(WhichClaude, AChildThatHangsIsKilledAtTheDeadline) {
  testing::TempHome home;
  // A stand-in `which` that never finishes: the lookup must still come back.
  makeFile(home.path() / "bin/which", kExecutable, "#!/bin/sh\nsleep 30\n");
  ScopedPath path(home, {home.path() / "bin"});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(whichClaude(std::chrono::milliseconds(200)), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace nodrel::capture
