#include "capture/claude_cli_service.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "platform/paths.h"
#include "platform/text.h"

namespace nodrel::capture {
namespace {

// A pipe's ends, closed when it goes out of scope.
struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() = default;
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  ~Pipe() {
    for (int& end : fd) closeEnd(end);
  }
  static void closeEnd(int& end) {
    if (end >= 0) ::close(end);
    end = -1;
  }
};

// Reads everything the child writes until it closes its end or the deadline passes. False on
// timeout or a read error.
bool readUntilClosed(int fd, std::chrono::steady_clock::time_point deadline, std::string& out) {
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd poller{fd, POLLIN, 0};
    const int ready = ::poll(&poller, 1, static_cast<int>(left.count()));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (ready == 0) return false;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

int waitForChild(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

}  // namespace

bool isExecutableFile(const std::filesystem::path& path) {
  std::error_code ec;
  if (path.empty() || !std::filesystem::is_regular_file(path, ec) || ec) return false;
  return ::access(path.c_str(), X_OK) == 0;
}

std::vector<std::filesystem::path> defaultSearchPaths() {
  const auto home = platform::homeDirectory();
  return {home.value_or(std::filesystem::path()) / ".local/bin/claude", "/usr/local/bin/claude",
          "/opt/homebrew/bin/claude"};
}

std::optional<std::filesystem::path> whichClaude(std::chrono::milliseconds timeout) {
  Pipe output;
  if (::pipe2(output.fd, O_CLOEXEC) != 0) return std::nullopt;
  // Everything the child needs is built before fork: after it only async-signal-safe calls.
  const char* const argv[] = {"/usr/bin/env", "which", "claude", nullptr};
  const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (devNull < 0) return std::nullopt;
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(devNull);
    return std::nullopt;
  }
  if (pid == 0) {
    // Standard error is never read, so it goes nowhere rather than into a pipe that could
    // fill and stall the child.
    ::dup2(devNull, STDIN_FILENO);
    ::dup2(output.fd[1], STDOUT_FILENO);
    ::dup2(devNull, STDERR_FILENO);
    ::execv(argv[0], const_cast<char* const*>(argv));
    ::_exit(127);
  }
  ::close(devNull);
  Pipe::closeEnd(output.fd[1]);

  std::string text;
  // Reading before waiting: a child that fills the pipe would otherwise never exit.
  const bool finished =
      readUntilClosed(output.fd[0], std::chrono::steady_clock::now() + timeout, text);
  if (!finished) ::kill(pid, SIGKILL);
  const int status = waitForChild(pid);
  if (!finished || status < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return std::nullopt;
  }
  if (!platform::isValidUtf8(text)) return std::nullopt;
  const std::string trimmed = platform::trimWhitespace(text);
  if (trimmed.empty()) return std::nullopt;
  std::filesystem::path path(trimmed);
  if (!isExecutableFile(path)) return std::nullopt;
  return path;
}

std::optional<std::filesystem::path> resolveCLIURL(
    const std::vector<std::filesystem::path>& searchPaths, bool useWhichFallback) {
  for (const auto& candidate : searchPaths) {
    if (isExecutableFile(candidate)) return candidate;
  }
  if (useWhichFallback) return whichClaude();
  return std::nullopt;
}

ClaudeCLIService::ClaudeCLIService(std::vector<std::filesystem::path> searchPaths,
                                   bool useWhichFallback)
    : searchPaths_(std::move(searchPaths)),
      useWhichFallback_(useWhichFallback),
      cliURL_(resolveCLIURL(searchPaths_, useWhichFallback_)) {}

const ClaudeCLIService& ClaudeCLIService::shared() {
  static const ClaudeCLIService service(defaultSearchPaths(), /*useWhichFallback=*/true);
  return service;
}

}  // namespace nodrel::capture
