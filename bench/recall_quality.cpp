// Retrieval quality of recall, not its speed: a store of a user's notes over four projects and a
// few global ones (bench/data/recall_eval.json), written through the write path in one sitting,
// interleaved across projects, and questions with the notes that answer them. For every
// question, recallMemories for the question's project and, on the same database, plain BM25
// (FTS5's bm25 over the project's rows, its words OR-ed; and over those and the global rows)
// each give their top 10.
//
// Printed: evidence recall@5 and @10 (the share of a question's answering notes in the top k,
// averaged over the questions), and the number of other projects' memories in the top 10, for
// the questions and for the session-start query (the project's path). NODREL_EVAL_VERBOSE=1
// lists every question whose answer recall leaves out of its top 10.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "db/connection.h"
#include "db/schema.h"
#include "store/memory_links.h"
#include "store/recall.h"
#include "store/write_path.h"

namespace {

using namespace nodrel;
namespace fs = std::filesystem;

constexpr std::int64_t kTop = 10;

// Over the project's rows, as recall's own full-text statement; and over those and the global
// rows, which recall may also show.
constexpr std::string_view kBM25 = R"sql(
    SELECT m.id FROM memories_fts
    JOIN memories m ON m.rowid = memories_fts.rowid
    WHERE memories_fts MATCH ?
      AND m.project = ?
      AND m.deleted_at IS NULL
      AND m.tier != 'cold'
    ORDER BY bm25(memories_fts)
    LIMIT 10)sql";
constexpr std::string_view kBM25WithGlobal = R"sql(
    SELECT m.id FROM memories_fts
    JOIN memories m ON m.rowid = memories_fts.rowid
    WHERE memories_fts MATCH ?
      AND (m.project = ? OR m.project IS NULL)
      AND m.deleted_at IS NULL
      AND m.tier != 'cold'
    ORDER BY bm25(memories_fts)
    LIMIT 10)sql";

struct Note {
  std::string key;
  std::optional<std::string> project;  // a path; none for a global note
  std::string body;
  store::MemoryType type = store::MemoryType::Observation;
};

struct Question {
  std::string project;
  std::string text;
  std::vector<std::string> answers;  // keys of notes
};

struct Tally {
  double at5 = 0;
  double at10 = 0;
  int foreign = 0;
};

store::MemoryType typeNamed(const std::string& name) {
  return store::memoryTypeFromRaw(name).value_or(store::MemoryType::Observation);
}

double share(const std::vector<std::string>& ranked, std::size_t k,
             const std::set<std::string>& answers) {
  std::size_t found = 0;
  for (std::size_t i = 0; i < ranked.size() && i < k; ++i) found += answers.count(ranked[i]);
  return static_cast<double>(found) / static_cast<double>(answers.size());
}

}  // namespace

