#include "tests/support/server_session.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "platform/child_process.h"
#include "platform/file_descriptor.h"
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

int runServerUnread(const std::vector<std::string>& lines) {
  const std::string program = binaryPath("server/NodrelMCP").string();
  platform::FileDescriptor inRead, inWrite, outRead, outWrite;
  const platform::FileDescriptor devNull(open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (!platform::makePipe(inRead, inWrite) || !platform::makePipe(outRead, outWrite) ||
      !devNull.valid()) {
    throw std::runtime_error("pipe failed");
  }
  const pid_t pid =
      platform::startChild(program, {program}, {inRead.get(), outWrite.get(), devNull.get()});
  if (pid < 0) throw std::runtime_error("fork failed");
  inRead.reset();
  outWrite.reset();
  outRead.reset();
  // The server may stop reading once it finds nobody reads it; that must not kill the test.
  signal(SIGPIPE, SIG_IGN);
  for (const auto& line : lines) {
    const std::string bytes = line + "\n";
    if (write(inWrite.get(), bytes.data(), bytes.size()) < 0) break;
  }
  inWrite.reset();
  const int status = platform::waitForChild(pid);
  return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
