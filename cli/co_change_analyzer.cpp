#include "cli/co_change_analyzer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <utility>

#include "cli/output.h"
#include "db/savepoint.h"
#include "db/value.h"
#include "platform/child_process.h"
#include "platform/file_descriptor.h"
#include "platform/git_head.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/time.h"

namespace nodrel::cli::CoChangeAnalyzer {
namespace {

constexpr std::string_view kUpsertCoChange =
    "    INSERT INTO co_changes (project, file_a, file_b, count, last_seen)\n"
    "    VALUES (?, ?, ?, 1, ?)\n"
    "    ON CONFLICT(file_a, file_b, project) DO UPDATE\n"
    "    SET count = count + 1, last_seen = excluded.last_seen";

constexpr std::string_view kDeleteProjectCoChanges = "DELETE FROM co_changes WHERE project = ?";

// The newest commit that touched each project's folder when its history was last mined, and
// the commit HEAD named when that was last found true. Made on first use, like the other tables
// this command may be the first to need; it lets a run over an unchanged history keep the pairs
// it would only count again, and tell so without starting git while HEAD stays put.
constexpr std::string_view kCreateMinings = R"sql(CREATE TABLE IF NOT EXISTS co_change_minings (
  project TEXT PRIMARY KEY NOT NULL,
  last_commit TEXT NOT NULL,
  mined_at TEXT NOT NULL,
  head_commit TEXT
))sql";

// Tables made before HEAD was kept lack its column.
constexpr std::string_view kHasHeadColumn =
    R"sql(SELECT 1 FROM pragma_table_info('co_change_minings') WHERE name = 'head_commit')sql";
constexpr std::string_view kAddHeadColumn =
    R"sql(ALTER TABLE co_change_minings ADD COLUMN head_commit TEXT)sql";

constexpr std::string_view kSelectLastMining =
    R"sql(SELECT last_commit, head_commit FROM co_change_minings WHERE project = ?)sql";

constexpr std::string_view kUpsertMining =
    R"sql(INSERT INTO co_change_minings (project, last_commit, mined_at, head_commit)
VALUES (?, ?, ?, ?)
ON CONFLICT(project) DO UPDATE SET last_commit = excluded.last_commit,
  mined_at = excluded.mined_at, head_commit = excluded.head_commit)sql";

constexpr std::string_view kUpdateMiningHead =
    R"sql(UPDATE co_change_minings SET head_commit = ? WHERE project = ?)sql";

constexpr const char* kGitPath = "/usr/bin/git";
constexpr std::string_view kHeader = "---";

// Ascending by Unicode scalar value after canonical composition, stable; for UTF-8 text the
// byte order of the composed form is that order.
void sortStringsAscending(std::vector<std::string>& strings) {
  std::vector<std::pair<std::string, std::string>> keyed;
  keyed.reserve(strings.size());
  for (auto& s : strings) keyed.emplace_back(platform::nfc(s), std::move(s));
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t i = 0; i < keyed.size(); ++i) strings[i] = std::move(keyed[i].second);
}

void reportStartFailure(int error) {
  writeErr(std::string("[nodrel] CoChangeAnalyzer git error: ") + std::strerror(error) + "\n");
}