int main() {
  const fs::path scratch = fs::temp_directory_path() / "nodrel-recall-quality";
  fs::remove_all(scratch);
  fs::create_directories(scratch / "config");
  // Neither the user's defaults nor their data directory may take part.
  setenv("XDG_CONFIG_HOME", (scratch / "config").c_str(), 1);
  setenv("XDG_DATA_HOME", (scratch / "data").c_str(), 1);

  std::ifstream in(fs::path(NODREL_SOURCE_DIR) / "bench/data/recall_eval.json");
  const auto data = nlohmann::json::parse(in);
  std::map<std::string, std::string> projectPaths;
  for (const auto& [name, path] : data["projects"].items()) projectPaths[name] = path;

  // Interleaved, one note of each project in turn, as a user moving between projects writes.
  std::map<std::string, std::vector<Note>> byProject;
  for (const auto& m : data["memories"]) {
    Note note{m["key"], std::nullopt, m["body"], typeNamed(m["type"])};
    const std::string group = m["project"].is_null() ? "" : m["project"].get<std::string>();
    if (!group.empty()) note.project = projectPaths.at(group);
    byProject[group].push_back(std::move(note));
  }
  std::vector<Note> notes;
  for (std::size_t i = 0;; ++i) {
    bool any = false;
    for (auto& [group, list] : byProject) {
      if (i < list.size()) {
        notes.push_back(list[i]);
        any = true;
      }
    }
    if (!any) break;
  }

  auto db = db::Connection::open(scratch / "nodrel.db", {.create = true});
  db::createSchema(db);
  std::map<std::string, std::string> keyOfID;
  std::map<std::string, std::optional<std::string>> projectOfID;
  store::WriteState writes;
  for (const auto& note : notes) {
    store::MemoryWrite write;
    write.body = note.body;
    write.project = note.project;
    write.type = note.type;
    const auto memory = store::writeMemory(db, writes, write);
    keyOfID[memory.id] = note.key;
    projectOfID[memory.id] = note.project;
  }

  std::vector<Question> questions;
  for (const auto& q : data["questions"]) {
    questions.push_back(
        {projectPaths.at(q["project"]), q["q"], q["answers"].get<std::vector<std::string>>()});
  }

  const bool verbose = std::getenv("NODREL_EVAL_VERBOSE") != nullptr;
  auto isForeign = [&](const std::string& id, const std::string& project) {
    const auto it = projectOfID.find(id);
    return it != projectOfID.end() && it->second && *it->second != project;
  };
  Tally recall, bm25, bm25Global;
  auto plainBM25 = [&](std::string_view sql, const Question& q, Tally& tally) {
    std::vector<std::string> matched;
    const db::Value bindings[] = {db::text(store::buildFTSOrQuery(q.text)), db::text(q.project)};
    db.each(sql, bindings, [&](const db::Row& row) {
      const std::string id = *db::textOf(row[0]);
      matched.push_back(keyOfID[id]);
      tally.foreign += isForeign(id, q.project) ? 1 : 0;
      return true;
    });
    const std::set<std::string> answers(q.answers.begin(), q.answers.end());
    tally.at5 += share(matched, 5, answers);
    tally.at10 += share(matched, 10, answers);
    return matched;
  };
  for (const auto& q : questions) {
    const std::set<std::string> answers(q.answers.begin(), q.answers.end());
    std::vector<std::string> recalled;
    for (const auto& hit : store::recallMemories(q.text, q.project, kTop, db, nullptr)) {
      recalled.push_back(keyOfID.count(hit.memory.id) ? keyOfID[hit.memory.id] : hit.memory.id);
      recall.foreign += isForeign(hit.memory.id, q.project) ? 1 : 0;
    }
    const auto matched = plainBM25(kBM25, q, bm25);
    plainBM25(kBM25WithGlobal, q, bm25Global);
    recall.at5 += share(recalled, 5, answers);
    recall.at10 += share(recalled, 10, answers);
    if (verbose && share(recalled, 10, answers) < 1.0) {
      std::printf("missed: %s\n  recall:", q.text.c_str());
      for (const auto& k : recalled) std::printf(" %s", k.c_str());
      std::printf("\n  bm25:  ");
      for (const auto& k : matched) std::printf(" %s", k.c_str());
      std::printf("\n");
    }
  }

  // What the session-start hook asks: the working directory's path, for its own project.
  int sessionStartForeign = 0, sessionStartShown = 0;
  for (const auto& [name, path] : projectPaths) {
    for (const auto& hit : store::recallMemories(path, path, kTop, db, nullptr)) {
      ++sessionStartShown;
      sessionStartForeign += isForeign(hit.memory.id, path) ? 1 : 0;
    }
  }

  const double n = static_cast<double>(questions.size());
  std::printf("%zu memories over %zu projects and global, %zu questions\n", notes.size(),
              projectPaths.size(), questions.size());
  std::printf("%-26s %10s %10s %22s\n", "", "recall@5", "recall@10", "foreign in top 10");
  std::printf("%-26s %10.3f %10.3f %22d\n", "recallMemories", recall.at5 / n, recall.at10 / n,
              recall.foreign);
  std::printf("%-26s %10.3f %10.3f %22d\n", "BM25, project", bm25.at5 / n, bm25.at10 / n,
              bm25.foreign);
  std::printf("%-26s %10.3f %10.3f %22d\n", "BM25, project and global", bm25Global.at5 / n,
              bm25Global.at10 / n, bm25Global.foreign);
  std::printf("session start: %d of %d memories shown belong to another project\n",
              sessionStartForeign, sessionStartShown);
  fs::remove_all(scratch);
  return 0;
}
