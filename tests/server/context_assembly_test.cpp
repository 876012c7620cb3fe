// nodrel_get_skills and nodrel_get_context as a host sees them: the companion's rows inserted
// into a scratch HOME, the server fed tool calls over a pipe.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "codeintel/code_generation.h"
#include "codeintel/code_ingestion_service.h"
#include "db/schema.h"
#include "platform/time.h"
#include "server/tools/context_sections.h"
#include "store/recall.h"
#include "store/write_path.h"
#include "tests/support/server_session.h"
#include "tests/support/temp_home.h"

namespace nodrel {
namespace {

using nlohmann::json;
using testing::runServer;
using testing::toolCall;
using testing::toolResult;

constexpr const char* kNotRegistered =
    "Project not registered in Nodrel — showing global skills only";
constexpr const char* kNoEfficiency = "No project registered — no efficiency data available";

// Every call's tool result, in order.
std::vector<json> callAll(const std::vector<std::pair<std::string, json>>& calls,
                          std::vector<std::string>* errLines = nullptr) {
  std::vector<std::string> lines;
  int id = 1;
  for (const auto& [tool, arguments] : calls) lines.push_back(toolCall(id++, tool, arguments));
  auto session = runServer(lines);
  EXPECT_EQ(session.responses.size(), calls.size()) << session.rawOut;
  std::vector<json> results;
  for (const auto& response : session.responses) results.push_back(toolResult(response));
  if (errLines) *errLines = session.errLines;
  return results;
}

std::vector<std::string> names(const json& list, const char* key = "id") {
  std::vector<std::string> out;
  for (const auto& entry : list) out.push_back(entry[key].get<std::string>());
  return out;
}

class ContextAssembly : public ::testing::Test {
 protected:
  testing::TempHome home;
  db::Connection db = home.openDatabase();
  store::WriteState writes;

