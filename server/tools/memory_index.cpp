#include "server/tools/memory_index.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "platform/saturating.h"
#include "platform/text.h"
#include "server/log.h"
#include "server/tool_arguments.h"
#include "server/tools/context_sections.h"
#include "store/memory_index.h"
#include "store/write_path.h"

namespace nodrel::server {
namespace {

using nlohmann::json;

// A quarter of the characters, at least 1: what reading the body costs.
std::int64_t bodyCostEstimate(const std::string& body) {
  return std::max<std::int64_t>(1, static_cast<std::int64_t>(platform::graphemeCount(body) / 4));
}

bool matches(const store::Memory& memory, const store::SurfaceConditionContext& context) {
  if (memory.conditionType && memory.conditionValue && !memory.conditionValue->empty() &&
      store::matchesCondition(*memory.conditionType, *memory.conditionValue, context)) {
    return true;
  }
  if (store::matchesTriggerKeywords(memory, context.touchedFiles, context.taskDescription)) {
    return true;
  }
  if (memory.surfaceCondition && !memory.surfaceCondition->empty()) {
    try {
      return store::SurfaceConditionRule::parse(*memory.surfaceCondition).evaluate(context);
    } catch (const std::exception&) {
      // A rule that does not read is no match; it was stored by someone else's tool.
    }
  }
  return false;
}

double conditionScore(const store::Memory& memory) {
  const double base = memory.pinned ? 0.75 : 0.5;
  return base + 0.15 + 0.1 * std::log(static_cast<double>(memory.accessCount) + 1.0) +
         0.05 * static_cast<double>(memory.importance) / 10.0;
}

}  // namespace

json matchedMemoryJSON(const store::Memory& memory, double score) {
  // The context's memory entry, plus what made the memory surface.
  json entry = memoryJSONForContext(memory, score);
  entry["condition_type"] =
      memory.conditionType ? std::string(store::toString(*memory.conditionType)) : "";
  entry["condition_value"] = memory.conditionValue.value_or("");
  entry["trigger_keywords"] = memory.triggerKeywords.value_or("");
  return entry;
}

json matchConditions(db::Connection& connection, const store::SurfaceConditionContext& context,
                     std::int64_t limit) {
  std::vector<store::Memory> candidates;
  try {
    candidates = store::memoriesWithConditions(connection);
  } catch (const std::exception& e) {
    logLine(std::string("[nodrel-mcp] matchConditions fetch error: ") + e.what());
    return {{"success", false}, {"error", e.what()}, {"memories", json::array()}};
  }
  std::vector<std::pair<const store::Memory*, double>> matched;
  for (const auto& memory : candidates) {
    if (matches(memory, context)) matched.emplace_back(&memory, conditionScore(memory));
  }
  std::stable_sort(matched.begin(), matched.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  const auto keep = static_cast<std::size_t>(
      std::clamp<std::int64_t>(limit, 0, static_cast<std::int64_t>(matched.size())));
  json memories = json::array();
  for (std::size_t i = 0; i < keep; ++i) {
    memories.push_back(matchedMemoryJSON(*matched[i].first, matched[i].second));
  }
  return {{"success", true},
          {"memories", std::move(memories)},
          {"matched_count", keep},
          {"candidates_scanned", candidates.size()}};
}

std::optional<store::Memory> fetchMemoryByID(const std::string& id, db::Connection& connection) {
  try {
    return store::fetchMemory(id, connection);
  } catch (const std::exception& e) {
    logLine(std::string("[nodrel-mcp] fetchMemoryByID error: ") + e.what());
    return std::nullopt;
  }
}

void fetchChildNodes(const std::string& parentID, std::int64_t depth, std::int64_t maxDepth,
                     std::int64_t limit, std::vector<json>& list, bool& truncated,
                     db::Connection& connection) {
  if (depth >= maxDepth) return;
  const auto full = [&] { return static_cast<std::int64_t>(list.size()) >= limit; };
  if (full()) {
    truncated = true;
    return;
  }
  std::vector<store::ChildNode> children;
  try {
    children = store::childNodes(parentID, connection);
  } catch (const std::exception& e) {
    logLine(std::string("[nodrel-mcp] expandNode children fetch error: ") + e.what());
    return;
  }
  for (const auto& child : children) {
    if (full()) {
      truncated = true;
      return;
    }
    const std::int64_t cost = child.indexedCost;
    list.push_back({{"id", child.memoryID},
                    {"body_preview", platform::graphemePrefix(child.body, 200)},
                    {"tags", child.tags},
                    {"depth", child.depth},
                    {"traversal_cost_tokens", cost > 0 ? cost : bodyCostEstimate(child.body)},
                    {"tier", child.tier},
                    {"importance", child.importance}});
    fetchChildNodes(child.memoryID, depth + 1, maxDepth, limit, list, truncated, connection);
  }
}

json expandNode(db::Connection& connection, const std::string& memoryID, std::int64_t maxDepth,
                std::int64_t limit) {
  auto memory = fetchMemoryByID(memoryID, connection);
  if (!memory) return {{"success", false}, {"error", "Memory not found: " + memoryID}};
  std::vector<json> children;
  bool truncated = false;
  fetchChildNodes(memoryID, 0, maxDepth, std::clamp<std::int64_t>(limit, 0, kMaxExpandedChildren),
                  children, truncated, connection);
  std::int64_t estimated = 0;
  for (const auto& child : children) {
    estimated =
        platform::saturatingAdd(estimated, child["traversal_cost_tokens"].get<std::int64_t>());
  }
  json node = {{"id", memory->id},
               {"body_preview", platform::graphemePrefix(memory->body, 200)},
               {"tags", memory->tags.value_or("")},
               {"depth", memory->depth},
               {"traversal_cost_tokens", bodyCostEstimate(memory->body)},
               {"tier", store::toString(memory->tier)},
               {"importance", memory->importance}};
  return {{"node", std::move(node)},
          {"children", std::move(children)},
          {"truncated", truncated},
          {"estimatedExpansionTokens", estimated}};
}

json getIndex(db::Connection& connection) {
  std::vector<store::IndexNode> found;
  try {
    found = store::topLevelIndexNodes(connection);
  } catch (const std::exception& e) {
    logLine(std::string("[nodrel-mcp] getIndex fetch error: ") + e.what());
    return {{"error", e.what()}, {"nodes", json::array()}, {"totalTokensIfAllExpanded", 0}};
  }
  json nodes = json::array();
  std::int64_t total = 0;
  for (const auto& node : found) {
    total = platform::saturatingAdd(total, node.traversalCostTokens);
    nodes.push_back({{"id", node.memoryID},
                     {"body_preview", platform::graphemePrefix(node.body, 100)},
                     {"tags", node.tags},
                     {"depth", node.depth},
                     {"traversal_cost_tokens", node.traversalCostTokens}});
  }
  return {{"nodes", std::move(nodes)}, {"totalTokensIfAllExpanded", total}};
}

const ToolSpec& matchConditionsTool() {
  static const ToolSpec spec{
      .name = "nodrel_match_conditions",
      .description =
          "Surface dormant memories whose trigger conditions match the current session context. "
          "Bypasses Ebbinghaus decay \u2014 old memories with matched conditions rank above "
          "recent unmatched ones. Call at session start or when switching tasks.",
      .properties = {{"repoPath", PropertyType::String,
                      "Absolute path to the current project root, e.g. "
                      "/Users/vorlak/projects/nodrel"},
                     {"touchedFiles", PropertyType::StringArray,
                      "File paths modified or opened in the current session"},
                     {"touchedSymbols", PropertyType::StringArray,
                      "Function or type names touched in the session (from code ingestion if "
                      "available)"},
                     {"taskDescription", PropertyType::String,
                      "Free-text description of the current task for keyword matching"},
                     {"limit", PropertyType::Integer,
                      "Maximum number of matched memories to return (default 20)"}},
      .required = {},
      .handler =
          [](const ToolCall& call, MCPServer& server) {
            store::SurfaceConditionContext context;
            context.repoPath = stringArgument(call.all, "repoPath");
            context.touchedFiles = stringsOrNone(call.all, "touchedFiles");
            context.touchedSymbols = stringsOrNone(call.all, "touchedSymbols");
            context.taskDescription = stringArgument(call.all, "taskDescription");
            return matchConditions(server.db(), context,
                                   integerArgument(call.all, "limit").value_or(20));
          },
      .summary = "read:match_conditions",
      .paths = {{"repoPath"}},
  };
  return spec;
}

const ToolSpec& expandNodeTool() {
  static const ToolSpec spec{
      .name = "nodrel_expand_node",
      .description =
          "Expand a memory node to reveal its child memories via hierarchical links (has_child, "
          "contains, consolidates). Use this to drill into a top-level index entry returned by "
          "nodrel_get_index without loading all bodies upfront.",
      .properties = {{"memoryID", PropertyType::String, "The ID of the memory node to expand"},
                     {"maxDepth", PropertyType::Integer,
                      "How many levels of children to traverse (default 1)"},
                     {"limit", PropertyType::Integer,
                      "Maximum total child nodes to return across all levels (default 10)"}},
      .required = {"memoryID"},
      .handler =
          [](const ToolCall& call, MCPServer& server) {
            return expandNode(server.db(), stringOr(call.all, "memoryID", ""),
                              integerArgument(call.all, "maxDepth").value_or(1),
                              integerArgument(call.all, "limit").value_or(10));
          },
      .summary = "read:expand_node",
  };
  return spec;
}

const ToolSpec& getIndexTool() {
  static const ToolSpec spec{
      .name = "nodrel_get_index",
      .description =
          "Returns the always-on top-level memory index \u2014 the cheapest-to-expand entries "
          "ordered by token cost ascending. Call at session start to understand what memory "
          "sub-trees are available before deciding which ones to expand.",
      .properties = {},
      .required = {},
      .handler = [](const ToolCall&, MCPServer& server) { return getIndex(server.db()); },
      .summary = "read:get_index",
  };
  return spec;
}

}  // namespace nodrel::server
