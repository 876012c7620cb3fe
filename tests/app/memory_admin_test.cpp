// nodrel-app list and forget as a user runs them: memories remembered through the server, then
// listed, forgotten, and no longer recalled.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "db/connection.h"
#include "tests/support/run_program.h"
#include "tests/support/server_session.h"
#include "tests/support/temp_home.h"

namespace nodrel {
namespace {

using nlohmann::json;

std::vector<std::string> lines(const testing::ProgramRun& run) {
  return testing::splitLines(run.out);
}

bool mentions(const json& result, const std::string& text) {
  return result.dump().find(text) != std::string::npos;
}

class MemoryManagement : public ::testing::Test {
 protected:
  // Three memories, oldest first, remembered as a host would.
  void SetUp() override {
    std::vector<std::string> requests;
    for (std::size_t i = 0; i < bodies_.size(); ++i) {
      requests.push_back(
          testing::toolCall(static_cast<int>(i) + 1, "nodrel_remember",
                            {{"project_path", projects_[i]}, {"content", bodies_[i]}}));
    }
    // One session per write keeps their creation times apart.
    for (const auto& request : requests) {
      const auto session = testing::runServer({request});
      ASSERT_EQ(session.responses.size(), 1u);
      const json result = testing::toolResult(session.responses[0]);
      ASSERT_EQ(result["success"], true) << result.dump();
      ids_.push_back(result["memory_id"].get<std::string>());
    }
  }
  json context(const std::string& project) {
    return testing::callTool("nodrel_get_context", {{"project_path", project}});
  }

  testing::TempHome home_;
  const std::vector<std::string> bodies_ = {
      "The staging database is reset every Monday night",
      "Release builds need LTO switched off for the ARM target\nbecause the linker runs out of "
      "memory on the build machines",
      "Library headers are formatted with clang-format version 15"};
  const std::vector<std::string> projects_ = {"/work/app", "/work/app", "/work/lib"};
  std::vector<std::string> ids_;
};

TEST_F(MemoryManagement, ListShowsTheNewestFirstAndFilters) {
  auto run = testing::runApp({"list"});
  EXPECT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(lines(run).size(), 3u) << run.out;
  EXPECT_TRUE(
      lines(run)[0].starts_with(ids_[2].substr(0, 12) + "  episodic  observation  /work/lib  "))
      << run.out;
  // The first line of the body only.
  EXPECT_TRUE(lines(run)[1].ends_with("  Release builds need LTO switched off for the ARM target"))
      << run.out;
  EXPECT_TRUE(lines(run)[2].starts_with(ids_[0].substr(0, 12))) << run.out;

  struct Case {
    std::vector<std::string> args;
    std::vector<std::size_t> want;  // indexes into ids_, in the order listed
  };
  const Case cases[] = {
      {{"list", "--project", "/work/app/"}, {1, 0}},  // as the project is stored
      {{"list", "--project", "/work/none"}, {}},
      {{"list", "--limit", "1"}, {2}},
      {{"list", "--project", "/work/app", "--limit", "1"}, {1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[c.args.size() - 1]);
    auto listed = testing::runApp(c.args);
    EXPECT_EQ(listed.status, 0) << listed.err;
    if (c.want.empty()) {
      EXPECT_EQ(listed.out, "No memories.\n");
      continue;
    }
    ASSERT_EQ(lines(listed).size(), c.want.size()) << listed.out;
    for (std::size_t i = 0; i < c.want.size(); ++i) {
      EXPECT_TRUE(lines(listed)[i].starts_with(ids_[c.want[i]].substr(0, 12)));
    }
  }
  for (const std::vector<std::string>& bad : {std::vector<std::string>{"list", "--limit", "0"},
                                              {"list", "--limit", "x"},
                                              {"list", "--bogus"}}) {
    SCOPED_TRACE(bad.back());
    auto refused = testing::runApp(bad);
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.out, "");
    EXPECT_NE(refused.err.find("Usage: nodrel-app init"), std::string::npos);
  }
}

TEST_F(MemoryManagement, ForgottenMemoriesAreNoLongerRecalled) {
  ASSERT_TRUE(mentions(context("/work/app"), "staging database is reset"));

  auto run = testing::runApp({"forget", ids_[0].substr(0, 8)});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.out.starts_with("Forgot: " + ids_[0].substr(0, 12) + "  episodic")) << run.out;
  EXPECT_TRUE(run.out.ends_with("  The staging database is reset every Monday night\n"));
  EXPECT_EQ(testing::splitLines(run.out).size(), 1u);

  const json after = context("/work/app");
  EXPECT_FALSE(mentions(after, "staging database is reset")) << after.dump();
  EXPECT_TRUE(mentions(after, "Release builds need LTO")) << after.dump();
  auto hook = testing::runNodrel({"context", "--cwd", "/work/app"}, "");
  EXPECT_EQ(hook.out.find("staging database is reset"), std::string::npos) << hook.out;

