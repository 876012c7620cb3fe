#include "cli/hook_installer.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <system_error>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/uuid.h"

namespace nodrel::cli {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Kind = HookInstallerError::Kind;

std::string describe(Kind kind, const std::string& reason) {
  switch (kind) {
    case Kind::settingsFileUnreadable:
      return "Could not read settings.json: " + reason;
    case Kind::settingsFileMalformed:
      return "settings.json is not valid JSON: " + reason;
    case Kind::writeFailure:
      return "Could not write settings.json: " + reason;
    case Kind::refused:
      return reason;
  }
  return reason;
}

constexpr std::string_view kTopLevelObjectExpected = "Top-level object expected.";
constexpr std::string_view kForeignStatusLine =
    "A statusLine entry already exists and was not placed by Nodrel. Remove it manually before "
    "enabling the Nodrel statusline.";

// Deeper than `limit` levels of arrays and objects. Checked on the bytes before parsing: a
// document nested 100,000 deep parses, but writing it back recurses once per level and
// indents every level, so it would overflow the stack or grow the file a thousandfold.
bool nestedDeeperThan(std::string_view text, int limit) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      if (++depth > limit) return true;
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return false;
}

bool isArrayOfObjects(const json& value) {
  if (!value.is_array()) return false;
  for (const json& element : value) {
    if (!element.is_object()) return false;
  }
  return true;
}

bool holdsNothing(const json& value) {
  return value.is_null() || (value.is_array() && value.empty());
}

bool hasTrueMarker(const json& object) {
  const auto it = object.find(HookInstaller::managedMarkerKey);
  return it != object.end() && it->is_boolean() && it->get<bool>();
}

// Replacing a symbolic link by a regular file would cut a settings file kept elsewhere (a
// dotfiles repository) off from its link, so writes go to the file the link names.
fs::path writeTarget(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_symlink(path, ec)) return path;
  const fs::path resolved = fs::weakly_canonical(path, ec);
  return ec ? path : resolved;
}

// Builds the document as the library does, but a number written with a fraction or an exponent,
// or an integer too large for 64 bits, is kept as its own text behind `tag`: the library would
// hold it as a double and write 123456789012345678901 back as 1.2345678901234568e+20.
class NumberKeepingParser : public nlohmann::detail::json_sax_dom_parser<json> {
 public:
  NumberKeepingParser(json& result, const std::string& tag)
      : json_sax_dom_parser(result, /*allow_exceptions_=*/false), tag_(tag) {}

  bool number_float(double, const std::string& text) {
    std::string kept = tag_ + text;
    return string(kept);
  }

 private:
  const std::string& tag_;
};

json parseKeepingNumbers(const std::string& bytes, const std::string& tag) {
  json result;
  NumberKeepingParser parser(result, tag);
  if (!json::sax_parse(bytes, &parser) || parser.is_errored())
    return json(json::value_t::discarded);
  return result;
}

// The tagged strings of parseKeepingNumbers become the numbers they were read as.
std::string restoreNumbers(std::string text, const std::string& tag) {
  const std::string opening = "\"" + tag;
  for (std::size_t at = text.find(opening); at != std::string::npos; at = text.find(opening, at)) {
    const std::size_t close = text.find('"', at + opening.size());
    if (close == std::string::npos) break;
    const std::string number = text.substr(at + opening.size(), close - at - opening.size());
    text.replace(at, close + 1 - at, number);
    at += number.size();
  }
  return text;
}

void createDirectories(const fs::path& directory) {
  std::error_code ec;
  fs::create_directories(directory, ec);
  if (ec) throw fs::filesystem_error("could not create directory", directory, ec);
}

}  // namespace

HookInstallerError::HookInstallerError(Kind kind, const std::string& reason)
    : std::runtime_error(describe(kind, reason)), kind_(kind), reason_(reason) {}

HookInstaller::HookInstaller(fs::path home)
    : installedBinaryPath_(home.string() + "/.nodrel/bin/nodrel"),
      settingsPath_(home / ".claude" / "settings.json"),
      rememberCommandPath_(home / ".claude" / "commands" / "remember.md"),
      numberTag_("nodrel-number-" + platform::makeUUID() + ":") {}

HookInstaller HookInstaller::forHomeDirectory() {
  const auto home = platform::homeDirectory();
  if (!home) throw HookInstallerError(Kind::settingsFileUnreadable, "no home directory found");
  return HookInstaller(*home);
}

std::string HookInstaller::installedBinaryWord() const {
  // The hooks run through a shell: a home directory with a space or a quote in its name would
  // otherwise split the program's path into several words and the hook would never run.
  const bool plain =
      std::all_of(installedBinaryPath_.begin(), installedBinaryPath_.end(), [](unsigned char c) {
        return std::isalnum(c) != 0 || (c != 0 && std::strchr("/._-+,:@%", c) != nullptr);
      });
  if (plain) return installedBinaryPath_;
  std::string word = "'";
  for (char c : installedBinaryPath_) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return word + "'";
}

