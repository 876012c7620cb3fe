#include "store/memory_links.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <unicode/uchar.h>

#include "db/error.h"
#include "db/json_array.h"
#include "db/savepoint.h"
#include "db/statement.h"
#include "platform/tagger.h"
#include "platform/text.h"
#include "platform/time.h"
#include "store/keyword_extraction.h"

namespace nodrel::store {
namespace {

// Soft-deleted memories must gain no links, so the candidate query and the temporal insert
// both require deleted_at IS NULL.
constexpr std::string_view kSelectCandidates = R"sql(
    SELECT id, body FROM memories
    WHERE id != ? AND tier != 'cold' AND deleted_at IS NULL
    ORDER BY created_at DESC LIMIT 500)sql";

// A target already holding kMaxIncomingLinksPerType links of the type is passed over; the count
// stops at the bound, so it costs as many index entries at most.
constexpr std::string_view kInsertSemanticLink = R"sql(
    INSERT OR IGNORE INTO memory_links (src_id, dst_id, link_type, weight, created_at)
    SELECT ?1, ?2, 'semantic', ?3, ?4
    WHERE (SELECT count(*) FROM (SELECT 1 FROM memory_links
           WHERE dst_id = ?2 AND link_type = 'semantic' LIMIT ?5)) < ?5)sql";
constexpr std::string_view kInsertEntityLink = R"sql(
    INSERT OR IGNORE INTO memory_links (src_id, dst_id, link_type, weight, created_at)
    SELECT ?1, ?2, 'entity', ?3, ?4
    WHERE (SELECT count(*) FROM (SELECT 1 FROM memory_links
           WHERE dst_id = ?2 AND link_type = 'entity' LIMIT ?5)) < ?5)sql";

// Stored timestamps end in "+0000", which SQLite's date functions do not read; the window's
// bounds are computed here and compared as text, which orders these timestamps by time, and
// the distance is taken over the part before the offset. The nearest n (the bound) in time, not
// the first n the index yields: those would be the same for every memory of the hour, and
// turn into hubs that link everything written together. The nearest n are among the n
// latest up to now and the n earliest after it, which the created_at index gives
// without reading the rest of a busy hour. Equally near, the later written wins.
constexpr std::string_view kInsertTemporalLinks = R"sql(
    INSERT OR IGNORE INTO memory_links (src_id, dst_id, link_type, weight, created_at)
    SELECT ?1, id, 'temporal', 0.5, ?2
    FROM (
      SELECT * FROM (
        SELECT id, created_at, rowid AS written FROM memories
        WHERE id != ?1
          AND tier != 'cold'
          AND deleted_at IS NULL
          AND created_at > ?3 AND created_at <= ?2
        ORDER BY created_at DESC, rowid DESC
        LIMIT ?6)
      UNION ALL
      SELECT * FROM (
        SELECT id, created_at, rowid AS written FROM memories
        WHERE id != ?1
          AND tier != 'cold'
          AND deleted_at IS NULL
          AND created_at > ?2 AND created_at < ?4
        ORDER BY created_at, rowid
        LIMIT ?6))
    WHERE (SELECT count(*) FROM (SELECT 1 FROM memory_links
           WHERE dst_id = id AND link_type = 'temporal' LIMIT ?7)) < ?7
    ORDER BY abs(julianday(substr(created_at, 1, 23)) - julianday(?5)), written DESC
    LIMIT ?6)sql";

constexpr std::string_view kSelectRulesForProject = R"sql(
    SELECT m.id FROM memories_fts
    JOIN memories m ON m.rowid = memories_fts.rowid
    WHERE memories_fts MATCH ?
      AND m.tier = 'semantic'
      AND m.type = 'rule'
      AND m.id != ?
      AND m.project = ?
      AND m.deleted_at IS NULL
    ORDER BY bm25(memories_fts)
    LIMIT 5)sql";
constexpr std::string_view kSelectRules = R"sql(
    SELECT m.id FROM memories_fts
    JOIN memories m ON m.rowid = memories_fts.rowid
    WHERE memories_fts MATCH ?
      AND m.tier = 'semantic'
      AND m.type = 'rule'
      AND m.id != ?
      AND m.deleted_at IS NULL
    ORDER BY bm25(memories_fts)
    LIMIT 5)sql";

