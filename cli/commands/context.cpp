// cli/commands/context.cpp: `nodrel context`, what the SessionStart hook injects into every new
// session: a header (which project, what is stored, the server's tools, other projects), the
// project's recalled memories in three tiers of detail, and the always-on memory index.
// It only reads. A session must start even when a read goes wrong, so every lookup, count and
// list degrades to "nothing stored" instead of failing; only a missing --cwd, an unopenable
// database and a failed recall end with status 1.
#include <charconv>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <poll.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/output.h"
#include "cli/session_start_text.h"
#include "cli/standard_input.h"
#include "db/connection.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "store/corrections.h"
#include "store/memory.h"
#include "store/memory_counts.h"
#include "store/memory_index.h"
#include "store/project_registry.h"
#include "store/recall.h"
#include "store/standing_instructions.h"

namespace nodrel::cli {
namespace {

constexpr std::int64_t kDefaultLimit = 20;

// A base-10 signed 64-bit integer with an optional sign and nothing else; nothing on overflow.
std::optional<std::int64_t> parseLimit(std::string_view text) {
  std::string_view number = text;
  if (!number.empty() && number.front() == '+') number.remove_prefix(1);
  const std::string_view digits =
      (number.size() == text.size() && !number.empty() && number.front() == '-') ? number.substr(1)
                                                                                 : number;
  if (digits.empty()) return std::nullopt;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (error != std::errc{} || end != number.data() + number.size()) return std::nullopt;
  return value;
}

// The last component of the directory taken as a file path: "b" for "/a/b/", "/" for the root.
std::string lastPathComponent(const std::string& path) {
  std::size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  std::size_t start = path.find_last_of('/', end);
  start = (start == std::string::npos) ? 0 : start + 1;
  return path.substr(start, end - start + 1);
}

// Each reader below swallows its failure: a session start must not fail over one bad read.
template <typename Read>
auto orNothing(Read read) -> decltype(read()) {
  try {
    return read();
  } catch (const std::exception&) {
    return {};
  }
}

// The ancestors of the directory, nearest first, ending with "/". A relative directory is
// taken from the current one, as a file URL would be.
std::vector<std::string> ancestorsOf(const std::string& directory) {
  std::error_code error;
  std::filesystem::path path = std::filesystem::absolute(directory, error);
  if (error) path = directory;
  std::vector<std::string> components;
  for (const auto& part : path.lexically_normal()) {
    const std::string text = part.string();
    if (!text.empty() && text != "/") components.push_back(text);
  }
  std::vector<std::string> ancestors;
  while (!components.empty()) {
    components.pop_back();
    std::string parent;
    for (const auto& component : components) parent += "/" + component;
    ancestors.push_back(parent.empty() ? "/" : parent);
  }
  return ancestors;
}

ResolvedProject resolveProject(db::Connection& db, const std::string& cwd,
                               const std::string& fallbackName) {
  if (auto row = orNothing([&] { return store::findNamedProjectAtPath(cwd, db); })) {
    return {row->id, row->name, cwd, "cwd"};
  }
  const auto projects = orNothing([&] { return store::namedProjects(db); });
  if (!projects.empty()) {
    for (const auto& ancestor : ancestorsOf(cwd)) {
      for (const auto& project : projects) {
        if (project.path == ancestor) return {project.id, project.name, cwd, "cwd"};
      }
    }
  }
  return {std::nullopt, fallbackName, cwd, "none"};
}

// How long a hook's payload may take to arrive; a terminal or an idle pipe is not waited on.
constexpr int kPayloadWaitMilliseconds = 2000;

// The hook payload's text "cwd" on standard input, else the process's working directory.
std::string workingDirectoryOfSession() {
  if (::isatty(STDIN_FILENO) == 0) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (::poll(&input, 1, kPayloadWaitMilliseconds) > 0) {
      const auto payload = nlohmann::json::parse(readStandardInput(), nullptr,
                                                 /*allow_exceptions=*/false);
      if (payload.is_object()) {
        auto it = payload.find("cwd");
        if (it != payload.end() && it->is_string() && !it->get_ref<const std::string&>().empty()) {
          return it->get<std::string>();
        }
      }
    }
  }
  std::error_code ec;
  const std::filesystem::path current = std::filesystem::current_path(ec);
  return ec ? std::string() : current.string();
}

}  // namespace

int runContext(Arguments args) {
  std::optional<std::string> cwd;
  std::int64_t limit = kDefaultLimit;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i + 1 == args.size()) break;
    if (args[i] == "--cwd") {
      cwd = args[++i];
    } else if (args[i] == "--limit") {
      if (auto parsed = parseLimit(args[++i])) limit = std::max<std::int64_t>(*parsed, 1);
    }
  }
  // Hosts that do not set CLAUDE_PROJECT_DIR make the installed command pass an empty value;
  // the SessionStart payload on standard input still names the directory.
  if (cwd && cwd->empty()) cwd = workingDirectoryOfSession();
  if (!cwd || cwd->empty()) {
    writeErr("nodrel context: --cwd PATH is required\n");
    return 1;
  }
  // The key the project's rows are stored under, however the hook spelt the directory.
  cwd = platform::normaliseProjectPath(*cwd);
  const std::string fallbackName = lastPathComponent(*cwd);

  const auto databasePath = platform::NodrelPaths::baseDirectory() / "nodrel.db";
  std::error_code missing;
  if (!std::filesystem::exists(databasePath, missing)) {
    writeOut(renderSessionReadyHeader({std::nullopt, fallbackName, *cwd, "none"}, 0, 0, 0, 0, {}) +
             "\n");
    return 0;
  }

  std::optional<db::Connection> connection;
  try {
    connection = db::Connection::open(databasePath, {.readOnly = true});
  } catch (const std::exception& error) {
    writeErr(std::string("nodrel context: could not open database: ") + error.what() + "\n");
    return 1;
  }
  db::Connection& db = *connection;

  const ResolvedProject project = resolveProject(db, *cwd, fallbackName);
  std::vector<store::ScoredMemory> hits;
  try {
    hits = store::recallMemories(*cwd, *cwd, limit, db, /*keptVectors=*/nullptr);
  } catch (const std::exception& error) {
    writeErr(std::string("nodrel context: recall failed: ") + error.what() + "\n");
    return 1;
  }

  const auto indexNodes = orNothing([&] { return store::topLevelIndexNodes(db); });
  const std::int64_t memoryCount = orNothing([&] { return store::countProjectMemories(*cwd, db); });
  const std::int64_t correctionCount =
      project.id ? orNothing([&] { return store::countCorrections(*project.id, db); }) : 0;
  const std::int64_t instructionCount =
      orNothing([&] { return store::countActiveStandingInstructions(project.id, db); });
  const auto siblings = orNothing([&] { return store::otherActiveProjects(*cwd, db); });

  writeOut(renderSessionReadyHeader(project, memoryCount, correctionCount,
                                    static_cast<std::int64_t>(indexNodes.size()), instructionCount,
                                    siblings) +
           "\n");
  if (!hits.empty()) writeOut(renderContextBlock(project.name, hits) + "\n");
  if (!indexNodes.empty()) writeOut(renderMemoryIndex(indexNodes) + "\n");
  return 0;
}

}  // namespace nodrel::cli
