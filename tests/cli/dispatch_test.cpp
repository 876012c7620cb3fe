// `nodrel` as a user runs it: help, version and unknown subcommands.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli/dispatch.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_home.h"

namespace nodrel {
namespace {

TEST(Dispatch, UsageTextIsTheSixtySixLines) {
  const std::string& usage = cli::usageText();
  EXPECT_EQ(testing::splitLines(usage).size(), 66u);
  EXPECT_EQ(usage.size(), 2628u);
  // What checkpoint, remember-mark and snapshot save do, as they do it.
  for (const char* wrong : {"< 50ms", "at session end", "~/.nodrel/nodrel.db"}) {
    EXPECT_EQ(usage.find(wrong), std::string::npos) << wrong;
  }
  EXPECT_EQ(usage.rfind("nodrel 0.1.0 \u2014 Nodrel knowledge-layer CLI\n\nUSAGE\n", 0), 0u);
  EXPECT_EQ(usage.substr(usage.size() - 41), "  --version, -v  Print version and exit.\n");
}

TEST(Dispatch, HelpVersionAndUnknownSubcommands) {
  testing::TempHome home;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"--help"}, {"-h"}, {"-h", "extra"}}) {
    auto run = testing::runNodrel(args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, cli::usageText());
    EXPECT_EQ(run.err, "");
  }
  for (const char* flag : {"-v", "--version"}) {
    auto run = testing::runNodrel({flag});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "nodrel 0.1.0\n");
  }
  for (const std::string& word : {std::string("Status"), std::string(""), std::string("--cwd")}) {
    auto run = testing::runNodrel({word, "/tmp"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "nodrel: unknown subcommand '" + word + "'\nRun 'nodrel --help' for usage.\n");
  }
}

// Asking a subcommand for help prints the help and does none of its work: the settings file
// stays byte for byte, nothing is created in the data directory, standard input is not waited on.
TEST(Dispatch, HelpAfterASubcommandChangesNothing) {
  testing::TempHome home;
  const std::filesystem::path settings = home.path() / ".claude/settings.json";
  std::filesystem::create_directories(settings.parent_path());
  const std::string settingsText = "{\"hooks\": {}, \"model\": \"opus\"}\n";
  std::ofstream(settings) << settingsText;
  const std::vector<std::vector<std::string>> commands = {
      {"enable-hook", "--help"},
      {"disable-hook", "-h"},
      {"enable-statusline", "--help"},
      {"disable-statusline", "extra", "-h"},
      {"context", "--cwd", "/p", "-h"},
      {"capture", "--help"},
      {"checkpoint", "-h"},
      {"remember-mark", "--cwd", "/p", "--help"},
      {"status", "--help"},
      {"statusline", "--help"},
      {"snapshot", "save", "--help"},
      {"ingest", "--help", "--path", "/p"}};
  for (const auto& args : commands) {
    SCOPED_TRACE(::testing::PrintToString(args));
    auto run = testing::runNodrel(args, "{\"session_id\":\"S\",\"transcript_path\":\"/t\"}");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, cli::usageText());
    EXPECT_EQ(run.err, "");
  }
  std::ifstream in(settings);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), settingsText);
  EXPECT_FALSE(std::filesystem::exists(home.dataDirectory()));
  EXPECT_FALSE(std::filesystem::exists(home.path() / ".claude/commands"));

  // The value of an option may be spelt like the help option: it is a value, not a request.
  auto run = testing::runNodrel({"ingest", "--path", "--help"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "nodrel: directory not found: --help\n");
}

}  // namespace
}  // namespace nodrel
