#include "codeintel/build_failures.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "codeintel/fragility.h"
#include "codeintel/predictive_risk.h"
#include "db/error.h"
#include "platform/time.h"
#include "platform/user_defaults.h"
#include "store/write_path.h"
#include "tests/codeintel/failure_test_support.h"
#include "tests/codeintel/fixture_text.h"
#include "tests/support/temp_home.h"

namespace nodrel::codeintel {
namespace {

const std::string kProject = "/Users/dev/Weather";

struct Row {
  std::string errorFile;
  std::optional<std::int64_t> errorLine;
  std::string errorMessage;
  std::string errorType;
  friend bool operator==(const Row&, const Row&) = default;
  friend std::ostream& operator<<(std::ostream& os, const Row& r) {
    return os << "{" << r.errorFile << ":" << (r.errorLine ? std::to_string(*r.errorLine) : "-")
              << " " << r.errorType << " \"" << r.errorMessage << "\"}";
  }
};

std::vector<Row> rowsOf(const std::vector<BuildFailure>& failures) {
  std::vector<Row> rows;
  for (const auto& f : failures)
    rows.push_back({f.errorFile, f.errorLine, f.errorMessage, f.errorType});
  return rows;
}

std::string withCrLf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

TEST(BuildOutputParser, ReadsXcodebuildOutput) {
  const auto output = testing::codeintelFixture("failures/xcodebuild_failure.txt");
  const std::optional<std::string> trigger = "Sources/App/ForecastView.swift";
  const auto failures = parseBuildOutput(output, kProject, trigger, "session-1");
  const std::vector<Row> want = {
      {"Sources/App/ForecastView.swift", 42, "cannot find 'temperatureLabel' in scope", "compile"},
      {"Sources/Model/Forecast.swift", 12,
       "type 'Forecast' does not conform to protocol 'Decodable'", "compile"},
      {"Units.swift", 3, "expected declaration", "compile"},  // outside the project
      {"LineChart.swift", 88, "value of type 'Chart' has no member 'render'", "compile"},
      // The link failure as ld, the clang driver and xcodebuild each report it.
      {"Sources/App/ForecastView.swift", std::nullopt, "symbol(s) not found for architecture arm64",
       "link"},
      {"Sources/App/ForecastView.swift", std::nullopt,
       "linker command failed with exit code 1 (use -v to see invocation)", "link"},
      {"Sources/App/ForecastView.swift", std::nullopt,
       "Undefined symbol: _OBJC_CLASS_$_WeatherService", "link"},
  };
  EXPECT_EQ(rowsOf(failures), want);
  ASSERT_FALSE(failures.empty());
  for (const auto& f : failures) {
    EXPECT_EQ(f.id, 0);
    EXPECT_EQ(f.project, kProject);
    EXPECT_EQ(f.timestamp, failures.front().timestamp);
    EXPECT_EQ(f.triggerFile, trigger);
    EXPECT_EQ(f.sessionID, "session-1");
    EXPECT_FALSE(f.resolved);
    EXPECT_FALSE(f.resolvedAt.has_value());
  }
  EXPECT_TRUE(platform::sharedTimestampFormatter().parse(failures.front().timestamp));

  // CR-LF output and a project path written with its trailing slash read the same.
  EXPECT_EQ(rowsOf(parseBuildOutput(withCrLf(output), kProject + "/", trigger, std::nullopt)),
            want);
  // Without a trigger file a bare error is filed under "unknown".
  EXPECT_EQ(parseBuildOutput(output, kProject, std::nullopt, std::nullopt).back().errorFile,
            "unknown");
}

TEST(BuildOutputParser, LineForms) {
  struct Case {
    std::string line;
    std::vector<Row> rows;
  };
  const Case cases[] = {
      {"\t  error: ld: library not found for -lz",
       {{"unknown", std::nullopt, "ld: library not found for -lz", "link"}}},
      // Build-system errors without a position are no link failures.
      {"error: no such module 'Charts'",
       {{"unknown", std::nullopt, "no such module 'Charts'", "compile"}}},
      {"error: Signing for \"Weather\" requires a development team. Select a development team in "
       "the Signing & Capabilities editor. (in target 'Weather' from project 'Weather')",
       {{"unknown", std::nullopt,
         "Signing for \"Weather\" requires a development team. Select a development team in the "
         "Signing & Capabilities editor. (in target 'Weather' from project 'Weather')",
         "compile"}}},
      {"error: Build input file cannot be found: '/Users/dev/Weather/Gone.swift'",
       {{"unknown", std::nullopt,
         "Build input file cannot be found: '/Users/dev/Weather/Gone.swift'", "compile"}}},
      {"error: linker command failed with exit code 1",
       {{"unknown", std::nullopt, "linker command failed with exit code 1", "link"}}},
      // The linkers and drivers of Apple's and GNU's toolchains, and LLVM's.
      {"ld: library not found for -lPods-Weather",
       {{"unknown", std::nullopt, "library not found for -lPods-Weather", "link"}}},
      {"ld: warning: directory not found for option '-L/opt/lib'", {}},
      {"/usr/bin/ld: cannot find -lcurl: No such file or directory",
       {{"unknown", std::nullopt, "cannot find -lcurl: No such file or directory", "link"}}},
      {"ld.lld: error: undefined symbol: forecast_fetch",
       {{"unknown", std::nullopt, "undefined symbol: forecast_fetch", "link"}}},
      {"/usr/bin/ld: /tmp/ccX.o: in function `main':", {}},
      {"/Users/dev/Weather/src/main.c:(.text+0x10): undefined reference to `missing'",
       {{"src/main.c", std::nullopt, "undefined reference to `missing'", "link"}}},
      {"collect2: error: ld returned 1 exit status",
       {{"unknown", std::nullopt, "ld returned 1 exit status", "link"}}},
      {"clang++: error: linker command failed with exit code 1 (use -v to see invocation)",
       {{"unknown", std::nullopt,
         "linker command failed with exit code 1 (use -v to see invocation)", "link"}}},
      {"clang: error: no such file or directory: 'gone.c'", {}},
      {"make: *** [Makefile:12: weather] Error 1", {}},
      {"/Users/dev/Weather/a.m:1:2: error: Undefined Symbol _x",
       {{"a.m", 1, "Undefined Symbol _x", "link"}}},
      {"/Users/dev/Weather/a.m:1:2: error: see LINKER output",
       {{"a.m", 1, "see LINKER output", "link"}}},
      {"/Users/dev/Weather/a.m:1:2: error: LD: failed", {{"a.m", 1, "LD: failed", "link"}}},
      {"/x/a.swift:99999999999999999999:1: error: huge line",
       {{"a.swift", std::nullopt, "huge line", "compile"}}},
      {"/x/a.swift:\xD9\xA3:1: error: Arabic-Indic digit",
       {{"a.swift", std::nullopt, "Arabic-Indic digit", "compile"}}},
      {"/x/a.swift:3:1: warning: unused", {}},
      {"/x/a.swift:3: error: no column", {}},
      {"   \t ", {}},
      {"", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(rowsOf(parseBuildOutput(c.line, kProject, std::nullopt, std::nullopt)), c.rows);
  }
  // Repeated lines are repeated records.
  EXPECT_EQ(parseBuildOutput("error: a\nerror: a", kProject, std::nullopt, std::nullopt).size(),
            2u);
}

TEST(BuildOutputParser, ReadsColouredClangAndLinkerOutput) {
  const auto output = testing::codeintelFixture("failures/clang_failure_color.txt");
  const std::vector<Row> want = {
      {"src/main.c", 3, "use of undeclared identifier 'temperature'", "compile"},
      {"unknown", std::nullopt, "symbol(s) not found for architecture arm64", "link"},
      {"unknown", std::nullopt, "linker command failed with exit code 1 (use -v to see invocation)",
       "link"},
  };
  EXPECT_EQ(rowsOf(parseBuildOutput(output, kProject, std::nullopt, std::nullopt)), want);
}

// As clang 14, gcc 12 and lld print it on Debian: a compile error, then one link failure
// through GNU ld (under clang and gcc) and through lld.
TEST(BuildOutputParser, ReadsRealGnuAndLlvmToolchainOutput) {
  const auto output = testing::codeintelFixture("failures/gnu_llvm_link_failure.txt");
  const std::string driverFailed =
      "linker command failed with exit code 1 (use -v to see invocation)";
  const std::vector<Row> want = {
      {"bad.c", 2, "use of undeclared identifier 'y'", "compile"},
      {"link.c", std::nullopt, "undefined reference to `missing'", "link"},
      {"unknown", std::nullopt, driverFailed, "link"},
      {"link.c", std::nullopt, "undefined reference to `missing'", "link"},
      {"unknown", std::nullopt, "ld returned 1 exit status", "link"},
      {"unknown", std::nullopt, "undefined symbol: missing", "link"},
      {"unknown", std::nullopt, driverFailed, "link"},
  };
  EXPECT_EQ(rowsOf(parseBuildOutput(output, kProject, std::nullopt, std::nullopt)), want);
}

TEST(BuildOutputParser, HostileOutput) {
  std::string output(1'500'000, 'x');
  output += ".swift:1:1: error: at the end of a long line\n";
  output += std::string(300'000, '.') + "\n\xFF\xFE error: \xC0\n";
  for (int i = 0; i < 2000; ++i) output += "/a/b" + std::to_string(i) + ".c:1:1: error: e\r\n";
  const auto failures = parseBuildOutput(output, kProject, std::nullopt, std::nullopt);
  ASSERT_EQ(failures.size(), 2001u);
  EXPECT_EQ(failures.front().errorMessage, "at the end of a long line");
  EXPECT_EQ(failures.back().errorFile, "b1999.c");
  EXPECT_EQ(failures.back().errorMessage, "e");
}

TEST(BuildOutputParser, ClassifiesAndDeduplicates) {
  EXPECT_EQ(classifyBuildError("Undefined symbol: _main"), "link");
  EXPECT_EQ(classifyBuildError("cannot find 'x' in scope"), "compile");
  EXPECT_EQ(orderedUniqueStrings({"b", "a", "b", "caf\xC3\xA9", "cafe\xCC\x81", "a"}),
            (std::vector<std::string>{"b", "a", "caf\xC3\xA9"}));
}

class BuildFailureRecording : public ::testing::Test {
 protected:
  testing::TempHome home_;
  testing::TestDatabase database_;
  store::WriteState writes_;
};

TEST_F(BuildFailureRecording, StoresRowsAndOneSummaryMemory) {
  auto& db = database_.db();
  const auto output = testing::codeintelFixture("failures/xcodebuild_failure.txt");
  const std::optional<std::string> trigger = "Sources/App/ForecastView.swift";
  const auto failures = recordBuildFailures(output, kProject, trigger, "session-1", db, writes_);
  ASSERT_EQ(failures.size(), 7u);

  const auto rows = db.query(
      "SELECT project, timestamp, trigger_file, error_file, error_line, error_message, "
      "error_type, resolved, session_id FROM build_failures ORDER BY id");
  ASSERT_EQ(rows.size(), failures.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    const auto& f = failures[i];
    EXPECT_EQ(rows[i][0], db::text(kProject));
    EXPECT_EQ(rows[i][1], db::text(f.timestamp));
    EXPECT_EQ(rows[i][2], db::text(*trigger));
    EXPECT_EQ(rows[i][3], db::text(f.errorFile));
    EXPECT_EQ(rows[i][4], f.errorLine ? db::Value(*f.errorLine) : db::Value(db::Null{}));
    EXPECT_EQ(rows[i][5], db::text(f.errorMessage));
    EXPECT_EQ(rows[i][6], db::text(f.errorType));
    EXPECT_EQ(rows[i][7], db::Value(std::int64_t{0}));
    EXPECT_EQ(rows[i][8], db::text("session-1"));
  }

  const auto memories = testing::storedMemories(db);
  ASSERT_EQ(memories.size(), 1u);
  EXPECT_EQ(memories[0].body,
            "Build failure after editing Sources/App/ForecastView.swift: 7 error(s) in "
            "Sources/App/ForecastView.swift, Sources/Model/Forecast.swift, Units.swift, "
            "LineChart.swift");
  EXPECT_EQ(memories[0].tier, "episodic");
  EXPECT_EQ(memories[0].type, "observation");
  EXPECT_EQ(memories[0].tags, "build_failure");
  EXPECT_EQ(memories[0].importance, 7);
  EXPECT_EQ(memories[0].project, kProject);
  EXPECT_EQ(memories[0].contextPath, trigger);
  EXPECT_EQ(memories[0].sourceSession, "session-1");

  // The same report again: new rows, the same memory reinforced.
  recordBuildFailures(output, kProject, trigger, "session-1", db, writes_);
  EXPECT_EQ(testing::rowCount(db, "build_failures"), 14);
  const auto again = testing::storedMemories(db);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].id, memories[0].id);
  EXPECT_EQ(again[0].accessCount, memories[0].accessCount + 1);
}

TEST_F(BuildFailureRecording, SummaryNamesTheFirstFiveDistinctFiles) {
  auto& db = database_.db();
  std::string output;
  for (const char* file : {"a", "b", "a", "c", "d", "b", "e", "f", "g", "a"}) {
    output += kProject + "/" + file + ".swift:1:1: error: broken\n";
  }
  EXPECT_EQ(recordBuildFailures(output, kProject, std::nullopt, std::nullopt, db, writes_).size(),
            10u);
  const auto memories = testing::storedMemories(db);
  ASSERT_EQ(memories.size(), 1u);
  EXPECT_EQ(memories[0].body,
            "Build failure: 10 error(s) in a.swift, b.swift, c.swift, d.swift, e.swift");
  EXPECT_FALSE(memories[0].contextPath.has_value());
  EXPECT_FALSE(memories[0].sourceSession.has_value());
}

TEST_F(BuildFailureRecording, OutputWithoutErrorsWritesNothing) {
  auto& db = database_.db();
  for (const char* name : {"failures/xcodebuild_success.txt"}) {
    EXPECT_TRUE(recordBuildFailures(testing::codeintelFixture(name), kProject, "a.swift",
                                    std::nullopt, db, writes_)
                    .empty());
  }
  EXPECT_TRUE(recordBuildFailures("", kProject, std::nullopt, std::nullopt, db, writes_).empty());
  EXPECT_EQ(testing::rowCount(db, "build_failures"), 0);
  EXPECT_EQ(testing::rowCount(db, "memories"), 0);
}

TEST_F(BuildFailureRecording, AFailedInsertIsThrownAndNoMemoryIsWritten) {
  auto& db = database_.db();
  // Refuse the third row.
  db.exec(
      "CREATE TRIGGER refuse_third BEFORE INSERT ON build_failures "
      "WHEN (SELECT COUNT(*) FROM build_failures) >= 2 BEGIN SELECT RAISE(ABORT, 'full'); END;");
  const std::string output = "error: a\nerror: b\nerror: c\nerror: d";
  EXPECT_THROW(recordBuildFailures(output, kProject, std::nullopt, std::nullopt, db, writes_),
               db::Error);
  EXPECT_EQ(testing::rowCount(db, "build_failures"), 2);
  EXPECT_EQ(testing::rowCount(db, "memories"), 0);
}

TEST_F(BuildFailureRecording, AMemoryStoreFailureStillReturnsTheRecords) {
  auto& db = database_.db();
  db.exec("DROP TABLE memories_fts;");
  const auto failures =
      recordBuildFailures("error: a", kProject, std::nullopt, std::nullopt, db, writes_);
  EXPECT_EQ(failures.size(), 1u);
  EXPECT_EQ(testing::rowCount(db, "build_failures"), 1);
}

TEST_F(BuildFailureRecording, ASummaryRefusedForCapacityIsQueuedAndTheRecordsReturned) {
  auto& db = database_.db();
  // One stored memory reaches a 1-byte active budget; a negative cold budget is always reached.
  store::MemoryWrite seed;
  seed.body = "an earlier observation";
  store::writeMemory(db, writes_, seed);
  platform::UserDefaults::set("nodrel.storage.activeBudgetBytes", 1);
  platform::UserDefaults::set("nodrel.storage.coldBudgetBytes", -1);
  const auto failures =
      recordBuildFailures("error: linker command failed", kProject, "a.swift", "s9", db, writes_);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].errorFile, "a.swift");
  EXPECT_EQ(testing::rowCount(db, "build_failures"), 1);
  EXPECT_EQ(testing::rowCount(db, "memories"), 1);

