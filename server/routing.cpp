#include "server/routing.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "db/error.h"
#include "platform/paths.h"
#include "server/audit_log.h"
#include "server/json_text.h"
#include "server/tool_arguments.h"
#include "server/tools/context_assembly.h"
#include "server/tools/corrections.h"
#include "server/tools/get_impact.h"
#include "server/tools/ingest_project.h"
#include "server/tools/memory_index.h"
#include "server/tools/remember.h"
#include "server/tools/report_failures.h"
#include "server/tools/session_context.h"
#include "server/tools/tasks.h"
#include "server/transport.h"
#include "server/validation.h"

namespace nodrel::server {
namespace {

using nlohmann::json;

// What every call carries, read before the tool name is looked at.
struct CallArguments {
  const json& all;
  std::string projectPath;               // "" when absent
  std::optional<std::string> sessionID;
};

using Handler = std::function<json(const CallArguments&, MCPServer&)>;

// An argument that names a project directory, besides the `project_path` every call may carry.
struct PathArgument {
  std::string_view key;
  bool orName = false;  // a registered project's name is accepted too (it does not begin with "/")
};

struct Route {
  std::string_view name;
  Handler handler;
  std::string_view summary;             // the read summary, or the write summary on success
  bool writes;                          // a refused write is audited as "rejected"
  std::optional<std::string_view> scope;
  std::vector<PathArgument> paths = {};
};

// A write and its audit row are committed together: one sync of the log instead of two. It
// begins IMMEDIATE, taking the write lock before the handler's first read, so the write that
// follows that read cannot be refused for a snapshot another connection has made stale.
constexpr std::string_view kBeginToolCall = "BEGIN IMMEDIATE";
constexpr std::string_view kCommitToolCall = "COMMIT";
constexpr std::string_view kRollBackToolCall = "ROLLBACK";
// The audit row gets a savepoint of its own, so a failed insert unwinds only itself.
constexpr std::string_view kBeginAudit = "SAVEPOINT nodrel_audit";
constexpr std::string_view kReleaseAudit = "RELEASE nodrel_audit";
constexpr std::string_view kRollBackAudit = "ROLLBACK TO nodrel_audit";

// Ingestion commits file by file so that the hook commands can write between its files; it is
// not held in one transaction.
bool commitsWithItsAudit(const Route& route) {
  return route.writes && route.name != "nodrel_ingest_project";
}

class ToolCallTransaction {
 public:
  explicit ToolCallTransaction(db::Connection& connection) : connection_(connection) {
    try {
      connection_.exec(kBeginToolCall);
      open_ = true;
    } catch (const db::Error& error) {
      // Already inside a transaction: the handler's statements commit on their own, as they
      // would without this. Another program holding the write lock past the busy timeout is
      // different: the handler's writes could then each commit, or fail, on their own, and the
      // call end half done.
      if (error.isBusyOrLocked()) busy_ = error;
    } catch (const std::exception&) {
    }
  }
  ToolCallTransaction(const ToolCallTransaction&) = delete;
  ToolCallTransaction& operator=(const ToolCallTransaction&) = delete;
  ~ToolCallTransaction() {
    if (!open_) return;
    try {
      connection_.exec(kRollBackToolCall);
    } catch (...) {
      // SQLite rolls back what is left when the connection closes.
    }
  }

  bool open() const { return open_; }
  // The busy error that kept the call from beginning, if one did.
  const std::optional<db::Error>& busy() const { return busy_; }

  void recordAudit(const std::function<void()>& insert) {
    if (!open_) return insert();
    try {
      connection_.exec(kBeginAudit);
    } catch (const std::exception&) {
      return insert();
    }
    insert();
    try {
      connection_.exec(kReleaseAudit);
    } catch (const std::exception&) {
      try {
        connection_.exec(kRollBackAudit);
        connection_.exec(kReleaseAudit);
      } catch (const std::exception&) {
      }
    }
  }

  void commit() {  // throws db::Error; the destructor then rolls back
    if (!open_) return;
    connection_.exec(kCommitToolCall);
    open_ = false;
  }

