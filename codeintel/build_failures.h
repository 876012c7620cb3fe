// codeintel/build_failures.h: pasted xcodebuild output turned into BuildFailure records, stored
// in `build_failures` with one summary memory per report, and the reads of that table: the
// share of recent reports that name a file (for fragility scoring) and the failures that
// followed an edit of a file (for predictions).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "codeintel/report_records.h"
#include "db/connection.h"
#include "store/write_state.h"

namespace nodrel::codeintel {

// One record per located diagnostic ("path:line:column: error: message"), bare
// "error: message" line, linker line ("ld: message", warnings and GNU's "in function" context
// aside), GNU ld error placed in an object ("main.c:(.text+0x10): undefined reference to ...")
// or compiler-driver report of a failed link ("clang: error: linker command failed ..."), in
// line order, read after terminal colour sequences are removed; all carry one timestamp taken
// at the start. Located and bare errors are typed by classifyBuildError, the link lines are
// "link". Pure and never fails.
std::vector<BuildFailure> parseBuildOutput(std::string_view output, const std::string& project,
                                           const std::optional<std::string>& triggerFile,
                                           const std::optional<std::string>& sessionID);

// "link" when the lower-cased message names the linker, an undefined symbol or "ld:", else
// "compile".
std::string classifyBuildError(std::string_view message);

// The strings without repeats, each at its first occurrence; canonically equivalent strings
// count as one.
std::vector<std::string> orderedUniqueStrings(const std::vector<std::string>& strings);

// Parses, inserts one row per record (no transaction) under the project's key
// (normaliseProjectPath, as its code files have) and writes the summary memory, whose
// failures of any kind are dropped. Returns the parsed records; nothing is written when none
// are found. Throws db::Error when an insert fails (earlier rows stay, no memory is written).
std::vector<BuildFailure> recordBuildFailures(std::string_view output, const std::string& project,
                                              const std::optional<std::string>& triggerFile,
                                              const std::optional<std::string>& sessionID,
                                              db::Connection& connection, store::WriteState& state);

// Error file to its share (0 to 1) of the project's build-failure reports of the last 30 days;
// a report is one report time, taken to the second. Files in no recent report are absent.
// Throws db::Error.
std::unordered_map<std::string, double> fetchRecentBuildFailureShares(const std::string& project,
                                                                      db::Connection& db);

// The project's rows whose trigger file is `triggerFile`; 0 when the count is not an integer.
// Throws db::Error.
std::int64_t countBuildFailuresTriggeredBy(const std::string& project,
                                           const std::string& triggerFile, db::Connection& db);

struct ErrorFileCount {
  std::string errorFile;
  std::int64_t count = 0;
  friend bool operator==(const ErrorFileCount&, const ErrorFileCount&) = default;
};

// Those rows counted per error file, in database order; a group whose error file is not text
// is left out. Throws db::Error.
std::vector<ErrorFileCount> countBuildFailuresByErrorFile(const std::string& project,
                                                          const std::string& triggerFile,
                                                          db::Connection& db);

}  // namespace nodrel::codeintel
