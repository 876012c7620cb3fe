#include "platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

namespace nodrel::platform {
namespace {

std::optional<std::filesystem::path> absoluteFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return std::nullopt;
  return std::filesystem::path(value);
}

std::optional<std::filesystem::path> homeFromPasswordDatabase() {
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
  passwd entry{};
  passwd* result = nullptr;
  for (;;) {
    const int rc = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result);
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || result == nullptr || result->pw_dir == nullptr || result->pw_dir[0] == '\0') {
      return std::nullopt;
    }
    return std::filesystem::path(result->pw_dir);
  }
}

}  // namespace

std::optional<std::filesystem::path> homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::filesystem::path(home);
  return homeFromPasswordDatabase();
}

std::optional<std::filesystem::path> userDataDirectory() {
  if (auto xdg = absoluteFromEnvironment("XDG_DATA_HOME")) return xdg;
  if (auto home = homeDirectory()) return *home / ".local/share";
  return std::nullopt;
}

std::optional<std::filesystem::path> userConfigDirectory() {
  if (auto xdg = absoluteFromEnvironment("XDG_CONFIG_HOME")) return xdg;
  if (auto home = homeDirectory()) return *home / ".config";
  return std::nullopt;
}

std::string normaliseProjectPath(std::string_view path) {
  if (path.empty()) return {};
  std::filesystem::path p{std::string(path)};
  if (p.is_relative()) {
    std::error_code ec;
    auto cwd = std::filesystem::current_path(ec);
    if (!ec) p = cwd / p;
  }
  std::string text = p.lexically_normal().generic_string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

namespace NodrelPaths {

std::filesystem::path baseDirectory() {
  if (auto data = userDataDirectory()) return *data / "Nodrel";
  // No home at all: the home part is empty, which leaves a path relative to the working
  // directory rather than one under the root.
  return std::filesystem::path("Library/Application Support") / "Nodrel";
}

std::filesystem::path databaseURL() { return baseDirectory() / "nodrel.db"; }
std::filesystem::path coldDirectory() { return directory("cold"); }
std::filesystem::path trashDirectory() { return directory("trash"); }
std::filesystem::path trashColdDirectory() { return directory("trash") / "cold"; }
std::filesystem::path backupsDirectory() { return directory("backups"); }

std::filesystem::path checkpointsDirectory() {
  auto path = directory("checkpoints");
  ensureDirectory(path);
  return path;
}

std::filesystem::path directory(const std::string& name) { return baseDirectory() / name; }

bool ensureDirectory(const std::filesystem::path& path) {
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) return true;
  ec.clear();
  std::filesystem::create_directories(path, ec);
  if (ec) return false;
  return std::filesystem::is_directory(path, ec);
}

}  // namespace NodrelPaths
}  // namespace nodrel::platform
