// capture/claude_cli_service.h: where the assistant's own command-line executable, `claude`,
// is on this machine. The lookup runs once per process, when the shared instance is created;
// nothing launches the executable.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <vector>

namespace nodrel::capture {

class ClaudeCLIService {
 public:
  // The process-wide instance, created on first use (thread-safe) with the default search
  // paths and the `which` fallback; its `cliURL` is never recomputed.
  static const ClaudeCLIService& shared();

  ClaudeCLIService(std::vector<std::filesystem::path> searchPaths, bool useWhichFallback);

  const std::vector<std::filesystem::path>& searchPaths() const { return searchPaths_; }
  bool useWhichFallback() const { return useWhichFallback_; }
  const std::optional<std::filesystem::path>& cliURL() const { return cliURL_; }

 private:
  std::vector<std::filesystem::path> searchPaths_;
  bool useWhichFallback_;
  std::optional<std::filesystem::path> cliURL_;
};

// home + ".local/bin/claude", "/usr/local/bin/claude", "/opt/homebrew/bin/claude".
std::vector<std::filesystem::path> defaultSearchPaths();

// The first search path that is an executable file, else (when allowed) what `whichClaude`
// finds. Never fails.
std::optional<std::filesystem::path> resolveCLIURL(
    const std::vector<std::filesystem::path>& searchPaths, bool useWhichFallback);

// Runs `/usr/bin/env which claude` without a shell, in this process's environment. Nothing
// when it cannot start, exits non-zero, prints nothing usable, runs past `timeout` (it is then
// killed), or names a file that is not an executable file.
std::optional<std::filesystem::path> whichClaude(
    std::chrono::milliseconds timeout = std::chrono::seconds(5));

// An existing regular file (symbolic links followed) that this user may execute.
bool isExecutableFile(const std::filesystem::path& path);

}  // namespace nodrel::capture
