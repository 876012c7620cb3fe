// store/memory_links.h: the memory graph's edges, made when a memory is written: shared keyword
// phrases ("semantic"), shared names ("entity"), closeness in time ("temporal"), and a
// correction's possible conflict with stored rules ("contradicts").
#pragma once

#include <compare>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "db/connection.h"
#include "db/statement.h"

namespace nodrel::store {

// Bounds on the links one write makes, so that neither a memory's own links nor the links
// pointing at it grow with the store: a name every memory mentions would otherwise link each
// new memory to hundreds of others and make hubs of the older ones. Within each bound the
// nearest in time win. Links are most of a store's size (350 to 500 bytes each): with four of
// each type recall answered the evaluation questions as well as with twenty, and kept 92 % of
// its top ten on a store of 20,000 memories with recurring names, at a third of the links.
inline constexpr int kMaxLinksPerName = 20;  // entity targets sharing any one name
inline constexpr int kMaxSemanticLinks = 4;  // outgoing, per memory
inline constexpr int kMaxEntityLinks = 4;    // outgoing, per memory
inline constexpr int kMaxTemporalLinks = 4;  // outgoing, per memory
inline constexpr int kMaxIncomingLinksPerType =
    40;  // a target already holding this many is passed over

// The keywords and names of memories already analysed, by identifier (the hash of the body):
// linking one memory analyses up to 501 bodies, most of them the same from one write to the
// next. Bounded: past its capacity it starts again rather than grow with the database.
class MemoryAnalysisCache {
 public:
  struct Analysis;  // defined where the links are made

  MemoryAnalysisCache();
  ~MemoryAnalysisCache();
  MemoryAnalysisCache(const MemoryAnalysisCache&) = delete;
  MemoryAnalysisCache& operator=(const MemoryAnalysisCache&) = delete;

  // The analysis of `body`, from the cache when it holds this identifier with this body.
  std::shared_ptr<const Analysis> get(const std::string& id, std::string_view body);
  void clear();

 private:
  static constexpr std::size_t kCapacity = 8192;
  std::mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<const Analysis>> entries_;
};

// Links the just-inserted memory to related recent memories, analysing bodies through
// `analyses`. Throws db::Error only when the candidate query cannot be prepared; failed inserts
// are passed over. Only candidates whose text holds one of the new memory's phrases or names
// are analysed.
void createMemoryLinks(const std::string& memoryID, const std::string& body,
                       db::Connection& connection, MemoryAnalysisCache& analyses);

// Links a just-saved correction to up to 5 live semantic-tier rules that share significant
// words with its body, only the project's rules when a project is given. Throws db::Error only
// when the rule query cannot be prepared; failed inserts are passed over.
void linkContradictions(const std::string& memoryID, const std::string& body,
                        const std::optional<std::string>& project, db::Connection& connection);

// A full-text query that matches any significant word of the text: each word (a run of
// letters, marks, numbers and "_") of 3 or more characters outside the stop list, quoted,
// joined with " OR "; "\"*\"" when none is left. No operator of the text survives as one.
std::string buildFTSOrQuery(std::string_view text);

// Memories are linked to the code files their context paths name by an "entity" link whose
// target is "code:" and the file's id.

// One memory whose context path is one of the paths looked up.
struct ContextPathMatch {
  std::string path;  // the path looked up
  std::string memoryID;
  std::string contextPath;  // the memory's own text, which may differ from `path` in case
  friend bool operator==(const ContextPathMatch&, const ContextPathMatch&) = default;
};

// The memories whose context path equals one of a list of paths, ASCII letters in either case;
// the index on context paths answers each path, so the cost follows the paths, however many
// memories there are. The statement is prepared on construction, so a store that cannot
// answer fails before the caller reads anything else: throws db::Error.
class ContextPathLookup {
 public:
  explicit ContextPathLookup(db::Connection& connection);

  // One entry per matching (path, memory) row whose three values are text, in database order;
  // an empty context path matches nothing. Throws db::Error.
  std::vector<ContextPathMatch> find(const std::vector<std::string>& paths);

 private:
  db::Statement select_;
};

// One memory with a context path.
struct ContextPathMemory {
  std::string memoryID;
  std::string contextPath;
};

// Every memory whose context path is not empty, id and path both text, while there are at most
// `limit` of them: a caller with more paths to look up than there are memories to look up can
// match them all without the index. Nothing when there are more; reads at most `limit` + 1
// rows. Throws db::Error.
std::optional<std::vector<ContextPathMemory>> contextPathMemoriesUpTo(std::size_t limit,
                                                                      db::Connection& connection);

struct MemoryCodeLink {
  std::string memoryID;
  std::string fileID;  // a `code_files` id
  friend auto operator<=>(const MemoryCodeLink&, const MemoryCodeLink&) = default;
};

// Links each memory to its code file (weight 1.0, stamped `now`), in the order given, in one
// savepoint; a link already stored or refused is passed over. Throws db::Error when the
// statement cannot be prepared or the savepoint cannot begin or commit.
void insertCodeFileLinks(const std::vector<MemoryCodeLink>& links, const std::string& now,
                         db::Connection& connection);

// Removes the links of every memory to each of the code files, one statement for all of them,
// inside the caller's transaction. Throws db::Error at the first failure.
void deleteCodeFileLinks(const std::vector<std::string>& fileIDs, db::Connection& connection);

}  // namespace nodrel::store
