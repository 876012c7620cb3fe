#include "server/tools/session_context.h"

#include <exception>
#include <string_view>

#include "platform/uuid.h"
#include "server/log.h"
#include "server/projects.h"
#include "server/tool_arguments.h"
#include "server/tools/body_checks.h"
#include "server/tools/tool_result.h"
#include "server/validation.h"
#include "store/body_validation.h"
#include "store/session_context.h"
#include "store/write_path.h"

namespace nodrel::server {
namespace {

using nlohmann::json;

std::string resolveKind(const std::string& kind) {
  for (std::string_view known : {"decision", "state", "key_point", "handoff"}) {
    if (kind == known) return kind;
  }
  return "key_point";
}

}  // namespace

json saveContext(db::Connection& connection, store::WriteState& state,
                 const SaveContextArguments& arguments) {
  constexpr std::string_view kHandler = "saveContext";
  if (!arguments.projectPath.empty()) {
    if (auto message = validateProjectPath(arguments.projectPath)) return failure(*message);
  }
  if (arguments.projectPath.empty()) return failure("project_path is required");
  if (auto message = validateContent(arguments.content)) return failure(*message);
  if (auto message = refuseBody(kHandler, arguments.content)) return failure(*message);
  const std::string content = store::sanitizeMemoryBody(arguments.content);
  if (auto message = refuseCleanedBody(kHandler, content)) return failure(*message);

  const std::string kind = resolveKind(arguments.contextType);
  const std::string projectID = ensureProject(arguments.projectPath, connection);
  const std::string id = platform::makeUUID();
  const std::string createdAt = currentTimestamp();
  std::optional<std::string> sessionID;
  if (arguments.sessionID && !arguments.sessionID->empty()) sessionID = arguments.sessionID;
  try {
    store::insertSessionContext(
        {id, sessionID, projectID, resolveSurface(arguments.surface), kind, content, createdAt},
        connection);
  } catch (const std::exception& e) {
    logLine(std::string("[nodrel-mcp] saveContext error: ") + e.what());
    return failure(e.what());
  }
  logLine("[nodrel-mcp] context saved: " + id + " (" + kind + ")");

  try {
    store::MemoryWrite write;
    write.body = content;
    write.tier = store::MemoryTier::Episodic;
    write.type = store::memoryTypeForContextKind(kind);
    write.tags = kind;
    write.importance = 5;
    write.project = arguments.projectPath;
    write.sourceSession = sessionID;
    write.reviveForgotten = true;  // an explicit save brings a forgotten body back
    const std::string memoryID = store::writeMemory(connection, state, write).id;
    logLine("[nodrel-mcp] context mirrored to memories: " + memoryID);
  } catch (const std::exception& e) {
    logLine(std::string("[nodrel-mcp] memory mirror error (non-fatal): ") + e.what());
  }

  return {{"success", true},
          {"context_id", id},
          {"project_id", projectID},
          {"context_type", kind},
          {"created_at", createdAt}};
}

const ToolSpec& saveContextTool() {
  static const ToolSpec spec{
      .name = "nodrel_save_context",
      .description =
          "Save session context for cross-surface knowledge persistence. Use this to record "
          "decisions, current state, key points, or handoff notes so they survive context "
          "compression and are available in future sessions or other Claude surfaces.",
      .properties = {projectPathProperty(),
                     {"content", PropertyType::String,
                      "The context to save \u2014 a decision made, current state, key point, or "
                      "handoff note"},
                     {"context_type",
                      PropertyType::String,
                      "Type of context: decision (architectural/design choice), state (current "
                      "work status), key_point (important detail), handoff (end-of-session "
                      "summary for next session)",
                      {"decision", "state", "key_point", "handoff"}},
                     {"session_id", PropertyType::String,
                      "Optional: UUID of the current session to link this context to"},
                     surfaceProperty()},
      .required = {"project_path", "content", "context_type"},
      .handler =
          [](const ToolCall& call, MCPServer& server) {
            return saveContext(server.db(), server.writeState(),
                               {call.projectPath, stringOr(call.all, "content", ""),
                                stringOr(call.all, "context_type", "key_point"), call.sessionID,
                                stringArgument(call.all, "surface")});
          },
      .summary = "write:context",
      .writes = true,
      .scope = "session_context,memories",
  };
  return spec;
}

}  // namespace nodrel::server
