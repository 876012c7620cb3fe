// platform/paths.h: where the data directory and its entries are. Every member computes its
// path afresh from the environment; nothing is cached.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace nodrel::platform {

// The user's home: $HOME when set and non-empty, else the password database; nothing when
// neither gives one.
std::optional<std::filesystem::path> homeDirectory();

// The per-user data directory (Linux stand-in for Application Support): $XDG_DATA_HOME when it
// is set and absolute, else home + ".local/share"; nothing when there is no home.
std::optional<std::filesystem::path> userDataDirectory();

// The per-user configuration directory: $XDG_CONFIG_HOME when set and absolute, else
// home + ".config"; nothing when there is no home.
std::optional<std::filesystem::path> userConfigDirectory();

// The one key a project directory is stored and looked up under in every table: absolute
// (a relative path is taken from the current directory), "." and ".." resolved lexically,
// repeated and trailing "/" removed ("/" stays "/"). Symbolic links are not resolved, so the
// key is the path the user named. An empty path stays empty.
std::string normaliseProjectPath(std::string_view path);

namespace NodrelPaths {

// userDataDirectory() + "Nodrel"; when no home can be found, home + "Library/Application
// Support/Nodrel" with an empty home (a relative path). Never fails, creates nothing.
std::filesystem::path baseDirectory();
std::filesystem::path databaseURL();
std::filesystem::path coldDirectory();
std::filesystem::path trashDirectory();
std::filesystem::path trashColdDirectory();
std::filesystem::path backupsDirectory();
// Creates the folder (ignoring failure) on every call.
std::filesystem::path checkpointsDirectory();
// base directory + name
std::filesystem::path directory(const std::string& name);

// True when anything already exists at the path, or the directory (with its parents) was
// created; false when creation failed. Never throws.
bool ensureDirectory(const std::filesystem::path& path);

}  // namespace NodrelPaths
}  // namespace nodrel::platform
