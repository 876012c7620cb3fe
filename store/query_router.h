// store/query_router.h: how recall searches for a query: which tiers the full-text search
// covers, which link types graph expansion prefers, and how the three relevance signals are
// weighted. Looks only at the query text; never fails.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/regex.h"

namespace nodrel::store {

struct QueryRoute {
  std::vector<std::string> tiers;            // empty: every tier but cold
  std::set<std::string> preferredEdgeTypes;  // empty: no restriction
  double bm25Weight = 0.2;
  double vectorWeight = 0.5;
  double graphWeight = 0.3;                // the three weights add up to 1.0
  std::string classification = "general";  // file-scoped, procedural, temporal, semantic, general

  friend bool operator==(const QueryRoute&, const QueryRoute&) = default;
};

class QueryRouter {
 public:
  struct Pattern {
    platform::Regex regex;  // case-insensitive, unanchored
    std::vector<std::string> tiers;
    std::set<std::string> edgeTypes;
    std::string classification;
  };

  static QueryRoute route(std::string_view query);

  // The 21 lower-case source-file extensions, without the dot. Process-wide, read-only.
  static const std::unordered_set<std::string>& fileExtensions();
  // Procedural, temporal, semantic, in that order. A compiled expression keeps a matcher that
  // must not be shared between threads, so each thread gets its own table, built on its first
  // use.
  static const std::vector<Pattern>& patterns();
};

// Whether the query is about a path or a source file.
bool isFileScopedQuery(std::string_view query);
// 0.0 to 1.0: the share of the query's words that are names or look like code.
double lexicalScore(std::string_view query);
// Personal, place and organisation names in the query; a multi-word name counts once.
int countNamedEntities(std::string_view query);

}  // namespace nodrel::store
