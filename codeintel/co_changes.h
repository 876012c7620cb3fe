// codeintel/co_changes.h: the owner of `co_changes` (how often two files of a project changed
// in one commit) and `co_change_minings` (which history those counts describe). Fragility,
// impact and prediction read the pairs through here; mining the history writes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "codeintel/text_map.h"
#include "db/connection.h"

namespace nodrel::codeintel {

// One commit's paths: as git names them, from the repository's top, until they are kept
// relative to the project folder.
using CommitFileList = std::vector<std::string>;

// Commits touching more files than this are sweeping changes (renames, formatting) and say
// nothing about which files belong together.
inline constexpr std::size_t kMaxFilesPerCommit = 20;

// Replaces the project's pairs with those of `commits`: every pair of each commit of 2 to
// kMaxFilesPerCommit paths counted once per commit, the smaller path first, stamped `now`. So
// the counts describe the history given, however often it is mined. Runs inside the caller's
// transaction; throws db::Error at the first failing statement.
void recordCoChanges(const std::vector<CommitFileList>& commits, db::Connection& db,
                     const std::string& project, const std::string& now);

// What is kept of a project's last mining: the commit newestFolderCommit gave then, and the
// commit HEAD named when that was last seen to be the folder's newest (none when HEAD could not
// be read from the repository's files).
struct Mining {
  std::string lastCommit;
  std::optional<std::string> headCommit;
};

// The project's last mining, if its history was ever mined. Creates the table that keeps it,
// or its HEAD column, when missing. Throws db::Error.
std::optional<Mining> lastMining(db::Connection& db, const std::string& project);

// Keeps `commit` as the newest one the project's stored pairs count, mined at `now`, with the
// commit HEAD named then. Needs the table lastMining creates. Throws db::Error.
void recordMinedCommit(db::Connection& db, const std::string& project, const std::string& commit,
                       const std::optional<std::string>& head, const std::string& now);

// HEAD moved without touching the folder: keeps where it stands, so the next run can tell an
// unchanged history without git. Throws db::Error.
void recordMiningHead(db::Connection& db, const std::string& project, const std::string& head);

// One pair a file belongs to, seen from that file.
struct CoChangePartner {
  std::string path;                   // the other file of the pair
  std::optional<std::int64_t> count;  // nothing when the stored count is not an integer
  friend bool operator==(const CoChangePartner&, const CoChangePartner&) = default;
};

// The partners of each of `files` in the project, file by file, each file's in database order;
// a pair whose partner is not text is left out. One statement serves every file. Throws
// db::Error.
std::vector<CoChangePartner> fetchCoChangePartners(const std::string& project,
                                                   const std::vector<std::string>& files,
                                                   db::Connection& db);

// The summed count of the file's pairs; 0 when it has none or the sum is not an integer.
// Throws db::Error.
std::int64_t fetchCoChangeTotal(const std::string& project, const std::string& file,
                                db::Connection& db);

// Relative path to its summed co-change count over both columns. Throws db::Error.
TextViewMap<double> fetchCoChangeTotals(const std::string& project, db::Connection& db);

}  // namespace nodrel::codeintel
