// tests/support/server_session.h: a run of the built NodrelMCP fed request lines, as an MCP
// host does, with its responses parsed and its diagnostic lines split.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/run_program.h"

namespace nodrel::testing {

struct ServerSession {
  int status = -1;
  std::vector<nlohmann::json> responses;  // one per stdout line, in order
  std::vector<std::string> errLines;
  std::string rawOut;
};

// Sends each line (a line feed is added) and closes standard input.
ServerSession runServer(const std::vector<std::string>& lines);

// Sends the lines to a server whose responses nobody reads (the reading end of its standard
// output is closed before the first line), as when the host goes away; its diagnostics are
// dropped. Returns its exit status, or -1 when it did not exit normally.
int runServerUnread(const std::vector<std::string>& lines);

// A tools/call request line.
std::string toolCall(int id, const std::string& tool, const nlohmann::json& arguments);

// The tool result dictionary of a tools/call response (its text content parsed).
nlohmann::json toolResult(const nlohmann::json& response);

// Runs the server for one tools/call and returns its result dictionary; the server's
// diagnostic lines go to `errLines` when given.
nlohmann::json callTool(const std::string& tool, const nlohmann::json& arguments,
                        std::vector<std::string>* errLines = nullptr);

}  // namespace nodrel::testing
