// The three read-only memory tools through the server: conditions, child links, the index.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "store/write_path.h"
#include "tests/support/server_session.h"
#include "tests/support/temp_home.h"

namespace nodrel {
namespace {

using nlohmann::json;

class MemoryTools : public ::testing::Test {
 protected:
  testing::TempHome home;
  db::Connection db = home.openDatabase();
  store::WriteState writes;

  // A memory with its columns set directly, as other tools of the store leave them.
  std::string add(const std::string& body, const std::string& assignments = "") {
    const std::string id = store::writeMemory(db, writes, {.body = body}).id;
    if (!assignments.empty()) {
      db.run("UPDATE memories SET " + assignments + " WHERE id = ?", {db::text(id)});
    }
    return id;
  }
  void link(const std::string& parent, const std::string& child,
            const std::string& type = "has_child") {
    db.run(
        "INSERT INTO memory_links (src_id, dst_id, link_type, weight, created_at) VALUES "
        "(?, ?, ?, 1.0, '2026-01-01T00:00:00.000+0000')",
        {db::text(parent), db::text(child), db::text(type)});
  }
  void index(const std::string& id, std::int64_t cost, std::int64_t topLevel = 0) {
    db.run(
        "INSERT INTO memory_index (memory_id, depth, traversal_cost_tokens, is_top_level) "
        "VALUES (?, 1, ?, ?)",
        {db::text(id), cost, topLevel});
  }
  json call(const std::string& tool, const json& arguments,
            std::vector<std::string>* errLines = nullptr) {
    return testing::callTool(tool, arguments, errLines);
  }
};

TEST_F(MemoryTools, MatchConditionsScoresEveryKindOfCondition) {
  const std::string glob = add("Regenerate the schema after editing migrations",
                               "condition_type = 'file_glob', condition_value = 'db/**/*.sql', "
                               "pinned = 1, importance = 10, access_count = 0");
  const std::string keyword = add("Payments need the sandbox key",
                                  "trigger_keywords = ' Payments , stripe', importance = 5, "
                                  "access_count = 0");
  const std::string rule = add(
      "Use the staging cluster",
      R"(surface_condition = '{"op":"and","clauses":[{"type":"repo_path","value":"/srv/**"}]}', access_count = 3)");
  add("Never matches", "condition_type = 'symbol_touched', condition_value = 'Other'");
  add("Broken rule", "surface_condition = '{not json'");
  add("Deleted but matching",
      "trigger_keywords = 'payments', deleted_at = "
      "'2026-01-01T00:00:00.000+0000'");
  add("No condition at all");

  std::vector<std::string> err;
  const json result = call("nodrel_match_conditions",
                           {{"repoPath", "/srv/app"},
                            {"touchedFiles", {"db/migrations/001.sql"}},
                            {"taskDescription", "fix PAYMENTS flow"}},
                           &err);
  ASSERT_EQ(result["success"], true) << result;
  EXPECT_EQ(result["candidates_scanned"], 5);
  ASSERT_EQ(result["matched_count"], 3);
  const json& memories = result["memories"];
  EXPECT_EQ(memories[0]["id"], glob);
  EXPECT_EQ(memories[0]["score"], 0.95);
  EXPECT_EQ(memories[0]["condition_type"], "file_glob");
  EXPECT_EQ(memories[1]["id"], rule);
  EXPECT_EQ(memories[1]["score"], 0.814);  // 0.65 + 0.1 ln 4 + 0.025
  EXPECT_EQ(memories[2]["id"], keyword);
  EXPECT_EQ(memories[2]["score"], 0.675);
  EXPECT_EQ(memories[2]["trigger_keywords"], " Payments , stripe");
  EXPECT_EQ(memories[2].size(), 12u);
  // The rule that does not read is passed over silently.
  EXPECT_EQ(err.size(), 2u);

  const json none =
      call("nodrel_match_conditions", {{"limit", 0}, {"taskDescription", "payments"}});
  EXPECT_EQ(none["memories"], json::array());
  EXPECT_EQ(none["matched_count"], 0);
  EXPECT_EQ(none["candidates_scanned"], 5);
  EXPECT_EQ(call("nodrel_match_conditions", {{"limit", -3}})["matched_count"], 0);
}

TEST_F(MemoryTools, ExpandNodeWalksChildLinksCheapestFirst) {
  const std::string root = add("abc", "tier = 'mystery'");
  std::vector<std::string> children;
  for (int i = 0; i < 12; ++i) {
    children.push_back(add("child number " + std::to_string(i)));
    link(root, children.back(), i % 3 == 0 ? "contains" : "has_child");
    index(children.back(), 100 - i);
  }
  const std::string unindexed = add(std::string(403, 'u'), "tier = 'strange'");
  link(root, unindexed, "consolidates");
  link(root, add("a related memory"), "semantic");

  const json ten = call("nodrel_expand_node", {{"memoryID", root}});
  EXPECT_EQ(ten["node"]["traversal_cost_tokens"], 1);
  EXPECT_EQ(ten["node"]["tier"], "episodic");
  ASSERT_EQ(ten["children"].size(), 10u);
  EXPECT_EQ(ten["truncated"], true);
  EXPECT_EQ(ten["children"][0]["id"], unindexed);
  EXPECT_EQ(ten["children"][0]["traversal_cost_tokens"], 100);
  EXPECT_EQ(ten["children"][0]["tier"], "strange");
  EXPECT_EQ(ten["children"][1]["id"], children[11]);
  EXPECT_EQ(ten["children"][1]["traversal_cost_tokens"], 89);
  EXPECT_FALSE(ten.contains("success"));
  std::int64_t sum = 0;
  for (const auto& child : ten["children"]) sum += child["traversal_cost_tokens"].get<int>();
  EXPECT_EQ(ten["estimatedExpansionTokens"], sum);

  const json exact = call("nodrel_expand_node", {{"memoryID", root}, {"limit", 13}});
  EXPECT_EQ(exact["children"].size(), 13u);
  EXPECT_EQ(exact["truncated"], false);
  const json flat = call("nodrel_expand_node", {{"memoryID", root}, {"maxDepth", 0}});
  EXPECT_EQ(flat["children"], json::array());
  EXPECT_EQ(flat["truncated"], false);
  EXPECT_EQ(flat["estimatedExpansionTokens"], 0);
  EXPECT_EQ(call("nodrel_expand_node", {{"memoryID", root}, {"limit", 0}})["truncated"], true);
  EXPECT_EQ(call("nodrel_expand_node", {{"memoryID", "nope"}}),
            json({{"success", false}, {"error", "Memory not found: nope"}}));
}

TEST_F(MemoryTools, ExpandNodeStaysBoundedOnCycles) {
  const std::string a = add("node a");
  const std::string b = add("node b");
  link(a, b);
  link(b, a);
  const json deep = call("nodrel_expand_node", {{"memoryID", a}, {"maxDepth", 2}, {"limit", 1}});
  EXPECT_EQ(deep["children"].size(), 1u);
  EXPECT_EQ(deep["truncated"], true);
  const json huge =
      call("nodrel_expand_node", {{"memoryID", a}, {"maxDepth", 1000000}, {"limit", 1000000000}});
  EXPECT_EQ(huge["children"].size(), 1000u);
  EXPECT_EQ(huge["truncated"], true);
}

TEST_F(MemoryTools, GetIndexListsTopLevelEntriesCheapestFirst) {
  EXPECT_EQ(call("nodrel_get_index", json::object()),
            json({{"nodes", json::array()}, {"totalTokensIfAllExpanded", 0}}));
  const std::string big = add(std::string(150, 'b'));
  const std::string small = add("small entry", "tags = 'index'");
  const std::string inner = add("not top level");
  const std::string gone = add("deleted entry", "deleted_at = '2026-01-01T00:00:00.000+0000'");
  index(big, 40, 1);
  index(small, 7, 1);
  index(inner, 1, 0);
  index(gone, 1, 1);
  const json result = call("nodrel_get_index", json::object());
  EXPECT_EQ(result["totalTokensIfAllExpanded"], 47);
  ASSERT_EQ(result["nodes"].size(), 2u);
  EXPECT_EQ(result["nodes"][0], json({{"id", small},
                                      {"body_preview", "small entry"},
                                      {"tags", "index"},
                                      {"depth", 1},
                                      {"traversal_cost_tokens", 7}}));
  EXPECT_EQ(result["nodes"][1]["body_preview"], std::string(100, 'b'));
}

// The index is filled outside the programs, so its costs can be anything a 64-bit column holds:
// sums stay at the bound rather than wrapping (or aborting a checked build).
TEST_F(MemoryTools, CostSumsSaturate) {
  const std::int64_t largest = std::numeric_limits<std::int64_t>::max();
  const std::int64_t smallest = std::numeric_limits<std::int64_t>::min();
  const std::string root = add("root");
  const std::string first = add("first child");
  const std::string second = add("second child");
  link(root, first);
  link(root, second);
  index(first, largest, 1);
  index(second, largest, 1);
  EXPECT_EQ(call("nodrel_get_index", json::object())["totalTokensIfAllExpanded"], largest);
  EXPECT_EQ(call("nodrel_expand_node", {{"memoryID", root}})["estimatedExpansionTokens"], largest);

  db.run("UPDATE memory_index SET traversal_cost_tokens = ?", {smallest});
  EXPECT_EQ(call("nodrel_get_index", json::object())["totalTokensIfAllExpanded"], smallest);
}

}  // namespace
}  // namespace nodrel
