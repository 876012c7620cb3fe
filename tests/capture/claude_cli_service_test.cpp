// Locating the assistant's executable: search paths in order, then `which` on the PATH.
#include "capture/claude_cli_service.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

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

// Sets PATH for the scope of one test; `which` itself must still be found.
class ScopedPath {
 public:
  explicit ScopedPath(const std::string& first) {
    if (const char* old = std::getenv("PATH")) saved_ = old;
    setenv("PATH", (first + ":/usr/bin:/bin").c_str(), 1);
  }
  ~ScopedPath() {
    if (saved_) setenv("PATH", saved_->c_str(), 1);
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
  {
    ScopedPath path((home.path() / "bin").string());
    EXPECT_EQ(whichClaude(), onPath);  // without the line break `which` prints
    EXPECT_EQ(resolveCLIURL({home.path() / "missing"}, true), onPath);
    EXPECT_EQ(resolveCLIURL({home.path() / "missing"}, false), std::nullopt);
  }
  {
    ScopedPath path((home.path() / "empty").string());
    EXPECT_EQ(whichClaude(), std::nullopt);  // `which` exits non-zero
  }
}

TEST(WhichClaude, AChildThatHangsIsKilledAtTheDeadline) {
  testing::TempHome home;
  // A stand-in `which` that never finishes: the lookup must still come back.
  makeFile(home.path() / "bin/which", kExecutable, "#!/bin/sh\nsleep 30\n");
  ScopedPath path((home.path() / "bin").string());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(whichClaude(std::chrono::milliseconds(200)), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace nodrel::capture
