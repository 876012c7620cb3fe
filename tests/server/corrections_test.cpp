// nodrel_save_correction and nodrel_save_standing_instruction through the server.
#include <gtest/gtest.h>

#include <string>

#include "platform/user_defaults.h"
#include "store/capacity.h"
#include "store/write_path.h"
#include "tests/support/server_session.h"
#include "tests/support/temp_home.h"

namespace nodrel {
namespace {

using nlohmann::json;

bool hasLine(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class SavingCorrections : public ::testing::Test {
 protected:
  testing::TempHome home;
  db::Connection db = home.openDatabase();
  store::WriteState writes;

  json call(const std::string& tool, const json& arguments,
            std::vector<std::string>* errLines = nullptr) {
    return testing::callTool(tool, arguments, errLines);
  }
  std::int64_t count(const std::string& sql) { return db::integerOf(*db.scalar(sql)).value_or(-1); }
};

TEST_F(SavingCorrections, StoresTheRowAndMirrorsItIntoMemories) {
  std::vector<std::string> err;
  const json first = call("nodrel_save_correction",
                          {{"project_path", "/work/app/"},
                           {"content", "Use <b>snake_case</b> for files"},
                           {"rationale", " house style "},
                           {"source", "user"},
                           {"surface", "cowork"}},
                          &err);
  ASSERT_EQ(first["success"], true) << first;
  EXPECT_EQ(first["status"], "pending");
  EXPECT_EQ(first["rationale"], " house style ");
  auto row = db.query(
                   "SELECT id, project_id, content, source, status, surface, rationale, "
                   "created_at FROM corrections")
                 .at(0);
  EXPECT_EQ(row[0], db::Value(first["correction_id"].get<std::string>()));
  EXPECT_EQ(row[1], db::Value(first["project_id"].get<std::string>()));
  EXPECT_EQ(row[2], db::Value(std::string("Use snake_case for files")));
  EXPECT_EQ(row[3], db::Value(std::string("session_log")));
  EXPECT_EQ(row[5], db::Value(std::string("cowork")));
  EXPECT_EQ(row[6], db::Value(std::string(" house style ")));
  EXPECT_EQ(row[7], db::Value(first["created_at"].get<std::string>()));
  EXPECT_EQ(db.scalar("SELECT name FROM projects WHERE id = ?", {row[1]}),
            db::Value(std::string("app")));

  const std::string memoryID = store::memoryContentHash("Use snake_case for files");
  EXPECT_TRUE(hasLine(err, "[nodrel-mcp] correction mirrored to memories: " + memoryID));
  EXPECT_EQ(db.query("SELECT type, tags, importance, project FROM memories WHERE id = ?",
                     {db::text(memoryID)})
                .at(0),
            (db::Row{std::string("correction"), std::string("correction,session_log"),
                     std::int64_t{5}, std::string("/work/app")}));

  // Saved again: a second row, the same memory reinforced.
  const json second = call("nodrel_save_correction",
                           {{"project_path", "/work/app/"},
                            {"content", "Use <b>snake_case</b> for files"},
                            {"rationale", " \n "}},
                           &err);
  EXPECT_NE(second["correction_id"], first["correction_id"]);
  EXPECT_EQ(second["project_id"], first["project_id"]);
  EXPECT_FALSE(second.contains("rationale"));
  EXPECT_TRUE(hasLine(err, "[nodrel-mcp] correction mirrored to memories: " + memoryID));
  EXPECT_EQ(count("SELECT COUNT(*) FROM corrections"), 2);
  EXPECT_EQ(count("SELECT COUNT(*) FROM corrections WHERE rationale IS NULL"), 1);
  EXPECT_EQ(count("SELECT access_count FROM memories"), 2);
  EXPECT_EQ(count("SELECT COUNT(*) FROM projects"), 1);
}

TEST_F(SavingCorrections, LinksACorrectionToTheRulesItMayContradict) {
  store::writeMemory(db, writes,
                     {.body = "Always deploy releases on Fridays after lunch",
                      .tier = store::MemoryTier::Semantic,
                      .project = "/p",
                      .type = store::MemoryType::Rule});
  const json result =
      call("nodrel_save_correction",
           {{"project_path", "/p"}, {"content", "Never deploy releases on Fridays"}});
  ASSERT_EQ(result["success"], true);
  EXPECT_EQ(count("SELECT COUNT(*) FROM memory_links WHERE link_type = 'contradicts'"), 1);
}

TEST_F(SavingCorrections, RefusalsWriteNothing) {
  std::string longWords;
  for (int i = 0; i < 1001; ++i) longWords += "word ";
  struct Case {
    std::string tool;
    json arguments;
    std::string error;
  };
  const Case cases[] = {
      {"nodrel_save_correction",
       {{"content", "x"}},
       "project_path is required and must not be empty"},
      {"nodrel_save_correction",
       {{"project_path", "rel"}, {"content", "x"}},
       "project_path must be an absolute path"},
      {"nodrel_save_correction",
       {{"project_path", "/p"}},
       "content is required and must not be empty"},
      {"nodrel_save_correction",
       {{"project_path", "/p"}, {"content", "   "}},
       "Content rejected: Body is empty or whitespace-only"},
      {"nodrel_save_correction",
       {{"project_path", "/p"}, {"content", "a <i>onerror=</i>x"}},
       "Content rejected: Body contains dangerous embedded content: onerror=; Body contains HTML "
       "tags"},
      {"nodrel_save_correction",
       {{"project_path", "/p"}, {"content", "data:text/<i>html,x"}},
       "Content rejected: Body contains dangerous embedded content: data:text/html"},
      // Nothing is left once the tags are cleaned away.
      {"nodrel_save_correction",
       {{"project_path", "/p"}, {"content", "<b></b>"}},
       "Content rejected: Body is empty or whitespace-only"},
      // The rationale is shown with the correction in every later context: bounded and checked.
      {"nodrel_save_correction",
       {{"project_path", "/p"}, {"content", "x"}, {"rationale", std::string(10001, 'r')}},
       "rationale exceeds 10,000 character limit"},
      {"nodrel_save_correction",
       {{"project_path", "/p"}, {"content", "x"}, {"rationale", std::string("a\0b", 3)}},
       "rationale must not contain null bytes"},
      {"nodrel_save_correction",
       {{"project_path", "/p"}, {"content", "x"}, {"rationale", "see <i>onerror=</i>x"}},
       "Content rejected: Body contains dangerous embedded content: onerror=; Body contains HTML "
       "tags"},
      {"nodrel_save_standing_instruction",
       {{"project_path", "/p"}},
       "content is required and must not be empty"},
      {"nodrel_save_standing_instruction",
       {{"project_path", "rel"}, {"content", "x"}},
       "project_path must be an absolute path"},
      {"nodrel_save_standing_instruction",
       {{"content", longWords}},
       "Content rejected: Body exceeds 5,000 character limit (5005 chars)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tool + " " + c.arguments.dump().substr(0, 60));
    EXPECT_EQ(call(c.tool, c.arguments), json({{"success", false}, {"error", c.error}}));
  }
  EXPECT_EQ(count("SELECT COUNT(*) FROM corrections"), 0);
  EXPECT_EQ(count("SELECT COUNT(*) FROM standing_instructions"), 0);
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories"), 0);
  EXPECT_EQ(count("SELECT COUNT(*) FROM projects"), 0);
}

TEST_F(SavingCorrections, AFullStoreStillSavesTheCorrection) {
  store::writeMemory(db, writes, {.body = std::string(2000, 'a')});
  store::writeMemory(db, writes, {.body = std::string(1000, 'c')});
  db.run("UPDATE memories SET tier = 'cold' WHERE body = ?", {db::text(std::string(1000, 'c'))});
  platform::UserDefaults::set(std::string(store::kActiveBudgetKey), 2000);
  platform::UserDefaults::set(std::string(store::kColdBudgetKey), 1000);
  std::vector<std::string> err;
  const json result = call("nodrel_save_correction",
                           {{"project_path", "/p"}, {"content", "Prefer early returns"}}, &err);
  EXPECT_EQ(result["success"], true);
  EXPECT_EQ(count("SELECT COUNT(*) FROM corrections"), 1);
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories"), 2);
  bool logged = false;
  for (const auto& line : err) {
    logged |=
        line.rfind("[nodrel-mcp] memory mirror error (non-fatal): Nodrel is at capacity.", 0) == 0;
  }
  EXPECT_TRUE(logged);
}

TEST_F(SavingCorrections, StandingInstructionsAreGlobalOrProjectScoped) {
  const json global = call("nodrel_save_standing_instruction",
                           {{"project_path", ""}, {"content", "Answer in <em>English</em>"}});
  ASSERT_EQ(global["success"], true) << global;
  EXPECT_EQ(global["scope_type"], "global");
  EXPECT_EQ(global["active"], true);
  EXPECT_EQ(count("SELECT COUNT(*) FROM projects"), 0);

  setenv("NODREL_SURFACE", "claude_desktop", 1);
  const json scoped = call("nodrel_save_standing_instruction",
                           {{"project_path", "/srv/api"}, {"content", "Run make check"}});
  unsetenv("NODREL_SURFACE");
  EXPECT_EQ(scoped["scope_type"], "project");
  auto rows = db.query(
      "SELECT content, scope_type, project_id, source, surface, active FROM "
      "standing_instructions ORDER BY scope_type");
  ASSERT_EQ(rows.size(), 2u);
  // Instructions are stored as given: only corrections and notes are cleaned.
  EXPECT_EQ(rows[0],
            (db::Row{std::string("Answer in <em>English</em>"), std::string("global"), db::Null{},
                     std::string("session_log"), std::string("claude_code"), std::int64_t{1}}));
  EXPECT_EQ(rows[1][4], db::Value(std::string("claude_desktop")));
  EXPECT_EQ(db.scalar("SELECT path FROM projects WHERE id = ?", {rows[1][2]}),
            db::Value(std::string("/srv/api")));
}

}  // namespace
}  // namespace nodrel
