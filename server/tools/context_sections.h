// server/tools/context_sections.h: the sections that the skills and context tools are assembled
// from, each read over the server's connection; this file holds those read from the project's
// own records, and includes the memory, code and efficiency sections. None of them throws: a
// section that fails writes one "[nodrel-mcp] <fetcher> error: " line and gives its empty value,
// so the tool still answers with the rest.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "db/connection.h"
#include "server/tools/code_sections.h"
#include "server/tools/efficiency_insight.h"
#include "server/tools/memory_sections.h"

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

// The one line a failed section writes: "[nodrel-mcp] <fetcher> error: <what>".
void logSectionFailure(std::string_view fetcher, const std::exception& e);

}  // namespace nodrel::server
