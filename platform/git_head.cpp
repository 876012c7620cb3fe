#include "platform/git_head.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <string_view>
#include <system_error>

#include "platform/files.h"

extern char** environ;

namespace nodrel::platform {
namespace {

namespace fs = std::filesystem;

// The files read here are a few lines; anything larger is not what git writes there.
constexpr std::size_t kSmallFileLimit = 4096;
// packed-refs holds every branch and tag: large in old repositories, never this large.
constexpr std::size_t kPackedRefsLimit = std::size_t{64} << 20;

bool isCommitHash(std::string_view text) {
  // SHA-1 and SHA-256 repositories.
  if (text.size() != 40 && text.size() != 64) return false;
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// A file's one line without its line feed; nothing for anything else.
std::optional<std::string> readLine(const fs::path& path) {
  auto text = readFile(path, kSmallFileLimit);
  if (!text) return std::nullopt;
  if (text->ends_with('\n')) text->pop_back();
  if (text->ends_with('\r')) text->pop_back();
  if (text->find('\n') != std::string::npos) return std::nullopt;
  return text;
}

// Variables about transport, identities, editors and tracing leave alone which repository git
// finds and what history it walks; any other GIT_ variable might not.
bool gitVariableSet() {
  static constexpr std::string_view kHarmless[] = {
      "GIT_SSL_",    "GIT_SSH",        "GIT_HTTP_", "GIT_CURL_",  "GIT_PROXY_",
      "GIT_ASKPASS", "GIT_TERMINAL_",  "GIT_PAGER", "GIT_EDITOR", "GIT_SEQUENCE_EDITOR",
      "GIT_AUTHOR_", "GIT_COMMITTER_", "GIT_TRACE", "GIT_FLUSH",  "GIT_MERGE_"};
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string_view variable(*entry);
    if (!variable.starts_with("GIT_")) continue;
    if (std::none_of(std::begin(kHarmless), std::end(kHarmless),
                     [&](std::string_view prefix) { return variable.starts_with(prefix); })) {
      return true;
    }
  }
  return false;
}

// Whether anything is at `path`. A path that cannot be examined counts as present: the doubt
// sends the caller back to git.
bool present(const fs::path& path) {
  std::error_code ec;
  return fs::symlink_status(path, ec).type() != fs::file_type::not_found;
}

std::optional<dev_t> deviceOf(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return info.st_dev;
}

// git refuses a repository another user owns, so its answer is not ours to give.
bool ownedByUs(const fs::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && info.st_uid == ::geteuid();
}

// The repository folder of the work tree holding `start`, searched upwards the way git does.
std::optional<fs::path> findGitDirectory(fs::path start) {
  const auto device = deviceOf(start);
  if (!device) return std::nullopt;
  for (fs::path dir = start;; dir = dir.parent_path()) {
    if (deviceOf(dir) != device) return std::nullopt;
    const fs::path dotGit = dir / ".git";
    std::error_code ec;
    const auto status = fs::status(dotGit, ec);
    if (fs::is_directory(status)) return ownedByUs(dir) ? std::optional(dotGit) : std::nullopt;
    if (fs::is_regular_file(status)) {
      if (!ownedByUs(dir)) return std::nullopt;
      const auto line = readLine(dotGit);
      if (!line || !line->starts_with("gitdir: ")) return std::nullopt;
      fs::path target = line->substr(8);
      if (target.is_relative()) target = dir / target;
      return target.lexically_normal();
    }
    if (status.type() != fs::file_type::not_found) return std::nullopt;
    // A folder that is itself a repository (a bare one, or the inside of a .git) is found by
    // git before any .git above it.
    if (present(dir / "HEAD") && present(dir / "objects") && present(dir / "refs")) {
      return std::nullopt;
    }
    if (dir == dir.root_path() || dir.parent_path() == dir) return std::nullopt;
  }
}

// Whether the repository changes what a commit's history is: commits grafted or replaced, or
// missing below a shallow boundary.
bool historyRewritten(const fs::path& commonDir, const fs::path& gitDir) {
  for (const fs::path& dir : {commonDir, gitDir}) {
    if (present(dir / "shallow") || present(dir / "info" / "grafts")) return true;
  }
  std::error_code ec;
  fs::directory_iterator replacements(commonDir / "refs" / "replace", ec);
  if (!ec && replacements != fs::directory_iterator()) return true;
  return false;
}

std::optional<std::string> packedRef(const fs::path& commonDir, std::string_view name) {
  const fs::path path = commonDir / "packed-refs";
  if (!present(path)) return std::nullopt;
  const auto text = readFile(path, kPackedRefsLimit);
  if (!text) return std::nullopt;
  std::optional<std::string> found;
  std::string_view rest(*text);
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.empty() || line[0] == '#' || line[0] == '^') continue;
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    const std::string_view ref = line.substr(space + 1);
    if (ref.starts_with("refs/replace/")) return std::nullopt;
    if (ref == name) {
      if (!isCommitHash(line.substr(0, space))) return std::nullopt;
      found = std::string(line.substr(0, space));
    }
  }
  return found;
}

bool saneBranchName(std::string_view name) {
  if (!name.starts_with("refs/heads/") || name.size() == 11) return false;
  if (name.find("..") != std::string_view::npos || name.find("//") != std::string_view::npos) {
    return false;
  }
  return !name.ends_with('/') && name.find('\0') == std::string_view::npos;
}

}  // namespace

std::optional<std::string> readHeadCommit(const fs::path& folder) {
  if (gitVariableSet()) return std::nullopt;
  std::error_code ec;
  // git -C follows symbolic links before it looks upwards.
  const fs::path start = fs::canonical(folder, ec);
  if (ec) return std::nullopt;
  const auto gitDir = findGitDirectory(start);
  if (!gitDir || !ownedByUs(*gitDir)) return std::nullopt;

  fs::path commonDir = *gitDir;
  if (present(*gitDir / "commondir")) {
    const auto line = readLine(*gitDir / "commondir");
    if (!line || line->empty()) return std::nullopt;
    fs::path target = *line;
    if (target.is_relative()) target = *gitDir / target;
    commonDir = target.lexically_normal();
  }
  if (historyRewritten(commonDir, *gitDir)) return std::nullopt;

  const auto head = readLine(*gitDir / "HEAD");
  if (!head) return std::nullopt;
  if (isCommitHash(*head)) return head;
  if (!head->starts_with("ref: ")) return std::nullopt;
  const std::string name = head->substr(5);
  if (!saneBranchName(name)) return std::nullopt;

  // A loose ref file wins over packed-refs; git writes the packed line before it removes the
  // loose file, so a ref being packed meanwhile is found in one or the other.
  const fs::path loose = commonDir / name;
  const auto status = fs::symlink_status(loose, ec);
  if (fs::is_regular_file(status)) {
    const auto line = readLine(loose);
    if (!line || !isCommitHash(*line)) return std::nullopt;
    return line;
  }
  if (status.type() != fs::file_type::not_found) return std::nullopt;
  return packedRef(commonDir, name);
}

}  // namespace nodrel::platform
