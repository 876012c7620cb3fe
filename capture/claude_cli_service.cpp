#include "capture/claude_cli_service.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "platform/child_process.h"
#include "platform/file_descriptor.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace nodrel::capture {
namespace {

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
  platform::FileDescriptor outputRead, outputWrite;
  if (!platform::makePipe(outputRead, outputWrite)) return std::nullopt;
  const platform::FileDescriptor devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!devNull.valid()) return std::nullopt;
  // Standard error is never read, so it goes nowhere rather than into a pipe that could fill
  // and stall the child.
  const pid_t pid = platform::startChild("/usr/bin/env", {"/usr/bin/env", "which", "claude"},
                                         {devNull.get(), outputWrite.get(), devNull.get()});
  if (pid < 0) return std::nullopt;
  outputWrite.reset();

  std::string text;
  // Reading before waiting: a child that fills the pipe would otherwise never exit.
  const bool finished =
      readUntilClosed(outputRead.get(), std::chrono::steady_clock::now() + timeout, text);
  if (!finished) ::kill(pid, SIGKILL);
  const int status = platform::waitForChild(pid);
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