  void project(const std::string& id, const std::string& name, const std::string& path,
               const db::Value& summary = db::Null{}, const std::string& lastActive = "") {
    db.run(
        "INSERT INTO projects (id, name, path, context_summary, created_at, last_active_at) "
        "VALUES (?, ?, ?, ?, '2026-01-01T00:00:00.000+0000', ?)",
        {db::text(id), db::text(name), db::text(path), summary, db::text(lastActive)});
  }
  void skill(const std::string& id, const std::string& scope, const db::Value& keywords,
             double confidence, const std::string& learnedFrom = "",
             const std::string& appliesTo = "") {
    db.run(
        "INSERT INTO skills (id, name, display_name, description, content, trigger_keywords, "
        "scope, confidence, use_count, learned_from, applies_to) "
        "VALUES (?, ?, NULL, 'd', 'c', ?, ?, ?, 3, ?, ?)",
        {db::text(id), db::text("name-" + id), keywords, db::text(scope), confidence,
         db::text(learnedFrom), db::text(appliesTo)});
  }
  void instruction(const std::string& id, const std::string& scope, const std::string& projectID,
                   const std::string& createdAt, int active = 1) {
    db.run(
        "INSERT INTO standing_instructions (id, content, scope_type, project_id, source, "
        "active, created_at) VALUES (?, 'do it', ?, ?, 'user', ?, ?)",
        {db::text(id), db::text(scope), db::text(projectID), std::int64_t{active},
         db::text(createdAt)});
  }
  void correction(const std::string& id, const std::string& projectID, const std::string& createdAt,
                  const db::Value& rationale) {
    db.run(
        "INSERT INTO corrections (id, project_id, content, source, status, rationale, "
        "created_at) VALUES (?, ?, 'fix', 'session_log', 'active', ?, ?)",
        {db::text(id), db::text(projectID), rationale, db::text(createdAt)});
  }
  void sessionStats(const std::string& id, const std::string& projectID, const std::string& date,
                    const db::Value& toolCalls, const db::Value& corrections) {
    db.run(
        "INSERT INTO session_stats (id, project_id, session_date, tool_calls, "
        "correction_count) VALUES (?, ?, ?, ?, ?)",
        {db::text(id), db::text(projectID), db::text(date), toolCalls, corrections});
  }
};

TEST_F(ContextAssembly, SkillsForRegisteredAndUnregisteredPaths) {
  project("P1", "alpha", "/Users/dev/alpha");  // NULL context summary
  skill("global-low", "global", db::text("[]"), 0.2);
  skill("global-high", "global", db::text("[]"), 0.9);
  skill("learned", "project", db::text("[]"), 0.5, "P1");
  skill("applies", "project", db::text("[]"), 0.4, "", "P0,P1,P2");
  skill("other", "project", db::text("[]"), 0.99, "P2", "P3");
  instruction("g-old", "global", "", "2026-01-01T00:00:00.000+0000");
  instruction("g-new", "global", "", "2026-01-02T00:00:00.000+0000");
  instruction("p1", "project", "P1", "2026-01-03T00:00:00.000+0000");
  instruction("p1-off", "project", "P1", "2026-01-04T00:00:00.000+0000", 0);
  instruction("p2", "project", "P2", "2026-01-05T00:00:00.000+0000");

  auto results = callAll({{"nodrel_get_skills", {{"project_path", "/Users/dev/alpha"}}},
                          {"nodrel_get_skills", {{"project_path", "/Users/dev/unknown"}}}});
  ASSERT_EQ(results.size(), 2u);

  const json& registered = results[0];
  EXPECT_EQ(names(registered["skills"]),
            (std::vector<std::string>{"global-high", "learned", "applies", "global-low"}));
  EXPECT_EQ(names(registered["standing_instructions"]),
            (std::vector<std::string>{"p1", "g-new", "g-old"}));
  EXPECT_EQ(registered["project_name"], "alpha");
  EXPECT_EQ(registered["project_context"], "");
  EXPECT_FALSE(registered.contains("note"));
  const json& first = registered["skills"][0];
  EXPECT_EQ(first["display_name"], "");
  EXPECT_EQ(first["use_count"], 3);
  EXPECT_DOUBLE_EQ(first["confidence"].get<double>(), 0.9);
  EXPECT_EQ(
      registered["standing_instructions"][0],
      json({{"id", "p1"}, {"content", "do it"}, {"scope_type", "project"}, {"source", "user"}}));

  const json& unregistered = results[1];
  EXPECT_EQ(names(unregistered["skills"]), (std::vector<std::string>{"global-high", "global-low"}));
  EXPECT_EQ(names(unregistered["standing_instructions"]),
            (std::vector<std::string>{"g-new", "g-old"}));
  EXPECT_EQ(unregistered["project_name"], "");
  EXPECT_EQ(unregistered["project_context"], "");
  EXPECT_EQ(unregistered["note"], kNotRegistered);
}

TEST_F(ContextAssembly, TriggerKeepsSkillsWhoseKeywordSomeWordContains) {
  skill("test", "global", db::text(R"(["Test"])"), 0.9);
  skill("testing", "global", db::text(R"(["testing"])"), 0.8);
  skill("null-keywords", "global", db::Null{}, 0.7);
  skill("not-json", "global", db::text("test, fix"), 0.6);
  skill("object", "global", db::text(R"({"a": "fix"})"), 0.5);
  skill("mixed-array", "global", db::text(R"(["fix", 1])"), 0.4);
  skill("fix", "global", db::text(R"(["fix"])"), 0.3);

  struct Case {
    json trigger;  // null: the argument is left out
    std::vector<std::string> want;
  };
  const std::vector<std::string> all = {
      "test", "testing", "null-keywords", "not-json", "object", "mixed-array", "fix"};
  const std::vector<Case> cases = {
      {"Fix Tests", {"test", "fix"}},
      {"  TESTING  ", {"test", "testing"}},
      {"   ", {}},
      {"", all},
      {nullptr, all},
      {42, all},  // not a string: absent
      {"unrelated", {}},
  };
  std::vector<std::pair<std::string, json>> calls;
  for (const auto& c : cases) {
    json arguments = {{"project_path", "/nowhere"}};
    if (!c.trigger.is_null()) arguments["trigger"] = c.trigger;
    calls.emplace_back("nodrel_get_skills", arguments);
  }
  auto results = callAll(calls);
  ASSERT_EQ(results.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].trigger.dump());
    EXPECT_EQ(names(results[i]["skills"]), cases[i].want);
  }
  for (const auto& entry : results[4]["skills"]) {
    if (entry["id"] != "test" && entry["id"] != "testing" && entry["id"] != "fix") {
      EXPECT_EQ(entry["trigger_keywords"], json::array()) << entry["id"];
    }
  }
}

