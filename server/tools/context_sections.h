// server/tools/context_sections.h: the sections that nodrel_get_skills and nodrel_get_context
// are assembled from, each read over the server's connection. None of them throws: a section
// that fails writes one "[nodrel-mcp] <fetcher> error: " line and gives its empty value, so the
// tool still answers with the rest.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "db/connection.h"
#include "store/memory.h"

namespace nodrel::server {

// The project registered under this name or this path: {id, name, path, context_summary}, or
// nothing when there is none or the query fails.
std::optional<nlohmann::json> resolveProjectByName(const std::string& requested,
                                                   db::Connection& connection);

// Up to 20 registered projects as {name, path}, most recently active first; empty when the
// query fails (silently: it only decorates a failure result).
nlohmann::json fetchKnownProjects(db::Connection& connection);

// Global skills, plus with a project id the skills learned from or applying to it; best
// confidence first. A given, non-empty trigger keeps only the skills it matches.
nlohmann::json fetchSkills(const std::optional<std::string>& projectID,
                           const std::optional<std::string>& trigger, db::Connection& connection);

// True when one of the trigger's (lower-cased) words contains one of the skill's keywords,
// compared lower-cased. A skill without keywords never matches.
bool skillMatchesTrigger(const nlohmann::json& skill, const std::vector<std::string>& words);

nlohmann::json fetchStandingInstructions(const std::optional<std::string>& projectID,
                                         db::Connection& connection);
// Without a project id both are empty, and nothing is queried.
nlohmann::json fetchCorrections(const std::optional<std::string>& projectID,
                                db::Connection& connection);
nlohmann::json fetchSessionContexts(const std::optional<std::string>& projectID,
                                    db::Connection& connection);

// The project's tool use and corrections over the last seven days of `session_stats`. Counts
// come from outside the programs, so their sums stop at the 64-bit limits instead of wrapping.
nlohmann::json fetchEfficiencyInsight(const std::optional<std::string>& projectID,
                                      db::Connection& connection);

// Up to 15 memories recalled for the project, best first, each recorded as injected; the
// recorded rows are written together, as one transaction.
nlohmann::json fetchTopMemories(const std::string& projectPath, db::Connection& connection);

// One memory entry of the context: raw type and tier names, score to three decimals.
nlohmann::json memoryJSONForContext(const store::Memory& memory, double score);

// The scenes sharing at least two members with these memories, most overlap first.
nlohmann::json fetchMemScenes(const std::set<std::string>& memoryIDs, db::Connection& connection);

// {"ingested": false} when the project has no code files, else its code index in figures. The
// code tables are read under the project's key (normaliseProjectPath), however it is spelt.
nlohmann::json fetchCodeStructure(const std::string& projectPath, db::Connection& connection);

// The project's most fragile files and a reminder to ask for impact; nothing when the
// project has no code files (under its key) or they cannot be counted.
std::optional<nlohmann::json> fetchImpactHints(const std::string& projectPath,
                                               db::Connection& connection);

}  // namespace nodrel::server