constexpr std::string_view kInsertContradictsLink =
    "INSERT OR IGNORE INTO memory_links (src_id, dst_id, link_type, weight, created_at) "
    "VALUES (?,?,'contradicts',1.0,?)";

const std::unordered_set<std::string_view>& ftsStopWords() {
  static const std::unordered_set<std::string_view> words = {
      "a",    "an",    "the",   "is",  "are",  "was",  "were", "be",    "been",  "being",
      "have", "has",   "had",   "do",  "does", "did",  "will", "would", "could", "should",
      "may",  "might", "shall", "can", "not",  "no",   "nor",  "or",    "and",   "but",
      "in",   "on",    "at",    "to",  "for",  "of",   "from", "by",    "with",  "as",
      "if",   "so",    "yet",   "it",  "its",  "this", "that", "these", "those"};
  return words;
}

// Letters, marks and numbers of any script, and "_": a combining accent belongs to its word,
// as it does for the full-text tokenizer, so a decomposed "não" stays one word.
bool isWordCharacter(char32_t c) {
  if (c == U'_') return true;
  const auto mask = U_GET_GC_MASK(static_cast<UChar32>(c));
  return (mask & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) != 0;
}

std::size_t sharedCount(const std::unordered_set<std::string_view>& mine,
                        const std::vector<std::string>& theirs) {
  std::size_t n = 0;
  for (const auto& s : theirs) n += mine.count(s);
  return n;  // both lists hold distinct entries, so this is the size of the intersection
}

// Runs one prepared insert; a failure (a busy database, a refused row) skips this link only.
// True when the link was written.
bool insertLink(db::Statement& insert, const std::string& src, const std::string& dst,
                double weight, const std::string& now) {
  try {
    insert.reset();
    insert.bindText(1, src).bindText(2, dst).bindDouble(3, weight).bindText(4, now);
    insert.bindInt(5, kMaxIncomingLinksPerType);
    return insert.run() > 0;
  } catch (const db::Error&) {
    return false;
  }
}

// Lower-cased, every run of white space one space: a phrase or a name the tagger finds in a
// text is then a substring of the text in this form, which is how candidates that cannot share
// one are passed over without being tagged.
// Each ASCII byte lower-cased, and whether it is white space.
struct AsciiFold {
  std::array<char, 128> lower{};
  std::array<bool, 128> space{};
};
constexpr AsciiFold kAsciiFold = [] {
  AsciiFold fold;
  for (int c = 0; c < 128; ++c) {
    fold.lower[c] = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    fold.space[c] = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
  }
  return fold;
}();

std::string searchForm(std::string_view text) {
  std::string out;
  bool space = false;
  {
    // Most bodies: one pass over the bytes into the string's own buffer, as this runs on
    // hundreds of bodies a write. The first byte past ASCII sends the text to the path below.
    out.resize(text.size());
    char* const start = out.data();
    char* o = start;
    bool ascii = true;
    for (const char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte >= 0x80) {
        ascii = false;
        break;
      }
      if (kAsciiFold.space[byte]) {
        space = true;
        continue;
      }
      if (space && o != start) *o++ = ' ';
      space = false;
      *o++ = kAsciiFold.lower[byte];
    }
    if (ascii) {
      out.resize(static_cast<std::size_t>(o - start));
      return out;
    }
    out.clear();
    space = false;
  }
  const std::string lowered = platform::lowercase(text);
  auto put = [&](char32_t c) {
    if (c == U' ' || c == U'\t' || c == U'\n' || c == U'\r' || c == U'\v' || c == U'\f' ||
        (c >= 0x80 && platform::isUnicodeWhitespace(c))) {
      space = true;
      return;
    }
    if (space && !out.empty()) out.push_back(' ');
    space = false;
    platform::appendUtf8(out, c);
  };
  for (char32_t c : platform::toCodePoints(lowered)) put(c);
  return out;
}

}  // namespace

