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

#include "capture/hook_payload.h"
#include "cli/commands.h"
#include "cli/output.h"
#include "db/connection.h"
#include "db/value.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "store/memory.h"
#include "store/project_registry.h"
#include "store/recall.h"

namespace nodrel::cli {
namespace {

constexpr std::string_view kCountProjectMemories =
    "SELECT COUNT(*) FROM memories WHERE project = ? AND (deleted_at IS NULL)";
constexpr std::string_view kCountProjectCorrections =
    "SELECT COUNT(*) FROM corrections WHERE project_id = ?";
constexpr std::string_view kCountStandingInstructions =
    "    SELECT COUNT(*) FROM standing_instructions\n"
    "    WHERE active = 1 AND (project_id = ? OR scope_type = 'global')";
constexpr std::string_view kCountGlobalStandingInstructions =
    "SELECT COUNT(*) FROM standing_instructions WHERE active = 1 AND scope_type = 'global'";
// Deleted memories stay out of the index as out of every other read of memories.
constexpr std::string_view kMemoryIndexTopNodes =
    "    SELECT mi.memory_id, m.body, m.tags, mi.depth, mi.traversal_cost_tokens\n"
    "    FROM memory_index mi\n"
    "    JOIN memories m ON m.id = mi.memory_id\n"
    "    WHERE mi.is_top_level = 1 AND m.deleted_at IS NULL\n"
    "    ORDER BY mi.traversal_cost_tokens ASC";

constexpr std::string_view kToolNames =
    "nodrel_audit_log, nodrel_expand_node, nodrel_get_context, nodrel_get_impact, "
    "nodrel_get_index, nodrel_get_skills, nodrel_ingest_project, nodrel_list_tasks, "
    "nodrel_match_conditions, nodrel_promote_skill, nodrel_report_build_failure, "
    "nodrel_report_test_failure, nodrel_save_context, nodrel_save_correction, "
    "nodrel_save_standing_instruction";

constexpr std::int64_t kDefaultLimit = 20;

struct ResolvedProject {
  std::optional<std::string> id;  // absent when no registered project matched
  std::string name;
  std::string path;       // the working directory as passed, also when an ancestor matched
  std::string matchedBy;  // "cwd" or "none"
};

struct IndexNode {
  std::string id;
  std::string bodyPreview;
  std::string tags;
  std::int64_t depth = 0;
  std::int64_t traversalCostTokens = 0;
};

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
std::vector<db::Row> readRows(db::Connection& db, std::string_view sql,
                              std::initializer_list<db::Value> bindings) {
  try {
    return db.query(sql, bindings);
  } catch (const std::exception&) {
    return {};
  }
}

std::int64_t count(db::Connection& db, std::string_view sql,
                   std::initializer_list<db::Value> bindings) {
  try {
    const auto value = db.scalar(sql, bindings);
    return value ? db::integerOf(*value).value_or(0) : 0;
  } catch (const std::exception&) {
    return 0;
  }
}

std::optional<store::RegisteredProject> findProjectByPath(db::Connection& db,
                                                          const std::string& path) {
  try {
    return store::findNamedProjectAtPath(path, db);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::vector<store::RegisteredProject> allProjects(db::Connection& db) {
  try {
    return store::namedProjects(db);
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
  if (auto row = findProjectByPath(db, cwd)) return {row->id, row->name, cwd, "cwd"};
  const auto projects = allProjects(db);
  if (!projects.empty()) {
    for (const auto& ancestor : ancestorsOf(cwd)) {
      for (const auto& project : projects) {
        if (project.path == ancestor) return {project.id, project.name, cwd, "cwd"};
      }
    }
  }
  return {std::nullopt, fallbackName, cwd, "none"};
}

std::int64_t countStandingInstructions(db::Connection& db, const std::optional<std::string>& id) {
  return id ? count(db, kCountStandingInstructions, {db::text(*id)})
            : count(db, kCountGlobalStandingInstructions, {});
}

std::vector<IndexNode> memoryIndexTopNodes(db::Connection& db) {
  std::vector<IndexNode> nodes;
  for (const auto& row : readRows(db, kMemoryIndexTopNodes, {})) {
    const std::string* id = db::textOf(row[0]);
    const std::string* body = db::textOf(row[1]);
    if (!id || !body) continue;
    const std::string* tags = db::textOf(row[2]);
    nodes.push_back({*id, platform::graphemePrefix(*body, 100), tags ? *tags : "",
                     db::integerOf(row[3]).value_or(0), db::integerOf(row[4]).value_or(0)});
  }
  return nodes;
}

std::vector<store::ProjectActivity> siblingProjects(db::Connection& db, const std::string& cwd) {
  try {
    return store::otherActiveProjects(cwd, db);
  } catch (const std::exception&) {
    return {};
  }
}

std::string renderSessionReadyHeader(const ResolvedProject& project, std::int64_t memoryCount,
                                     std::int64_t correctionCount, std::int64_t indexNodeCount,
                                     std::int64_t instructionCount,
                                     const std::vector<store::ProjectActivity>& siblings) {
  std::string text = "# Nodrel session ready\n";
  // The hooks store memories without registering the project, so a path with no registry entry
  // may still have memories of its own.
  std::string match = "  (matched by cwd)";
  if (project.matchedBy == "none") {
    match = memoryCount < 1
                ? "  (no registry entry \u2014 nodrel hasn't seen this path before)"
                : "  (no registry entry \u2014 " + std::to_string(memoryCount) +
                      (memoryCount == 1 ? " memory" : " memories") + " stored for this path)";
  }
  text += "Project: " + project.name + match + "\n";
  text += "Loaded: " + std::to_string(memoryCount) + " memories \u00b7 " +
          std::to_string(correctionCount) + " corrections \u00b7 " +
          std::to_string(indexNodeCount) + " index nodes \u00b7 " +
          std::to_string(instructionCount) + " standing instructions\n";
  text += "MCP tools: " + std::string(kToolNames) + "\n";
  if (!siblings.empty()) {
    text += "\nOther projects Nodrel knows about:\n";
    for (const auto& sibling : siblings) {
      text += "- " + sibling.name + " (" + std::to_string(sibling.memoryCount) +
              " memories) \u2014 " + sibling.path + "\n";
    }
    text += "Say \"switch to <name>\" and Claude will call nodrel_get_context for that project.\n";
  }
  return text;
}

std::string truncated(const std::string& text, std::size_t limit) {
  if (platform::graphemeCount(text) <= limit) return text;
  return platform::graphemePrefix(text, limit - 3) + "...";
}

std::string firstSentence(const std::string& body) {
  const std::size_t end = body.find_first_of(".!?");
  return truncated(end == std::string::npos ? body : body.substr(0, end + 1), 100);
}

std::string firstFiveWords(const std::string& body) {
  std::string words;
  int taken = 0;
  std::size_t start = 0;
  while (taken < 5 && start < body.size()) {
    std::size_t end = body.find(' ', start);
    if (end == std::string::npos) end = body.size();
    if (end > start) {
      if (taken++ > 0) words += ' ';
      words.append(body, start, end - start);
    }
    start = end + 1;
  }
  return words;
}

std::string renderContextBlock(const std::string& projectName,
                               const std::vector<store::ScoredMemory>& hits) {
  auto line = [](const store::Memory& memory, const std::string& text, bool bold) {
    const std::string type(store::toString(memory.type));
    std::string out = bold ? "- **[" + type + "]** " : "- [" + type + "] ";
    out += text;
    if (memory.project) out += " (project: " + *memory.project + ")";
    return out + "\n";
  };
  std::string text = "# Nodrel context for " + projectName + "\n\n";
  for (std::size_t i = 0; i < hits.size(); ++i) {
    const store::Memory& memory = hits[i].memory;
    if (i == 0) text += "## Full context (top matches)\n";
    if (i == 5) text += "\n## Related context\n";
    if (i == 15) text += "\n## Also known\n";
    if (i < 5) {
      text += line(memory, truncated(memory.body, 400), true);
    } else if (i < 15) {
      text += line(memory, firstSentence(memory.body), false);
    } else {
      text += line(memory, firstFiveWords(memory.body) + "...", false);
    }
  }
  return text;
}

std::string renderMemoryIndex(const std::vector<IndexNode>& nodes) {
  std::int64_t total = 0;
  for (const auto& node : nodes) total += node.traversalCostTokens;
  std::string text = "## Memory index (call nodrel_expand_node to load subtree)\n\n";
  text += "_" + std::to_string(nodes.size()) + " top-level nodes \u00b7 ~" + std::to_string(total) +
          " tokens if all expanded_\n\n";
  for (const auto& node : nodes) {
    text += "- `" + node.id + "` (~" + std::to_string(node.traversalCostTokens) + "t)";
    if (!node.tags.empty()) text += " [" + node.tags + "]";
    text += ": " + node.bodyPreview + "\n";
  }
  return text;
}

// How long a hook's payload may take to arrive; a terminal or an idle pipe is not waited on.
constexpr int kPayloadWaitMilliseconds = 2000;

// The hook payload's text "cwd" on standard input, else the process's working directory.
std::string workingDirectoryOfSession() {
  if (::isatty(STDIN_FILENO) == 0) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (::poll(&input, 1, kPayloadWaitMilliseconds) > 0) {
      const auto payload = nlohmann::json::parse(capture::readStandardInput(), nullptr,
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
    hits = store::recallMemories(*cwd, *cwd, limit, db);
  } catch (const std::exception& error) {
    writeErr(std::string("nodrel context: recall failed: ") + error.what() + "\n");
    return 1;
  }

  const auto indexNodes = memoryIndexTopNodes(db);
  const std::int64_t memoryCount = count(db, kCountProjectMemories, {db::text(*cwd)});
  const std::int64_t correctionCount =
      project.id ? count(db, kCountProjectCorrections, {db::text(*project.id)}) : 0;
  const std::int64_t instructionCount = countStandingInstructions(db, project.id);
  const auto siblings = siblingProjects(db, *cwd);

  writeOut(renderSessionReadyHeader(project, memoryCount, correctionCount,
                                    static_cast<std::int64_t>(indexNodes.size()), instructionCount,
                                    siblings) +
           "\n");
  if (!hits.empty()) writeOut(renderContextBlock(project.name, hits) + "\n");
  if (!indexNodes.empty()) writeOut(renderMemoryIndex(indexNodes) + "\n");
  return 0;
}

}  // namespace nodrel::cli