  // The refused summary waits in the queue; once room is made it is written as built.
  platform::UserDefaults::remove("nodrel.storage.activeBudgetBytes");
  platform::UserDefaults::remove("nodrel.storage.coldBudgetBytes");
  store::flushPendingWrites(db, writes_);
  const auto memories = testing::storedMemories(db);
  ASSERT_EQ(memories.size(), 2u);
  EXPECT_EQ(memories[1].body, "Build failure after editing a.swift: 1 error(s) in a.swift");
  EXPECT_EQ(memories[1].tags, "build_failure");
  EXPECT_EQ(memories[1].importance, 7);
  EXPECT_EQ(memories[1].contextPath, "a.swift");
  EXPECT_EQ(memories[1].sourceSession, "s9");
}

TEST_F(BuildFailureRecording, ShareOfRecentReportsNamingAFile) {
  auto& db = database_.db();
  const auto& formatter = platform::sharedTimestampFormatter();
  const auto now = platform::now();
  const auto at = [&](int daysAgo, int second) {
    return formatter.format(now - std::chrono::hours(24 * daysAgo) + std::chrono::seconds(second));
  };
  const auto insert = [&](const std::string& project, const std::string& file,
                          const std::string& timestamp) {
    db.run(
        "INSERT INTO build_failures (project, timestamp, error_file, error_message, "
        "error_type, resolved) VALUES (?, ?, ?, 'm', 'compile', 0)",
        {db::text(project), db::text(timestamp), db::text(file)});
  };
  const auto share = [&](const std::string& project, const std::string& file) {
    const auto shares = fetchRecentBuildFailureShares(project, db);
    const auto it = shares.find(file);
    return it == shares.end() ? 0.0 : it->second;
  };
  EXPECT_EQ(share(kProject, "a.swift"), 0.0);
  // Four reports in the window (one of them with two rows), one older report, another project.
  insert(kProject, "a.swift", at(1, 0));
  insert(kProject, "b.swift", at(1, 0));
  insert(kProject, "a.swift", at(2, 0));
  insert(kProject, "c.swift", at(3, 0));
  insert(kProject, "c.swift", at(4, 0));
  insert(kProject, "a.swift", at(40, 0));
  insert("/other", "a.swift", at(1, 0));
  EXPECT_DOUBLE_EQ(share(kProject, "a.swift"), 0.5);
  EXPECT_DOUBLE_EQ(share(kProject, "c.swift"), 0.5);
  EXPECT_DOUBLE_EQ(share(kProject, "b.swift"), 0.25);
  EXPECT_DOUBLE_EQ(share(kProject, "z.swift"), 0.0);
  EXPECT_DOUBLE_EQ(share("/none", "a.swift"), 0.0);
}

