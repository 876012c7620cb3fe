#include "tests/server/server_session.h"

#include "tests/support/temp_home.h"

namespace nodrel::testing {

ServerSession runServer(const std::vector<std::string>& lines) {
  std::string input;
  for (const auto& line : lines) input += line + "\n";
  ProgramRun run = runProgram(binaryPath("server/NodrelMCP"), {}, input);
  ServerSession session;
  session.status = run.status;
  session.rawOut = run.out;
  for (const auto& line : splitLines(run.out)) {
    session.responses.push_back(nlohmann::json::parse(line, nullptr, false));
  }
  session.errLines = splitLines(run.err);
  return session;
}

std::string toolCall(int id, const std::string& tool, const nlohmann::json& arguments) {
  return nlohmann::json{{"jsonrpc", "2.0"},
                        {"id", id},
                        {"method", "tools/call"},
                        {"params", {{"name", tool}, {"arguments", arguments}}}}
      .dump();
}

nlohmann::json toolResult(const nlohmann::json& response) {
  const auto& content = response.at("result").at("content");
  return nlohmann::json::parse(content.at(0).at("text").get<std::string>());
}

nlohmann::json callTool(const std::string& tool, const nlohmann::json& arguments,
                        std::vector<std::string>* errLines) {
  auto session = runServer({toolCall(1, tool, arguments)});
  if (errLines) *errLines = session.errLines;
  return toolResult(session.responses.at(0));
}

}  // namespace nodrel::testing