TEST_F(ContextAssembly, ProjectTextResolvesByNameOrPathAndListsKnownProjectsOtherwise) {
  project("PA", "alpha", "/Users/dev/alpha", db::text("Alpha summary"), "2026-01-05");
  project("PW", "/weird", "/Users/dev/weird", db::Null{}, "2026-01-04");
  for (int i = 0; i < 21; ++i) {
    const std::string n = std::to_string(i);
    project("X" + n, "extra" + n, "/Users/dev/extra" + n, db::Null{},
            "2025-12-" + std::string(i < 9 ? "0" : "") + std::to_string(i + 1));
  }
  correction("c1", "PA", "2026-01-01T00:00:00.000+0000", db::Null{});

  struct Case {
    std::string requested;
    std::string name;
    std::string path;
    std::string matchedBy;
  };
  const std::vector<Case> cases = {
      {"alpha", "alpha", "/Users/dev/alpha", "name"},
      {"/Users/dev/alpha", "alpha", "/Users/dev/alpha", "path"},
      {"/weird", "/weird", "/Users/dev/weird", "name"},
  };
  std::vector<std::pair<std::string, json>> calls;
  for (const auto& c : cases) {
    calls.emplace_back("nodrel_get_context",
                       json{{"project_path", "/Users/dev/extra3"}, {"project", c.requested}});
  }
  calls.emplace_back("nodrel_get_context",
                     json{{"project_path", "/Users/dev/alpha"}, {"project", "beta"}});
  calls.emplace_back("nodrel_get_context",
                     json{{"project_path", "/Users/dev/alpha"}, {"project", ""}});
  auto results = callAll(calls);
  ASSERT_EQ(results.size(), cases.size() + 2);

  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].requested);
    const json& result = results[i];
    EXPECT_EQ(result["resolved_project"], json({{"name", cases[i].name},
                                                {"path", cases[i].path},
                                                {"matched_by", cases[i].matchedBy},
                                                {"requested", cases[i].requested}}));
    EXPECT_EQ(result["project_name"], cases[i].name);
    EXPECT_FALSE(result.contains("success"));
  }
  EXPECT_EQ(results[0]["project_context"], "Alpha summary");
  EXPECT_EQ(names(results[0]["recent_corrections"]), (std::vector<std::string>{"c1"}));

  const json& unmatched = results[3];
  EXPECT_EQ(unmatched["success"], false);
  EXPECT_EQ(unmatched["error"], "no project matching 'beta'");
  ASSERT_EQ(unmatched["known_projects"].size(), 20u);
  EXPECT_EQ(unmatched["known_projects"][0],
            json({{"name", "alpha"}, {"path", "/Users/dev/alpha"}}));
  EXPECT_EQ(unmatched["known_projects"][2]["name"], "extra20");
  EXPECT_EQ(unmatched.size(), 3u);

  // An empty project text is no project text: the path argument decides.
  EXPECT_EQ(results[4]["project_name"], "alpha");
  EXPECT_FALSE(results[4].contains("resolved_project"));
}

