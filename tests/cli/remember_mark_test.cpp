// `nodrel remember-mark` as the /remember slash command runs it: one marker file per call.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/files.h"
#include "platform/time.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_home.h"

namespace nodrel {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> markers(const testing::TempHome& home) {
  std::vector<fs::path> files;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(home.dataDirectory() / "checkpoints", error)) {
    files.push_back(entry.path());
  }
  return files;
}

// The marker named in the confirmation, parsed.
nlohmann::json savedMarker(const testing::TempHome& home, const testing::ProgramRun& run,
                           std::string* name = nullptr) {
  static const std::regex kConfirmation(
      "Marker saved \\(([0-9]{13}-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[0-9A-F]{4}-[0-9A-F]{12}"
      "\\.json)\\)\\. Nodrel will capture the context when Claude finishes responding\\.\n");
  std::smatch match;
  EXPECT_TRUE(std::regex_match(run.out, match, kConfirmation)) << run.out;
  if (match.empty()) return nullptr;
  if (name) *name = match[1];
  auto text = platform::readFile(home.dataDirectory() / "checkpoints" / match[1].str());
  EXPECT_TRUE(text.has_value());
  return text ? nlohmann::json::parse(*text) : nullptr;
}

TEST(RememberMark, WritesMarkerWithLastCwdAndUntouchedNote) {
  testing::TempHome home;
  ASSERT_FALSE(fs::exists(home.dataDirectory() / "checkpoints"));
  const std::string note = "  keep this\n exactly \n";
  auto run = testing::runNodrel({"remember-mark", "--cwd", "/a", "--cwd", "/b", "--note", note});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  std::string first;
  const auto marker = savedMarker(home, run, &first);
  EXPECT_EQ(marker,
            (nlohmann::json{
                {"cwd", "/b"}, {"note", note}, {"created_at", marker.value("created_at", "")}}));
  EXPECT_TRUE(platform::sharedTimestampFormatter().parse(marker.value("created_at", "")));

  // Another marker straight after gets its own file.
  auto again = testing::runNodrel({"remember-mark", "--cwd", "/b", "--note", ""});
  ASSERT_EQ(again.status, 0) << again.err;
  std::string second;
  const auto withoutNote = savedMarker(home, again, &second);
  EXPECT_NE(first, second);
  EXPECT_EQ(withoutNote.size(), 2u);
  EXPECT_EQ(withoutNote.value("cwd", ""), "/b");
  EXPECT_TRUE(withoutNote.contains("created_at"));
  EXPECT_EQ(markers(home).size(), 2u);
}

// No memory holds more than the tools' 5,000 characters, so neither does a note.
TEST(RememberMark, CutsANoteLongerThanABody) {
  testing::TempHome home;
  const std::string note(20'000, 'n');
  auto run = testing::runNodrel({"remember-mark", "--cwd", "/a", "--note", note});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(savedMarker(home, run).value("note", ""), std::string(4999, 'n') + "\u2026");
}

TEST(RememberMark, RefusesIncompleteArgumentsAndWritesNothing) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{}, "--cwd <path> is required"},
      {{"--note", "x"}, "--cwd <path> is required"},
      {{"--cwd", ""}, "--cwd <path> is required"},
      {{"--note", "--cwd"}, "--cwd <path> is required"},
      {{"--cwd"}, "--cwd requires a value"},
      {{"--cwd", "/p", "--note"}, "--note requires a value"},
      {{"--note", "x", "--cwd"}, "--cwd requires a value"},
  };
  testing::TempHome home;
  for (const auto& c : cases) {
    std::vector<std::string> args = {"remember-mark"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(::testing::PrintToString(args));
    auto run = testing::runNodrel(args);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "nodrel remember-mark: " + c.err + "\n");
  }
  EXPECT_TRUE(markers(home).empty());
}

TEST(RememberMark, ReportsAFolderItCannotWriteTo) {
  testing::TempHome home;
  fs::create_directories(home.dataDirectory());
  std::ofstream(home.dataDirectory() / "checkpoints") << "not a folder";
  auto run = testing::runNodrel({"remember-mark", "--cwd", "/p"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("nodrel remember-mark: could not write marker: ", 0), 0u) << run.err;
  EXPECT_EQ(run.err.back(), '\n');
}

}  // namespace
}  // namespace nodrel
