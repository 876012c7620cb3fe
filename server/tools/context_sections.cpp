#include "server/tools/context_sections.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <exception>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "codeintel/code_summary.h"
#include "codeintel/fragility.h"
#include "db/savepoint.h"
#include "platform/paths.h"
#include "platform/saturating.h"
#include "platform/text.h"
#include "platform/time.h"
#include "server/projects.h"
#include "server/tools/tool_result.h"
#include "server/transport.h"
#include "store/mem_scenes.h"
#include "store/project_registry.h"
#include "store/recall.h"

namespace nodrel::server {
namespace {

using nlohmann::json;

constexpr std::string_view kGlobalSkills = R"sql(
  SELECT id, name, display_name, description, content, trigger_keywords, scope, confidence,
         use_count
  FROM skills WHERE scope = 'global' ORDER BY confidence DESC, use_count DESC)sql";
constexpr std::string_view kProjectSkills = R"sql(
  SELECT id, name, display_name, description, content, trigger_keywords, scope, confidence,
         use_count
  FROM skills WHERE scope = 'global' OR learned_from = ? OR applies_to LIKE ?
  ORDER BY confidence DESC, use_count DESC)sql";
constexpr std::string_view kGlobalInstructions = R"sql(
  SELECT id, content, scope_type, source FROM standing_instructions
  WHERE active = 1 AND scope_type = 'global' ORDER BY created_at DESC)sql";
constexpr std::string_view kProjectInstructions = R"sql(
  SELECT id, content, scope_type, source FROM standing_instructions
  WHERE active = 1 AND (scope_type = 'global' OR project_id = ?)
  ORDER BY scope_type DESC, created_at DESC)sql";
constexpr std::string_view kCorrections = R"sql(
  SELECT id, content, status, source, created_at, rationale FROM corrections
  WHERE project_id = ? ORDER BY created_at DESC LIMIT 10)sql";
constexpr std::string_view kSessionContexts = R"sql(
  SELECT id, session_id, surface, context_type, content, created_at FROM session_context
  WHERE project_id = ? ORDER BY created_at DESC LIMIT 20)sql";
constexpr std::string_view kSessionStats = R"sql(
  SELECT tool_calls, correction_count FROM session_stats
  WHERE project_id = ? AND session_date >= ? ORDER BY session_date DESC)sql";
constexpr std::string_view kCountCodeFiles = "SELECT COUNT(*) FROM code_files WHERE project = ?";

constexpr std::string_view kNoEfficiencyData =
    "No project registered — no efficiency data available";
constexpr std::string_view kEfficiencyPeriod = "last 7 days";
constexpr std::string_view kImpactRecommendation =
    "Call nodrel_get_impact before modifying files listed above or any file with many "
    "dependents.";
constexpr std::int64_t kMemoryLimit = 15;
constexpr std::int64_t kSceneMinimumOverlap = 2;
constexpr std::int64_t kTopFragileLimit = 3;
constexpr auto kEfficiencyWindow = std::chrono::seconds(604800);

std::string textOrEmpty(const db::Value& value) {
  const std::string* text = db::textOf(value);
  return text ? *text : std::string();
}

std::int64_t integerOrZero(const std::optional<db::Value>& value) {
  return value ? db::integerOf(*value).value_or(0) : 0;
}

// A row as an object of text members, in column order under the given keys.
json textRow(const db::Row& row, std::initializer_list<std::string_view> keys) {
  json out = json::object();
  std::size_t i = 0;
  for (std::string_view key : keys) {
    out[std::string(key)] = i < row.size() ? textOrEmpty(row[i]) : std::string();
    ++i;
  }
  return out;
}

void logFailure(std::string_view fetcher, const std::exception& e) {
  logLine("[nodrel-mcp] " + std::string(fetcher) + " error: " + e.what());
}

// The keywords when the text is a JSON array of texts only; anything else gives none.
json triggerKeywords(const db::Value& value) {
  const std::string* text = db::textOf(value);
  json parsed = json::parse(text ? *text : std::string("[]"), nullptr, false);
  if (!parsed.is_array()) return json::array();
  for (const auto& element : parsed) {
    if (!element.is_string()) return json::array();
  }
  return parsed;
}

