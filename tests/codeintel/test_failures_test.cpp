#include "codeintel/test_failures.h"

#include <gtest/gtest.h>

#include "db/error.h"
#include "platform/user_defaults.h"
#include "store/write_path.h"
#include "tests/codeintel/failure_test_support.h"
#include "tests/codeintel/fixture_text.h"

namespace nodrel::codeintel {
namespace {

struct Row {
  std::string testName;
  std::optional<std::string> testFile;
  std::optional<std::string> errorMessage;
  friend bool operator==(const Row&, const Row&) = default;
  friend std::ostream& operator<<(std::ostream& os, const Row& r) {
    return os << "{" << r.testName << " in " << r.testFile.value_or("-") << ": "
              << r.errorMessage.value_or("-") << "}";
  }
};

std::vector<Row> rowsOf(const std::vector<TestFailure>& failures) {
  std::vector<Row> rows;
  for (const auto& f : failures) rows.push_back({f.testName, f.testFile, f.errorMessage});
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

const std::string kWeb = "/Users/dev/Weather/web";
const std::string kBackend = "/Users/dev/Weather/backend";
const std::string kApp = "/Users/dev/Weather";

TEST(JestParser, ReadsAFailingRun) {
  const auto output = testing::codeintelFixture("failures/jest_failure.txt");
  const auto failures = parseJestFailures(output, kWeb, "src/Forecast.tsx", "s1");
  const std::vector<Row> want = {
      // The suite's run time after the path is not part of the file name.
      {"Forecast \xE2\x80\xBA renders the summary", "Forecast.test.tsx", std::nullopt},
      {"Forecast \xE2\x80\xBA shows a spinner while loading", "Forecast.test.tsx", std::nullopt},
      {"client \xE2\x80\xBA retries once on timeout", "src/api/client.test.ts", std::nullopt},
  };
  EXPECT_EQ(rowsOf(failures), want);
  for (const auto& f : failures) {
    EXPECT_EQ(f.framework, "jest");
    EXPECT_EQ(f.triggerFile, "src/Forecast.tsx");
    EXPECT_EQ(f.sessionID, "s1");
    EXPECT_EQ(f.project, kWeb);
    EXPECT_EQ(f.timestamp, failures.front().timestamp);
  }
  EXPECT_EQ(rowsOf(parseJestFailures(withCrLf(output), kWeb, std::nullopt, std::nullopt)), want);
  EXPECT_TRUE(parseJestFailures(testing::codeintelFixture("failures/jest_success.txt"), kWeb,
                                std::nullopt, std::nullopt)
                  .empty());
}

TEST(JestParser, LineForms) {
  struct Case {
    std::string output;
    std::vector<Row> rows;
  };
  const Case cases[] = {
      {"  \xE2\x97\x8F early", {{"early", std::nullopt, std::nullopt}}},
      {"\xE2\x97\x8F not indented", {}},
      {"   \xE2\x97\x8F three spaces", {}},
      {"FAIL a.test.js\n  \xE2\x97\x8F t\nFAIL b.test.js\n  \xE2\x97\x8F t\n  \xE2\x97\x8F u",
       {{"t", "a.test.js", std::nullopt}, {"u", "b.test.js", std::nullopt}}},
      {"FAIL  src/x.test.js (12.5s, 80 MB heap size)\n  \xE2\x97\x8F t",
       {{"t", "x.test.js", std::nullopt}}},
      {"FAIL /Users/dev/Weather/web/x (1).test.js\n  \xE2\x97\x8F t",
       {{"t", "x (1).test.js", std::nullopt}}},  // a parenthesis that is no run time
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    EXPECT_EQ(rowsOf(parseJestFailures(c.output, kWeb, std::nullopt, std::nullopt)), c.rows);
  }
}

TEST(XCTestParser, ReadsAFailingRun) {
  const auto output = testing::codeintelFixture("failures/xctest_failure.txt");
  const auto failures = parseXCTestPytestFailures(output, kApp, "xctest", std::nullopt, "s2");
  const std::vector<Row> want = {
      {"-[WeatherTests.ForecastTests testDecodesSummary]", "Tests/WeatherTests/ForecastTests.swift",
       "XCTAssertEqual failed: (\"Sunny\") is not equal to (\"Cloudy\")"},
      {"-[WeatherTests.NetworkTests testTimeout]", std::nullopt, std::nullopt},
      {"-[SharedKitTests.UnitsTests testCelsius]", "UnitsTests.swift", "XCTAssertTrue failed"},
  };
  EXPECT_EQ(rowsOf(failures), want);
  for (const auto& f : failures) EXPECT_EQ(f.framework, "xctest");
  EXPECT_EQ(rowsOf(parseXCTestPytestFailures(withCrLf(output), kApp + "/", "xctest", std::nullopt,
                                             std::nullopt)),
            want);
  EXPECT_TRUE(parseXCTestPytestFailures(testing::codeintelFixture("failures/xctest_success.txt"),
                                        kApp, "xctest", std::nullopt, std::nullopt)
                  .empty());
}

TEST(XCTestParser, AnEmptyMessageIsAbsent) {
  // Only a line that keeps its carriage return can end in " : " once trimmed.
  const auto failures =
      parseXCTestPytestFailures("/Users/dev/Weather/T.swift:3: error: -[T testA] : \r\n", kApp,
                                "xctest", std::nullopt, std::nullopt);
  EXPECT_EQ(rowsOf(failures), (std::vector<Row>{{"-[T testA]", "T.swift", std::nullopt}}));
}

TEST(PytestParser, ReadsAFailingRunAndXCTestLines) {
  const auto output = testing::codeintelFixture("failures/pytest_failure.txt");
  const auto failures =
      parseXCTestPytestFailures(output, kBackend, "pytest", std::nullopt, std::nullopt);
  const std::vector<Row> want = {
      {"test_summary", "test_forecast.py", std::nullopt},
      {"TestCelsius::test_freezing", "test_units.py", std::nullopt},
      {"test_boiling[100-212]", "tests/test_units.py", std::nullopt},
      {"test_far", "test_other.py", std::nullopt},
      {"-[WeatherTests.ForecastTests testDecodesSummary]", "ForecastTests.swift",
       "XCTAssertEqual failed"},
  };
  EXPECT_EQ(rowsOf(failures), want);
  for (const auto& f : failures) EXPECT_EQ(f.framework, "pytest");
  // Under any other framework name the pytest lines are not read.
  const auto asXCTest =
      parseXCTestPytestFailures(output, kBackend, "xctest", std::nullopt, std::nullopt);
  EXPECT_EQ(rowsOf(asXCTest), (std::vector<Row>{want.back()}));
  EXPECT_TRUE(parseXCTestPytestFailures(testing::codeintelFixture("failures/pytest_success.txt"),
                                        kBackend, "pytest", std::nullopt, std::nullopt)
                  .empty());
}

TEST(TestOutputParsers, ReadColouredOutput) {
  // As Jest 29 prints it with --colors.
  const auto jest = parseJestFailures(testing::codeintelFixture("failures/jest_failure_color.txt"),
                                      kWeb, std::nullopt, std::nullopt);
  EXPECT_EQ(rowsOf(jest), (std::vector<Row>{{"Forecast \xE2\x80\xBA renders the summary",
                                             "Forecast.test.js", std::nullopt},
                                            {"Forecast \xE2\x80\xBA shows a spinner while loading",
                                             "Forecast.test.js", std::nullopt}}));

  // As pytest 7.2 prints it with --color=yes. A parametrised id keeps its whole bracket, spaces
  // and inner brackets included.
  const auto pytest =
      parseXCTestPytestFailures(testing::codeintelFixture("failures/pytest_failure_color.txt"),
                                kBackend, "pytest", std::nullopt, std::nullopt);
  EXPECT_EQ(rowsOf(pytest),
            (std::vector<Row>{{"test_ids[a b]", "test_ids.py", std::nullopt},
                              {"test_lists[x-[1, 2]]", "test_ids.py", std::nullopt},
                              {"TestCelsius::test_freezing", "test_ids.py", std::nullopt}}));
}

TEST(PytestParser, TestNamesEndAtWhiteSpaceOutsideBrackets) {
  struct Case {
    std::string line, name;
  };
  const Case cases[] = {
      {"FAILED t.py::test_ids[a b] - assert 0", "test_ids[a b]"},
      {"FAILED t.py::test_ids[a b]", "test_ids[a b]"},
      {"FAILED t.py::TestA::test_b[ [x] y ]\tE", "TestA::test_b[ [x] y ]"},
      {"FAILED t.py::test_plain - msg [with] brackets", "test_plain"},
      {"FAILED t.py::test_cut[a b", "test_cut[a"},  // a bracket the paste never closed
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const auto failures =
        parseXCTestPytestFailures(c.line, kBackend, "pytest", std::nullopt, std::nullopt);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].testName, c.name);
  }
}

TEST(TestOutputParsers, HostileOutput) {
  std::string output = std::string(1'000'000, '-') + "[" + std::string(500'000, 'a') + "\n";
  output += "Test Case '-[" + std::string(400'000, 'b') + "\xFF]' failed\n";
  output += "FAILED " + std::string(200'000, ':') + "\n";
  output += "  \xE2\x97\x8F " + std::string(300'000, ' ') + "x\r\n\x00\n";
  const auto xctest = parseXCTestPytestFailures(output, kApp, "pytest", std::nullopt, std::nullopt);
  ASSERT_EQ(xctest.size(), 2u);
  EXPECT_EQ(xctest[0].testName, "-[" + std::string(400'000, 'b') + "\xEF\xBF\xBD]");
  const auto jest = parseJestFailures(output, kWeb, std::nullopt, std::nullopt);
  EXPECT_EQ(rowsOf(jest), (std::vector<Row>{{"x", std::nullopt, std::nullopt}}));
}

class TestFailureRecording : public ::testing::Test {
 protected:
  testing::TempHome home_;
  testing::TestDatabase database_;
  store::WriteState writes_;
};

TEST_F(TestFailureRecording, StoresRowsAndOneSummaryMemory) {
  auto& db = database_.db();
  const auto output = testing::codeintelFixture("failures/xctest_failure.txt");
  const std::optional<std::string> trigger = "Sources/Model/Forecast.swift";
  const auto failures = recordTestFailures(output, kApp, "xctest", trigger, "s2", db, writes_);
  ASSERT_EQ(failures.size(), 3u);

  const auto rows = db.query(
      "SELECT project, timestamp, test_name, test_file, trigger_file, error_message, framework, "
      "resolved, session_id FROM test_failures ORDER BY id");
  ASSERT_EQ(rows.size(), 3u);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    const auto& f = failures[i];
    EXPECT_EQ(rows[i][0], db::text(kApp));
    EXPECT_EQ(rows[i][1], db::text(f.timestamp));
    EXPECT_EQ(rows[i][2], db::text(f.testName));
    EXPECT_EQ(rows[i][3], db::optionalText(f.testFile));
    EXPECT_EQ(rows[i][4], db::text(*trigger));
    EXPECT_EQ(rows[i][5], db::optionalText(f.errorMessage));
    EXPECT_EQ(rows[i][6], db::text("xctest"));
    EXPECT_EQ(rows[i][7], db::Value(std::int64_t{0}));
    EXPECT_EQ(rows[i][8], db::text("s2"));
  }
  EXPECT_TRUE(db::isNull(rows[1][3]));
  EXPECT_TRUE(db::isNull(rows[1][5]));

  const auto memories = testing::storedMemories(db);
  ASSERT_EQ(memories.size(), 1u);
  EXPECT_EQ(
      memories[0].body,
      "Test failure after editing Sources/Model/Forecast.swift: 3 test(s) failed \xE2\x80\x94 "
      "-[WeatherTests.ForecastTests testDecodesSummary], "
      "-[WeatherTests.NetworkTests testTimeout], -[SharedKitTests.UnitsTests testCelsius]");
  EXPECT_EQ(memories[0].tier, "episodic");
  EXPECT_EQ(memories[0].type, "observation");
  EXPECT_EQ(memories[0].tags, "test_failure");
  EXPECT_EQ(memories[0].importance, 6);
  EXPECT_EQ(memories[0].contextPath, trigger);
  EXPECT_EQ(memories[0].sourceSession, "s2");

  recordTestFailures(output, kApp, "xctest", trigger, "s2", db, writes_);
  EXPECT_EQ(testing::rowCount(db, "test_failures"), 6);
  ASSERT_EQ(testing::storedMemories(db).size(), 1u);
  EXPECT_EQ(testing::storedMemories(db)[0].accessCount, memories[0].accessCount + 1);
}

TEST_F(TestFailureRecording, FrameworkNamesAndTheFirstFiveNames) {
  auto& db = database_.db();
  std::string output;
  for (int i = 1; i <= 7; ++i) output += "FAILED t.py::test_" + std::to_string(i) + "\n";
  const auto failures =
      recordTestFailures(output, kBackend, "pytest", std::nullopt, std::nullopt, db, writes_);
  ASSERT_EQ(failures.size(), 7u);
  auto memories = testing::storedMemories(db);
  ASSERT_EQ(memories.size(), 1u);
  EXPECT_EQ(memories[0].body,
            "Test failure: 7 test(s) failed \xE2\x80\x94 test_1, test_2, test_3, test_4, test_5");

  // Framework names are matched without regard to case; an unknown one is read as XCTest.
  struct Case {
    std::string given, recorded, output;
  };
  const std::string xctest = "Test Case '-[A testB]' failed (0.1 seconds).";
  const Case cases[] = {
      {"Pytest", "pytest", "FAILED t.py::test_x - assert 0"},
      {"PYTEST", "pytest", "FAILED t.py::test_y"},
      {"Jest", "jest", "FAIL a.test.js\n  \xE2\x97\x8F t1"},
      {"XCTest", "xctest", xctest},
      {"unittest", "xctest", xctest},
      {"", "xctest", xctest},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.given);
    const auto recorded =
        recordTestFailures(c.output, kApp, c.given, std::nullopt, std::nullopt, db, writes_);
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].framework, c.recorded);
  }
  EXPECT_EQ(
      db::integerOf(*db.scalar("SELECT COUNT(*) FROM test_failures WHERE framework = 'xctest'")),
      3);
  const auto jest = recordTestFailures("FAIL a.test.js\n  \xE2\x97\x8F t", kWeb, "jest",
                                       std::nullopt, std::nullopt, db, writes_);
  ASSERT_EQ(jest.size(), 1u);
  EXPECT_EQ(jest[0].framework, "jest");
}

TEST_F(TestFailureRecording, OutputWithoutFailuresWritesNothing) {
  auto& db = database_.db();
  for (const auto& [name, framework] : {std::pair{"failures/jest_success.txt", "jest"},
                                        {"failures/pytest_success.txt", "pytest"},
                                        {"failures/xctest_success.txt", "xctest"}}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(recordTestFailures(testing::codeintelFixture(name), kApp, framework, "a.swift",
                                   std::nullopt, db, writes_)
                    .empty());
  }
  EXPECT_EQ(testing::rowCount(db, "test_failures"), 0);
  EXPECT_EQ(testing::rowCount(db, "memories"), 0);
}

TEST_F(TestFailureRecording, ASummaryRefusedForCapacityIsQueuedAndTheRecordsReturned) {
  auto& db = database_.db();
  store::MemoryWrite seed;
  seed.body = "an earlier observation";
  store::writeMemory(db, writes_, seed);
  platform::UserDefaults::set("nodrel.storage.activeBudgetBytes", 1);
  platform::UserDefaults::set("nodrel.storage.coldBudgetBytes", -1);
  const auto failures = recordTestFailures("FAILED t.py::test_a", kBackend, "pytest", std::nullopt,
                                           std::nullopt, db, writes_);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(testing::rowCount(db, "test_failures"), 1);
  EXPECT_EQ(testing::rowCount(db, "memories"), 1);

  // The refused summary waits in the queue; once room is made it is written as built.
  platform::UserDefaults::remove("nodrel.storage.activeBudgetBytes");
  platform::UserDefaults::remove("nodrel.storage.coldBudgetBytes");
  store::flushPendingWrites(db, writes_);
  const auto memories = testing::storedMemories(db);
  ASSERT_EQ(memories.size(), 2u);
  EXPECT_EQ(memories[1].body, "Test failure: 1 test(s) failed \xE2\x80\x94 test_a");
  EXPECT_EQ(memories[1].tags, "test_failure");
  EXPECT_EQ(memories[1].importance, 6);
  EXPECT_FALSE(memories[1].contextPath.has_value());
}

TEST_F(TestFailureRecording, AFailedInsertIsThrownAndNoMemoryIsWritten) {
  auto& db = database_.db();
  db.exec(
      "CREATE TRIGGER refuse_second BEFORE INSERT ON test_failures "
      "WHEN (SELECT COUNT(*) FROM test_failures) >= 1 BEGIN SELECT RAISE(ABORT, 'full'); END;");
  EXPECT_THROW(recordTestFailures("FAILED a.py::t1\nFAILED a.py::t2", kBackend, "pytest",
                                  std::nullopt, std::nullopt, db, writes_),
               db::Error);
  EXPECT_EQ(testing::rowCount(db, "test_failures"), 1);
  EXPECT_EQ(testing::rowCount(db, "memories"), 0);
}

}  // namespace
}  // namespace nodrel::codeintel