// Runs /usr/bin/git with `arguments` (no shell), handing its standard output to `sink` as it
// arrives: the output must be drained while git runs, since a long history does not fit in a
// pipe. Returns git's exit status; when git cannot be started, or exits with another status
// than 0, the one diagnostic line is written here and a non-zero value comes back.
int runGit(std::vector<std::string> arguments, const std::function<void(std::string_view)>& sink) {
  arguments.insert(arguments.begin(), "git");

  platform::FileDescriptor outputRead, outputWrite, errorRead, errorWrite;
  if (!platform::makePipe(outputRead, outputWrite) || !platform::makePipe(errorRead, errorWrite)) {
    reportStartFailure(errno);
    return -1;
  }
  // git gets no terminal to wait on.
  const platform::FileDescriptor null(::open("/dev/null", O_RDWR | O_CLOEXEC));
  const pid_t pid = platform::startChild(
      kGitPath, arguments, {null.get(), outputWrite.get(), null.get()}, errorWrite.get());
  if (pid < 0) {
    reportStartFailure(errno);
    return -1;
  }
  outputWrite.reset();
  errorWrite.reset();

  // The start-error pipe closes on a successful exec and carries errno on a failed one.
  int execError = 0;
  ssize_t got;
  do {
    got = ::read(errorRead.get(), &execError, sizeof execError);
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof execError)) {
    platform::waitForChild(pid);
    reportStartFailure(execError);
    return -1;
  }

  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(outputRead.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    sink(std::string_view(buffer, static_cast<std::size_t>(n)));
  }
  outputRead.reset();
  const int status = platform::exitStatusOf(platform::waitForChild(pid));
  if (status != 0) {
    writeErr("[nodrel] CoChangeAnalyzer git exited with status " + std::to_string(status) + "\n");
  }
  return status;
}

}  // namespace

void GitLogParser::feed(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\0');
    if (end == std::string_view::npos) {
      token_.append(bytes);
      return;
    }
    token_.append(bytes.substr(0, end));
    endToken();
    bytes.remove_prefix(end + 1);
  }
}

std::vector<CommitFileList> GitLogParser::finish() {
  if (!token_.empty()) endToken();
  if (inCommit_ && commits_.back().empty()) commits_.pop_back();
  return std::move(commits_);
}

// A commit opens with "---" and a line feed before its first name; a commit without files shows
// only "---". An empty token closes a commit's list. A name is told from a header by where it
// stands, never by its text, so a file called "---" is still a file.
void GitLogParser::endToken() {
  const std::string token = std::move(token_);
  token_.clear();
  if (atHeader_) {
    if (token.empty()) return;
    if (token == kHeader) {
      beginCommit();
      return;
    }
    if (token.starts_with(std::string(kHeader) + "\n")) {
      beginCommit();
      addName(std::string_view(token).substr(kHeader.size() + 1));
    } else {
      if (!inCommit_) beginCommit();
      addName(token);
    }
    atHeader_ = false;
    return;
  }
  if (token.empty()) {
    atHeader_ = true;
  } else {
    addName(token);
  }
}

void GitLogParser::beginCommit() {
  if (inCommit_ && commits_.back().empty()) return;  // the last commit had no files: reuse it
  commits_.emplace_back();
  inCommit_ = true;
}

void GitLogParser::addName(std::string_view name) {
  if (name.empty() || !platform::isValidUtf8(name)) return;
  CommitFileList& files = commits_.back();
  if (files.size() <= kMaxFilesPerCommit) files.emplace_back(name);
}

std::optional<std::vector<CommitFileList>> gitLogFileLists(const std::string& projectPath) {
  // The folder's place in its repository: git names every file from the repository's top.
  std::string prefix;
  if (runGit({"-C", projectPath, "rev-parse", "--show-prefix"},
             [&](std::string_view bytes) { prefix.append(bytes); }) != 0) {
    return std::nullopt;
  }
  if (prefix.ends_with('\n')) prefix.pop_back();

  // -z keeps names exactly as stored: without it git quotes non-ASCII and control characters
  // and separates names by line feeds, which names may contain. The pathspec picks the commits
  // that touched the folder, --full-diff still names all their files, so a sweeping commit is
  // known as one.
  GitLogParser parser;
  if (runGit({"-C", projectPath, "log", "--name-only", "--pretty=format:---", "-z", "--full-diff",
              "-500", "--", "."},
             [&](std::string_view bytes) { parser.feed(bytes); }) != 0) {
    return std::nullopt;
  }
  return filesInProject(parser.finish(), prefix);
}