json skillFromRow(const db::Row& row) {
  json skill = textRow(row, {"id", "name", "display_name", "description", "content"});
  skill["trigger_keywords"] = triggerKeywords(row[5]);
  skill["scope"] = textOrEmpty(row[6]);
  double confidence = 0.0;
  if (auto real = db::realOf(row[7])) {
    confidence = *real;
  } else if (auto whole = db::integerOf(row[7])) {
    confidence = static_cast<double>(*whole);
  }
  skill["confidence"] = confidence;
  skill["use_count"] = db::integerOf(row[8]).value_or(0);
  return skill;
}

std::vector<std::string> triggerWords(const std::string& trigger) {
  const std::string lowered = platform::lowercase(trigger);
  std::vector<std::string> words;
  std::size_t start = 0;
  while (start <= lowered.size()) {
    std::size_t end = lowered.find(' ', start);
    if (end == std::string::npos) end = lowered.size();
    if (end > start) words.push_back(lowered.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

// The counts of a `tool_calls` object, when it is an object whose every value is a 64-bit
// integer; nothing otherwise, so a malformed row adds no counts at all.
std::optional<std::vector<std::pair<std::string, std::int64_t>>> toolCounts(
    const db::Value& value) {
  const std::string* text = db::textOf(value);
  json parsed = json::parse(text ? *text : std::string("{}"), nullptr, false);
  if (!parsed.is_object()) return std::nullopt;
  std::vector<std::pair<std::string, std::int64_t>> counts;
  for (const auto& [tool, count] : parsed.items()) {
    if (count.is_number_unsigned()) {
      const auto whole = count.get<std::uint64_t>();
      if (whole > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return std::nullopt;
      }
      counts.emplace_back(tool, static_cast<std::int64_t>(whole));
    } else if (count.is_number_integer()) {
      counts.emplace_back(tool, count.get<std::int64_t>());
    } else {
      return std::nullopt;
    }
  }
  return counts;
}

// The ISO 8601 internet form in UTC without fractions (2026-01-31T09:15:00Z): session_date is
// compared with it as text.
std::string efficiencyLowerBound() {
  const auto bound =
      std::chrono::time_point_cast<std::chrono::seconds>(platform::now()) - kEfficiencyWindow;
  const std::time_t seconds = std::chrono::system_clock::to_time_t(bound);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char buffer[32];
  const std::size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return std::string(buffer, length);
}

// Each recall is recorded even when the same memories were shown before. One transaction for
// all rows keeps a context call to a single commit; a row that fails is left out and the rest
// are still written.
void recordInjections(const std::vector<store::ScoredMemory>& recalled,
                      db::Connection& connection) {
  if (recalled.empty()) return;
  std::optional<db::Savepoint> batch;
  try {
    batch.emplace(connection, "nodrel_injection_signals");
  } catch (const std::exception&) {
    // Without the transaction each row commits by itself; what is stored is the same.
  }
  for (const auto& scored : recalled) {
    try {
      store::recordInjectionSignal(scored.memory.id, std::nullopt, connection);
    } catch (const std::exception&) {
    }
  }
  if (batch) {
    try {
      batch->commit();
    } catch (const std::exception&) {
    }
  }
}

}  // namespace

std::optional<json> resolveProjectByName(const std::string& requested, db::Connection& connection) {
  try {
    auto project = store::findProjectByNameOrPath(requested, connection);
    if (!project) return std::nullopt;
    return json{{"id", project->id},
                {"name", project->name},
                {"path", project->path},
                {"context_summary", project->contextSummary}};
  } catch (const std::exception& e) {
    logFailure("resolveProjectByName", e);
    return std::nullopt;
  }
}

json fetchKnownProjects(db::Connection& connection) {
  json known = json::array();
  try {
    for (const auto& project : store::recentlyActiveProjects(connection)) {
      known.push_back(json{{"name", project.name}, {"path", project.path}});
    }
  } catch (const std::exception&) {
    return json::array();
  }
  return known;
}

json fetchSkills(const std::optional<std::string>& projectID,
                 const std::optional<std::string>& trigger, db::Connection& connection) {
  std::vector<db::Row> rows;
  try {
    if (projectID) {
      rows = connection.query(kProjectSkills,
                              {db::text(*projectID), db::text("%" + *projectID + "%")});
    } else {
      rows = connection.query(kGlobalSkills);
    }
  } catch (const std::exception& e) {
    logFailure("fetchSkills", e);
    return json::array();
  }
  json skills = json::array();
  const bool filtered = trigger && !trigger->empty();
  const std::vector<std::string> words =
      filtered ? triggerWords(*trigger) : std::vector<std::string>{};
  for (const auto& row : rows) {
    if (row.size() < 9) continue;
    json skill = skillFromRow(row);
    if (!filtered || skillMatchesTrigger(skill, words)) skills.push_back(std::move(skill));
  }
  return skills;
}

bool skillMatchesTrigger(const json& skill, const std::vector<std::string>& words) {
  auto it = skill.find("trigger_keywords");
  if (it == skill.end() || !it->is_array() || it->empty()) return false;
  std::vector<std::string> keywords;
  for (const auto& keyword : *it) {
    if (keyword.is_string()) keywords.push_back(platform::lowercase(keyword.get<std::string>()));
  }
  for (const auto& word : words) {
    for (const auto& keyword : keywords) {
      if (word.find(keyword) != std::string::npos) return true;
    }
  }
  return false;
}

json fetchStandingInstructions(const std::optional<std::string>& projectID,
                               db::Connection& connection) {
  json instructions = json::array();
  try {
    auto rows = projectID ? connection.query(kProjectInstructions, {db::text(*projectID)})
                          : connection.query(kGlobalInstructions);
    for (const auto& row : rows) {
      instructions.push_back(textRow(row, {"id", "content", "scope_type", "source"}));
    }
  } catch (const std::exception& e) {
    logFailure("fetchStandingInstructions", e);
    return json::array();
  }
  return instructions;
}

json fetchCorrections(const std::optional<std::string>& projectID, db::Connection& connection) {
  json corrections = json::array();
  if (!projectID) return corrections;
  try {
    for (const auto& row : connection.query(kCorrections, {db::text(*projectID)})) {
      json correction = textRow(row, {"id", "content", "status", "source", "created_at"});
      if (row.size() > 5) {
        if (const std::string* rationale = db::textOf(row[5]); rationale && !rationale->empty()) {
          correction["rationale"] = *rationale;
        }
      }
      corrections.push_back(std::move(correction));
    }
  } catch (const std::exception& e) {
    logFailure("fetchCorrections", e);
    return json::array();
  }
  return corrections;
}

json fetchSessionContexts(const std::optional<std::string>& projectID, db::Connection& connection) {
  json entries = json::array();
  if (!projectID) return entries;
  try {
    for (const auto& row : connection.query(kSessionContexts, {db::text(*projectID)})) {
      entries.push_back(
          textRow(row, {"id", "session_id", "surface", "context_type", "content", "created_at"}));
    }
  } catch (const std::exception& e) {
    logFailure("fetchSessionContexts", e);
    return json::array();
  }
  return entries;
}

json fetchEfficiencyInsight(const std::optional<std::string>& projectID,
                            db::Connection& connection) {
  if (!projectID) return {{"summary", kNoEfficiencyData}};
  std::vector<db::Row> rows;
  try {
    rows =
        connection.query(kSessionStats, {db::text(*projectID), db::text(efficiencyLowerBound())});
  } catch (const std::exception& e) {
    logFailure("fetchEfficiencyInsight", e);
    return {{"period", kEfficiencyPeriod}, {"top_tools", json::array()}, {"total_corrections", 0}};
  }

  std::int64_t corrections = 0;
  std::vector<std::pair<std::string, std::int64_t>> totals;  // in order of first appearance
  std::map<std::string, std::size_t> slot;
  for (const auto& row : rows) {
    if (row.size() < 2) continue;
    corrections = platform::saturatingAdd(corrections, db::integerOf(row[1]).value_or(0));
    auto counts = toolCounts(row[0]);
    if (!counts) continue;
    for (auto& [tool, count] : *counts) {
      auto [it, fresh] = slot.try_emplace(tool, totals.size());
      if (fresh) totals.emplace_back(tool, 0);
      totals[it->second].second = platform::saturatingAdd(totals[it->second].second, count);
    }
  }
  std::stable_sort(totals.begin(), totals.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  json topTools = json::array();
  for (std::size_t i = 0; i < totals.size() && i < 5; ++i) {
    topTools.push_back(totals[i].first + ": " + std::to_string(totals[i].second));
  }
  return {{"period", kEfficiencyPeriod},
          {"top_tools", std::move(topTools)},
          {"total_corrections", corrections}};
}

json fetchTopMemories(const std::string& projectPath, db::Connection& connection) {
  if (projectPath.empty()) return json::array();
  std::vector<store::ScoredMemory> recalled;
  try {
    recalled = store::recallMemories(projectDisplayName(projectPath), projectPath, kMemoryLimit,
                                     connection);
  } catch (const std::exception& e) {
    logFailure("fetchTopMemories", e);
    return json::array();
  }
  recordInjections(recalled, connection);
  json memories = json::array();
  for (const auto& scored : recalled) {
    memories.push_back(memoryJSONForContext(scored.memory, scored.score));
  }
  return memories;
}

json memoryJSONForContext(const store::Memory& memory, double score) {
  return {{"id", memory.id},
          {"body", memory.body},
          {"type", store::toString(memory.type)},
          {"tier", store::toString(memory.tier)},
          {"tags", memory.tags.value_or("")},
          {"importance", memory.importance},
          {"access_count", memory.accessCount},
          {"score", roundedScore(score)},
          {"created_at", platform::sharedTimestampFormatter().format(memory.createdAt)}};
}

json fetchMemScenes(const std::set<std::string>& memoryIDs, db::Connection& connection) {
  json scenes = json::array();
  if (memoryIDs.empty()) return scenes;
  const std::vector<std::string> ids(memoryIDs.begin(), memoryIDs.end());
  try {
    for (const auto& found : store::findOverlappingScenes(ids, kSceneMinimumOverlap, connection)) {
      scenes.push_back({{"id", found.scene.id},
                        {"summary", found.scene.summary},
                        {"tier", found.scene.tier},
                        {"member_count", static_cast<std::int64_t>(found.scene.members.size())},
                        {"overlap_count", found.overlap}});
    }
  } catch (const std::exception& e) {
    logFailure("fetchMemScenes", e);
    return json::array();
  }
  return scenes;
}

json fetchCodeStructure(const std::string& path, db::Connection& connection) {
  if (path.empty()) return {{"ingested", false}};
  const std::string projectPath = platform::normaliseProjectPath(path);
  try {
    // Ingestion stores the figures at the end of each run; they are computed here only when
    // the code rows changed since, or no run of this version stored them.
    auto stored = codeintel::readStoredCodeSummary(projectPath, connection);
    const codeintel::CodeSummary summary =
        stored ? std::move(stored->summary)
               : codeintel::computeCodeSummary(projectPath, connection);
    if (summary.totalFiles < 1) return {{"ingested", false}};
    json lastIngestion = nullptr;
    if (summary.lastIngestion) lastIngestion = *summary.lastIngestion;
    return {{"ingested", true},
            {"total_files", summary.totalFiles},
            {"total_symbols", summary.totalSymbols},
            {"total_edges", summary.totalEdges},
            {"top_connected_files", summary.topConnectedFiles},
            {"last_ingestion", std::move(lastIngestion)}};
  } catch (const std::exception& e) {
    logFailure("fetchCodeStructure", e);
    return {{"ingested", false}, {"error", e.what()}};
  }
}

std::optional<json> fetchImpactHints(const std::string& path, db::Connection& connection) {
  if (path.empty()) return std::nullopt;
  const std::string projectPath = platform::normaliseProjectPath(path);
  std::int64_t files = 0;
  try {
    files = integerOrZero(connection.scalar(kCountCodeFiles, {db::text(projectPath)}));
  } catch (const std::exception& e) {
    logFailure("fetchImpactHints", e);
    return std::nullopt;
  }
  if (files < 1) return std::nullopt;
  json fragile = json::array();
  try {
    for (const auto& file :
         codeintel::fetchTopFragileFiles(projectPath, kTopFragileLimit, connection)) {
      fragile.push_back({{"path", file.path}, {"score", roundedScore(file.score)}});
    }
  } catch (const std::exception&) {
    fragile = json::array();
  }
  return json{{"top_fragile_files", std::move(fragile)},
              {"total_tracked_files", files},
              {"recommendation", kImpactRecommendation}};
}

}  // namespace nodrel::server
