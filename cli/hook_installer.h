// cli/hook_installer.h: installs and removes nodrel's hooks, status line and /remember command
// in the assistant's settings (~/.claude/settings.json, ~/.claude/commands/remember.md), touching
// only the entries it placed itself. It never opens the database.
#pragma once

#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace nodrel::cli {

class HookInstallerError : public std::runtime_error {
 public:
  // `refused`: a valid file whose content stops the edit (an entry of someone else's in the
  // way); its description is the reason alone.
  enum class Kind { settingsFileUnreadable, settingsFileMalformed, writeFailure, refused };

  HookInstallerError(Kind kind, const std::string& reason);

  Kind kind() const noexcept { return kind_; }
  const std::string& reason() const noexcept { return reason_; }

 private:
  Kind kind_;
  std::string reason_;
};

class HookInstaller {
 public:
  static constexpr std::string_view managedMarkerKey = "_nodrel_managed";
  static constexpr std::string_view rememberMDSentinel = "<!-- _nodrel_managed -->";
  // The events nodrel hooks, in the order they are always handled.
  static constexpr std::string_view kEvents[] = {"SessionStart", "SessionEnd", "Stop"};
  // Bounds on a settings file the installer will read and write back: the host's own files are
  // a few kilobytes and a handful of levels deep.
  static constexpr std::size_t kMaxSettingsBytes = std::size_t{16} << 20;
  static constexpr int kMaxSettingsDepth = 128;

  explicit HookInstaller(std::filesystem::path home);
  // The installer for the home directory of this process. Throws HookInstallerError
  // (settingsFileUnreadable) when no home directory can be found.
  static HookInstaller forHomeDirectory();

  const std::string& installedBinaryPath() const { return installedBinaryPath_; }
  // The path as one shell word: unchanged when it holds only safe characters, else quoted.
  std::string installedBinaryWord() const;
  const std::filesystem::path& settingsPath() const { return settingsPath_; }
  const std::filesystem::path& rememberCommandPath() const { return rememberCommandPath_; }
  std::string rememberCommandText() const;
  std::string commandLine(std::string_view event) const;

  // The settings object; an empty one when the file is missing (nothing is created). Throws
  // settingsFileUnreadable (not a regular file, unreadable, larger than kMaxSettingsBytes) or
  // settingsFileMalformed (not JSON, not an object, nested deeper than kMaxSettingsDepth); the
  // file is never changed.
  nlohmann::json readSettingsFile() const;
  // readSettingsFile, but first creates ~/.claude when no settings file exists.
  nlohmann::json loadSettings() const;
  // Pretty-printed with sorted keys, through "settings.json.nodrel-tmp" renamed into place.
  // Throws writeFailure; on failure the settings file keeps its previous content.
  void writeSettings(const nlohmann::json& settings) const;

  // The managed hook objects of one event, in document order; wrong shapes give nothing.
  std::vector<nlohmann::json> managedHooks(const nlohmann::json& settings,
                                           std::string_view event) const;
  // An entry (a hook object or the statusLine object) is ours when it carries the marker or its
  // command runs the installed program: the host drops keys it does not know when it rewrites
  // the file.
  bool isManagedHook(const nlohmann::json& hook) const;
  bool hasManagedStatusLine(const nlohmann::json& settings) const;
  // True when the program the hooks and the status line run is an executable file.
  bool installedBinaryIsExecutable() const;

  void installHooks() const;
  void uninstallHooks() const;
  // Throws refused over a status line of someone else's.
  void installStatusLine() const;
  // False when there was no status line of ours to remove (nothing is written then).
  bool uninstallStatusLine() const;
  // Writes remember.md unless a file of the user's own (no sentinel) or an identical one is
  // already there.
  void writeRememberCommand() const;

 private:
  void removeRememberCommandIfManaged() const;

  std::string installedBinaryPath_;
  std::filesystem::path settingsPath_;
  std::filesystem::path rememberCommandPath_;
  // Marks the numbers whose text is kept between reading and writing the settings; random, so
  // no string of the user's can be taken for one.
  std::string numberTag_;
};

}  // namespace nodrel::cli