std::vector<CommitFileList> filesInProject(std::vector<CommitFileList> commits,
                                           std::string_view prefix) {
  for (CommitFileList& commit : commits) {
    if (commit.size() < 2 || commit.size() > kMaxFilesPerCommit) {
      commit.clear();
      continue;
    }
    CommitFileList inside;
    for (std::string& name : commit) {
      if (name.size() > prefix.size() && name.starts_with(prefix)) {
        inside.push_back(name.substr(prefix.size()));
      }
    }
    commit = std::move(inside);
  }
  return commits;
}

void recordCoChanges(const std::vector<CommitFileList>& commits, db::Connection& db,
                     const std::string& project, const std::string& now) {
  db.prepare(kDeleteProjectCoChanges).bindText(1, project).run();
  db::Statement upsert = db.prepare(kUpsertCoChange);
  for (const CommitFileList& commit : commits) {
    if (commit.size() < 2 || commit.size() > kMaxFilesPerCommit) continue;
    CommitFileList files = commit;
    sortStringsAscending(files);
    for (std::size_t i = 0; i < files.size(); ++i) {
      for (std::size_t j = i + 1; j < files.size(); ++j) {
        upsert.reset();
        upsert.bindText(1, project).bindText(2, files[i]).bindText(3, files[j]).bindText(4, now);
        upsert.run();
      }
    }
  }
}

std::optional<std::string> newestFolderCommit(const std::string& projectPath) {
  std::string hash;
  if (runGit({"-C", projectPath, "log", "-1", "--format=%H", "--", "."},
             [&](std::string_view bytes) { hash.append(bytes); }) != 0) {
    return std::nullopt;
  }
  while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r')) hash.pop_back();
  return hash;
}

std::optional<Mining> lastMining(db::Connection& db, const std::string& project) {
  db.exec(kCreateMinings);
  if (!db.scalar(kHasHeadColumn)) db.exec(kAddHeadColumn);
  const auto rows = db.query(kSelectLastMining, {db::text(project)});
  if (rows.empty()) return std::nullopt;
  const std::string* commit = db::textOf(rows[0][0]);
  if (!commit) return std::nullopt;
  Mining mining{*commit, std::nullopt};
  if (const std::string* head = db::textOf(rows[0][1])) mining.headCommit = *head;
  return mining;
}

bool analyze(const std::string& projectPath, db::Connection& db) {
  const std::string project = platform::normaliseProjectPath(projectPath);
  // Read before git looks at the folder's history, so what is kept with that history is never
  // newer than it: a commit landing in between only makes the next run ask git again.
  const auto head = platform::readHeadCommit(project);
  std::optional<Mining> mined;
  if (head) {
    mined = lastMining(db, project);
    // The history git would walk is the one from this commit, which the stored pairs count.
    if (mined && mined->headCommit == head) return false;
  }
  // Taken before the log is read: a commit landing in between makes the next run mine again
  // rather than be skipped.
  const auto newest = newestFolderCommit(project);
  // git already said why it failed, and the log would fail the same way.
  if (!newest) return false;
  if (!head) mined = lastMining(db, project);
  if (!newest->empty() && mined && mined->lastCommit == *newest) {
    // HEAD moved without touching the folder: keep where it stands for the next run.
    if (head) {
      db.beginCall();
      db.run(kUpdateMiningHead, {db::text(*head), db::text(project)});
    }
    return false;
  }
  const auto commits = gitLogFileLists(project);
  if (!commits) return false;
  const std::string now = platform::currentTimestampText();
  // Mining follows the ingestion of the files: a write of its own, with the whole busy timeout.
  db.beginCall();
  db::Savepoint transaction(db, "co_changes");
  recordCoChanges(*commits, db, project, now);
  // The table exists: lastMining made it above for any commit worth keeping.
  if (!newest->empty()) {
    db.run(kUpsertMining,
           {db::text(project), db::text(*newest), db::text(now), db::optionalText(head)});
  }
  transaction.commit();
  return true;
}

}  // namespace nodrel::cli::CoChangeAnalyzer