 private:
  db::Connection& connection_;
  bool open_ = false;
  std::optional<db::Error> busy_;
};

std::string stringOr(const json& arguments, std::string_view key, std::string_view fallback) {
  return stringArgument(arguments, key).value_or(std::string(fallback));
}

std::vector<std::string> stringsOrNone(const json& arguments, std::string_view key) {
  return stringArrayArgument(arguments, key).value_or(std::vector<std::string>{});
}

const std::vector<Route>& routes() {
  static const std::vector<Route> table = {
      {"nodrel_get_skills",
       [](const CallArguments& call, MCPServer& server) {
         return getSkills(call.projectPath, stringArgument(call.all, "trigger"), server.db());
       },
       "read", false, std::nullopt},
      {"nodrel_get_context",
       [](const CallArguments& call, MCPServer& server) {
         return getContext(call.projectPath, stringArgument(call.all, "project"), server.db());
       },
       "read", false, std::nullopt, {{"project", /*orName=*/true}}},
      {"nodrel_save_correction",
       [](const CallArguments& call, MCPServer& server) {
         return saveCorrection(server.db(), {call.projectPath, stringOr(call.all, "content", ""),
                                             stringOr(call.all, "source", "session_log"),
                                             stringArgument(call.all, "surface"),
                                             stringArgument(call.all, "rationale")});
       },
       "write:correction", true, "memories"},
      {"nodrel_save_standing_instruction",
       [](const CallArguments& call, MCPServer& server) {
         return saveStandingInstruction(server.db(),
                                        {nonEmptyStringArgument(call.all, "project_path"),
                                         stringOr(call.all, "content", ""),
                                         stringArgument(call.all, "surface")});
       },
       "write:instruction", true, "standing_instructions"},
      {"nodrel_save_context",
       [](const CallArguments& call, MCPServer& server) {
         return saveContext(server.db(), {call.projectPath, stringOr(call.all, "content", ""),
                                          stringOr(call.all, "context_type", "key_point"),
                                          call.sessionID, stringArgument(call.all, "surface")});
       },
       "write:context", true, "session_context,memories"},
      {"nodrel_ingest_project",
       [](const CallArguments& call, MCPServer& server) {
         return ingestProject(server.db(), call.projectPath, &server.impactGraphs());
       },
       "write:ingest", true, "code_files,code_edges"},
      {"nodrel_get_impact",
       [](const CallArguments& call, MCPServer& server) {
         auto files = stringsOrNone(call.all, "files");
         return getImpact(server.db(), files, stringOr(call.all, "project", call.projectPath),
                          &server.impactGraphs());
       },
       "read:impact", false, std::nullopt, {{"project"}}},
      {"nodrel_audit_log",
       [](const CallArguments& call, MCPServer& server) {
         return getAuditLog(server.db(), call.sessionID,
                            integerArgument(call.all, "limit").value_or(20));
       },
       "read:audit", false, std::nullopt},
      {"nodrel_report_build_failure",
       [](const CallArguments& call, MCPServer& server) {
         return reportBuildFailure(server.db(), {call.projectPath,
                                                 stringOr(call.all, "build_output", ""),
                                                 stringArgument(call.all, "trigger_file"),
                                                 call.sessionID});
       },
       "write:build_failure", true, "build_failures"},
      {"nodrel_report_test_failure",
       [](const CallArguments& call, MCPServer& server) {
         return reportTestFailure(server.db(), {call.projectPath,
                                                stringOr(call.all, "test_output", ""),
                                                stringOr(call.all, "framework", "xctest"),
                                                stringArgument(call.all, "trigger_file"),
                                                call.sessionID});
       },
       "write:test_failure", true, "test_failures"},
      {"nodrel_promote_skill",
       [](const CallArguments& call, MCPServer& server) {
         return promoteSkill(server.db(), stringOr(call.all, "skill_id", ""));
       },
       "write:task_promotion", true, "tasks"},
      {"nodrel_list_tasks",
       [](const CallArguments& call, MCPServer& server) {
         return listTasks(server.db(), nonEmptyStringArgument(call.all, "project_path"));
       },
       "read:tasks", false, std::nullopt},
      {"nodrel_match_conditions",
       [](const CallArguments& call, MCPServer& server) {
         store::SurfaceConditionContext context;
         context.repoPath = stringArgument(call.all, "repoPath");
         context.touchedFiles = stringsOrNone(call.all, "touchedFiles");
         context.touchedSymbols = stringsOrNone(call.all, "touchedSymbols");
         context.taskDescription = stringArgument(call.all, "taskDescription");
         return matchConditions(server.db(), context,
                                integerArgument(call.all, "limit").value_or(20));
       },
       "read:match_conditions", false, std::nullopt, {{"repoPath"}}},
      {"nodrel_expand_node",
       [](const CallArguments& call, MCPServer& server) {
         return expandNode(server.db(), stringOr(call.all, "memoryID", ""),
                           integerArgument(call.all, "maxDepth").value_or(1),
                           integerArgument(call.all, "limit").value_or(10));
       },
       "read:expand_node", false, std::nullopt},
      {"nodrel_get_index",
       [](const CallArguments&, MCPServer& server) { return getIndex(server.db()); },
       "read:get_index", false, std::nullopt},
      {"nodrel_remember",
       [](const CallArguments& call, MCPServer& server) {
         return rememberContent(server.db(), {call.projectPath, stringOr(call.all, "content", ""),
                                              stringArgument(call.all, "rationale"),
                                              call.sessionID});
       },
       "write:remember", true, "memories"},
  };
  return table;
}

const Route* findRoute(const std::string& name) {
  for (const Route& route : routes()) {
    if (route.name == name) return &route;
  }
  return nullptr;
}

// Every directory argument is checked alike and then stored and looked up under one key, so
// "/work/app/" and "/work/app" are one project in every table. A refusal names the argument.
std::optional<std::string> checkPathArguments(const Route& route, json& arguments) {
  if (!arguments.is_object()) return std::nullopt;
  std::vector<PathArgument> paths = {{"project_path"}};
  paths.insert(paths.end(), route.paths.begin(), route.paths.end());
  for (const PathArgument& path : paths) {
    const auto it = arguments.find(path.key);
    if (it == arguments.end() || !it->is_string()) continue;
    const std::string& value = it->get_ref<const std::string&>();
    const std::string key(path.key);
    if (path.orName && !value.starts_with("/")) {
      if (value.find('\0') != std::string::npos) return key + " must not contain null bytes";
      continue;
    }
    if (auto refusal = validatePathArgument(key, value)) return refusal;
    *it = platform::normaliseProjectPath(value);
  }
  return std::nullopt;
}

bool succeeded(const json& result) {
  auto it = result.find("success");
  return it != result.end() && it->is_boolean() && it->get<bool>();
}

}  // namespace

json textContentResult(const json& dictionary) {
  std::string text = serialisePretty(dictionary).value_or("{}");
  return {{"content", json::array({{{"type", "text"}, {"text", std::move(text)}}})}};
}

json handleToolCall(const std::string& name, const json& arguments, MCPServer& server) {
  // However many statements the call runs, another program's lock holds it up for one busy
  // timeout at most.
  server.db().beginCall();
  const std::optional<std::string> sessionID = stringArgument(arguments, "session_id");
  const Route* route = findRoute(name);
  json result;
  std::optional<std::string> summary;
  std::optional<std::string> scope;
  if (route == nullptr) {
    result = {{"error", "Unknown tool: " + name}};
    summary = "error:unknown_tool";
    recordAuditEntry(server.db(), name, arguments, sessionID, summary, scope);
    return textContentResult(result);
  }
  // An oversized session id is refused before any tool stores it, and the audit row keeps none.
  if (sessionID) {
    if (auto refusal = validateSessionID(*sessionID)) {
      result = {{"success", false}, {"error", *refusal}};
      recordAuditEntry(server.db(), name, arguments, std::nullopt, "rejected", scope);
      return textContentResult(result);
    }
  }
  json normalised = arguments;
  if (auto refusal = checkPathArguments(*route, normalised)) {
    // Audited as the handler's own refusal of the same path would be.
    result = {{"success", false}, {"error", *refusal}};
    if (route->scope) scope = std::string(*route->scope);
    recordAuditEntry(server.db(), name, arguments, sessionID,
                     route->writes ? "rejected" : std::string(route->summary), scope);
    return textContentResult(result);
  }
  const CallArguments call{normalised, stringOr(normalised, "project_path", ""), sessionID};
  std::optional<ToolCallTransaction> transaction;
  if (commitsWithItsAudit(*route)) transaction.emplace(server.db());
  try {
    if (transaction && transaction->busy()) throw *transaction->busy();
    result = route->handler(call, server);
  } catch (const std::exception& e) {
    // Handlers report their own failures; this only keeps one that slipped through from
    // taking the server down.
    logLine("[nodrel-mcp] " + name + " error: " + e.what());
    result = {{"success", false}, {"error", e.what()}};
  }
  summary = std::string(!route->writes || succeeded(result) ? route->summary : "rejected");
  if (route->scope) scope = std::string(*route->scope);
  auto audit = [&] {
    recordAuditEntry(server.db(), name, arguments, call.sessionID, summary, scope);
  };
  if (!transaction) {
    audit();
    return textContentResult(result);
  }
  transaction->recordAudit(audit);
  try {
    transaction->commit();
  } catch (const std::exception& e) {
    // Nothing of the call was stored, so it must not answer as if it had been.
    logLine("[nodrel-mcp] " + name + " error: commit failed: " + e.what());
    result = {{"success", false}, {"error", std::string("commit failed: ") + e.what()}};
  }
  return textContentResult(result);
}

}  // namespace nodrel::server
