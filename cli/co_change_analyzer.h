// cli/co_change_analyzer.h: mines a project's git history for files that change together and
// counts each pair in `co_changes`, which fragility and impact analysis read. Stateless.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"

namespace nodrel::cli::CoChangeAnalyzer {

// One commit's paths as git printed them, relative to the repository's top directory.
using CommitFileList = std::vector<std::string>;

// Commits touching more files than this are sweeping changes (renames, formatting) and say
// nothing about which files belong together.
inline constexpr std::size_t kMaxFilesPerCommit = 20;

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

// The file lists of the newest 500 commits of the repository at `projectPath`. Never throws:
// when git cannot be started or fails, one "[nodrel] CoChangeAnalyzer ..." line goes to
// standard error and the list is empty.
std::vector<CommitFileList> gitLogFileLists(const std::string& projectPath);

// Counts every pair of each commit of 2 to kMaxFilesPerCommit paths under `project`, the smaller
// path first, stamping `now`. Runs inside the caller's transaction; throws db::Error at the
// first failing statement.
void recordCoChanges(const std::vector<CommitFileList>& commits, db::Connection& db,
                     const std::string& project, const std::string& now);

// gitLogFileLists, then recordCoChanges in one transaction (rolled back on failure). `projectPath`
// is stored as given. Throws db::Error.
void analyze(const std::string& projectPath, db::Connection& db);

}  // namespace nodrel::cli::CoChangeAnalyzer
