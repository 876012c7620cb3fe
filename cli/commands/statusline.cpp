// statusline [--cwd PATH]: the one line the assistant shows under its prompt, naming the project
// of the current directory and its number of memories. It runs on every prompt, so it is kept
// cheap, and whatever happens it prints one line and succeeds.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/output.h"
#include "db/connection.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "store/memory_counts.h"
#include "store/project_registry.h"

namespace nodrel::cli {
namespace {

constexpr std::string_view kMatched = "\u25cf Nodrel \u00b7 ";
constexpr std::string_view kUnmatched = "\u25cb Nodrel \u00b7 ";

// How long to wait for the host's payload. The host writes it at once; a terminal or a pipe
// that stays open and silent must not hold the prompt up.
constexpr int kInputWaitMs = 200;
constexpr std::size_t kMaxInputBytes = 4 << 20;

// What standard input holds: read until end of input, until the text so far is complete JSON,
// or until the wait runs out.
std::string readPayload() {
  if (::isatty(STDIN_FILENO)) return {};
  std::string data;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kInputWaitMs);
  char buffer[16384];
  while (data.size() < kMaxInputBytes) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&input, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
    if (nlohmann::json::accept(data)) break;
  }
  return data;
}

std::optional<std::string> directoryFromPayload(const std::string& data) {
  if (data.empty()) return std::nullopt;
  const auto payload = nlohmann::json::parse(data, nullptr, /*allow_exceptions=*/false);
  if (!payload.is_object()) return std::nullopt;
  if (const auto workspace = payload.find("workspace");
      workspace != payload.end() && workspace->is_object()) {
    if (const auto dir = workspace->find("current_dir");
        dir != workspace->end() && dir->is_string()) {
      return dir->get<std::string>();
    }
  }
  if (const auto cwd = payload.find("cwd"); cwd != payload.end() && cwd->is_string()) {
    return cwd->get<std::string>();
  }
  return std::nullopt;
}

std::string resolveStatuslineCwd(Arguments args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] != "--cwd") continue;
    if (i + 1 < args.size()) return args[i + 1];
    break;
  }
  if (auto dir = directoryFromPayload(readPayload())) return *dir;
  if (const char* pwd = std::getenv("PWD")) return pwd;
  std::error_code ec;
  return std::filesystem::current_path(ec).string();
}

// The path with its last component removed, as text: "/a" gives "/", "/" gives "/", "a" gives "".
std::string parentPath(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  path.resize(slash);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// A database without the projects table has no match; a failing read throws.
std::optional<store::RegisteredProject> findProjectUpwards(db::Connection& connection,
                                                           std::string directory) {
  for (int lookups = 0; lookups < 4; ++lookups) {
    if (auto match = store::lookupProjectAtExactPath(directory, connection)) return match;
    std::string parent = parentPath(directory);
    if (parent == directory) break;
    directory = std::move(parent);
  }
  return std::nullopt;
}

std::string shortError(std::string_view description) {
  const std::string trimmed = platform::trimWhitespace(description);
  if (platform::graphemeCount(trimmed) <= 40) return trimmed;
  return platform::graphemePrefix(trimmed, 40) + "\u2026";
}

std::string statusLine(Arguments args) {
  const std::string directory = platform::normaliseProjectPath(resolveStatuslineCwd(args));
  const auto databasePath = platform::NodrelPaths::databaseURL();
  std::error_code ec;
  if (!std::filesystem::exists(databasePath, ec)) return std::string(kUnmatched) + "no database";
  try {
    auto connection = db::Connection::open(databasePath, {.readOnly = true});
    const auto match = findProjectUpwards(connection, directory);
    if (!match) return std::string(kUnmatched) + "no project match";
    const std::int64_t count =
        store::countProjectMemoriesIfStored(match->path, connection).value_or(0);
    return std::string(kMatched) + match->name + " \u00b7 " + std::to_string(count) +
           (count == 1 ? " memory" : " memories");
  } catch (const std::exception& e) {
    return std::string(kUnmatched) + shortError(e.what());
  }
}

}  // namespace

int runStatusline(Arguments args) {
  std::string line;
  try {
    line = statusLine(args);
  } catch (const std::exception& e) {
    line = std::string(kUnmatched) + shortError(e.what());
  } catch (...) {
    line = std::string(kUnmatched) + "unknown error";
  }
  writeOut(line + "\n");
  return 0;
}

}  // namespace nodrel::cli
