// NodrelMCP: the Model Context Protocol server an assistant host starts as a child process.
#include <csignal>
#include <exception>
#include <string>
#include <string_view>

#include "db/connection.h"
#include "platform/paths.h"
#include "server/mcp_server.h"
#include "server/message_loop.h"
#include "server/transport.h"

namespace {

constexpr std::string_view kCreateSessionContext =
    "CREATE TABLE IF NOT EXISTS session_context ( id TEXT PRIMARY KEY, session_id TEXT, "
    "project_id TEXT NOT NULL, surface TEXT NOT NULL, context_type TEXT NOT NULL "
    "CHECK(context_type IN ('decision', 'state', 'key_point', 'handoff')), content TEXT NOT "
    "NULL, created_at TEXT NOT NULL, FOREIGN KEY(session_id) REFERENCES session_stats(id) ON "
    "DELETE SET NULL, FOREIGN KEY(project_id) REFERENCES projects(id) ON DELETE CASCADE );";
constexpr std::string_view kAddCorrectionsSurface =
    "ALTER TABLE corrections ADD COLUMN surface TEXT NOT NULL DEFAULT 'claude_code';";
constexpr std::string_view kAddInstructionsSurface =
    "ALTER TABLE standing_instructions ADD COLUMN surface TEXT NOT NULL DEFAULT 'claude_code';";

}  // namespace

int main() {
  using namespace nodrel;
  // A client that closes its end must not kill the server mid-write; the failed write ends the
  // run instead.
  std::signal(SIGPIPE, SIG_IGN);

  const auto base = platform::NodrelPaths::baseDirectory();
  platform::NodrelPaths::ensureDirectory(base);
  const auto databasePath = base / "nodrel.db";

  std::optional<db::Connection> connection;
  try {
    connection = db::Connection::open(databasePath, {.create = true});
    connection->exec(kCreateSessionContext);
  } catch (const std::exception& e) {
    server::logLine("[nodrel-mcp] fatal: could not open database at " + databasePath.string() +
                    ": " + e.what());
    return 1;
  }
  // Every start after the first finds the columns there already.
  for (auto statement : {kAddCorrectionsSurface, kAddInstructionsSurface}) {
    try {
      connection->exec(statement);
    } catch (const std::exception&) {
    }
  }

  server::MCPServer mcpServer(std::move(*connection));
  try {
    server::runMessageLoop(mcpServer);
  } catch (const server::ClientGone&) {
    // The client closed its end of the pipe: nobody is left to serve.
  }
  return 0;
}