// A memory's keywords and lower-cased entities.
struct MemoryAnalysisCache::Analysis {
  std::string body;  // what was analysed; a mismatch means the identifier was reused
  std::vector<std::string> keywords;
  std::vector<std::string> entities;  // lower-cased
};

MemoryAnalysisCache::MemoryAnalysisCache() = default;
MemoryAnalysisCache::~MemoryAnalysisCache() = default;

std::shared_ptr<const MemoryAnalysisCache::Analysis> MemoryAnalysisCache::get(
    const std::string& id, std::string_view body) {
  {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(id);
    if (it != entries_.end() && it->second->body == body) return it->second;
  }
  auto analysis = std::make_shared<Analysis>();
  analysis->body.assign(body);
  TextAnalysis text = analyzeText(body);
  analysis->keywords = std::move(text.keywords);
  analysis->entities.reserve(text.entities.size());
  for (const auto& e : text.entities) analysis->entities.push_back(platform::lowercase(e));
  std::lock_guard lock(mutex_);
  if (entries_.size() >= kCapacity) entries_.clear();
  entries_.insert_or_assign(id, analysis);
  return analysis;
}

void MemoryAnalysisCache::clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

void createMemoryLinks(const std::string& memoryID, const std::string& body,
                       db::Connection& connection, MemoryAnalysisCache& analyses) {
  if (body.empty()) return;
  const auto mine = analyses.get(memoryID, body);
  if (mine->keywords.empty() && mine->entities.empty()) return;

  const platform::Instant instant = platform::now();
  const auto& formatter = platform::sharedTimestampFormatter();
  const std::string now = formatter.format(instant);

  // Candidates come nearest in time first and are read one at a time: once every kind of link
  // is full the walk ends, and the rest of the 500 are never read. The walk reads `memories`
  // and the inserts write `memory_links`, so the open cursor sees the same rows throughout.
  db::Statement select = connection.prepare(kSelectCandidates);
  select.bindText(1, memoryID);

  const std::unordered_set<std::string_view> myKeywords(mine->keywords.begin(),
                                                        mine->keywords.end());
  // Each phrase and name is looked for in up to 500 bodies: a searcher built once per needle
  // skips along a body instead of stopping at every occurrence of the needle's first letter.
  std::vector<std::string> phraseNeedles, nameNeedles;
  for (const auto& k : mine->keywords) phraseNeedles.push_back(searchForm(k));
  for (const auto& e : mine->entities) nameNeedles.push_back(searchForm(e));
  using Searcher = std::boyer_moore_horspool_searcher<std::string::const_iterator>;
  std::vector<Searcher> phraseSearchers, nameSearchers;
  for (const auto& needle : phraseNeedles)
    phraseSearchers.emplace_back(needle.begin(), needle.end());
  for (const auto& needle : nameNeedles) nameSearchers.emplace_back(needle.begin(), needle.end());
  auto holds = [](const std::string& haystack, const Searcher& searcher) {
    return std::search(haystack.begin(), haystack.end(), searcher) != haystack.end();
  };
  // Targets per name, in the order of mine->entities; candidates come nearest in time first.
  std::vector<int> perName(mine->entities.size(), 0);
  int semanticLinks = 0, entityLinks = 0;
  auto semanticOpen = [&] { return semanticLinks < kMaxSemanticLinks && myKeywords.size() >= 2; };
  auto entityOpen = [&] {
    if (entityLinks >= kMaxEntityLinks) return false;
    return std::any_of(perName.begin(), perName.end(), [](int n) { return n < kMaxLinksPerName; });
  };

  // One transaction for all of this memory's links: each insert committing on its own would
  // make a write wait for the disk some thirty times. When the write lock cannot be had, the
  // links are passed over as a busy insert would be.
  std::optional<db::Savepoint> together;
  try {
    together.emplace(connection, "nodrel_links");
  } catch (const db::Error&) {
    return;
  }
  std::optional<db::Statement> semantic, entity;
  std::string id;
  while (semanticOpen() || entityOpen()) {
    try {
      if (!select.step()) break;
    } catch (const db::Error&) {
      // A failed step ends the walk; the candidates read so far are still linked.
      break;
    }
    const std::optional<std::string_view> idText = select.columnText(0);
    const std::optional<std::string_view> candidateBody = select.columnText(1);
    if (!idText || !candidateBody || candidateBody->empty()) continue;
    id.assign(*idText);
    // What the text cannot hold it cannot share: a phrase or name missing from it as a substring
    // rules out a link of that kind without tagging it.
    const std::string haystack = searchForm(*candidateBody);
    bool worthTagging = false;
    if (semanticOpen()) {
      int found = 0;
      for (const Searcher& searcher : phraseSearchers) {
        if (holds(haystack, searcher) && ++found >= 2) break;
      }
      worthTagging = found >= 2;
    }
    if (!worthTagging && entityOpen()) {
      for (std::size_t n = 0; n < nameSearchers.size() && !worthTagging; ++n) {
        worthTagging = perName[n] < kMaxLinksPerName && holds(haystack, nameSearchers[n]);
      }
    }
    if (!worthTagging) continue;

    const auto theirs = analyses.get(id, *candidateBody);
    const std::size_t phrases = sharedCount(myKeywords, theirs->keywords);
    if (phrases >= 2 && semanticOpen()) {
      try {
        if (!semantic) semantic.emplace(connection.prepare(kInsertSemanticLink));
        if (insertLink(*semantic, memoryID, id, std::min(0.2 * static_cast<double>(phrases), 1.0),
                       now)) {
          ++semanticLinks;
        }
      } catch (const db::Error&) {
      }
    }
    if (!entityOpen()) continue;
    const std::unordered_set<std::string_view> theirNames(theirs->entities.begin(),
                                                          theirs->entities.end());
    std::size_t names = 0;
    bool room = false;
    for (std::size_t n = 0; n < mine->entities.size(); ++n) {
      if (!theirNames.count(mine->entities[n])) continue;
      ++names;
      room = room || perName[n] < kMaxLinksPerName;
    }
    if (names == 0 || !room) continue;
    try {
      if (!entity) entity.emplace(connection.prepare(kInsertEntityLink));
      if (insertLink(*entity, memoryID, id, std::min(0.3 * static_cast<double>(names), 1.0), now)) {
        ++entityLinks;
        for (std::size_t n = 0; n < mine->entities.size(); ++n) {
          if (theirNames.count(mine->entities[n])) ++perName[n];
        }
      }
    } catch (const db::Error&) {
    }
  }
  select.reset();
  semantic.reset();
  entity.reset();

  const std::string windowStart = formatter.format(instant - std::chrono::hours(1));
  const std::string windowEnd = formatter.format(instant + std::chrono::hours(1));
  try {
    connection.run(kInsertTemporalLinks,
                   {db::text(memoryID), db::text(now), db::text(windowStart), db::text(windowEnd),
                    db::text(now.substr(0, 23)), db::Value(std::int64_t{kMaxTemporalLinks}),
                    db::Value(std::int64_t{kMaxIncomingLinksPerType})});
  } catch (const db::Error&) {
  }
  try {
    together->commit();
  } catch (const db::Error&) {
  }
}

