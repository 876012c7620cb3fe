// Skill promotion and the task list, through the server.
#include <gtest/gtest.h>

#include <string>

#include "server/task_promoter.h"
#include "tests/support/server_session.h"
#include "tests/support/temp_home.h"

namespace nodrel {
namespace {

using nlohmann::json;

TEST(ShortestDecimal, AlwaysHasAFraction) {
  EXPECT_EQ(server::shortestDecimal(0.79), "0.79");
  EXPECT_EQ(server::shortestDecimal(0.0), "0.0");
  EXPECT_EQ(server::shortestDecimal(0.5), "0.5");
  EXPECT_EQ(server::shortestDecimal(-1.0), "-1.0");
  EXPECT_EQ(server::shortestDecimal(0.1 + 0.2), "0.30000000000000004");
}

class Tasks : public ::testing::Test {
 protected:
  testing::TempHome home;
  db::Connection db = home.openDatabase();

  void addSkill(const std::string& id, db::Value confidence, db::Value useCount, db::Value content,
                db::Value learnedFrom = db::Null{}) {
    db.run(
        "INSERT INTO skills (id, name, display_name, description, content, confidence, "
        "use_count, learned_from) VALUES (?, ?, 'Display', NULL, ?, ?, ?, ?)",
        {db::text(id), db::text("skill-" + id), content, confidence, useCount, learnedFrom});
  }
  json call(const std::string& tool, const json& arguments) {
    return testing::callTool(tool, arguments);
  }
};

TEST_F(Tasks, PromotionChecksTheCriteriaInOrder) {
  addSkill("ok", 0.8, std::int64_t{5}, db::text("make test"), db::text("/srv/app"));
  addSkill("low", 0.79, std::int64_t{5}, db::text("x"));
  addSkill("few", 0.9, std::int64_t{4}, db::text("x"));
  addSkill("both", 0.5, std::int64_t{1}, db::text("x"));
  addSkill("empty", 1.0, std::int64_t{9}, db::text(""));
  addSkill("nulls", db::Null{}, db::Null{}, db::Null{});
  struct Case {
    json arguments;
    std::string error;
  };
  const Case cases[] = {
      {json::object(), "skill_id is required"},
      {{{"skill_id", "missing"}}, "Skill not found: missing"},
      {{{"skill_id", "low"}}, "Criteria not met \u2014 confidence 0.79 < 0.8"},
      {{{"skill_id", "few"}}, "Criteria not met \u2014 use_count 4 < 5"},
      {{{"skill_id", "both"}}, "Criteria not met \u2014 confidence 0.5 < 0.8"},
      {{{"skill_id", "empty"}}, "Criteria not met \u2014 content is empty"},
      {{{"skill_id", "nulls"}}, "Criteria not met \u2014 confidence 0.0 < 0.8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.dump());
    EXPECT_EQ(call("nodrel_promote_skill", c.arguments),
              json({{"success", false}, {"error", c.error}}));
  }

  const json first = call("nodrel_promote_skill", {{"skill_id", "ok"}});
  ASSERT_EQ(first["success"], true) << first;
  const json& task = first["task"];
  EXPECT_EQ(task["skill_id"], "ok");
  EXPECT_EQ(task["name"], "skill-ok");
  EXPECT_EQ(task["description"], "");
  EXPECT_EQ(task["script_content"], "make test");
  EXPECT_EQ(task["project"], "/srv/app");
  EXPECT_EQ(task["run_count"], 0);
  EXPECT_EQ(task["success_rate"], 1.0);
  EXPECT_EQ(task["active"], true);
  EXPECT_FALSE(task.contains("last_run"));
  // Promoting again returns the same task and writes nothing.
  EXPECT_EQ(call("nodrel_promote_skill", {{"skill_id", "ok"}}), first);
  EXPECT_EQ(db.scalar("SELECT COUNT(*) FROM tasks"), db::Value(std::int64_t{1}));
}

TEST_F(Tasks, ListingFiltersByProjectAndSkipsUnreadableRows) {
  const auto insert = [&](const std::string& id, db::Value project, const std::string& promoted,
                          std::int64_t active) {
    db.run(
        "INSERT INTO tasks (id, skill_id, name, project, promoted_at, active) VALUES "
        "(?, 's', 'n', ?, ?, ?)",
        {db::text(id), project, db::text(promoted), active});
  };
  insert("A", db::text("/srv/app"), "2026-01-01T00:00:00.000+0000", 1);
  insert("B", db::Null{}, "2026-02-01T00:00:00.000+0000", 1);
  insert("C", db::text("/srv/other"), "2026-03-01T00:00:00.000+0000", 1);
  insert("D", db::text("/srv/app"), "yesterday", 1);
  insert("E", db::text("/srv/app"), "2026-04-01T00:00:00.000+0000", 0);

  auto ids = [](const json& result) {
    std::vector<std::string> out;
    for (const auto& task : result["tasks"]) out.push_back(task["id"]);
    return out;
  };
  const json all = call("nodrel_list_tasks", {{"project_path", ""}});
  EXPECT_EQ(ids(all), (std::vector<std::string>{"C", "B", "A"}));
  EXPECT_EQ(all["count"], 3);
  const json app = call("nodrel_list_tasks", {{"project_path", "/srv/app"}});
  EXPECT_EQ(ids(app), (std::vector<std::string>{"B", "A"}));
  EXPECT_FALSE(app["tasks"][0].contains("project"));
  EXPECT_EQ(call("nodrel_list_tasks", {{"project_path", "srv/app"}}),
            json({{"success", false}, {"error", "project_path must be an absolute path"}}));
}

}  // namespace
}  // namespace nodrel
