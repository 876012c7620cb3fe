#include "server/tools/context_sections.h"

#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/text.h"
#include "server/log.h"
#include "store/corrections.h"
#include "store/project_registry.h"
#include "store/session_context.h"
#include "store/skills.h"
#include "store/standing_instructions.h"

namespace nodrel::server {
namespace {

using nlohmann::json;

json skillJSON(const store::Skill& skill) {
  return {{"id", skill.id},
          {"name", skill.name},
          {"display_name", skill.displayName},
          {"description", skill.description},
          {"content", skill.content},
          {"trigger_keywords", skill.triggerKeywords},
          {"scope", skill.scope},
          {"confidence", skill.confidence},
          {"use_count", skill.useCount}};
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

}  // namespace

void logSectionFailure(std::string_view fetcher, const std::exception& e) {
  logLine("[nodrel-mcp] " + std::string(fetcher) + " error: " + e.what());
}

std::optional<json> resolveProjectByName(const std::string& requested, db::Connection& connection) {
  try {
    auto project = store::findProjectByNameOrPath(requested, connection);
    if (!project) return std::nullopt;
    return json{{"id", project->id},
                {"name", project->name},
                {"path", project->path},
                {"context_summary", project->contextSummary}};
  } catch (const std::exception& e) {
    logSectionFailure("resolveProjectByName", e);
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
  std::vector<store::Skill> found;
  try {
    found = store::skillsFor(projectID, connection);
  } catch (const std::exception& e) {
    logSectionFailure("fetchSkills", e);
    return json::array();
  }
  json skills = json::array();
  const bool filtered = trigger && !trigger->empty();
  const std::vector<std::string> words =
      filtered ? triggerWords(*trigger) : std::vector<std::string>{};
  for (const auto& row : found) {
    json skill = skillJSON(row);
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
    for (const auto& instruction : store::activeStandingInstructions(projectID, connection)) {
      instructions.push_back({{"id", instruction.id},
                              {"content", instruction.content},
                              {"scope_type", instruction.scopeType},
                              {"source", instruction.source}});
    }
  } catch (const std::exception& e) {
    logSectionFailure("fetchStandingInstructions", e);
    return json::array();
  }
  return instructions;
}

json fetchCorrections(const std::optional<std::string>& projectID, db::Connection& connection) {
  json corrections = json::array();
  if (!projectID) return corrections;
  try {
    for (const auto& row : store::recentCorrections(*projectID, connection)) {
      json correction = {{"id", row.id},
                         {"content", row.content},
                         {"status", row.status},
                         {"source", row.source},
                         {"created_at", row.createdAt}};
      if (!row.rationale.empty()) correction["rationale"] = row.rationale;
      corrections.push_back(std::move(correction));
    }
  } catch (const std::exception& e) {
    logSectionFailure("fetchCorrections", e);
    return json::array();
  }
  return corrections;
}

json fetchSessionContexts(const std::optional<std::string>& projectID, db::Connection& connection) {
  json entries = json::array();
  if (!projectID) return entries;
  try {
    for (const auto& entry : store::recentSessionContexts(*projectID, connection)) {
      entries.push_back({{"id", entry.id},
                         {"session_id", entry.sessionID},
                         {"surface", entry.surface},
                         {"context_type", entry.contextType},
                         {"content", entry.content},
                         {"created_at", entry.createdAt}});
    }
  } catch (const std::exception& e) {
    logSectionFailure("fetchSessionContexts", e);
    return json::array();
  }
  return entries;
}

}  // namespace nodrel::server