void linkContradictions(const std::string& memoryID, const std::string& body,
                        const std::optional<std::string>& project, db::Connection& connection) {
  const std::string query = buildFTSOrQuery(body);
  const std::string now = platform::currentTimestampText();
  std::vector<std::string> rules;
  {
    db::Statement select = connection.prepare(project ? kSelectRulesForProject : kSelectRules);
    select.bindText(1, query).bindText(2, memoryID);
    if (project) select.bindText(3, *project);
    try {
      while (select.step()) {
        const db::Value id = select.column(0);
        if (const std::string* text = db::textOf(id)) rules.push_back(*text);
      }
    } catch (const db::Error&) {
    }
  }
  for (const auto& rule : rules) {
    try {
      connection.run(kInsertContradictsLink, {db::text(memoryID), db::text(rule), db::text(now)});
    } catch (const db::Error&) {
    }
  }
}

std::string buildFTSOrQuery(std::string_view text) {
  std::vector<std::string> pieces;
  std::string current;
  auto close = [&] {
    if (current.empty()) return;
    const bool ascii = std::all_of(current.begin(), current.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    const std::size_t length = ascii ? current.size() : platform::graphemeCount(current);
    if (length >= 3 && !ftsStopWords().count(platform::lowercase(current))) {
      pieces.push_back(std::move(current));
    }
    current.clear();
  };
  for (char32_t c : platform::toCodePoints(text)) {
    if (isWordCharacter(c)) {
      platform::appendUtf8(current, c);
    } else {
      close();
    }
  }
  close();
  if (pieces.empty()) return "\"*\"";
  std::string out;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) out += " OR ";
    out += '"';
    for (char c : pieces[i]) {
      if (c == '"') out += '"';  // none can occur after the split; kept for safety
      out += c;
    }
    out += '"';
  }
  return out;
}