std::string HookInstaller::commandLine(std::string_view event) const {
  const std::string program = installedBinaryWord();
  if (event == "SessionStart") return program + " context --cwd \"$CLAUDE_PROJECT_DIR\"";
  if (event == "SessionEnd") return program + " capture";
  return program + " checkpoint";
}

std::string HookInstaller::rememberCommandText() const {
  std::string text =
      "---\n"
      "description: Flag the recent exchange for Nodrel to remember\n"
      "allowed-tools: Bash\n"
      "---\n";
  text += rememberMDSentinel;
  text +=
      "\n\n"
      "Run the following shell command and confirm to the user in one short line:\n"
      "\n"
      "```bash\n";
  text += installedBinaryWord() + " remember-mark --cwd \"$(pwd)\" --note \"$ARGUMENTS\"\n";
  text +=
      "```\n"
      "\n"
      "After the command succeeds, tell the user: \"Noted \u2014 Nodrel will capture this when "
      "Claude finishes responding.\"\n"
      "If the command fails, tell the user: \"Could not save the marker \u2014 check that the "
      "Nodrel CLI is installed.\"";
  return text;
}

json HookInstaller::readSettingsFile() const {
  std::error_code ec;
  if (!fs::exists(settingsPath_, ec)) return json::object();
  // A FIFO or a device in the file's place is refused without blocking.
  const auto bytes = platform::readFile(settingsPath_, kMaxSettingsBytes + 1);
  if (!bytes) {
    throw HookInstallerError(Kind::settingsFileUnreadable,
                             "the file at " + settingsPath_.string() + " cannot be read");
  }
  if (bytes->size() > kMaxSettingsBytes) {
    throw HookInstallerError(Kind::settingsFileUnreadable,
                             "the file at " + settingsPath_.string() + " is larger than " +
                                 std::to_string(kMaxSettingsBytes >> 20) + " MiB");
  }
  if (nestedDeeperThan(*bytes, kMaxSettingsDepth)) {
    throw HookInstallerError(
        Kind::settingsFileMalformed,
        "nested deeper than " + std::to_string(kMaxSettingsDepth) + " levels.");
  }
  json settings = parseKeepingNumbers(*bytes, numberTag_);
  if (!settings.is_object()) {
    throw HookInstallerError(Kind::settingsFileMalformed, std::string(kTopLevelObjectExpected));
  }
  return settings;
}

json HookInstaller::loadSettings() const {
  std::error_code ec;
  if (!fs::exists(settingsPath_, ec)) {
    createDirectories(settingsPath_.parent_path());
    return json::object();
  }
  return readSettingsFile();
}

void HookInstaller::writeSettings(const json& settings) const {
  std::string bytes;
  try {
    // nlohmann::json keeps object keys in a std::map, so they come out sorted.
    bytes = restoreNumbers(settings.dump(2), numberTag_);
  } catch (const json::exception& e) {
    throw HookInstallerError(Kind::writeFailure,
                             std::string("JSON serialization error: ") + e.what());
  }
  // Editors and formatters end the file with a line break; it stays when it was there.
  const fs::path target = writeTarget(settingsPath_);
  if (const auto before = platform::readFile(target, kMaxSettingsBytes + 1);
      before && before->ends_with('\n')) {
    bytes += '\n';
  }
  try {
    platform::atomicWriteFile(target, bytes, "settings.json.nodrel-tmp");
  } catch (const platform::FileError& e) {
    throw HookInstallerError(Kind::writeFailure, e.what());
  }
}

bool HookInstaller::isManagedHook(const json& hook) const {
  if (!hook.is_object()) return false;
  if (hasTrueMarker(hook)) return true;
  const auto command = hook.find("command");
  if (command == hook.end() || !command->is_string()) return false;
  const std::string& text = command->get_ref<const std::string&>();
  return text.starts_with(installedBinaryPath_ + " ") ||
         text.starts_with(installedBinaryWord() + " ");
}

std::vector<json> HookInstaller::managedHooks(const json& settings, std::string_view event) const {
  std::vector<json> found;
  if (!settings.is_object()) return found;
  const auto hooks = settings.find("hooks");
  if (hooks == settings.end() || !hooks->is_object()) return found;
  const auto groups = hooks->find(event);
  if (groups == hooks->end() || !isArrayOfObjects(*groups)) return found;
  for (const json& group : *groups) {
    const auto inner = group.find("hooks");
    if (inner == group.end() || !isArrayOfObjects(*inner)) continue;
    for (const json& hook : *inner) {
      if (isManagedHook(hook)) found.push_back(hook);
    }
  }
  return found;
}

bool HookInstaller::hasManagedStatusLine(const json& settings) const {
  const auto it = settings.find("statusLine");
  return it != settings.end() && isManagedHook(*it);
}

