#include "codeintel/co_change_analyzer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <utility>

#include "db/savepoint.h"
#include "platform/child_process.h"
#include "platform/file_descriptor.h"
#include "platform/git_head.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/time.h"

namespace nodrel::codeintel::CoChangeAnalyzer {
namespace {

constexpr const char* kGitPath = "/usr/bin/git";
constexpr std::string_view kHeader = "---";

void reportStartFailure(int error, const Diagnostics& diagnostics) {
  diagnostics(std::string("[nodrel] CoChangeAnalyzer git error: ") + std::strerror(error) + "\n");
}

// Runs /usr/bin/git with `arguments` (no shell), handing its standard output to `sink` as it
// arrives: the output must be drained while git runs, since a long history does not fit in a
// pipe. Returns git's exit status; when git cannot be started, or exits with another status
// than 0, the one diagnostic line is written here and a non-zero value comes back.
int runGit(std::vector<std::string> arguments, const std::function<void(std::string_view)>& sink,
           const Diagnostics& diagnostics) {
  arguments.insert(arguments.begin(), "git");

  platform::FileDescriptor outputRead, outputWrite, errorRead, errorWrite;
  if (!platform::makePipe(outputRead, outputWrite) || !platform::makePipe(errorRead, errorWrite)) {
    reportStartFailure(errno, diagnostics);
    return -1;
  }
  // git gets no terminal to wait on.
  const platform::FileDescriptor null(::open("/dev/null", O_RDWR | O_CLOEXEC));
  const pid_t pid = platform::startChild(
      kGitPath, arguments, {null.get(), outputWrite.get(), null.get()}, errorWrite.get());
  if (pid < 0) {
    reportStartFailure(errno, diagnostics);
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
    reportStartFailure(execError, diagnostics);
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
    diagnostics("[nodrel] CoChangeAnalyzer git exited with status " + std::to_string(status) +
                "\n");
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

std::optional<std::vector<CommitFileList>> gitLogFileLists(const std::string& projectPath,
                                                           const Diagnostics& diagnostics) {
  // The folder's place in its repository: git names every file from the repository's top.
  std::string prefix;
  if (runGit(
          {"-C", projectPath, "rev-parse", "--show-prefix"},
          [&](std::string_view bytes) { prefix.append(bytes); }, diagnostics) != 0) {
    return std::nullopt;
  }
  if (prefix.ends_with('\n')) prefix.pop_back();

  // -z keeps names exactly as stored: without it git quotes non-ASCII and control characters
  // and separates names by line feeds, which names may contain. The pathspec picks the commits
  // that touched the folder, --full-diff still names all their files, so a sweeping commit is
  // known as one.
  GitLogParser parser;
  if (runGit(
          {"-C", projectPath, "log", "--name-only", "--pretty=format:---", "-z", "--full-diff",
           "-500", "--", "."},
          [&](std::string_view bytes) { parser.feed(bytes); }, diagnostics) != 0) {
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

std::optional<std::string> newestFolderCommit(const std::string& projectPath,
                                              const Diagnostics& diagnostics) {
  std::string hash;
  if (runGit(
          {"-C", projectPath, "log", "-1", "--format=%H", "--", "."},
          [&](std::string_view bytes) { hash.append(bytes); }, diagnostics) != 0) {
    return std::nullopt;
  }
  while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r')) hash.pop_back();
  return hash;
}

bool analyze(const std::string& projectPath, db::Connection& db, const Diagnostics& diagnostics) {
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
  const auto newest = newestFolderCommit(project, diagnostics);
  // git already said why it failed, and the log would fail the same way.
  if (!newest) return false;
  if (!head) mined = lastMining(db, project);
  if (!newest->empty() && mined && mined->lastCommit == *newest) {
    if (head) {
      db.beginCall();
      recordMiningHead(db, project, *head);
    }
    return false;
  }
  const auto commits = gitLogFileLists(project, diagnostics);
  if (!commits) return false;
  const std::string now = platform::currentTimestampText();
  // Mining follows the ingestion of the files: a write of its own, with the whole busy timeout.
  db.beginCall();
  db::Savepoint transaction(db, "co_changes");
  recordCoChanges(*commits, db, project, now);
  // The table exists: lastMining made it above for any commit worth keeping.
  if (!newest->empty()) recordMinedCommit(db, project, *newest, head, now);
  transaction.commit();
  return true;
}

}  // namespace nodrel::codeintel::CoChangeAnalyzer