namespace {

constexpr std::string_view kSelectMemoriesNamingPaths = R"sql(SELECT p.value, m.id, m.context_path
FROM json_each(?) p
CROSS JOIN memories m ON m.context_path = p.value COLLATE NOCASE
WHERE m.context_path IS NOT NULL AND m.context_path != '')sql";

constexpr std::string_view kSelectContextPathMemories = R"sql(SELECT id, context_path
FROM memories
WHERE context_path IS NOT NULL AND context_path != ''
LIMIT ?)sql";

constexpr std::string_view kInsertCodeFileLink =
    R"sql(INSERT OR IGNORE INTO memory_links (src_id, dst_id, link_type, weight, created_at)
VALUES (?, ?, 'entity', 1.0, ?))sql";

constexpr std::string_view kDeleteCodeFileLinks =
    "DELETE FROM memory_links WHERE dst_id = 'code:' || ? AND link_type = 'entity'";

}  // namespace

ContextPathLookup::ContextPathLookup(db::Connection& connection)
    : select_(connection.prepare(kSelectMemoriesNamingPaths)) {}

std::vector<ContextPathMatch> ContextPathLookup::find(const std::vector<std::string>& paths) {
  std::vector<ContextPathMatch> matches;
  select_.reset();
  select_.bindText(1, db::sqlJsonArray(paths));
  while (select_.step()) {
    auto pathValue = select_.column(0);
    auto memoryValue = select_.column(1);
    auto contextValue = select_.column(2);
    auto path = db::textOf(pathValue);
    auto memory = db::textOf(memoryValue);
    auto context = db::textOf(contextValue);
    if (!path || !memory || !context) continue;
    matches.push_back({*path, *memory, *context});
  }
  return matches;
}

std::optional<std::vector<ContextPathMemory>> contextPathMemoriesUpTo(std::size_t limit,
                                                                      db::Connection& connection) {
  std::vector<ContextPathMemory> memories;
  auto select = connection.prepare(kSelectContextPathMemories);
  select.bindInt(1, static_cast<std::int64_t>(limit) + 1);
  std::size_t rows = 0;
  while (select.step()) {
    if (++rows > limit) return std::nullopt;
    auto id = select.columnText(0);
    auto path = select.columnText(1);
    if (id && path) memories.push_back({std::string(*id), std::string(*path)});
  }
  return memories;
}

void insertCodeFileLinks(const std::vector<MemoryCodeLink>& links, const std::string& now,
                         db::Connection& connection) {
  auto insert = connection.prepare(kInsertCodeFileLink);
  db::Savepoint savepoint(connection, "link_memories");
  for (const auto& link : links) {
    try {
      insert.reset();
      insert.bindText(1, link.memoryID).bindText(2, "code:" + link.fileID).bindText(3, now).run();
    } catch (const db::Error&) {
      // A refused link is passed over.
    }
  }
  savepoint.commit();
}

void deleteCodeFileLinks(const std::vector<std::string>& fileIDs, db::Connection& connection) {
  auto remove = connection.prepare(kDeleteCodeFileLinks);
  for (const auto& id : fileIDs) {
    remove.reset();
    remove.bindText(1, id).run();
  }
}

}  // namespace nodrel::store
