// tests/codeintel/code_rows.h: rows of the code tables written directly, for the tests of the
// readers (fragility, predictive risk, impact) without running ingestion.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/connection.h"
#include "platform/sha256.h"

namespace nodrel::testing {

// prefix + the number; built by appending, which GCC 12's -Wrestrict does not misread.
inline std::string numbered(std::string prefix, std::int64_t n) {
  prefix += std::to_string(n);
  return prefix;
}

// One commit's `n` file names for the co-change tests: "f1nn" down to "f101", out of order.
inline std::vector<std::string> commitOfFiles(int n) {
  std::vector<std::string> list;
  for (int i = n; i > 0; --i) list.push_back(numbered("f", 100 + i));
  return list;
}

inline std::string codeFileID(const std::string& project, const std::string& path) {
  return platform::sha256Hex(project + "/" + path);
}

// Inserts a code file row and returns its id.
inline std::string addCodeFile(db::Connection& db, const std::string& project,
                               const std::string& path) {
  auto id = codeFileID(project, path);
  db.run(
      "INSERT INTO code_files (id, project, relative_path, language, content_hash, last_parsed) "
      "VALUES (?, ?, ?, 'typescript', 'hash', '2026-01-01T00:00:00.000+0000')",
      {db::text(id), db::text(project), db::text(path)});
  return id;
}

inline void addSymbol(db::Connection& db, const std::string& fileID, const std::string& name) {
  db.run(
      "INSERT INTO code_symbols (file_id, name, kind, line_start, line_end, signature) "
      "VALUES (?, ?, 'class', 1, 1, NULL)",
      {db::text(fileID), db::text(name)});
}

inline void addEdge(db::Connection& db, const std::string& fileID, const std::string& to,
                    const std::string& type = "imports") {
  db.run("INSERT INTO code_edges (from_symbol, to_symbol, edge_type, file_id) VALUES (?, ?, ?, ?)",
         {db::text("from"), db::text(to), db::text(type), db::text(fileID)});
}

inline void addCoChange(db::Connection& db, const std::string& project, const std::string& a,
                        const std::string& b, std::int64_t count) {
  db.run(
      "INSERT INTO co_changes (project, file_a, file_b, count, last_seen) "
      "VALUES (?, ?, ?, ?, '2026-01-01T00:00:00.000+0000')",
      {db::text(project), db::text(a), db::text(b), count});
}

inline void addBuildFailure(db::Connection& db, const std::string& project,
                            const std::string& timestamp, const std::string& trigger,
                            const std::string& errorFile) {
  db.run(
      "INSERT INTO build_failures (project, timestamp, trigger_file, error_file, error_line, "
      "error_message, error_type, resolved, session_id) "
      "VALUES (?, ?, ?, ?, NULL, 'message', 'compile', 0, NULL)",
      {db::text(project), db::text(timestamp), db::text(trigger), db::text(errorFile)});
}

inline void addTestFailure(db::Connection& db, const std::string& project,
                           const std::string& trigger, const std::string& testName,
                           const db::Value& testFile) {
  db.run(
      "INSERT INTO test_failures (project, timestamp, test_name, test_file, trigger_file, "
      "error_message, framework, resolved, session_id) "
      "VALUES (?, '2026-01-01T00:00:00.000+0000', ?, ?, ?, NULL, 'jest', 0, NULL)",
      {db::text(project), db::text(testName), testFile, db::text(trigger)});
}

}  // namespace nodrel::testing