TEST_F(ContextAssembly, RegisteredProjectSectionsAndAnUnregisteredOne) {
  project("P1", "alpha", "/Users/dev/alpha");
  project("P2", "beta", "/Users/dev/beta");
  correction("old", "P1", "2026-01-01T00:00:00.000+0000", db::text(""));
  correction("new", "P1", "2026-01-03T00:00:00.000+0000", db::text("because"));
  correction("beta", "P2", "2026-01-02T00:00:00.000+0000", db::Null{});
  for (int i = 0; i < 12; ++i) {
    correction("bulk" + std::to_string(i), "P2", "2025-01-01T00:00:00.000+0000", db::Null{});
  }
  db.run(
      "INSERT INTO session_context (id, session_id, project_id, surface, context_type, "
      "content, created_at) VALUES ('s1', NULL, 'P1', 'claude_code', 'decision', 'use X', "
      "'2026-01-02T00:00:00.000+0000')");

  auto results = callAll({{"nodrel_get_context", {{"project_path", "/Users/dev/alpha"}}},
                          {"nodrel_get_context", {{"project_path", "/Users/dev/beta"}}},
                          {"nodrel_get_context", {{"project_path", "/Users/dev/unknown"}}}});
  ASSERT_EQ(results.size(), 3u);

  const json& alpha = results[0];
  ASSERT_EQ(alpha["recent_corrections"].size(), 2u);
  EXPECT_EQ(alpha["recent_corrections"][0], json({{"id", "new"},
                                                  {"content", "fix"},
                                                  {"status", "active"},
                                                  {"source", "session_log"},
                                                  {"created_at", "2026-01-03T00:00:00.000+0000"},
                                                  {"rationale", "because"}}));
  EXPECT_FALSE(alpha["recent_corrections"][1].contains("rationale"));
  EXPECT_EQ(alpha["session_context"],
            json::array({{{"id", "s1"},
                          {"session_id", ""},
                          {"surface", "claude_code"},
                          {"context_type", "decision"},
                          {"content", "use X"},
                          {"created_at", "2026-01-02T00:00:00.000+0000"}}}));
  EXPECT_EQ(
      alpha["efficiency_insight"],
      json({{"period", "last 7 days"}, {"top_tools", json::array()}, {"total_corrections", 0}}));
  EXPECT_EQ(alpha["memories"], json::array());
  EXPECT_EQ(alpha["code_structure"], json({{"ingested", false}}));
  EXPECT_FALSE(alpha.contains("impact_hints"));
  EXPECT_FALSE(alpha.contains("mem_scenes"));
  EXPECT_FALSE(alpha.contains("success"));

  EXPECT_EQ(results[1]["recent_corrections"].size(), 10u);
  EXPECT_EQ(results[1]["recent_corrections"][0]["id"], "beta");

  const json& unknown = results[2];
  EXPECT_EQ(unknown["note"], kNotRegistered);
  EXPECT_EQ(unknown["recent_corrections"], json::array());
  EXPECT_EQ(unknown["session_context"], json::array());
  EXPECT_EQ(unknown["efficiency_insight"], json({{"summary", kNoEfficiency}}));
}

// A row with an empty id once matched every skill with an `applies_to` (LIKE '%%') and every
// correction, instruction and context filed under no project.
TEST_F(ContextAssembly, AProjectRowWithAnEmptyIdIsNoProject) {
  project("", "ghost", "/Users/dev/ghost", db::text("ghost summary"));
  skill("global", "global", db::text("[]"), 0.5);
  skill("elsewhere", "project", db::text("[]"), 0.9, "", "P9");
  instruction("stray", "project", "", "2026-01-01T00:00:00.000+0000");
  correction("stray", "", "2026-01-01T00:00:00.000+0000", db::Null{});
  sessionStats("st", "", platform::currentTimestampText(), db::text(R"({"Read": 3})"),
               std::int64_t{1});

  auto results = callAll({{"nodrel_get_skills", {{"project_path", "/Users/dev/ghost"}}},
                          {"nodrel_get_context", {{"project", "ghost"}}}});
  ASSERT_EQ(results.size(), 2u);
  for (const json& result : results) {
    EXPECT_EQ(names(result["skills"]), (std::vector<std::string>{"global"}));
    EXPECT_EQ(result["standing_instructions"], json::array());
    EXPECT_EQ(result["project_name"], "");
    EXPECT_EQ(result["note"], kNotRegistered);
  }
  EXPECT_EQ(results[1]["recent_corrections"], json::array());
  EXPECT_EQ(results[1]["efficiency_insight"], json({{"summary", kNoEfficiency}}));
  EXPECT_EQ(results[1]["resolved_project"]["path"], "/Users/dev/ghost");
}

