#include "platform/user_defaults.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "tests/support/temp_home.h"

namespace nodrel::platform {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Built by appending: GCC 12 warns falsely (-Wrestrict) on "literal" + std::string in Release.
std::string numbered(std::string prefix, int i) {
  prefix += std::to_string(i);
  return prefix;
}

void writeDefaults(const std::string& text) {
  fs::create_directories(UserDefaults::filePath().parent_path());
  std::ofstream(UserDefaults::filePath(), std::ios::binary) << text;
}

TEST(UserDefaults, FileLocation) {
  testing::TempHome home;
  EXPECT_EQ(UserDefaults::filePath(), home.path() / ".config/Nodrel/defaults.json");
  setenv("XDG_CONFIG_HOME", (home.path() / "cfg").c_str(), 1);
  EXPECT_EQ(UserDefaults::filePath(), home.path() / "cfg/Nodrel/defaults.json");
}

TEST(UserDefaults, MissingFileOrKeyIsAbsent) {
  testing::TempHome home;
  EXPECT_FALSE(UserDefaults::value("k"));
  EXPECT_FALSE(UserDefaults::integerForKey("k"));
  writeDefaults(R"({"other": 1})");
  EXPECT_FALSE(UserDefaults::stringForKey("k"));
}

TEST(UserDefaults, ReadAsRules) {
  testing::TempHome home;
  writeDefaults(R"({
    "int": 1048576, "negative": -5, "float_integral": 5.0, "fraction": 5.5,
    "string_number": "1048576", "huge": 18446744073709551615, "big_float": 1e300,
    "text": "off", "flag": true, "zero": 0, "null": null, "list": [1]
  })");
  struct Case {
    const char* key;
    std::optional<std::int64_t> integer;
    std::optional<double> real;
    std::optional<std::string> text;
    std::optional<bool> flag;
  };
  const Case cases[] = {
      {"int", 1048576, 1048576.0, {}, {}},
      {"negative", -5, -5.0, {}, {}},
      {"float_integral", 5, 5.0, {}, {}},
      {"fraction", {}, 5.5, {}, {}},
      {"string_number", {}, {}, "1048576", {}},
      {"huge", {}, 18446744073709551615.0, {}, {}},
      {"big_float", {}, 1e300, {}, {}},
      {"text", {}, {}, "off", {}},
      {"flag", {}, {}, {}, true},
      {"zero", 0, 0.0, {}, {}},  // 0 is not a flag
      {"null", {}, {}, {}, {}},
      {"list", {}, {}, {}, {}},
      {"absent", {}, {}, {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(UserDefaults::integerForKey(c.key), c.integer);
    EXPECT_EQ(UserDefaults::doubleForKey(c.key), c.real);
    EXPECT_EQ(UserDefaults::stringForKey(c.key), c.text);
    EXPECT_EQ(UserDefaults::boolForKey(c.key), c.flag);
  }
  EXPECT_EQ(UserDefaults::value("list"), json::array({1}));
}

TEST(UserDefaults, EveryReadRereadsTheFile) {
  testing::TempHome home;
  writeDefaults(R"({"k": 1})");
  EXPECT_EQ(UserDefaults::integerForKey("k"), 1);
  writeDefaults(R"({"k": 2})");
  EXPECT_EQ(UserDefaults::integerForKey("k"), 2);
  fs::remove(UserDefaults::filePath());
  EXPECT_FALSE(UserDefaults::integerForKey("k"));
}

TEST(UserDefaults, SetAndRemoveKeepOtherKeysAndTypes) {
  testing::TempHome home;
  UserDefaults::set("a", 7);
  UserDefaults::set("b", "text");
  UserDefaults::set("c", true);
  UserDefaults::set("a", 8);
  EXPECT_EQ(UserDefaults::integerForKey("a"), 8);
  EXPECT_EQ(UserDefaults::stringForKey("b"), "text");
  EXPECT_EQ(UserDefaults::boolForKey("c"), true);
  UserDefaults::remove("b");
  UserDefaults::remove("never-there");
  EXPECT_FALSE(UserDefaults::value("b"));
  auto stored = json::parse(*readFile(UserDefaults::filePath()));
  EXPECT_EQ(stored, (json{{"a", 8}, {"c", true}}));
  // Removing from a missing file creates nothing worth reading.
  fs::remove(UserDefaults::filePath());
  UserDefaults::remove("a");
  EXPECT_FALSE(UserDefaults::value("a"));
}

TEST(UserDefaults, UnparsableFileReadsEmptyAndIsNeverOverwritten) {
  testing::TempHome home;
  const std::string cases[] = {"{not json", "[1, 2]", "\"just a string\"", "{\"a\": 1} extra",
                               std::string("{\"a\": \"\xff\"}")};
  for (const auto& text : cases) {
    SCOPED_TRACE(text);
    writeDefaults(text);
    EXPECT_FALSE(UserDefaults::value("a"));
    try {
      UserDefaults::set("a", 1);
      ADD_FAILURE() << "set overwrote a file it could not read";
    } catch (const DefaultsError& e) {
      EXPECT_NE(std::string(e.what()).find(UserDefaults::filePath().string()), std::string::npos)
          << e.what();
    }
    EXPECT_THROW(UserDefaults::remove("a"), DefaultsError);
    EXPECT_EQ(readFile(UserDefaults::filePath()), text);
  }
  // An empty file holds nothing to lose.
  writeDefaults("  \n");
  UserDefaults::set("a", 1);
  EXPECT_EQ(UserDefaults::integerForKey("a"), 1);
}

TEST(UserDefaults, InvalidUtf8ValueIsStoredRepaired) {
  testing::TempHome home;
  UserDefaults::set("bad", std::string("a\xff"));
  EXPECT_EQ(UserDefaults::stringForKey("bad"), "a\xEF\xBF\xBD");
}

TEST(UserDefaults, ConcurrentWritersOfDifferentKeysLoseNeither) {
  testing::TempHome home;
  constexpr int kWrites = 40;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int status = 0;
    try {
      for (int i = 0; i < kWrites; ++i) UserDefaults::set(numbered("child.", i), i);
    } catch (...) {
      status = 1;
    }
    _exit(status);
  }
  for (int i = 0; i < kWrites; ++i) UserDefaults::set(numbered("parent.", i), i);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  for (int i = 0; i < kWrites; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(UserDefaults::integerForKey(numbered("child.", i)), i);
    EXPECT_EQ(UserDefaults::integerForKey(numbered("parent.", i)), i);
  }
}

}  // namespace
}  // namespace nodrel::platform
