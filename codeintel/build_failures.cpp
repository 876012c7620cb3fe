#include "codeintel/build_failures.h"

#include <charconv>
#include <chrono>
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

constexpr std::string_view kInsertBuildFailure = R"sql(INSERT INTO build_failures
    (project, timestamp, trigger_file, error_file, error_line,
     error_message, error_type, resolved, session_id)
VALUES (?, ?, ?, ?, ?, ?, ?, 0, ?))sql";

// Stored times end in "+0000", which SQLite's date functions refuse; "+00:00" they read. The
// window's bound is compared as text, which orders the stored form by time.
constexpr std::string_view kCountRecentBuildReports =
    R"sql(SELECT COUNT(DISTINCT strftime('%Y-%m-%dT%H:%M:%S',
    substr(timestamp, 1, 26) || ':' || substr(timestamp, 27)))
FROM build_failures
WHERE project = ? AND timestamp >= ?)sql";

constexpr std::string_view kCountRecentBuildReportsByFile =
    R"sql(SELECT error_file, COUNT(DISTINCT strftime('%Y-%m-%dT%H:%M:%S',
    substr(timestamp, 1, 26) || ':' || substr(timestamp, 27)))
FROM build_failures
WHERE project = ? AND timestamp >= ?
GROUP BY error_file)sql";

constexpr auto kBuildFailureWindow = std::chrono::seconds(2'592'000);  // 30 days

constexpr std::string_view kCountFailuresTriggeredBy = R"sql(SELECT COUNT(*)
FROM build_failures
WHERE project = ? AND trigger_file = ?)sql";

constexpr std::string_view kCountFailuresByErrorFile =
    R"sql(SELECT error_file, COUNT(*) AS failure_count
FROM build_failures
WHERE project = ? AND trigger_file = ?
GROUP BY error_file)sql";

constexpr std::size_t kSummaryFileLimit = 5;
constexpr std::int64_t kSummaryImportance = 7;

struct BuildPatterns {
  parsers::LinePattern located{R"re(^(.+\.[a-zA-Z]+):(\d+):\d+: error: (.+)$)re", 0, {": error: "}};
  parsers::LinePattern bare{R"re(^error: (.+)$)re", 0, {"error: "}};
  // The linker speaking for itself: "ld: symbol(s) not found for architecture arm64",
  // "/usr/bin/ld: cannot find -lz", "ld.lld: error: undefined symbol: main".
  parsers::LinePattern linker{
      R"re(^(?:\S*/)?(?:ld|ld\.lld|ld\.gold|ld\.bfd|ld64|ld64\.lld|lld|ld-classic|mold): (.+)$)re",
      0,
      {"ld: ", "lld: ", "ld.gold: ", "ld.bfd: ", "ld64: ", "ld-classic: ", "mold: "}};
  // GNU ld's own error, placed in the object's section: "main.c:(.text+0x10): undefined
  // reference to `missing'". Its "ld: x.o: in function `main':" line before it is context.
  parsers::LinePattern placedLink{R"re(^(.+\.[a-zA-Z]+):\([^()]*\): (.+)$)re", 0, {"): "}};
  // The compiler driver reporting on the linker it ran: "clang: error: linker command failed
  // with exit code 1", "collect2: error: ld returned 1 exit status".
  parsers::LinePattern driver{
      R"re(^(?:\S*/)?(?:[\w.]+-)*(?:clang\+\+|clang|g\+\+|gcc|c\+\+|cc|collect2)(?:-\d+(?:\.\d+)*)?: (?:fatal )?error: (.+)$)re",
      0,
      {": error: ", ": fatal error: "}};
};

// A linker line's own words, "error: " dropped; nothing for its warnings and notes, which
// accompany a successful link as often as a failed one.
std::optional<std::string> linkerMessage(std::string message) {
  for (std::string_view quiet : {"warning:", "note:"}) {
    if (message.starts_with(quiet)) return std::nullopt;
  }
  if (message.ends_with("':") && message.find(": in function ") != std::string::npos) {
    return std::nullopt;
  }
  if (message.starts_with("error: ")) message.erase(0, 7);
  if (message.empty()) return std::nullopt;
  return message;
}