TEST_F(ContextAssembly, EfficiencyInsightSumsTheLastSevenDays) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  project("P1", "alpha", "/Users/dev/alpha");
  project("P2", "huge", "/Users/dev/huge");
  const std::string recent = platform::currentTimestampText();
  sessionStats("a", "P1", recent, db::text(R"({"Read": 10, "Edit": 7, "Bash": 3})"),
               std::int64_t{2});
  sessionStats("b", "P1", recent, db::text(R"({"Read": 5, "Grep": 4, "Write": 1, "Glob": 2})"),
               std::int64_t{1});
  sessionStats("c", "P1", recent, db::text("not json"), db::Null{});
  sessionStats("d", "P1", recent, db::text(R"({"Read": 1.5, "Edit": 100})"), std::int64_t{4});
  sessionStats("e", "P1", recent, db::Null{}, db::text("nine"));
  sessionStats("f", "P1", "2000-01-01T00:00:00Z", db::text(R"({"Write": 100})"), std::int64_t{50});
  // Counts past the 64-bit range stop at its ends instead of wrapping round.
  sessionStats("h1", "P2", recent,
               db::text(R"({"Read": 9223372036854775807, "Edit": -9223372036854775808})"),
               db::Value(kMax));
  sessionStats("h2", "P2", recent, db::text(R"({"Read": 9223372036854775807, "Edit": -5})"),
               db::Value(kMax));
  sessionStats("h3", "P2", recent, db::text(R"({"Read": 18446744073709551615})"), std::int64_t{1});

  auto results = callAll({{"nodrel_get_context", {{"project_path", "/Users/dev/alpha"}}},
                          {"nodrel_get_context", {{"project_path", "/Users/dev/huge"}}}});
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0]["efficiency_insight"],
            json({{"period", "last 7 days"},
                  {"top_tools", {"Read: 15", "Edit: 7", "Grep: 4", "Bash: 3", "Glob: 2"}},
                  {"total_corrections", 7}}));
  EXPECT_EQ(results[1]["efficiency_insight"],
            json({{"period", "last 7 days"},
                  {"top_tools", {"Read: " + std::to_string(kMax), "Edit: " + std::to_string(kMin)}},
                  {"total_corrections", kMax}}));
}

TEST_F(ContextAssembly, RecalledMemoriesAreShownAndRecordedAsInjected) {
  const std::string path = "/Users/dev/nodrel-demo";
  std::vector<store::Memory> written;
  for (int i = 0; i < 3; ++i) {
    store::MemoryWrite write;
    write.body = "The nodrel demo build needs step " + std::to_string(i) + " before the tests run.";
    write.project = path;
    write.importance = 4 + i;
    if (i == 0) {
      write.type = store::MemoryType::KeyPoint;
      write.tier = store::MemoryTier::Semantic;
      write.tags = "build,ci";
    }
    written.push_back(store::writeMemory(db, writes, write));
  }
  store::MemoryWrite other;
  other.body = "The nodrel demo of another project.";
  other.project = "/Users/dev/elsewhere";
  store::writeMemory(db, writes, other);
  const auto local = store::recallMemories("nodrel-demo", path, 15, db, nullptr);
  ASSERT_GE(local.size(), 3u);
  // Two of the three share a scene; a scene holding only one of them is not shown.
  db.exec(
      "INSERT INTO mem_scenes (id, summary, project, tier, created_at) VALUES "
      "('scene-two', 'two of them', NULL, 'episodic', '2026-01-01T00:00:00.000+0000'), "
      "('scene-one', 'one of them', NULL, 'episodic', '2026-01-01T00:00:00.000+0000');");
  db.run(
      "INSERT INTO mem_scene_members (scene_id, memory_id, role) VALUES "
      "('scene-two', ?, 'a'), ('scene-two', ?, 'b'), ('scene-two', 'absent', 'c'), "
      "('scene-one', ?, 'a')",
      {db::text(written[0].id), db::text(written[1].id), db::text(written[2].id)});

  auto results = callAll({{"nodrel_get_context", {{"project_path", path}}},
                          {"nodrel_get_context", {{"project_path", path}}},
                          {"nodrel_get_context", {{"project_path", ""}}}});
  ASSERT_EQ(results.size(), 3u);
  const json& memories = results[0]["memories"];
  ASSERT_EQ(memories.size(), local.size());
  for (std::size_t i = 0; i < local.size(); ++i) {
    EXPECT_EQ(memories[i]["id"], local[i].memory.id);
    const double score = memories[i]["score"].get<double>();
    EXPECT_NEAR(score * 1000, std::round(score * 1000), 1e-6);
    EXPECT_NEAR(score, local[i].score, 0.002);
  }
  json first;
  for (const auto& m : memories) {
    if (m["id"] == written[0].id) first = m;
  }
  EXPECT_EQ(
      first,
      json({{"id", written[0].id},
            {"body", written[0].body},
            {"type", "key_point"},
            {"tier", "semantic"},
            {"tags", "build,ci"},
            {"importance", 4},
            {"access_count", 1},
            {"score", first["score"]},
            {"created_at", platform::sharedTimestampFormatter().format(written[0].createdAt)}}));
  for (const auto& m : memories) {
    if (m["id"] == written[1].id) {
      EXPECT_EQ(m["tags"], "");
    }
  }
  EXPECT_EQ(results[0]["mem_scenes"], json::array({{{"id", "scene-two"},
                                                    {"summary", "two of them"},
                                                    {"tier", "episodic"},
                                                    {"member_count", 3},
                                                    {"overlap_count", 2}}}));

  // Every call records what it showed, also when it showed the same before; the empty path
  // shows and records nothing.
  EXPECT_EQ(results[2]["memories"], json::array());
  auto rows =
      db.query("SELECT memory_id, signal_type, payload_json FROM ml_signals ORDER BY rowid");
  ASSERT_EQ(rows.size(), 2 * local.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i][0], db::Value(local[i % local.size()].memory.id));
    EXPECT_EQ(rows[i][1], db::Value(std::string("injected")));
    EXPECT_EQ(rows[i][2], db::Value(std::string("{}")));
  }
}

