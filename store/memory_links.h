// store/memory_links.h: the memory graph's edges, made when a memory is written: shared keyword
// phrases ("semantic"), shared names ("entity"), closeness in time ("temporal"), and a
// correction's possible conflict with stored rules ("contradicts").
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "db/connection.h"

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

}  // namespace nodrel::store
