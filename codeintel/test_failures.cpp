#include "codeintel/test_failures.h"

#include <unordered_set>

#include "codeintel/failure_summary.h"
#include "codeintel/line_text.h"
#include "codeintel/parsers/line_matching.h"
#include "codeintel/terminal_text.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/time.h"

namespace nodrel::codeintel {
namespace {

constexpr std::string_view kInsertTestFailure = R"sql(INSERT INTO test_failures
    (project, timestamp, test_name, test_file, trigger_file,
     error_message, framework, resolved, session_id)
VALUES (?, ?, ?, ?, ?, ?, ?, 0, ?))sql";

constexpr std::string_view kCountFailuresTriggeredBy = R"sql(SELECT COUNT(*)
FROM test_failures
WHERE project = ? AND trigger_file = ?)sql";

constexpr std::string_view kCountFailuresByTest =
    R"sql(SELECT COALESCE(test_file, test_name), COUNT(*) AS fail_count
FROM test_failures
WHERE project = ? AND trigger_file = ?
GROUP BY COALESCE(test_file, test_name))sql";

constexpr std::size_t kSummaryNameLimit = 5;
constexpr std::int64_t kSummaryImportance = 6;
constexpr std::string_view kConsoleHeader = "Console";

struct JestPatterns {
  parsers::LinePattern suite{R"re(^FAIL (.+)$)re", 0, {"FAIL "}};
  parsers::LinePattern test{"^  \xE2\x97\x8F (.+)$", 0, {"\xE2\x97\x8F"}};
  // Jest appends the run time of a slow suite (and its heap size) to the header:
  // "FAIL src/a.test.js (5.123 s)" or "(5.1s, 45 MB heap size)". It is not part of the path.
  parsers::LinePattern suiteDetail{R"re(\s+\(\d+(?:\.\d+)?\s?m?s(?:,[^()]*)?\)$)re", 0, {")"}};
};

struct XCTestPytestPatterns {
  parsers::LinePattern xctestFailure{
      R"re(^(.+\.[a-zA-Z]+):(\d+): error: (-\[.+?\]) : (.*)$)re", 0, {": error: -["}};
  parsers::LinePattern xctestSummary{R"re(Test Case '(-\[.+?\])' failed)re", 0, {"Test Case '-["}};
  // The name is taken by pytestTestName, which keeps a parametrised id's bracket whole.
  parsers::LinePattern pytestSummary{R"re(FAILED (.+?)::(\S.*)$)re", 0, {"FAILED "}};
};

// The records of one parse: one per test name, in line order.
class FailureList {
 public:
  FailureList(const std::string& project, std::string timestamp, std::string framework,
              const std::optional<std::string>& triggerFile,
              const std::optional<std::string>& sessionID)
      : project_(project),
        timestamp_(std::move(timestamp)),
        framework_(std::move(framework)),
        triggerFile_(triggerFile),
        sessionID_(sessionID) {}

  void add(std::string testName, std::optional<std::string> testFile,
           std::optional<std::string> errorMessage) {
    if (!names_.insert(testName).second) return;
    TestFailure f;
    f.project = project_;
    f.timestamp = timestamp_;
    f.testName = std::move(testName);
    f.testFile = std::move(testFile);
    f.triggerFile = triggerFile_;
    f.errorMessage = std::move(errorMessage);
    f.framework = framework_;
    f.sessionID = sessionID_;
    failures_.push_back(std::move(f));
  }

  std::vector<TestFailure> take() { return std::move(failures_); }

 private:
  const std::string& project_;
  std::string timestamp_;
  std::string framework_;
  const std::optional<std::string>& triggerFile_;
  const std::optional<std::string>& sessionID_;
  std::unordered_set<std::string> names_;
  std::vector<TestFailure> failures_;
};

// Pasted text may hold anything; repaired text keeps every record valid UTF-8. Coloured
// output holds escape sequences between the words the patterns look for.
std::string_view plainText(std::string_view output, std::string& storage) {
  storage = platform::isValidUtf8(output) ? stripTerminalEscapes(output)
                                          : stripTerminalEscapes(platform::repairUtf8(output));
  return storage;
}

// The test name at the start of what follows "::" in a summary line: up to the first white
// space outside brackets, so "test_ids[a b] - assert 0" gives "test_ids[a b]" and
// "TestApi::test_get" stays class-qualified. A bracket the line never closes (a cut paste)
// gives the name up to the first white space.
std::string pytestTestName(std::string_view rest) {
  std::size_t depth = 0;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    const char c = rest[i];
    if (c == '[') ++depth;
    if (c == ']' && depth > 0) --depth;
    if ((c == ' ' || c == '\t') && depth == 0) return std::string(rest.substr(0, i));
  }
  if (depth == 0) return std::string(rest);
  const std::size_t space = rest.find_first_of(" \t");
  return std::string(rest.substr(0, space));
}

}  // namespace

