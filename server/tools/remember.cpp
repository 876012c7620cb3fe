#include "server/tools/remember.h"

#include <exception>

#include "platform/text.h"
#include "platform/time.h"
#include "server/tools/body_checks.h"
#include "server/transport.h"
#include "server/validation.h"
#include "server/tools/tool_result.h"
#include "store/body_validation.h"
#include "store/write_path.h"

namespace nodrel::server {
namespace {

using nlohmann::json;

constexpr std::string_view kHandler = "rememberContent";
constexpr std::string_view kTags = "remember,flagged";
constexpr std::int64_t kImportance = 9;

}  // namespace

json rememberContent(db::Connection& connection, const RememberArguments& arguments) {
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
  if (arguments.sessionID && !arguments.sessionID->empty()) write.sourceSession = arguments.sessionID;

  store::Memory memory;
  try {
    memory = store::writeMemory(connection, write);
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

}  // namespace nodrel::server
