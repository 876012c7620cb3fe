// codeintel/vanished_files.cpp: the rows of files a project no longer has.
#include "codeintel/code_ingestion_service.h"

#include <unordered_set>
#include <vector>

#include "db/error.h"
#include "db/savepoint.h"
#include "store/memory_links.h"

namespace nodrel::codeintel {
namespace {

constexpr std::string_view kSelectProjectFileIDs = "SELECT id FROM code_files WHERE project = ?";

constexpr std::string_view kDeleteSymbols = "DELETE FROM code_symbols WHERE file_id = ?";
constexpr std::string_view kDeleteEdges = "DELETE FROM code_edges WHERE file_id = ?";
// The references other files hold to it go with the next derivation of references.
constexpr std::string_view kDeleteStamp = "DELETE FROM code_file_stamps WHERE file_id = ?";
constexpr std::string_view kDeleteFile = "DELETE FROM code_files WHERE id = ?";

}  // namespace

std::int64_t CodeIngestionService::removeVanishedFiles(
    const std::string& project, const std::unordered_set<std::string>& present) {
  std::vector<std::string> vanished;
  {
    auto select = db_.prepare(kSelectProjectFileIDs);
    select.bindText(1, project);
    std::string key;  // one buffer for every id looked up
    while (select.step()) {
      auto id = select.columnText(0);
      if (!id) continue;
      key.assign(*id);
      if (!present.contains(key)) vanished.push_back(key);
    }
  }
  if (vanished.empty()) return 0;
  db::Savepoint savepoint(db_, "remove_vanished");
  std::vector<db::Statement> deletes;
  for (auto sql : {kDeleteSymbols, kDeleteEdges, kDeleteFile}) {
    deletes.push_back(db_.prepare(sql));
  }
  std::optional<db::Statement> deleteStamp;
  if (stampsAvailable_) {
    try {
      deleteStamp.emplace(db_.prepare(kDeleteStamp));
    } catch (const db::Error& error) {
      if (error.isBusyOrLocked()) throw;
    }
  }
  // The memories' links to the files go with them.
  store::deleteCodeFileLinks(vanished, db_);
  for (const auto& id : vanished) {
    for (auto& stmt : deletes) {
      stmt.reset();
      stmt.bindText(1, id).run();
    }
    if (deleteStamp) {
      deleteStamp->reset();
      deleteStamp->bindText(1, id).run();
    }
  }
  raiseGeneration(project);
  savepoint.commit();
  return static_cast<std::int64_t>(vanished.size());
}

}  // namespace nodrel::codeintel