std::vector<TestFailure> parseJestFailures(std::string_view output, const std::string& project,
                                           const std::optional<std::string>& triggerFile,
                                           const std::optional<std::string>& sessionID) {
  FailureList list(project, platform::currentTimestampText(), "jest", triggerFile, sessionID);
  thread_local const JestPatterns patterns;
  if (!patterns.suite.valid() || !patterns.test.valid() || !patterns.suiteDetail.valid()) {
    return {};
  }
  std::string storage;
  std::optional<std::string> currentFile;
  for (const auto line : splitAtLineFeeds(plainText(output, storage))) {
    const auto trimmed = trimHorizontalWhitespace(line);
    if (trimmed.empty()) continue;
    if (auto suite = patterns.suite.firstMatch(trimmed)) {
      const std::string captured = suite->group(1).value_or("");
      std::string_view path = trimHorizontalWhitespace(captured);
      if (auto detail = patterns.suiteDetail.firstMatch(path)) {
        path = trimHorizontalWhitespace(path.substr(0, path.size() - detail->text.size()));
      }
      currentFile = projectFileName(path, project);
    } else if (auto test = patterns.test.firstMatch(line)) {
      // The header is matched before trimming: its two-space indent is what marks it.
      std::string name(trimHorizontalWhitespace(test->group(1).value_or("")));
      // Jest heads the console output of a suite, passing or not, with "  ● Console".
      if (name.empty() || name == kConsoleHeader) continue;
      list.add(std::move(name), currentFile, std::nullopt);
    }
  }
  return list.take();
}

std::vector<TestFailure> parseXCTestPytestFailures(std::string_view output,
                                                   const std::string& project,
                                                   const std::string& framework,
                                                   const std::optional<std::string>& triggerFile,
                                                   const std::optional<std::string>& sessionID) {
  FailureList list(project, platform::currentTimestampText(), framework, triggerFile, sessionID);
  thread_local const XCTestPytestPatterns patterns;
  if (!patterns.xctestFailure.valid() || !patterns.xctestSummary.valid() ||
      !patterns.pytestSummary.valid()) {
    return {};
  }
  const bool readPytest = framework == "pytest";
  std::string storage;
  for (const auto line : splitAtLineFeeds(plainText(output, storage))) {
    const auto trimmed = trimHorizontalWhitespace(line);
    if (trimmed.empty()) continue;
    if (auto m = patterns.xctestFailure.firstMatch(trimmed)) {
      auto message = m->group(4).value_or("");
      list.add(m->group(3).value_or(""), projectFileName(m->group(1).value_or(""), project),
               message.empty() ? std::nullopt : std::optional<std::string>(std::move(message)));
    } else if (auto summary = patterns.xctestSummary.firstMatch(trimmed)) {
      list.add(summary->group(1).value_or(""), std::nullopt, std::nullopt);
    } else if (readPytest) {
      if (auto p = patterns.pytestSummary.firstMatch(trimmed)) {
        list.add(pytestTestName(p->group(2).value_or("")),
                 projectFileName(p->group(1).value_or(""), project), std::nullopt);
      }
    }
  }
  return list.take();
}

std::vector<TestFailure> recordTestFailures(std::string_view output, const std::string& project,
                                            const std::string& framework,
                                            const std::optional<std::string>& triggerFile,
                                            const std::optional<std::string>& sessionID,
                                            db::Connection& connection, store::WriteState& state) {
  // "Pytest" and "JEST" name the same runners; only the three names are known.
  const std::string lower = platform::lowercase(framework);
  const std::string known = lower == "jest" || lower == "pytest" ? lower : std::string("xctest");
  // Rows are keyed like the project's code files, which predictions read them by.
  const std::string key = platform::normaliseProjectPath(project);
  // A trigger named by its absolute path is still the project file its rows are read by.
  const std::optional<std::string> trigger = projectRelativeFile(triggerFile, key);
  auto failures = known == "jest"
                      ? parseJestFailures(output, key, trigger, sessionID)
                      : parseXCTestPytestFailures(output, key, known, trigger, sessionID);
  if (failures.empty()) return failures;

  for (const auto& f : failures) {
    connection.run(
        kInsertTestFailure,
        {db::text(f.project), db::text(f.timestamp), db::text(f.testName),
         db::optionalText(f.testFile), db::optionalText(f.triggerFile),
         db::optionalText(f.errorMessage), db::text(f.framework), db::optionalText(f.sessionID)});
  }

  std::string names;
  for (std::size_t i = 0; i < failures.size() && i < kSummaryNameLimit; ++i) {
    if (i > 0) names += ", ";
    names += failures[i].testName;
  }
  std::string body = "Test failure";
  if (trigger) body += " after editing " + *trigger;
  body += ": " + std::to_string(failures.size()) + " test(s) failed \xE2\x80\x94 " + names;

  writeFailureSummary(connection, state, std::move(body), "test_failure", kSummaryImportance,
                      project, trigger, sessionID);
  return failures;
}

std::int64_t countTestFailuresTriggeredBy(const std::string& project,
                                          const std::string& triggerFile, db::Connection& db) {
  auto value = db.scalar(kCountFailuresTriggeredBy, {db::text(project), db::text(triggerFile)});
  return value ? db::integerOf(*value).value_or(0) : 0;
}

std::vector<TestFailureCount> countTestFailuresByTest(const std::string& project,
                                                      const std::string& triggerFile,
                                                      db::Connection& db) {
  std::vector<TestFailureCount> counts;
  auto stmt = db.prepare(kCountFailuresByTest);
  stmt.bindText(1, project).bindText(2, triggerFile);
  while (stmt.step()) {
    auto key = stmt.column(0);
    auto count = db::integerOf(stmt.column(1));
    if (auto text = db::textOf(key); text && count) counts.push_back({*text, *count});
  }
  return counts;
}

}  // namespace nodrel::codeintel
