// server/tools/context_assembly.h: the skills and the whole context, what an assistant asks
// for at the start of a session. Both only read, apart from the injection rows that
// recalled memories leave, and neither throws: a failing section is left empty or out.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "db/connection.h"
#include "server/tool_definition.h"
#include "store/vector_store.h"

namespace nodrel::server {

// {skills, standing_instructions, project_name, project_context[, note]}: the note says that
// the path has no registered project and only global entries are shown.
nlohmann::json getSkills(const std::string& projectPath, const std::optional<std::string>& trigger,
                         db::Connection& connection);

// The skills result plus recent_corrections, session_context, efficiency_insight, memories,
// code_structure, and mem_scenes and impact_hints when they have content. A non-empty
// `project` (a registered name or path) replaces the path and adds resolved_project; one that
// matches nothing gives {success: false, error, known_projects}. Recall compares against
// `keptVectors`, the copy kept for `connection`, when it is not null.
nlohmann::json getContext(const std::string& projectPath, const std::optional<std::string>& project,
                          db::Connection& connection, store::KeptVectorCopy* keptVectors);

// The tool described once: its schema, argument reading, handler and audit.
const ToolSpec& getSkillsTool();
const ToolSpec& getContextTool();

}  // namespace nodrel::server