bool HookInstaller::installedBinaryIsExecutable() const {
  std::error_code ec;
  return fs::is_regular_file(installedBinaryPath_, ec) &&
         ::access(installedBinaryPath_.c_str(), X_OK) == 0;
}

void HookInstaller::installHooks() const {
  json settings = loadSettings();
  // A `hooks` or event value of some other shape is the user's: rather than replace it with
  // nodrel's own and lose it, the install is refused and the file left as it is. An empty list
  // or a null holds nothing to lose, and is replaced.
  json hooks = json::object();
  if (const auto it = settings.find("hooks"); it != settings.end() && !holdsNothing(*it)) {
    if (!it->is_object()) {
      throw HookInstallerError(Kind::refused,
                               "\"hooks\" in settings.json is not an object; fix it before "
                               "enabling the hook.");
    }
    hooks = *it;
  }
  for (std::string_view event : kEvents) {
    if (!managedHooks(settings, event).empty()) continue;
    json groups = json::array();
    if (const auto it = hooks.find(event); it != hooks.end()) {
      if (!isArrayOfObjects(*it)) {
        throw HookInstallerError(Kind::refused,
                                 "\"hooks." + std::string(event) +
                                     "\" in settings.json is not a list of hook groups; fix it "
                                     "before enabling the hook.");
      }
      groups = *it;
    }
    json hook = {{"type", "command"}, {"command", commandLine(event)}};
    hook[std::string(managedMarkerKey)] = true;
    groups.push_back({{"matcher", "*"}, {"hooks", json::array({hook})}});
    hooks[std::string(event)] = groups;
  }
  settings["hooks"] = hooks;
  writeSettings(settings);
  writeRememberCommand();
}

void HookInstaller::uninstallHooks() const {
  json settings = loadSettings();
  const auto hooksIt = settings.find("hooks");
  if (!settings.empty() && hooksIt != settings.end() && hooksIt->is_object()) {
    json hooks = *hooksIt;
    for (std::string_view event : kEvents) {
      const auto eventIt = hooks.find(event);
      if (eventIt == hooks.end() || !isArrayOfObjects(*eventIt)) continue;
      json kept = json::array();
      for (const json& group : *eventIt) {
        const auto inner = group.find("hooks");
        if (group.empty() || inner == group.end() || !isArrayOfObjects(*inner)) {
          kept.push_back(group);
          continue;
        }
        json remaining = json::array();
        for (const json& hook : *inner) {
          if (!isManagedHook(hook)) remaining.push_back(hook);
        }
        if (remaining.empty()) continue;
        json shortened = group;
        shortened["hooks"] = remaining;
        kept.push_back(shortened);
      }
      if (kept.empty()) {
        hooks.erase(std::string(event));
      } else {
        hooks[std::string(event)] = kept;
      }
    }
    // Only an empty `hooks` goes: any other value left in it is the user's and is kept.
    if (hooks.empty()) {
      settings.erase("hooks");
    } else {
      settings["hooks"] = hooks;
    }
    writeSettings(settings);
  }
  removeRememberCommandIfManaged();
}

void HookInstaller::installStatusLine() const {
  json settings = loadSettings();
  const auto it = settings.find("statusLine");
  if (it != settings.end() && it->is_object() && !hasManagedStatusLine(settings)) {
    throw HookInstallerError(Kind::refused, std::string(kForeignStatusLine));
  }
  json statusLine = {{"type", "command"}, {"command", installedBinaryWord() + " statusline"}};
  statusLine[std::string(managedMarkerKey)] = true;
  settings["statusLine"] = statusLine;
  writeSettings(settings);
}

bool HookInstaller::uninstallStatusLine() const {
  json settings = loadSettings();
  if (!hasManagedStatusLine(settings)) return false;
  settings.erase("statusLine");
  writeSettings(settings);
  return true;
}

void HookInstaller::writeRememberCommand() const {
  const std::string text = rememberCommandText();
  std::error_code ec;
  if (fs::exists(rememberCommandPath_, ec)) {
    const auto existing = platform::readFile(rememberCommandPath_);
    if (!existing || !platform::isValidUtf8(*existing)) return;
    // A remember.md of the user's own is never overwritten.
    if (existing->find(rememberMDSentinel) == std::string::npos) return;
    if (*existing == text) return;
  }
  createDirectories(rememberCommandPath_.parent_path());
  try {
    platform::atomicWriteFile(writeTarget(rememberCommandPath_), text, "remember.md.nodrel-tmp");
  } catch (const platform::FileError& e) {
    throw HookInstallerError(Kind::writeFailure,
                             std::string("Could not write remember.md: ") + e.what());
  }
}

void HookInstaller::removeRememberCommandIfManaged() const {
  const auto existing = platform::readFile(rememberCommandPath_);
  if (!existing || !platform::isValidUtf8(*existing)) return;
  if (existing->find(rememberMDSentinel) == std::string::npos) return;
  std::error_code ec;
  fs::remove(rememberCommandPath_, ec);
}

}  // namespace nodrel::cli
