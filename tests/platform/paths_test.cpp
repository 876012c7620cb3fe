#include "platform/paths.h"

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "tests/support/temp_home.h"

namespace nodrel::platform {
namespace {

namespace fs = std::filesystem;

TEST(Paths, BaseDirectoryUnderHome) {
  testing::TempHome home;
  EXPECT_EQ(homeDirectory(), home.path());
  EXPECT_EQ(userDataDirectory(), home.path() / ".local/share");
  EXPECT_EQ(userConfigDirectory(), home.path() / ".config");
  EXPECT_EQ(NodrelPaths::baseDirectory(), home.dataDirectory());
  EXPECT_EQ(NodrelPaths::databaseURL(), home.databasePath());
  const fs::path base = home.dataDirectory();
  EXPECT_EQ(NodrelPaths::coldDirectory(), base / "cold");
  EXPECT_EQ(NodrelPaths::trashDirectory(), base / "trash");
  EXPECT_EQ(NodrelPaths::trashColdDirectory(), base / "trash" / "cold");
  EXPECT_EQ(NodrelPaths::backupsDirectory(), base / "backups");
  EXPECT_EQ(NodrelPaths::directory("snapshots"), base / "snapshots");
  // Only the checkpoints member creates anything.
  EXPECT_FALSE(fs::exists(base / "cold"));
  EXPECT_FALSE(fs::exists(base));
}

TEST(Paths, ProjectKey) {
  const std::string cwd = fs::current_path().generic_string();
  struct Case {
    std::string given, want;
  };
  const Case cases[] = {
      {"/a/b", "/a/b"},
      {"/a/b/", "/a/b"},
      {"/a/b//", "/a/b"},
      {"/a/./b", "/a/b"},
      {"/a/c/../b", "/a/b"},
      {"/", "/"},
      {"//a///b", "/a/b"},
      {".", cwd},
      {"sub/dir/", cwd + "/sub/dir"},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.given);
    EXPECT_EQ(normaliseProjectPath(c.given), c.want);
  }
}

TEST(Paths, XdgDirectoriesWhenAbsolute) {
  testing::TempHome home;
  setenv("XDG_DATA_HOME", "/srv/data", 1);
  setenv("XDG_CONFIG_HOME", "/srv/config", 1);
  EXPECT_EQ(NodrelPaths::baseDirectory(), fs::path("/srv/data/Nodrel"));
  EXPECT_EQ(userConfigDirectory(), fs::path("/srv/config"));

  // A relative value is ignored, as the XDG rules say.
  setenv("XDG_DATA_HOME", "relative/data", 1);
  setenv("XDG_CONFIG_HOME", "", 1);
  EXPECT_EQ(NodrelPaths::baseDirectory(), home.dataDirectory());
  EXPECT_EQ(userConfigDirectory(), home.path() / ".config");
}

TEST(Paths, EmptyHomeFallsBackToPasswordDatabase) {
  testing::TempHome home;
  setenv("HOME", "", 1);
  auto fromPasswd = homeDirectory();
  // Containers may run as a user without an entry; then nothing is found and the base
  // directory is the relative fallback.
  if (fromPasswd) {
    EXPECT_TRUE(fromPasswd->is_absolute());
    EXPECT_EQ(NodrelPaths::baseDirectory(), *fromPasswd / ".local/share/Nodrel");
  } else {
    EXPECT_EQ(NodrelPaths::baseDirectory(), fs::path("Library/Application Support/Nodrel"));
  }
}

TEST(Paths, CheckpointsDirectoryIsCreatedWithParents) {
  testing::TempHome home;
  const fs::path want = home.dataDirectory() / "checkpoints";
  EXPECT_EQ(NodrelPaths::checkpointsDirectory(), want);
  EXPECT_TRUE(fs::is_directory(want));
  std::ofstream(want / "marker") << "x";
  EXPECT_EQ(NodrelPaths::checkpointsDirectory(), want);
  EXPECT_TRUE(fs::exists(want / "marker"));
}

TEST(Paths, EnsureDirectory) {
  testing::TempHome home;
  const fs::path nested = home.path() / "a" / "b" / "c";
  EXPECT_TRUE(NodrelPaths::ensureDirectory(nested));
  EXPECT_TRUE(fs::is_directory(nested));
  EXPECT_TRUE(NodrelPaths::ensureDirectory(nested));

  // Something that is not a directory counts as present, and nothing is created.
  const fs::path file = home.path() / "plain";
  std::ofstream(file) << "x";
  EXPECT_TRUE(NodrelPaths::ensureDirectory(file));
  EXPECT_TRUE(fs::is_regular_file(file));

  // Below a regular file nothing can be created.
  EXPECT_FALSE(NodrelPaths::ensureDirectory(file / "sub"));
}

TEST(Paths, RegularFileAtBaseDirectory) {
  testing::TempHome home;
  fs::create_directories(home.dataDirectory().parent_path());
  std::ofstream(home.dataDirectory()) << "not a directory";
  EXPECT_TRUE(NodrelPaths::ensureDirectory(NodrelPaths::baseDirectory()));
  EXPECT_TRUE(fs::is_regular_file(home.dataDirectory()));
  EXPECT_FALSE(fs::exists(NodrelPaths::checkpointsDirectory()));
}

}  // namespace
}  // namespace nodrel::platform
