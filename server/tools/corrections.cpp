#include "server/tools/corrections.h"

#include <exception>
#include <string_view>

#include "platform/text.h"
#include "platform/uuid.h"
#include "server/log.h"
#include "server/projects.h"
#include "server/tool_arguments.h"
#include "server/tools/body_checks.h"
#include "server/tools/tool_result.h"
#include "server/validation.h"
#include "store/body_validation.h"
#include "store/corrections.h"
#include "store/memory_links.h"
#include "store/standing_instructions.h"
#include "store/write_path.h"

namespace nodrel::server {
namespace {

using nlohmann::json;

std::string resolveSource(const std::string& source) {
  for (std::string_view known : {"manual", "session_log", "teacher_agent"}) {
    if (source == known) return source;
  }
  return "session_log";
}

// The memory copy never decides the call's outcome: a failure is one line.
void mirrorCorrection(db::Connection& connection, store::WriteState& state, const std::string& body,
                      const std::string& source, const std::string& projectPath) {
  std::string memoryID;
  try {
    store::MemoryWrite write;
    write.body = body;
    write.tier = store::MemoryTier::Episodic;
    write.type = store::MemoryType::Correction;
    write.tags = "correction," + source;
    write.importance = 5;
    write.project = projectPath;
    write.reviveForgotten = true;  // an explicit save brings a forgotten body back
    memoryID = store::writeMemory(connection, state, write).id;
  } catch (const std::exception& e) {
    logLine(std::string("[nodrel-mcp] memory mirror error (non-fatal): ") + e.what());
    return;
  }
  logLine("[nodrel-mcp] correction mirrored to memories: " + memoryID);
  try {
    store::linkContradictions(memoryID, body, projectPath, connection);
  } catch (const std::exception&) {
    // Contradiction links are a hint for later review; the correction stands without them.
  }
}

}  // namespace

json saveCorrection(db::Connection& connection, store::WriteState& state,
                    const CorrectionArguments& arguments) {
  constexpr std::string_view kHandler = "saveCorrection";
  if (!arguments.projectPath.empty()) {
    if (auto message = validateProjectPath(arguments.projectPath)) return failure(*message);
  }
  if (arguments.projectPath.empty()) {
    return failure("project_path is required and must not be empty");
  }
  if (auto message = validateContent(arguments.content)) return failure(*message);
  if (auto message = refuseBody(kHandler, arguments.content)) return failure(*message);
  const std::string content = store::sanitizeMemoryBody(arguments.content);
  if (auto message = refuseCleanedBody(kHandler, content)) return failure(*message);
  std::optional<std::string> rationale;
  if (arguments.rationale && !platform::trimWhitespace(*arguments.rationale).empty()) {
    if (auto message = refuseRationale(kHandler, *arguments.rationale)) return failure(*message);
    rationale = arguments.rationale;
  }

  const std::string projectID = ensureProject(arguments.projectPath, connection);
  const std::string id = platform::makeUUID();
  const std::string createdAt = currentTimestamp();
  const std::string source = resolveSource(arguments.source);
  try {
    store::insertCorrection(
        {id, projectID, content, source, resolveSurface(arguments.surface), rationale, createdAt},
        connection);
  } catch (const std::exception& e) {
    logLine(std::string("[nodrel-mcp] saveCorrection error: ") + e.what());
    return failure(e.what());
  }
  logLine("[nodrel-mcp] correction saved: " + id);
  mirrorCorrection(connection, state, content, source, arguments.projectPath);

  json result = {{"success", true},
                 {"correction_id", id},
                 {"project_id", projectID},
                 {"status", "pending"},
                 {"created_at", createdAt}};
  if (rationale) result["rationale"] = *rationale;
  return result;
}

json saveStandingInstruction(db::Connection& connection,
                             const StandingInstructionArguments& arguments) {
  if (auto message = validateContent(arguments.content)) return failure(*message);
  const bool scoped = arguments.projectPath && !arguments.projectPath->empty();
  if (scoped) {
    if (auto message = validateProjectPath(*arguments.projectPath)) return failure(*message);
  }
  if (auto message = refuseBody("saveStandingInstruction", arguments.content)) {
    return failure(*message);
  }

  const std::string id = platform::makeUUID();
  const std::string createdAt = currentTimestamp();
  const std::string surface = resolveSurface(arguments.surface);
  try {
    std::optional<std::string> projectID;
    if (scoped) projectID = ensureProject(*arguments.projectPath, connection);
    store::insertStandingInstruction({id, arguments.content, projectID, surface, createdAt},
                                     connection);
  } catch (const std::exception& e) {
    logLine(std::string("[nodrel-mcp] saveStandingInstruction error: ") + e.what());
    return failure(e.what());
  }
  logLine("[nodrel-mcp] standing instruction saved: " + id);
  return {{"success", true},
          {"instruction_id", id},
          {"scope_type", scoped ? "project" : "global"},
          {"active", true},
          {"created_at", createdAt}};
}

const ToolSpec& saveCorrectionTool() {
  static const ToolSpec spec{
      .name = "nodrel_save_correction",
      .description =
          "Save a correction or rule learned during this session. The project is auto-registered "
          "if not yet known to Nodrel.",
      .properties = {projectPathProperty(),
                     {"content", PropertyType::String, "The correction or rule to save"},
                     {"rationale", PropertyType::String,
                      "Why this rule exists \u2014 shown alongside the rule at recall time"},
                     {"source",
                      PropertyType::String,
                      "Origin of the correction: manual, session_log, or teacher_agent (defaults "
                      "to session_log)",
                      {"manual", "session_log", "teacher_agent"}},
                     surfaceProperty()},
      .required = {"project_path", "content"},
      .handler =
          [](const ToolCall& call, MCPServer& server) {
            return saveCorrection(
                server.db(), server.writeState(),
                {call.projectPath, stringOr(call.all, "content", ""),
                 stringOr(call.all, "source", "session_log"), stringArgument(call.all, "surface"),
                 stringArgument(call.all, "rationale")});
          },
      .summary = "write:correction",
      .writes = true,
      .scope = "memories",
  };
  return spec;
}

const ToolSpec& saveStandingInstructionTool() {
  static const ToolSpec spec{
      .name = "nodrel_save_standing_instruction",
      .description =
          "Save a persistent standing instruction. Omit project_path to make it global; include "
          "it to scope it to a specific project.",
      .properties = {{"project_path", PropertyType::String,
                      "Absolute path to the project directory. Omit for a global instruction."},
                     {"content", PropertyType::String, "The standing instruction text"},
                     surfaceProperty()},
      .required = {"content"},
      .handler =
          [](const ToolCall& call, MCPServer& server) {
            return saveStandingInstruction(
                server.db(),
                {nonEmptyStringArgument(call.all, "project_path"),
                 stringOr(call.all, "content", ""), stringArgument(call.all, "surface")});
          },
      .summary = "write:instruction",
      .writes = true,
      .scope = "standing_instructions",
  };
  return spec;
}

}  // namespace nodrel::server