// Output of a build run from the project root names files by their path in the project, and an
// editor names the trigger by its absolute path: both must meet the file's own rows.
TEST_F(BuildFailureRecording, ProjectPathsReachTheEditedFilesPredictions) {
  auto& db = database_.db();
  testing::TempHome home;
  const std::filesystem::path root = home.path() / "proj";
  for (const char* file : {"src/bad.c", "src/edit.c", "lib/util.c", "bad.c"}) {
    std::filesystem::create_directories((root / file).parent_path());
    std::ofstream(root / file) << "int x;\n";
  }
  const std::string project = root.string();

  struct Case {
    std::string line;
    std::string file;
  };
  const Case cases[] = {
      {"src/bad.c:5:5: error: expected ';'", "src/bad.c"},
      {"./lib/util.c:2:1: error: unknown type", "lib/util.c"},
      {"bad.c:1:1: error: redefinition", "bad.c"},
      {project + "/src/bad.c:7:1: error: x", "src/bad.c"},
      // Not a file of the project (relative to some other folder, or outside it): its name only.
      {"gen/out.c:1:1: error: y", "out.c"},
      {"../other/src/bad.c:1:1: error: z", "bad.c"},
      {"/usr/include/stdio.h:1:1: error: w", "stdio.h"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const auto parsed = parseBuildOutput(c.line, project, std::nullopt, std::nullopt);
    ASSERT_EQ(parsed.size(), 1u);
    EXPECT_EQ(parsed[0].errorFile, c.file);
  }

  const auto recorded = recordBuildFailures("src/bad.c:5:5: error: expected ';'\n", project + "/",
                                            project + "/src/edit.c", std::nullopt, db, writes_);
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0].triggerFile, "src/edit.c");
  EXPECT_EQ(db.query("SELECT trigger_file, error_file FROM build_failures"),
            (std::vector<db::Row>{{db::text("src/edit.c"), db::text("src/bad.c")}}));
  const auto predictions = predictCoChanges(project, "src/edit.c", db);
  ASSERT_EQ(predictions.size(), 1u);
  EXPECT_EQ(predictions[0].file, "src/bad.c");
  // A trigger outside the project stays as given.
  EXPECT_EQ(recordBuildFailures("error: signing failed\n", project, "/elsewhere/x.c", std::nullopt,
                                db, writes_)
                .at(0)
                .triggerFile,
            "/elsewhere/x.c");
}

}  // namespace
}  // namespace nodrel::codeintel
