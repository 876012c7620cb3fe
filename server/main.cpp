// NodrelMCP: the Model Context Protocol server an assistant host starts as a child process.
#include <csignal>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "db/connection.h"
#include "db/schema.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "server/log.h"
#include "server/mcp_server.h"
#include "server/message_loop.h"
#include "server/transport.h"

namespace {

// The same name and version the server gives in its initialize result.
constexpr std::string_view kVersionLine = "nodrel-mcp 1.0.0\n";
constexpr std::string_view kUsage =
    "Usage: NodrelMCP [--version | --help]\n"
    "  With no argument, serves the Model Context Protocol on standard input and output; an\n"
    "  assistant host starts it as a child process.\n";

// What the command line asks for: nothing to serve, or the exit status of an answer already
// given. A user checking an install types --version; it must not sit waiting on the terminal.
std::optional<int> answerArguments(int argc, char** argv) {
  if (argc < 2) return std::nullopt;
  const std::string_view argument = argv[1];
  if (argc == 2 && argument == "--version") {
    nodrel::platform::writeFully(1, kVersionLine);
    return 0;
  }
  if (argc == 2 && argument == "--help") {
    nodrel::platform::writeFully(1, kUsage);
    return 0;
  }
  nodrel::platform::writeFully(
      2, "NodrelMCP: unexpected argument: " + std::string(argument) + "\n" + std::string(kUsage));
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace nodrel;
  // A client that closes its end must not kill the server mid-write; the failed write ends the
  // run instead.
  std::signal(SIGPIPE, SIG_IGN);
  if (const auto status = answerArguments(argc, argv)) return *status;

  const auto base = platform::NodrelPaths::baseDirectory();
  platform::NodrelPaths::ensureDirectory(base);
  const auto databasePath = base / "nodrel.db";

  std::optional<db::Connection> connection;
  try {
    connection = db::Connection::open(databasePath, {.create = true});
    // Hosts are often set up before anyone runs `nodrel-app init`; the server then makes the
    // companion's tables itself rather than answer every tool with "no such table".
    db::ensureSchema(*connection);
    db::createSessionContextTable(*connection);
  } catch (const std::exception& e) {
    server::logLine("[nodrel-mcp] fatal: could not open database at " + databasePath.string() +
                    ": " + e.what());
    return 1;
  }
  db::addSurfaceColumns(*connection);

  server::MCPServer mcpServer(std::move(*connection));
  try {
    server::runMessageLoop(mcpServer);
  } catch (const server::ClientGone&) {
    // The client closed its end of the pipe: nobody is left to serve.
  }
  return 0;
}