TEST_F(ContextAssembly, AProjectsContextShowsNoMemoryOfAnotherProject) {
  const std::string mine = "/Users/dev/checkout", theirs = "/Users/dev/checkout-admin";
  std::set<std::string> mineIDs;
  const char* const notes[] = {
      "The checkout page retries the card payment once before showing the error.",
      "Checkout totals are rounded with the shared money formatter.",
      "Decided with Lena Fischer that checkout keeps the cart for seven days.",
      "The checkout webhook is verified with the signing secret from the vault."};
  for (const char* note : notes) {
    store::MemoryWrite write;
    write.body = note;
    write.project = mine;
    mineIDs.insert(store::writeMemory(db, writes, write).id);
    write.body = std::string("Admin: ") + note;
    write.project = theirs;
    store::writeMemory(db, writes, write);
  }
  store::MemoryWrite global;
  global.body = "Checkout and admin both log the request id of every payment call.";
  mineIDs.insert(store::writeMemory(db, writes, global).id);

  const json result = callAll({{"nodrel_get_context", {{"project_path", mine}}}})[0];
  ASSERT_FALSE(result["memories"].empty()) << result.dump();
  for (const auto& m : result["memories"]) {
    EXPECT_TRUE(mineIDs.contains(m["id"].get<std::string>())) << m["body"];
  }
}

int countCommit(void* commits) {
  ++*static_cast<int*>(commits);
  return 0;  // let it commit
}

TEST(TopMemories, TheInjectionRowsOfOneContextAreOneCommit) {
  testing::TestDatabase database;
  db::Connection& db = database.db();
  store::WriteState writes;
  for (int i = 0; i < 4; ++i) {
    store::MemoryWrite write;
    write.body = "Signal batch memory number " + std::to_string(i) + " for the batch project.";
    write.project = "/tmp/batch";
    store::writeMemory(db, writes, write);
  }
  int commits = 0;
  sqlite3_commit_hook(db.handle(), countCommit, &commits);
  const json memories = server::fetchTopMemories("/tmp/batch", db, nullptr);
  sqlite3_commit_hook(db.handle(), nullptr, nullptr);
  EXPECT_EQ(memories.size(), 4u);
  EXPECT_EQ(commits, 1);
  EXPECT_EQ(db.scalar("SELECT COUNT(*) FROM ml_signals WHERE signal_type = 'injected'"),
            db::Value(std::int64_t{4}));
}