bool namesTheLinker(std::string_view message) {
  return classifyBuildError(message) == "link" || message.starts_with("ld returned");
}

std::optional<std::int64_t> decimalInteger(std::string_view digits) {
  std::int64_t value = 0;
  const auto* end = digits.data() + digits.size();
  auto [ptr, ec] = std::from_chars(digits.data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

}  // namespace

std::string classifyBuildError(std::string_view message) {
  const std::string lower = platform::lowercase(message);
  for (std::string_view marker : {"linker", "undefined symbol", "ld:"}) {
    if (lower.find(marker) != std::string::npos) return "link";
  }
  return "compile";
}

std::vector<std::string> orderedUniqueStrings(const std::vector<std::string>& strings) {
  std::vector<std::string> out;
  std::unordered_set<std::string> seen;
  for (const auto& s : strings) {
    if (seen.insert(platform::nfc(s)).second) out.push_back(s);
  }
  return out;
}

std::vector<BuildFailure> parseBuildOutput(std::string_view output, const std::string& project,
                                           const std::optional<std::string>& triggerFile,
                                           const std::optional<std::string>& sessionID) {
  const std::string timestamp = platform::currentTimestampText();
  thread_local const BuildPatterns patterns;
  std::vector<BuildFailure> failures;
  if (!patterns.located.valid() || !patterns.bare.valid() || !patterns.linker.valid() ||
      !patterns.placedLink.valid() || !patterns.driver.valid()) {
    return failures;
  }

  // Pasted text may hold anything; repaired text keeps every record valid UTF-8.
  std::string repaired;
  if (!platform::isValidUtf8(output)) {
    repaired = platform::repairUtf8(output);
    output = repaired;
  }

  // Coloured output holds escape sequences between the words the patterns look for.
  const std::string plain = stripTerminalEscapes(output);
  for (const auto line : splitAtLineFeeds(plain)) {
    const auto trimmed = trimHorizontalWhitespace(line);
    if (trimmed.empty()) continue;
    BuildFailure failure;
    failure.project = project;
    failure.timestamp = timestamp;
    failure.triggerFile = triggerFile;
    failure.sessionID = sessionID;

    if (auto m = patterns.located.firstMatch(trimmed)) {
      failure.errorFile = projectFileName(m->group(1).value_or(""), project);
      failure.errorLine = decimalInteger(m->group(2).value_or(""));
      failure.errorMessage = m->group(3).value_or("");
      failure.errorType = classifyBuildError(failure.errorMessage);
      failures.push_back(std::move(failure));
    } else if (auto bare = patterns.bare.firstMatch(trimmed)) {
      // Bare errors come from the build system as often as from the linker (signing, missing
      // inputs, duplicate outputs), so their words decide.
      failure.errorFile = triggerFile.value_or("unknown");
      failure.errorMessage = bare->group(1).value_or("");
      failure.errorType = classifyBuildError(failure.errorMessage);
      failures.push_back(std::move(failure));
    } else if (auto ld = patterns.linker.firstMatch(trimmed)) {
      if (auto message = linkerMessage(ld->group(1).value_or(""))) {
        failure.errorFile = triggerFile.value_or("unknown");
        failure.errorMessage = std::move(*message);
        failure.errorType = "link";
        failures.push_back(std::move(failure));
      }
    } else if (auto placed = patterns.placedLink.firstMatch(trimmed)) {
      failure.errorFile = projectFileName(placed->group(1).value_or(""), project);
      failure.errorMessage = placed->group(2).value_or("");
      failure.errorType = "link";
      failures.push_back(std::move(failure));
    } else if (auto driver = patterns.driver.firstMatch(trimmed)) {
      // Only the driver's word on the link: its other errors (a missing input, a bad flag)
      // say nothing about a file of the project.
      std::string message = driver->group(1).value_or("");
      if (namesTheLinker(message)) {
        failure.errorFile = triggerFile.value_or("unknown");
        failure.errorMessage = std::move(message);
        failure.errorType = "link";
        failures.push_back(std::move(failure));
      }
    }
  }
  return failures;
}

std::vector<BuildFailure> recordBuildFailures(std::string_view output, const std::string& project,
                                              const std::optional<std::string>& triggerFile,
                                              const std::optional<std::string>& sessionID,
                                              db::Connection& connection,
                                              store::WriteState& state) {
  // Rows are keyed like the project's code files, which fragility and predictions read them by;
  // a trigger named by its absolute path is still the project file its rows are read by.
  const std::string key = platform::normaliseProjectPath(project);
  const std::optional<std::string> trigger = projectRelativeFile(triggerFile, key);
  auto failures = parseBuildOutput(output, key, trigger, sessionID);
  if (failures.empty()) return failures;

  for (const auto& f : failures) {
    connection.run(
        kInsertBuildFailure,
        {db::text(f.project), db::text(f.timestamp), db::optionalText(f.triggerFile),
         db::text(f.errorFile), f.errorLine ? db::Value(*f.errorLine) : db::Value(db::Null{}),
         db::text(f.errorMessage), db::text(f.errorType), db::optionalText(f.sessionID)});
  }

  std::vector<std::string> files;
  files.reserve(failures.size());
  for (const auto& f : failures) files.push_back(f.errorFile);
  files = orderedUniqueStrings(files);
  if (files.size() > kSummaryFileLimit) files.resize(kSummaryFileLimit);
  std::string fileList;
  for (const auto& file : files) {
    if (!fileList.empty()) fileList += ", ";
    fileList += file;
  }

  std::string body = "Build failure";
  if (trigger) body += " after editing " + *trigger;
  body += ": " + std::to_string(failures.size()) + " error(s) in " + fileList;

  writeFailureSummary(connection, state, std::move(body), "build_failure", kSummaryImportance,
                      project, trigger, sessionID);
  return failures;
}

std::unordered_map<std::string, double> fetchRecentBuildFailureShares(const std::string& project,
                                                                      db::Connection& db) {
  std::unordered_map<std::string, double> shares;
  auto cutoff = platform::sharedTimestampFormatter().format(
      platform::now() - std::chrono::duration_cast<std::chrono::milliseconds>(kBuildFailureWindow));
  auto totalValue = db.scalar(kCountRecentBuildReports, {db::text(project), db::text(cutoff)});
  std::int64_t total = totalValue ? db::integerOf(*totalValue).value_or(0) : 0;
  if (total < 1) return shares;
  auto stmt = db.prepare(kCountRecentBuildReportsByFile);
  stmt.bindText(1, project).bindText(2, cutoff);
  while (stmt.step()) {
    auto file = stmt.column(0);
    auto count = db::integerOf(stmt.column(1));
    if (auto text = db::textOf(file); text && count) {
      shares[*text] = static_cast<double>(*count) / static_cast<double>(total);
    }
  }
  return shares;
}

std::int64_t countBuildFailuresTriggeredBy(const std::string& project,
                                           const std::string& triggerFile, db::Connection& db) {
  auto value = db.scalar(kCountFailuresTriggeredBy, {db::text(project), db::text(triggerFile)});
  return value ? db::integerOf(*value).value_or(0) : 0;
}

std::vector<ErrorFileCount> countBuildFailuresByErrorFile(const std::string& project,
                                                          const std::string& triggerFile,
                                                          db::Connection& db) {
  std::vector<ErrorFileCount> counts;
  auto stmt = db.prepare(kCountFailuresByErrorFile);
  stmt.bindText(1, project).bindText(2, triggerFile);
  while (stmt.step()) {
    auto file = stmt.column(0);
    auto count = db::integerOf(stmt.column(1));
    if (auto text = db::textOf(file); text && count) counts.push_back({*text, *count});
  }
  return counts;
}

}  // namespace nodrel::codeintel
