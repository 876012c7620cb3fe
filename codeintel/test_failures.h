// codeintel/test_failures.h: pasted XCTest, Jest and pytest output turned into TestFailure
// records, stored in `test_failures` with one summary memory per report, and the failures that
// followed an edit of a file (for predictions).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codeintel/report_records.h"
#include "db/connection.h"
#include "store/write_state.h"

namespace nodrel::codeintel {

// Both parsers read the output with its terminal colour sequences removed.
//
// Jest: "FAIL <file>" suite headers set the file of the "  ● <test>" headers below them.
// Each test name is recorded once per call. Pure and never fails.
std::vector<TestFailure> parseJestFailures(std::string_view output, const std::string& project,
                                           const std::optional<std::string>& triggerFile,
                                           const std::optional<std::string>& sessionID);

// XCTest failure and case-summary lines, and pytest "FAILED file::test" lines when
// `framework` is exactly "pytest"; a parametrised pytest id keeps its whole bracket
// ("test_ids[a b]"). Records carry `framework`; each test name once per call.
std::vector<TestFailure> parseXCTestPytestFailures(std::string_view output,
                                                   const std::string& project,
                                                   const std::string& framework,
                                                   const std::optional<std::string>& triggerFile,
                                                   const std::optional<std::string>& sessionID);

// The framework is matched without regard to case ("Pytest" is pytest) and recorded in lower
// case; a name other than "xctest", "jest" or "pytest" is read as "xctest". Parses, keys the
// rows by the project's key (normaliseProjectPath, as its code files have),
// inserts one row per record (no transaction) and writes the summary memory, whose failures
// of any kind are dropped. Returns the parsed records; nothing is written when none are found.
// Throws db::Error when an insert fails (earlier rows stay, no memory is written).
std::vector<TestFailure> recordTestFailures(std::string_view output, const std::string& project,
                                            const std::string& framework,
                                            const std::optional<std::string>& triggerFile,
                                            const std::optional<std::string>& sessionID,
                                            db::Connection& connection, store::WriteState& state);

// The project's rows whose trigger file is `triggerFile`; 0 when the count is not an integer.
// Throws db::Error.
std::int64_t countTestFailuresTriggeredBy(const std::string& project,
                                          const std::string& triggerFile, db::Connection& db);

struct TestFailureCount {
  std::string test;  // the test file, or the test's name when the row has no file
  std::int64_t count = 0;
  friend bool operator==(const TestFailureCount&, const TestFailureCount&) = default;
};

// Those rows counted per test (file, else name), in database order; a group whose key is not
// text is left out. Throws db::Error.
std::vector<TestFailureCount> countTestFailuresByTest(const std::string& project,
                                                      const std::string& triggerFile,
                                                      db::Connection& db);

}  // namespace nodrel::codeintel