// Four files: base.ts declares what a.ts and b.ts extend and implement, c.ts extends a.ts.
TEST_F(ContextAssembly, CodeStructureAndImpactHintsOfAnIngestedProject) {
  codeintel::CodeIngestionService service(db);
  const auto ingested = service.writeQueue().sync(
      [&] { return service.ingest(testing::fixturePath("server/connected").string()); });
  const std::string project = ingested.project;
  ASSERT_EQ(ingested.filesParsed, 4);
  for (const auto& [file, score] : std::vector<std::pair<std::string, double>>{
           {"src/base.ts", 0.98765}, {"src/a.ts", 0.5}, {"src/b.ts", 0.12345}, {"src/c.ts", 0.0}}) {
    db.run("UPDATE code_files SET fragility_score = ? WHERE project = ? AND relative_path = ?",
           {score, db::text(project), db::text(file)});
  }
  db.run(
      "UPDATE code_files SET last_parsed = '2030-01-01T00:00:00.000+0000' "
      "WHERE project = ? AND relative_path = 'src/c.ts'",
      {db::text(project)});
  // Code rows written outside ingestion raise the project's counter, as ingestion's own writes
  // do, or the summary it stored would still be shown.
  codeintel::bumpCodeGeneration(project, db);
  const auto count = [&](const char* sql) { return db::integerOf(*db.scalar(sql)).value_or(-1); };

  auto results = callAll({{"nodrel_get_context", {{"project_path", project}}},
                          {"nodrel_get_context", {{"project_path", project + "/src"}}}});
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0]["code_structure"],
            json({{"ingested", true},
                  {"total_files", 4},
                  {"total_symbols", count("SELECT COUNT(*) FROM code_symbols")},
                  {"total_edges", count("SELECT COUNT(*) FROM code_edges")},
                  // Uses from other files only: base.ts implementing its own Named is no use.
                  {"top_connected_files", {"src/base.ts", "src/a.ts"}},
                  {"last_ingestion", "2030-01-01T00:00:00.000+0000"}}));
  EXPECT_EQ(results[0]["impact_hints"],
            json({{"top_fragile_files",
                   {{{"path", "src/base.ts"}, {"score", 0.988}},
                    {{"path", "src/a.ts"}, {"score", 0.5}},
                    {{"path", "src/b.ts"}, {"score", 0.123}}}},
                  {"total_tracked_files", 4},
                  {"recommendation",
                   "Call nodrel_get_impact before modifying files listed above or any file with "
                   "many dependents."}}));

  // Code files belong to the exact project path, not to a folder inside it.
  EXPECT_EQ(results[1]["code_structure"], json({{"ingested", false}}));
  EXPECT_FALSE(results[1].contains("impact_hints"));
}

// The code summary's counts and ranking, as these joins define them.
constexpr std::string_view kReferenceSymbolCount = R"sql(
  SELECT COUNT(*) FROM code_symbols cs JOIN code_files cf ON cf.id = cs.file_id
  WHERE cf.project = ?)sql";
constexpr std::string_view kReferenceEdgeCount = R"sql(
  SELECT COUNT(*) FROM code_edges ce JOIN code_files cf ON cf.id = ce.file_id
  WHERE cf.project = ?)sql";
constexpr std::string_view kReferenceTopConnected = R"sql(
  SELECT cf.relative_path, COUNT(ce.id) AS inbound_count
  FROM code_symbols cs
  JOIN code_edges ce ON ce.to_symbol = cs.name
  JOIN code_files cf ON cf.id = cs.file_id
  JOIN code_files cf_edge ON cf_edge.id = ce.file_id
  WHERE cf.project = ? AND cf_edge.project = ? AND ce.file_id != cs.file_id
  GROUP BY cf.id
  ORDER BY inbound_count DESC
  LIMIT 5)sql";

