// codeintel/co_change_analyzer.h: mines a project's git history for files that change together
// and counts each pair in `co_changes` (codeintel/co_changes.h), which fragility and impact
// analysis read. Stateless.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codeintel/co_changes.h"
#include "db/connection.h"

namespace nodrel::codeintel::CoChangeAnalyzer {

// Where the one line of a failing git goes ("[nodrel] CoChangeAnalyzer ...", with its line feed).
using Diagnostics = std::function<void(std::string_view line)>;

// Reads the output of `git log --name-only --pretty=format:--- -z` as it arrives. Names are
// NUL-terminated there, so spaces, "---" inside a name, line breaks and non-ASCII bytes arrive
// verbatim. Memory stays bounded however large the history: a commit keeps at most one name
// beyond kMaxFilesPerCommit, enough to know it will be skipped. Names that are not UTF-8 are
// dropped, since a path that is not text cannot be matched or shown.
class GitLogParser {
 public:
  void feed(std::string_view bytes);
  // The commits with at least one name, newest first. Call once, after the last feed.
  std::vector<CommitFileList> finish();

 private:
  void endToken();
  void beginCommit();
  void addName(std::string_view name);

  std::vector<CommitFileList> commits_;
  std::string token_;
  bool inCommit_ = false;
  bool atHeader_ = true;  // the next token opens a commit
};

// The newest 500 commits that touched the project folder at `projectPath`, each with the
// project's own files named relative to that folder (the folder may lie anywhere inside its
// repository). A commit is judged by all its files: one of more than kMaxFilesPerCommit is
// dropped however few of them lie in the project. Files outside the folder are left out.
// Never throws: when git cannot be started or fails, one "[nodrel] CoChangeAnalyzer ..." line
// goes to `diagnostics` and the result is nothing.
std::optional<std::vector<CommitFileList>> gitLogFileLists(const std::string& projectPath,
                                                           const Diagnostics& diagnostics);

// Keeps the names below `prefix` (a folder relative to the repository's top, ending in "/",
// or empty for the top itself) with the prefix removed; a commit of fewer than 2 or more than
// kMaxFilesPerCommit names in all becomes empty.
std::vector<CommitFileList> filesInProject(std::vector<CommitFileList> commits,
                                           std::string_view prefix);

// The newest commit that touched the folder at `projectPath`, as a full hash; empty when the
// folder has no history, nothing when git fails (with its one diagnostic line). Never throws.
std::optional<std::string> newestFolderCommit(const std::string& projectPath,
                                              const Diagnostics& diagnostics);

// gitLogFileLists, then recordCoChanges in one transaction (rolled back on failure), under the
// project's normalised path (normaliseProjectPath), the key its code files have, and keeps the
// folder's newest commit with them (lastMining, recordMinedCommit). When that commit is the one
// last mined, the history is what the stored pairs already count and nothing is mined. While
// HEAD, read from the repository's files, names the commit kept with the last mining, git is not
// even started. When git fails the stored pairs stay as they were. Returns whether the history
// was mined. Throws db::Error.
bool analyze(const std::string& projectPath, db::Connection& db, const Diagnostics& diagnostics);

}  // namespace nodrel::codeintel::CoChangeAnalyzer