  auto listed = testing::runApp({"list"});
  EXPECT_EQ(lines(listed).size(), 2u);
  listed = testing::runApp({"list", "--deleted"});
  ASSERT_EQ(lines(listed).size(), 3u);
  EXPECT_NE(lines(listed)[2].find("  [forgotten "), std::string::npos) << listed.out;

  // Whole ids, upper case and repeats are the same memory; one already forgotten is said so.
  std::string upper = ids_[1];
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  run = testing::runApp({"forget", ids_[0], upper, ids_[1]});
  EXPECT_EQ(run.status, 0) << run.err;
  const auto reported = testing::splitLines(run.out);
  ASSERT_EQ(reported.size(), 2u) << run.out;
  EXPECT_TRUE(reported[0].starts_with("Already forgotten: " + ids_[0].substr(0, 12)));
  EXPECT_TRUE(reported[1].starts_with("Forgot: " + ids_[1].substr(0, 12)));
  EXPECT_EQ(testing::runApp({"list"}).out.find(ids_[1].substr(0, 12)), std::string::npos);
}

// A correction and a session-context note are shown by the context tool on their own: forgetting
// the memory that mirrors one takes it out of the context as well, and leaves the others.
TEST_F(MemoryManagement, ForgettingAMirroredCorrectionOrNoteHidesItToo) {
  const auto session = testing::runServer(
      {testing::toolCall(10, "nodrel_save_correction",
                         {{"project_path", "/work/app"},
                          {"content", "Never deploy on Fridays without a rollback plan"}}),
       testing::toolCall(11, "nodrel_save_context",
                         {{"project_path", "/work/app"},
                          {"context_type", "decision"},
                          {"content", "We chose blue-green deploys for the API"}}),
       testing::toolCall(12, "nodrel_save_context",
                         {{"project_path", "/work/app"},
                          {"context_type", "state"},
                          {"content", "The migration to Postgres 16 is half done"}})});
  ASSERT_EQ(session.responses.size(), 3u);
  ASSERT_TRUE(mentions(context("/work/app"), "without a rollback plan"));
  auto db = home_.openDatabase();
  const auto idOf = [&](const std::string& body) {
    return *db::textOf(*db.scalar("SELECT id FROM memories WHERE body = ?", {db::text(body)}));
  };
  auto run = testing::runApp({"forget", idOf("Never deploy on Fridays without a rollback plan"),
                              idOf("We chose blue-green deploys for the API")});
  ASSERT_EQ(run.status, 0) << run.err;
  const json after = context("/work/app");
  EXPECT_FALSE(mentions(after, "without a rollback plan")) << after.dump();
  EXPECT_FALSE(mentions(after, "blue-green deploys")) << after.dump();
  EXPECT_TRUE(mentions(after, "Postgres 16 is half done")) << after.dump();
  EXPECT_TRUE(mentions(after, "staging database is reset")) << after.dump();
}

TEST_F(MemoryManagement, AnIdThatNamesNoOneMemoryChangesNothing) {
  {
    auto db = home_.openDatabase();
    for (const char* id : {"abcdef0011", "abcdef0022"}) {
      db.run(
          "INSERT INTO memories (id, tier, body, project, created_at) VALUES (?, 'episodic', "
          "'twin', '/t', '2026-01-01T00:00:00.000+0000')",
          {db::text(id)});
    }
  }
  struct Case {
    std::vector<std::string> ids;
    std::string error;
  };
  const Case cases[] = {
      {{ids_[0], "abcdef00"},
       "abcdef00 names more than one memory: give more characters of the id"},
      {{ids_[0], "0000000000000000"}, "no memory has the id 0000000000000000"},
      {{ids_[0], "abc"}, "abc is too short: give at least 8 characters of the id"},
      {{"not-an-id", ids_[0]}, "not a memory id: not-an-id"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    auto run = testing::runApp({"forget", c.ids[0], c.ids[1]});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "nodrel-app forget: " + c.error + "\n");
  }
  auto listed = testing::runApp({"list"});
  EXPECT_EQ(lines(listed).size(), 5u) << listed.out;

  auto none = testing::runApp({"forget"});
  EXPECT_EQ(none.status, 2);
}

TEST(MemoryManagementWithoutADatabase, SaysToInitialise) {
  testing::TempHome home;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"list"}, {"forget", "0123456789"}}) {
    auto run = testing::runApp(args);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "nodrel-app " + args[0] + ": no database at " +
                           home.databasePath().string() + "; run nodrel-app init first\n");
  }
  EXPECT_FALSE(std::filesystem::exists(home.databasePath()));
}

}  // namespace
}  // namespace nodrel
