#include "server/validation.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/time.h"
#include "server/projects.h"
#include "tests/support/temp_home.h"

namespace nodrel::server {
namespace {

std::string repeat(const std::string& unit, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += unit;
  return text;
}

TEST(ValidateProjectPath, FirstFailingTestWins) {
  struct Case {
    std::string path;
    std::optional<std::string> want;
  };
  const Case cases[] = {
      {"", std::nullopt},
      {"/srv/app", std::nullopt},
      {"/" + std::string(499, 'a'), std::nullopt},
      {"/" + repeat("\xF0\x9F\x98\x80", 499), std::nullopt},  // 500 characters, 1997 bytes
      {"/" + std::string(500, 'a'), "project_path exceeds 500 character limit"},
      {"/../" + std::string(500, 'a'), "project_path exceeds 500 character limit"},
      {"../x", "project_path must not contain path traversal (..)"},
      {"/srv/a..b", "project_path must not contain path traversal (..)"},
      {"relative/dir", "project_path must be an absolute path"},
      {std::string("/a\0b", 4), "project_path must not contain null bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path.substr(0, 40));
    EXPECT_EQ(validateProjectPath(c.path), c.want);
  }
}

TEST(ValidateContent, CountsCharactersAndRefusesNul) {
  struct Case {
    std::string content;
    std::optional<std::string> want;
  };
  const Case cases[] = {
      {"", "content is required and must not be empty"},
      {"   ", std::nullopt},
      {std::string(10000, 'x'), std::nullopt},
      {repeat("e\xCC\x81", 10000), std::nullopt},  // 10,000 combining sequences
      {std::string(10001, 'x'), "content exceeds 10,000 character limit"},
      {std::string("a\0", 2), "content must not contain null bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 20));
    EXPECT_EQ(validateContent(c.content), c.want);
  }
}

TEST(ResolveSurface, GivenSurfaceThenEnvironmentThenDefault) {
  testing::TempHome home;  // restores NODREL_SURFACE afterwards
  struct Case {
    std::optional<std::string> surface;
    const char* environment;  // nullptr: unset
    std::string want;
  };
  const Case cases[] = {
      {"cowork", "claude_ai", "cowork"},     {"Cowork", "claude_ai", "claude_code"},
      {"other", "claude_ai", "claude_code"}, {std::nullopt, "claude_ai", "claude_ai"},
      {"", "claude_ai", "claude_ai"},        {std::nullopt, nullptr, "claude_code"},
      {std::nullopt, "", "claude_code"},     {std::nullopt, "desktop", "claude_code"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.surface.value_or("<none>") + " / " + (c.environment ? c.environment : "unset"));
    if (c.environment) {
      setenv("NODREL_SURFACE", c.environment, 1);
    } else {
      unsetenv("NODREL_SURFACE");
    }
    EXPECT_EQ(resolveSurface(c.surface), c.want);
  }
}

TEST(CurrentTimestamp, DatabaseFormInGmtWhateverTheZone) {
  const char* saved = std::getenv("TZ");
  const std::string savedValue = saved ? saved : "";
  setenv("TZ", "Asia/Kolkata", 1);
  const std::string stamp = currentTimestamp();
  if (saved)
    setenv("TZ", savedValue.c_str(), 1);
  else
    unsetenv("TZ");
  EXPECT_EQ(stamp.size(), 28u);
  EXPECT_EQ(stamp.substr(23), "+0000");
  EXPECT_TRUE(platform::sharedTimestampFormatter().parse(stamp).has_value());
}

TEST(EnsureProject, RegistersOnceWithTheDisplayName) {
  testing::TestDatabase database;
  auto& db = database.db();
  const std::string id = ensureProject("/work/app/", db);
  EXPECT_EQ(id.size(), 36u);
  EXPECT_EQ(ensureProject("/work/app/", db), id);
  auto rows = db.query("SELECT id, name, path FROM projects");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (db::Row{id, std::string("app"), std::string("/work/app/")}));

  ensureProject("/", db);
  EXPECT_EQ(db.scalar("SELECT name FROM projects WHERE path = '/'"), db::Value(std::string("/")));
}

TEST(EnsureProject, ReadsBackTheRowAnotherWriterRegisteredFirst) {
  testing::TestDatabase database;
  auto& db = database.db();
  // Another program registers the path between the lookup and the insert, so the insert is
  // ignored; the id that comes back must be the stored one, not the unused new one.
  db.exec(R"sql(CREATE TRIGGER other_writer BEFORE INSERT ON projects
                WHEN NEW.id != 'P1' BEGIN
                  INSERT INTO projects (id, name, path, created_at)
                  VALUES ('P1', 'app', NEW.path, NEW.created_at);
                END)sql");
  EXPECT_EQ(ensureProject("/work/app", db), "P1");
  EXPECT_EQ(db.scalar("SELECT COUNT(*) FROM projects"), db::Value(std::int64_t{1}));
}

}  // namespace
}  // namespace nodrel::server
