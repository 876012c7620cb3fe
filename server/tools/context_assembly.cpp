#include "server/tools/context_assembly.h"

#include <set>

#include "server/projects.h"
#include "server/tool_arguments.h"
#include "server/tools/context_sections.h"

namespace nodrel::server {
namespace {

using nlohmann::json;

constexpr std::string_view kNotRegisteredNote =
    "Project not registered in Nodrel — showing global skills only";

std::optional<std::string> projectID(const std::optional<ProjectRow>& project) {
  if (!project) return std::nullopt;
  return project->id;
}

json contextForPath(const std::string& projectPath, db::Connection& connection,
                    store::KeptVectorCopy* keptVectors) {
  json result = getSkills(projectPath, std::nullopt, connection);
  const auto id = projectID(fetchProject(projectPath, connection));
  result["recent_corrections"] = fetchCorrections(id, connection);
  result["session_context"] = fetchSessionContexts(id, connection);
  result["efficiency_insight"] = fetchEfficiencyInsight(id, connection);
  result["memories"] = fetchTopMemories(projectPath, connection, keptVectors);

  std::set<std::string> memoryIDs;
  for (const auto& memory : result["memories"]) memoryIDs.insert(memory["id"].get<std::string>());
  json scenes = fetchMemScenes(memoryIDs, connection);
  if (!scenes.empty()) result["mem_scenes"] = std::move(scenes);

  result["code_structure"] = fetchCodeStructure(projectPath, connection);
  if (auto hints = fetchImpactHints(projectPath, connection)) result["impact_hints"] = *hints;
  return result;
}

}  // namespace

json getSkills(const std::string& projectPath, const std::optional<std::string>& trigger,
               db::Connection& connection) {
  const auto project = fetchProject(projectPath, connection);
  const auto id = projectID(project);
  json result = {{"skills", fetchSkills(id, trigger, connection)},
                 {"standing_instructions", fetchStandingInstructions(id, connection)}};
  if (project) {
    result["project_name"] = project->name;
    result["project_context"] = project->contextSummary;
  } else {
    result["project_name"] = "";
    result["project_context"] = "";
    result["note"] = kNotRegisteredNote;
  }
  return result;
}

json getContext(const std::string& projectPath, const std::optional<std::string>& project,
                db::Connection& connection, store::KeptVectorCopy* keptVectors) {
  if (!project || project->empty()) return contextForPath(projectPath, connection, keptVectors);

  auto row = resolveProjectByName(*project, connection);
  if (!row) {
    return {{"success", false},
            {"error", "no project matching '" + *project + "'"},
            {"known_projects", fetchKnownProjects(connection)}};
  }
  const std::string resolvedPath = (*row)["path"].get<std::string>();
  const bool byPath = project->starts_with("/") && *project == resolvedPath;
  json result = contextForPath(resolvedPath, connection, keptVectors);
  result["resolved_project"] = {{"name", (*row)["name"]},
                                {"path", resolvedPath},
                                {"matched_by", byPath ? "path" : "name"},
                                {"requested", *project}};
  return result;
}

const ToolSpec& getSkillsTool() {
  static const ToolSpec spec{
      .name = "nodrel_get_skills",
      .description = "Returns skills applicable to the current project",
      .properties = {projectPathProperty(),
                     {"trigger", PropertyType::String,
                      "Optional: task description or keywords to filter skills by "
                      "trigger_keywords"}},
      .required = {"project_path"},
      .handler =
          [](const ToolCall& call, MCPServer& server) {
            return getSkills(call.projectPath, stringArgument(call.all, "trigger"), server.db());
          },
      .summary = "read",
  };
  return spec;
}

const ToolSpec& getContextTool() {
  static const ToolSpec spec{
      .name = "nodrel_get_context",
      .description =
          "Full assembled context for the current session: skills + standing instructions + "
          "project context + recent corrections. Pass `project` to switch context mid-session to "
          "a registered project by name or path.",
      .properties = {projectPathProperty(),
                     {"project", PropertyType::String,
                      "Optional: a registered project name or absolute path. When provided, "
                      "returns context for that project instead of the one at project_path. Use "
                      "when the user signals an intent shift (\"switch to X\", \"let's work on "
                      "X\")."}},
      .required = {"project_path"},
      .handler =
          [](const ToolCall& call, MCPServer& server) {
            return getContext(call.projectPath, stringArgument(call.all, "project"), server.db(),
                              &server.keptVectors());
          },
      .summary = "read",
      .paths = {{"project", /*orName=*/true}},
  };
  return spec;
}

}  // namespace nodrel::server
