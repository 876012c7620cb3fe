#include "codeintel/impact_paths.h"

#include <filesystem>
#include <string_view>
#include <unordered_set>

#include "db/json_array.h"

namespace nodrel::codeintel {
namespace {

constexpr std::string_view kSelectFileByPath = R"sql(SELECT id FROM code_files
WHERE project = ? AND relative_path = ?)sql";

constexpr std::string_view kSelectFilesByPathSuffix = R"sql(SELECT id FROM code_files
WHERE project = ? AND relative_path LIKE ? ESCAPE '\')sql";

constexpr std::string_view kSelectFilesByFileName = R"sql(SELECT id FROM code_files
WHERE project = ? AND (
    relative_path = ?
    OR relative_path LIKE ? ESCAPE '\'
))sql";

// Lists that grow with the repository travel as one JSON array instead of one parameter per
// element, which SQLite caps; rows come back in the array's order.
constexpr std::string_view kSelectRelativePaths = R"sql(SELECT f.value, cf.relative_path
FROM json_each(?) f
CROSS JOIN code_files cf ON cf.id = f.value)sql";

using Ids = std::vector<std::string>;

std::string jsonArray(const Ids& values) { return db::sqlJsonArray(values); }

std::string escapeLike(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '%' || c == '_') out += '\\';
    out += c;
  }
  return out;
}

// Appends to `ids` the text values of the first column, keeping first occurrences only;
// true when any row held one, whether new or seen before.
bool collectIds(db::Statement& stmt, Ids& ids, std::unordered_set<std::string>& seen) {
  bool any = false;
  while (stmt.step()) {
    auto value = stmt.column(0);
    auto text = db::textOf(value);
    if (!text) continue;
    any = true;
    if (seen.insert(*text).second) ids.push_back(*text);
  }
  return any;
}
}  // namespace

std::optional<std::string> lookupPath(const std::string& project, const std::string& given) {
  if (given.empty()) return std::nullopt;
  std::string path = given;
  if (path.front() == '/') {
    std::string root = project == "/" ? "/" : project + "/";
    if (path.starts_with(root)) {
      path.erase(0, root.size());
    } else if (path == project) {
      return std::nullopt;
    }
  }
  path = std::filesystem::path(path).lexically_normal().generic_string();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.empty() || path == "." || path == "/") return std::nullopt;
  return path;
}

Ids resolveChangedFileIDs(const std::string& project, const std::vector<std::string>& paths,
                          db::Connection& db) {
  Ids ids;
  std::unordered_set<std::string> seen;
  auto exact = db.prepare(kSelectFileByPath);
  auto suffix = db.prepare(kSelectFilesByPathSuffix);
  auto byName = db.prepare(kSelectFilesByFileName);
  for (const auto& given : paths) {
    auto path = lookupPath(project, given);
    if (!path) continue;
    bool found = false;
    if (path->front() != '/') {
      exact.reset();
      exact.bindText(1, project).bindText(2, *path);
      found = collectIds(exact, ids, seen);
      if (!found) {
        suffix.reset();
        suffix.bindText(1, project).bindText(2, "%/" + escapeLike(*path));
        found = collectIds(suffix, ids, seen);
      }
    }
    auto slash = path->rfind('/');
    if (!found && slash != std::string::npos && slash + 1 < path->size()) {
      std::string name = path->substr(slash + 1);
      byName.reset();
      byName.bindText(1, project).bindText(2, name).bindText(3, "%/" + escapeLike(name));
      collectIds(byName, ids, seen);
    }
  }
  return ids;
}

std::vector<std::string> relativePathForFileID(const Ids& ids, db::Connection& db) {
  std::vector<std::string> paths;
  if (ids.empty()) return paths;
  auto stmt = db.prepare(kSelectRelativePaths);
  stmt.bindText(1, jsonArray(ids));
  while (stmt.step()) {
    auto value = stmt.column(1);
    if (auto text = db::textOf(value)) paths.push_back(*text);
  }
  return paths;
}

}  // namespace nodrel::codeintel
