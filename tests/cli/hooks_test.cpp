// The installer as a user runs it: enable-hook, disable-hook, enable-statusline and
// disable-statusline against the settings file of a temporary HOME.
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli/hook_installer.h"
#include "platform/files.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_home.h"

namespace nodrel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class Installer : public ::testing::Test {
 protected:
  // The program the hooks run is in place, as the README's steps leave it; a test that wants it
  // missing removes it.
  void SetUp() override {
    fs::create_directories(fs::path(binary()).parent_path());
    fs::create_symlink(testing::binaryPath("cli/nodrel"), binary());
  }

  fs::path settingsPath() const { return home_.path() / ".claude/settings.json"; }
  fs::path rememberPath() const { return home_.path() / ".claude/commands/remember.md"; }
  std::string binary() const { return home_.path().string() + "/.nodrel/bin/nodrel"; }

  void writeSettings(const std::string& text) const {
    fs::create_directories(settingsPath().parent_path());
    platform::atomicWriteFile(settingsPath(), text);
  }
  std::string settingsText() const { return platform::readFile(settingsPath()).value_or(""); }
  json settings() const { return json::parse(settingsText()); }

  json managedHook(const std::string& arguments) const {
    return {
        {"type", "command"}, {"command", binary() + " " + arguments}, {"_nodrel_managed", true}};
  }
  json managedGroup(const std::string& arguments) const {
    return {{"matcher", "*"}, {"hooks", json::array({managedHook(arguments)})}};
  }

  testing::TempHome home_;
};

