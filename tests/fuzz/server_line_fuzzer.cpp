// libFuzzer target: bytes on the server's standard input, read line by line as the server reads
// them, each line handled against a scratch database with the real schema. Every request line
// must get exactly one response that names its id, every other line none, and nothing may
// crash. Run it as the README says.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "db/connection.h"
#include "db/schema.h"
#include "platform/paths.h"
#include "server/json_text.h"
#include "server/mcp_server.h"
#include "server/message_loop.h"
#include "server/transport.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

[[noreturn]] void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "fuzz_server_line: %s: %.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

struct Scratch {
  fs::path home;
  int out = -1;  // what the server writes to standard output lands here
  std::optional<nodrel::server::MCPServer> server;
};

Scratch& scratch() {
  static Scratch* s = [] {
    auto* made = new Scratch;
    char pattern[] = "/tmp/nodrel-fuzz-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) fail("mkdtemp", "");
    made->home = pattern;
    // The scratch home goes when the run ends normally; a crashing input leaves it to look at.
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(scratch().home, ec);
    });
    ::setenv("HOME", pattern, 1);
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("XDG_CONFIG_HOME");
    fs::create_directories(made->home / "project");
    const fs::path base = nodrel::platform::NodrelPaths::baseDirectory();
    nodrel::platform::NodrelPaths::ensureDirectory(base);
    auto connection = nodrel::db::Connection::open(base / "nodrel.db", {.create = true});
    nodrel::db::createSchema(connection);
    made->server.emplace(std::move(connection));
    made->out = ::memfd_create("nodrel-fuzz-stdout", 0);
    if (made->out < 0 || ::dup2(made->out, STDOUT_FILENO) < 0) fail("memfd", "");
    return made;
  }();
  return *s;
}

// Ingesting a real directory outside the scratch home reads the machine's files and takes
// minutes: such a line is not handed on. Refused paths ("/", the home, missing ones) are.
bool ingestsTheMachine(const json& message) {
  if (!message.is_object() || message.value("method", json()) != "tools/call") return false;
  const json params = message.value("params", json::object());
  if (!params.is_object() || params.value("name", json()) != "nodrel_ingest_project") return false;
  const json arguments = params.value("arguments", json::object());
  if (!arguments.is_object()) return false;
  const json path = arguments.value("project_path", json());
  if (!path.is_string()) return false;
  const std::string key = nodrel::platform::normaliseProjectPath(path.get<std::string>());
  const std::string home = scratch().home.string();
  if (key == "/" || key == home || key.starts_with(home + "/")) return false;
  std::error_code ec;
  return fs::is_directory(key, ec);
}

// The response lines written since the last call, each checked as a JSON-RPC response.
std::size_t takeResponses(int fd, const json* id) {
  const off_t end = ::lseek(fd, 0, SEEK_CUR);
  std::string written(static_cast<std::size_t>(end), '\0');
  if (end > 0 && ::pread(fd, written.data(), written.size(), 0) != end) fail("pread", "");
  if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) fail("ftruncate", "");
  std::size_t count = 0;
  std::string_view rest = written;
  while (!rest.empty()) {
    const std::size_t feed = rest.find('\n');
    if (feed == std::string_view::npos) fail("response without a line feed", rest);
    const std::string_view line = rest.substr(0, feed);
    rest.remove_prefix(feed + 1);
    ++count;
    auto response = nodrel::server::parseObject(std::string(line));
    if (!response) fail("response is no JSON object", line);
    if (response->value("jsonrpc", json()) != "2.0") fail("response without jsonrpc 2.0", line);
    if (id && (!response->contains("id") || (*response)["id"] != *id)) {
      fail("response names another id", line);
    }
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Scratch& s = scratch();
  // The input is what the client sends; the server's own reader splits it into lines.
  const int in = ::memfd_create("nodrel-fuzz-stdin", 0);
  if (in < 0) fail("memfd", "");
  if (size > 0 && ::write(in, data, size) != static_cast<ssize_t>(size)) fail("write", "");
  ::lseek(in, 0, SEEK_SET);
  nodrel::server::LineReader reader(in);
  while (auto line = reader.next()) {
    const std::string trimmed = nodrel::server::trimHorizontalSpace(line->text);
    std::optional<json> message;
    if (!line->overlong && !trimmed.empty()) message = nodrel::server::parseObject(trimmed);
    if (message && ingestsTheMachine(*message)) continue;
    nodrel::server::handleLine(*line, *s.server);
    const json* id = nullptr;
    if (message && message->contains("id")) id = &(*message)["id"];
    const std::size_t responses = takeResponses(s.out, id);
    if (responses != (id ? 1u : 0u)) {
      fail(id ? "request not answered exactly once" : "answer to a line that is no request",
           line->text.substr(0, 200));
    }
  }
  ::close(in);
  return 0;
}
