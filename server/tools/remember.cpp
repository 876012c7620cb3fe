#include "server/tools/remember.h"

#include <exception>

#include "platform/text.h"
#include "platform/time.h"
#include "server/log.h"
#include "server/tool_arguments.h"
#include "server/tools/body_checks.h"
#include "server/tools/tool_result.h"
#include "server/validation.h"
#include "store/body_validation.h"
#include "store/write_path.h"

namespace nodrel::server {
namespace {

using nlohmann::json;

constexpr std::string_view kHandler = "rememberContent";
constexpr std::string_view kTags = "remember,flagged";
constexpr std::int64_t kImportance = 9;

}  // namespace

json rememberContent(db::Connection& connection, store::WriteState& state,
                     const RememberArguments& arguments) {
  if (auto message = validateProjectPath(arguments.projectPath)) return failure(*message);
  if (arguments.projectPath.empty()) return failure("project_path is required");
  if (auto message = validateContent(arguments.content)) return failure(*message);
  if (auto message = refuseBody(kHandler, arguments.content)) return failure(*message);

  const bool hasRationale =
      arguments.rationale && !platform::trimWhitespace(*arguments.rationale).empty();
  if (hasRationale) {
    if (auto message = refuseRationale(kHandler, *arguments.rationale)) return failure(*message);
  }

  std::string body = store::sanitizeMemoryBody(arguments.content);
  if (hasRationale) {
    body += "\n\n(rationale: " + store::sanitizeMemoryBody(*arguments.rationale) + ")";
  }
  if (auto message = refuseCleanedBody(kHandler, body)) return failure(*message);

  store::MemoryWrite write;
  write.body = body;
  write.tier = store::MemoryTier::Episodic;
  write.type = store::MemoryType::Observation;
  write.tags = std::string(kTags);
  write.importance = kImportance;
  write.project = arguments.projectPath;
  write.reviveForgotten = true;  // an explicit save brings a forgotten body back
  if (arguments.sessionID && !arguments.sessionID->empty())
    write.sourceSession = arguments.sessionID;

  store::Memory memory;
  try {
    memory = store::writeMemory(connection, state, write);
  } catch (const std::exception& e) {
    logLine(std::string("[nodrel-mcp] rememberContent error: ") + e.what());
    return failure(e.what());
  }
  logLine("[nodrel-mcp] remember saved: " + memory.id + " (importance: 9)");
  json result = {{"success", true},
                 {"memory_id", memory.id},
                 {"importance", kImportance},
                 {"tags", kTags},
                 {"tier", "episodic"},
                 {"created_at", platform::sharedTimestampFormatter().format(memory.createdAt)}};
  if (hasRationale) result["rationale"] = *arguments.rationale;
  return result;
}

const ToolSpec& rememberTool() {
  static const ToolSpec spec{
      .name = "nodrel_remember",
      .description =
          "Deliberately capture something the user wants Nodrel to remember. Call this when the "
          "user says 'remember this', 'don't forget', 'save that', or similar. Writes a "
          "high-salience memory (importance 9) that the consolidation engine will promote to a "
          "standing rule. Works from any surface: Claude Desktop, claude.ai and Claude Code.",
      .properties = {projectPathProperty(),
                     {"content", PropertyType::String,
                      "The text to remember \u2014 a rule, preference, fact, or instruction (max "
                      "10,000 characters)"},
                     {"rationale", PropertyType::String,
                      "Optional: why this should be remembered \u2014 shown alongside the memory "
                      "at recall time to make it actionable"},
                     surfaceProperty(),
                     {"session_id", PropertyType::String,
                      "Optional: session UUID for provenance tracking"}},
      .required = {"project_path", "content"},
      .handler =
          [](const ToolCall& call, MCPServer& server) {
            return rememberContent(server.db(), server.writeState(),
                                   {call.projectPath, stringOr(call.all, "content", ""),
                                    stringArgument(call.all, "rationale"), call.sessionID});
          },
      .summary = "write:remember",
      .writes = true,
      .scope = "memories",
  };
  return spec;
}

}  // namespace nodrel::server