ino_t inodeOf(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST_F(Installer, EnableHookOnAFreshHomeWritesTheThreeHooksAndTheCommandFile) {
  auto run = testing::runNodrel({"enable-hook", "extra", "words"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(
      run.out,
      "Hook installed. Nodrel will inject context at the start of each Claude Code session.\n");
  EXPECT_EQ(run.err, "");
  const json want = {
      {"hooks",
       {{"SessionStart", json::array({managedGroup("context --cwd \"$CLAUDE_PROJECT_DIR\"")})},
        {"SessionEnd", json::array({managedGroup("capture")})},
        {"Stop", json::array({managedGroup("checkpoint")})}}}};
  EXPECT_EQ(settings(), want);
  EXPECT_EQ(settingsText(), want.dump(2));  // pretty-printed, keys sorted

  const std::string remember = platform::readFile(rememberPath()).value_or("");
  const auto lines = testing::splitLines(remember);
  ASSERT_EQ(lines.size(), 14u);
  EXPECT_EQ(lines[4], "<!-- _nodrel_managed -->");
  EXPECT_EQ(lines[8], "```bash");
  EXPECT_EQ(lines[9], binary() + " remember-mark --cwd \"$(pwd)\" --note \"$ARGUMENTS\"");
  EXPECT_EQ(lines[12],
            "After the command succeeds, tell the user: \"Noted \u2014 Nodrel will capture this "
            "when Claude finishes responding.\"");
  EXPECT_NE(remember.back(), '\n');
  EXPECT_FALSE(fs::exists(settingsPath().string() + ".nodrel-tmp"));

  // A second run adds nothing and leaves the unchanged command file alone.
  const ino_t rememberInode = inodeOf(rememberPath());
  run = testing::runNodrel({"enable-hook"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(settings(), want);
  EXPECT_EQ(inodeOf(rememberPath()), rememberInode);

  // Removing them leaves a settings file without `hooks` and no command file.
  run = testing::runNodrel({"disable-hook"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Hook removed.\n");
  EXPECT_EQ(settings(), json::object());
  EXPECT_FALSE(fs::exists(rememberPath()));
}

TEST_F(Installer, OtherToolsHooksAndSettingsSurviveEnableAndDisable) {
  const json otherStop = {{"matcher", ""},
                          {"hooks", json::array({{{"type", "command"}, {"command", "afplay x"}}})}};
  const json other = {
      {"model", "opus"},           {"permissions", {{"allow", json::array({"Bash(ls:*)"})}}},
      {"cleanupPeriodDays", 30},   {"ratio", 0.125},
      {"big", 9007199254740993LL}, {"name", "caf\u00e9 \u2603"}};
  json before = other;
  before["hooks"] = {{"Stop", json::array({otherStop})},
                     {"PreToolUse", json::array()},
                     {"SessionStart", json::array({json::object()})}};
  writeSettings(before.dump());

  auto run = testing::runNodrel({"enable-hook"});
  ASSERT_EQ(run.status, 0) << run.err;
  json after = settings();
  for (const auto& [key, value] : other.items()) EXPECT_EQ(after[key], value) << key;
  EXPECT_EQ(after["hooks"]["Stop"], json::array({otherStop, managedGroup("checkpoint")}));
  EXPECT_EQ(after["hooks"]["SessionStart"],
            json::array({json::object(), managedGroup("context --cwd \"$CLAUDE_PROJECT_DIR\"")}));
  EXPECT_EQ(after["hooks"]["PreToolUse"], json::array());

  run = testing::runNodrel({"disable-hook"});
  ASSERT_EQ(run.status, 0) << run.err;
  // Everything nodrel did not place is back as it was, the empty list under PreToolUse too.
  EXPECT_EQ(settings(), before);
}

TEST_F(Installer, HooksAreRecognisedByTheirCommandWithoutTheMarker) {
  struct Case {
    json hook;
    bool managed;
  };
  const Case cases[] = {
      {{{"type", "command"}, {"command", binary() + " checkpoint"}}, true},
      {{{"type", "command"}, {"command", binary() + " checkpoint"}, {"_nodrel_managed", false}},
       true},
      {{{"type", "command"}, {"command", "x"}, {"_nodrel_managed", true}}, true},
      {{{"type", "command"}, {"command", binary()}}, false},
      {{{"type", "command"}, {"command", "other checkpoint"}, {"_nodrel_managed", "true"}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hook.dump());
    const json group = {{"matcher", "*"}, {"hooks", json::array({c.hook})}};
    writeSettings(json{{"hooks", {{"Stop", json::array({group})}}}}.dump());
    ASSERT_EQ(testing::runNodrel({"enable-hook"}).status, 0);
    const json stop = settings()["hooks"]["Stop"];
    EXPECT_EQ(stop.size(), c.managed ? 1u : 2u);
    ASSERT_EQ(testing::runNodrel({"disable-hook"}).status, 0);
    const json left = settings();
    if (c.managed) {
      EXPECT_FALSE(left.contains("hooks"));
    } else {
      EXPECT_EQ(left["hooks"]["Stop"], json::array({group}));
    }
  }
}

TEST_F(Installer, DisableHookWithoutHooksDoesNotRewriteTheFile) {
  const std::string text = R"({"model":"opus"})";
  writeSettings(text);
  auto run = testing::runNodrel({"disable-hook"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(settingsText(), text);
}

TEST_F(Installer, ACommandFileOfTheUsersOwnIsNeverTouched) {
  fs::create_directories(rememberPath().parent_path());
  platform::atomicWriteFile(rememberPath(), "my own /remember\n");
  ASSERT_EQ(testing::runNodrel({"enable-hook"}).status, 0);
  EXPECT_EQ(platform::readFile(rememberPath()), "my own /remember\n");
  ASSERT_EQ(testing::runNodrel({"disable-hook"}).status, 0);
  EXPECT_EQ(platform::readFile(rememberPath()), "my own /remember\n");

  // An older managed file is brought up to date.
  platform::atomicWriteFile(rememberPath(), "<!-- _nodrel_managed -->\nold");
  ASSERT_EQ(testing::runNodrel({"enable-hook"}).status, 0);
  EXPECT_EQ(testing::splitLines(platform::readFile(rememberPath()).value_or("")).size(), 14u);
}

TEST_F(Installer, SettingsThatCannotBeReadOrParsedAreRefusedAndLeftAlone) {
  const std::string malformed = "settings.json is not valid JSON: Top-level object expected.";
  struct Case {
    std::string text;
  };
  const Case cases[] = {{""},         {"{\"model\": \"opus\""}, {"[1, 2]"},
                        {"\"text\""}, {"{} trailing"},          {"// comment\n{}"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    writeSettings(c.text);
    for (const std::string command :
         {"enable-hook", "disable-hook", "enable-statusline", "disable-statusline"}) {
      auto run = testing::runNodrel({command});
      EXPECT_EQ(run.status, 1) << command;
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(run.err, "nodrel " + command + ": " + malformed + "\n");
      EXPECT_EQ(settingsText(), c.text);
    }
  }
  EXPECT_FALSE(fs::exists(rememberPath()));

  fs::remove(settingsPath());
  fs::create_directories(settingsPath());  // a directory does not read
  auto run = testing::runNodrel({"enable-hook"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.err.starts_with("nodrel enable-hook: Could not read settings.json: ")) << run.err;
}

TEST_F(Installer, HookValuesOfAnotherShapeAreRefusedRatherThanReplaced) {
  for (const std::string text : {R"({"hooks": "mine"})", R"({"hooks": {"Stop": {"matcher": "*"}}})",
                                 R"({"hooks": {"SessionEnd": [{"matcher": "*"}, "note"]}})"}) {
    SCOPED_TRACE(text);
    writeSettings(text);
    auto run = testing::runNodrel({"enable-hook"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.err.starts_with("nodrel enable-hook: \"hooks")) << run.err;
    EXPECT_NE(run.err.find("\" in settings.json is not "), std::string::npos) << run.err;
    EXPECT_EQ(settingsText(), text);
    EXPECT_FALSE(fs::exists(rememberPath()));
  }
}

// A value that holds nothing of the user's is replaced rather than refused.
TEST_F(Installer, AnEmptyHooksValueIsReplaced) {
  for (const std::string text : {R"({"hooks": []})", R"({"hooks": null})"}) {
    SCOPED_TRACE(text);
    writeSettings(text);
    auto run = testing::runNodrel({"enable-hook"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(settings()["hooks"]["Stop"], json::array({managedGroup("checkpoint")}));
  }
}

// The settings come back as they were read but for nodrel's entries: numbers in their own
// spelling (a 21-digit integer, a fraction with a trailing zero, an exponent), and the final
// line break.
TEST_F(Installer, SettingsSurviveARoundTripByteForByte) {
  const std::string text =
      "{\n"
      "  \"big\": 123456789012345678901,\n"
      "  \"counts\": [\n"
      "    -0.50,\n"
      "    7,\n"
      "    18446744073709551615\n"
      "  ],\n"
      "  \"model\": \"nodrel-number-looking: 1.5\",\n"
      "  \"ratio\": 1.10,\n"
      "  \"tiny\": 1E-7\n"
      "}\n";
  writeSettings(text);
  ASSERT_EQ(testing::runNodrel({"enable-hook"}).status, 0);
  ASSERT_EQ(testing::runNodrel({"enable-statusline"}).status, 0);
  const std::string installed = settingsText();
  EXPECT_NE(installed.find("\"big\": 123456789012345678901,"), std::string::npos) << installed;
  EXPECT_TRUE(installed.ends_with("}\n"));
  EXPECT_TRUE(settings().contains("hooks"));
  ASSERT_EQ(testing::runNodrel({"disable-statusline"}).status, 0);
  ASSERT_EQ(testing::runNodrel({"disable-hook"}).status, 0);
  EXPECT_EQ(settingsText(), text);

  // Without a final line break none is added.
  const std::string bare = R"({"a": 1.0})";
  writeSettings(bare);
  ASSERT_EQ(testing::runNodrel({"enable-statusline"}).status, 0);
  ASSERT_EQ(testing::runNodrel({"disable-statusline"}).status, 0);
  EXPECT_EQ(settingsText(), "{\n  \"a\": 1.0\n}");
}

// A settings file that would hang, exhaust or blow up the reader is refused, and left as it is.
TEST_F(Installer, HostileSettingsFilesAreRefusedWithoutHangingOrGrowing) {
  const std::string unreadable = "Could not read settings.json: ";
  const std::string tooDeep = "settings.json is not valid JSON: nested deeper than 128 levels.";
  const auto nested = [](int levels) {  // an object holding levels - 1 arrays
    return "{\"a\":" + std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
  };
  struct Case {
    std::string name;
    std::function<void()> make;
    std::string refusal;  // empty: accepted
  };
  const Case cases[] = {
      {"fifo", [&] { ASSERT_EQ(::mkfifo(settingsPath().c_str(), 0600), 0); }, unreadable},
      {"link to /dev/zero", [&] { fs::create_symlink("/dev/zero", settingsPath()); }, unreadable},
      {"100,000 levels", [&] { writeSettings(nested(100000)); }, tooDeep},
      {"129 levels", [&] { writeSettings(nested(129)); }, tooDeep},
      // Brackets inside strings are text, not levels.
      {"128 levels", [&] { writeSettings(nested(128) + R"( )" + "\n"); }, ""},
      {"brackets in a string",
       [&] { writeSettings("{\"a\":\"" + std::string(300, '[') + "\\\"\"}"); }, ""},
      {"over 16 MiB", [&] { writeSettings("{\"a\":\"" + std::string(17 << 20, 'x') + "\"}"); },
       unreadable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(settingsPath().parent_path());
    fs::create_directories(settingsPath().parent_path());
    c.make();
    const auto before = fs::symlink_status(settingsPath()).type();
    const std::string text = fs::is_regular_file(settingsPath()) ? settingsText() : "";
    for (const std::string command : {"enable-hook", "disable-hook", "enable-statusline"}) {
      SCOPED_TRACE(command);
      auto run = testing::runNodrel({command});
      if (c.refusal.empty()) {
        EXPECT_EQ(run.status, 0) << run.err;
        continue;
      }
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.out, "");
      EXPECT_TRUE(run.err.starts_with("nodrel " + command + ": " + c.refusal)) << run.err;
      EXPECT_EQ(testing::splitLines(run.err).size(), 1u);
      EXPECT_EQ(fs::symlink_status(settingsPath()).type(), before);
      if (!text.empty()) {
        EXPECT_EQ(settingsText(), text);
      }
    }
    // status reads the same file for its Hook line and must still finish.
    auto status = testing::runNodrel({"status"});
    EXPECT_EQ(status.status, 0);
    EXPECT_NE(status.out.find("Hook     : not installed\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(rememberPath()) && !c.refusal.empty());
  }
}

// Followed literally, the README installs the hooks before or without the program they run.
TEST_F(Installer, EnableWarnsWhenTheProgramTheHooksRunIsMissing) {
  struct Case {
    std::string name;
    bool present;  // a file is there, but not executable
  };
  for (const Case& c : {Case{"missing", false}, Case{"not executable", true}}) {
    SCOPED_TRACE(c.name);
    fs::remove(binary());
    if (c.present) {
      platform::atomicWriteFile(binary(), "#!/bin/sh\n");
      fs::permissions(binary(), fs::perms::owner_read | fs::perms::owner_write);
    }
    for (const std::string command : {"enable-hook", "enable-statusline"}) {
      SCOPED_TRACE(command);
      auto run = testing::runNodrel({command});
      EXPECT_EQ(run.status, 1);
      EXPECT_TRUE(
          run.out.ends_with("installed. Nodrel will " +
                            std::string(command == "enable-hook" ? "inject context at the "
                                                                   "start of each Claude "
                                                                   "Code session.\n"
                                                                 : "display a live indicator "
                                                                   "in Claude Code.\n")))
          << run.out;
      const std::string want = "nodrel " + command + ": warning: " + binary() +
                               ", the program Claude Code will run, is missing or not "
                               "executable; install it with: install -D " +
                               fs::canonical(testing::binaryPath("cli/nodrel")).string() + " " +
                               binary() + "\n";
      EXPECT_EQ(run.err, want);
    }
    // The entries are in place all the same.
    EXPECT_EQ(settings()["hooks"].size(), 3u);
    EXPECT_TRUE(settings().contains("statusLine"));
  }
}

// The host rewrites settings.json and drops the keys it does not know, the marker among them.
TEST_F(Installer, EntriesAreStillOursWhenTheHostDropsTheMarker) {
  const std::string other = R"({"matcher":"","hooks":[{"type":"command","command":"afplay x"}]})";
  writeSettings(R"({"hooks":{"Stop":[)" + other + "]}}");
  ASSERT_EQ(testing::runNodrel({"enable-hook"}).status, 0);
  ASSERT_EQ(testing::runNodrel({"enable-statusline"}).status, 0);
  const std::function<void(json&)> strip = [&](json& value) {
    if (value.is_object()) value.erase("_nodrel_managed");
    if (!value.is_structured()) return;
    for (json& inner : value) strip(inner);
  };
  const auto stripMarkers = [&] {
    json stripped = settings();
    strip(stripped);
    writeSettings(stripped.dump(2));
    ASSERT_EQ(settingsText().find("_nodrel_managed"), std::string::npos);
  };
  stripMarkers();

  // Enabling again recognises the entries by their command: nothing is doubled or refused.
  auto run = testing::runNodrel({"enable-hook"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(settings()["hooks"]["Stop"].size(), 2u);
  run = testing::runNodrel({"enable-statusline"});
  EXPECT_EQ(run.status, 0) << run.err;
  stripMarkers();

  run = testing::runNodrel({"disable-statusline"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Statusline removed.\n");
  EXPECT_FALSE(settings().contains("statusLine"));
  run = testing::runNodrel({"disable-hook"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(settings(), json::parse(R"({"hooks":{"Stop":[)" + other + "]}}"));
}

TEST_F(Installer, WriteFailuresAreReportedAndLoseNothing) {
  // A directory in the temporary file's place makes the write fail.
  const std::string text = R"({"model": "opus"})";
  writeSettings(text);
  fs::create_directories(settingsPath().string() + ".nodrel-tmp/x");
  auto run = testing::runNodrel({"enable-statusline"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(run.err.starts_with("nodrel enable-statusline: Could not write settings.json: "))
      << run.err;
  EXPECT_EQ(settingsText(), text);
  fs::remove_all(settingsPath().string() + ".nodrel-tmp");

  // The hooks are in place even when the command file cannot be written, and the run says so.
  fs::create_directories(rememberPath().string() + ".nodrel-tmp/x");
  run = testing::runNodrel({"enable-hook"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(
      run.err.starts_with("nodrel enable-hook: Could not write settings.json: Could not "
                          "write remember.md: "))
      << run.err;
  EXPECT_EQ(settings()["hooks"].size(), 3u);
  EXPECT_EQ(settings()["model"], "opus");
  EXPECT_FALSE(fs::exists(rememberPath()));
}

TEST_F(Installer, ALinkedSettingsFileStaysALink) {
  const fs::path kept = home_.path() / "dotfiles/claude-settings.json";
  fs::create_directories(kept.parent_path());
  platform::atomicWriteFile(kept, R"({"model":"opus"})");
  fs::create_directories(settingsPath().parent_path());
  fs::create_symlink(kept, settingsPath());
  ASSERT_EQ(testing::runNodrel({"enable-statusline"}).status, 0);
  EXPECT_TRUE(fs::is_symlink(settingsPath()));
  EXPECT_TRUE(json::parse(platform::readFile(kept).value_or("")).contains("statusLine"));
}

TEST_F(Installer, StatusLine) {
  const json managed = {
      {"type", "command"}, {"command", binary() + " statusline"}, {"_nodrel_managed", true}};
  auto run = testing::runNodrel({"enable-statusline"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "Statusline installed. Nodrel will display a live indicator in Claude Code.\n");
  EXPECT_EQ(settings(), (json{{"statusLine", managed}}));

  run = testing::runNodrel({"disable-statusline"});
  EXPECT_EQ(run.out, "Statusline removed.\n");
  EXPECT_EQ(settings(), json::object());
  run = testing::runNodrel({"disable-statusline"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "No Nodrel statusline to remove.\n");

  // Someone else's status line stays, and so does the file.
  const std::string foreign = R"({"statusLine": {"type": "command", "command": "starship"}})";
  writeSettings(foreign);
  run = testing::runNodrel({"enable-statusline"});
  EXPECT_EQ(run.status, 1);
  // The file is valid JSON, and the refusal does not say otherwise.
  EXPECT_EQ(run.err,
            "nodrel enable-statusline: A statusLine entry already exists and was not placed by "
            "Nodrel. Remove it manually before enabling the Nodrel statusline.\n");
  run = testing::runNodrel({"disable-statusline"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "No Nodrel statusline to remove.\n");
  EXPECT_EQ(settingsText(), foreign);

  // A status line that is not an object is replaced; other keys stay.
  writeSettings(R"({"statusLine": "old", "theme": "dark"})");
  ASSERT_EQ(testing::runNodrel({"enable-statusline"}).status, 0);
  EXPECT_EQ(settings(), (json{{"statusLine", managed}, {"theme", "dark"}}));
}

}  // namespace
}  // namespace nodrel

namespace nodrel {
namespace {

// The hooks run through a shell, so a home whose path holds a space or a quote must still name
// one program; a plain home keeps the plain path.
TEST(InstallerCommands, TheProgramIsOneShellWordWhateverTheHome) {
  EXPECT_EQ(cli::HookInstaller("/home/ann").commandLine("SessionEnd"),
            "/home/ann/.nodrel/bin/nodrel capture");
  const cli::HookInstaller odd("/home/o'neil smith");
  EXPECT_EQ(odd.commandLine("Stop"), "'/home/o'\\''neil smith/.nodrel/bin/nodrel' checkpoint");
  EXPECT_TRUE(odd.isManagedHook({{"type", "command"}, {"command", odd.commandLine("Stop")}}));

  // Run as the host would: the installed program prints its version through `sh -c`.
  testing::TempHome scratch;
  const fs::path home = scratch.path() / "o'neil smith";
  const cli::HookInstaller installer(home);
  fs::create_directories(fs::path(installer.installedBinaryPath()).parent_path());
  fs::copy_file(testing::binaryPath("cli/nodrel"), installer.installedBinaryPath());
  const std::string command = installer.installedBinaryWord() + " --version";
  auto run = testing::runProgram("/bin/sh", {"-c", command}, "");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "nodrel 0.1.0\n");
}

}  // namespace
}  // namespace nodrel