// Inbound uses counted per (symbol, edge) pair: a name declared twice counts each use twice,
// uses from the same file, from another project's files or from no file are not counted, a
// blob name matches no text target, NULLs match nothing, and a file whose path is not text
// still takes its place among the five before it is left out.
TEST(CodeStructure, CountsAndRanksAsTheJoinsDefineThem) {
  testing::TestDatabase database;
  db::Connection& db = database.db();
  const auto file = [&](const char* id, const char* project, const db::Value& path) {
    db.run(
        "INSERT INTO code_files (id, project, relative_path, last_parsed) VALUES (?, ?, ?, "
        "'2026-01-01T00:00:00.000+0000')",
        {db::text(id), db::text(project), path});
  };
  const auto symbol = [&](const char* fileID, const db::Value& name) {
    db.run("INSERT INTO code_symbols (file_id, name, kind) VALUES (?, ?, 'class')",
           {db::text(fileID), name});
  };
  const auto uses = [&](const char* fileID, const db::Value& target, int times) {
    for (int i = 0; i < times; ++i) {
      db.run(
          "INSERT INTO code_edges (from_symbol, to_symbol, edge_type, file_id) "
          "VALUES ('x', ?, 'inherits', ?)",
          {target, db::text(fileID)});
    }
  };
  for (const char* id : {"fa", "fb", "fc", "fd", "ff", "fg"}) {
    file(id, "/p", db::text(std::string(id + 1) + ".ts"));
  }
  file("fe", "/p", db::Null{});
  file("fq", "/q", db::text("q.ts"));
  symbol("fa", db::text("A"));
  symbol("fa", db::text("A"));
  symbol("fb", db::text("B"));
  symbol("fc", db::text("Shared"));
  symbol("fd", db::text("Shared"));
  symbol("fe", db::text("E"));
  symbol("ff", db::text("F"));
  symbol("fg", db::Blob{"G"});
  symbol("fg", db::Null{});
  symbol("fq", db::text("A"));
  symbol("gone", db::text("B"));
  uses("fb", db::text("A"), 3);
  uses("fc", db::text("A"), 2);
  uses("fa", db::text("A"), 4);
  uses("fq", db::text("A"), 5);
  uses("gone", db::text("A"), 2);
  uses("fa", db::text("B"), 2);
  uses("fd", db::text("B"), 1);
  uses("fq", db::text("B"), 1);
  uses("fa", db::text("Shared"), 4);
  uses("fc", db::text("Shared"), 1);
  uses("fa", db::text("E"), 6);
  uses("fa", db::text("F"), 1);
  uses("fa", db::text("G"), 7);
  uses("fb", db::Null{}, 2);

  const json structure = server::fetchCodeStructure("/p", db);
  // a: (3 + 2) uses x 2 declarations; e: 6, not text; d: 4 + 1; c: 4; b: 2 + 1; f: sixth.
  EXPECT_EQ(structure["top_connected_files"], json({"a.ts", "d.ts", "c.ts", "b.ts"}));
  EXPECT_EQ(structure["total_symbols"], 9);
  EXPECT_EQ(structure["total_edges"], 33);

  json reference = json::array();
  for (const auto& row : db.query(kReferenceTopConnected, {db::text("/p"), db::text("/p")})) {
    if (const std::string* path = db::textOf(row[0])) reference.push_back(*path);
  }
  EXPECT_EQ(structure["top_connected_files"], reference);
  EXPECT_EQ(json(db::integerOf(*db.scalar(kReferenceSymbolCount, {db::text("/p")})).value()),
            structure["total_symbols"]);
  EXPECT_EQ(json(db::integerOf(*db.scalar(kReferenceEdgeCount, {db::text("/p")})).value()),
            structure["total_edges"]);
}

TEST(ContextWithoutCompanionTables, EverySectionFailsAloneAndTheToolStillAnswers) {
  testing::TempHome home;
  {
    // The server makes missing tables, so each companion table is replaced by a view of
    // nothing, which fails every statement as a missing table would.
    auto db = home.openDatabase();
    db.exec("PRAGMA foreign_keys=OFF;");
    for (const auto& name : db::schemaTableNames()) {
      if (name == "session_context") continue;
      db.exec("DROP TABLE " + name + "; CREATE VIEW " + name + " AS SELECT * FROM " + name +
              "_gone;");
    }
  }
  std::vector<std::string> errLines;
  auto results =
      callAll({{"nodrel_get_context", {{"project_path", "/Users/dev/alpha"}}}}, &errLines);
  ASSERT_EQ(results.size(), 1u);
  const json& result = results[0];
  EXPECT_EQ(result["skills"], json::array());
  EXPECT_EQ(result["standing_instructions"], json::array());
  EXPECT_EQ(result["note"], kNotRegistered);
  EXPECT_EQ(result["memories"], json::array());
  EXPECT_EQ(result["code_structure"]["ingested"], false);
  EXPECT_TRUE(result["code_structure"]["error"].is_string());
  EXPECT_FALSE(result.contains("impact_hints"));

  std::vector<std::string> prefixes;
  for (const auto& line : errLines) {
    for (const char* fetcher : {"fetchProject", "fetchSkills", "fetchStandingInstructions",
                                "fetchTopMemories", "fetchCodeStructure", "fetchImpactHints"}) {
      const std::string prefix = std::string("[nodrel-mcp] ") + fetcher + " error: ";
      if (line.rfind(prefix, 0) == 0) prefixes.push_back(fetcher);
    }
  }
  EXPECT_EQ(prefixes,
            (std::vector<std::string>{"fetchProject", "fetchSkills", "fetchStandingInstructions",
                                      "fetchProject", "fetchTopMemories", "fetchCodeStructure",
                                      "fetchImpactHints"}));
}

}  // namespace
}  // namespace nodrel
