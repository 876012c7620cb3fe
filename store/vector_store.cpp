#include "store/vector_store.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "db/error.h"
#include "db/statement.h"
#include "platform/sentence_embedding.h"
#include "platform/time.h"
#include "store/in_list.h"
#include "store/vector_scan.h"

namespace nodrel::store {
namespace {

using vector_scan::BestHits;
using vector_scan::better;
using vector_scan::CandidateSums;
using vector_scan::candidateSums;
using vector_scan::dotProduct;
using vector_scan::Hit;
using vector_scan::loadFloat;
using vector_scan::norm;
using vector_scan::offerEveryStoredVector;
using vector_scan::offerSimilar;

constexpr std::string_view kInsertEmbedding =
    "INSERT OR REPLACE INTO memory_vectors (memory_id, embedding, model, created_at)\n"
    "VALUES (?, ?, ?, ?)";

// Soft-deleted memories must not come back through recall, so both forms leave them out; the
// LEFT JOIN keeps the vectors whose memory row is gone, as the form without the tier filter
// should.
constexpr std::string_view kSelectLiveVectors = R"sql(
    SELECT mv.memory_id, mv.embedding
    FROM memory_vectors mv
    JOIN memories m ON m.id = mv.memory_id
    WHERE m.tier != 'cold'
      AND m.deleted_at IS NULL
    ORDER BY mv.rowid)sql";
constexpr std::string_view kSelectAllVectors = R"sql(
    SELECT mv.memory_id, mv.embedding
    FROM memory_vectors mv
    LEFT JOIN memories m ON m.id = mv.memory_id
    WHERE m.deleted_at IS NULL
    ORDER BY mv.rowid)sql";
// A project's search reads only that project's vectors and the global ones, so its best hits
// are never crowded out by another project's. A vector whose memory is gone belongs to no
// project that can be told, so it stays out.
constexpr std::string_view kSelectLiveVectorsInProject = R"sql(
    SELECT mv.memory_id, mv.embedding
    FROM memory_vectors mv
    JOIN memories m ON m.id = mv.memory_id
    WHERE m.tier != 'cold'
      AND m.deleted_at IS NULL
      AND (m.project = ? OR m.project IS NULL)
    ORDER BY mv.rowid)sql";
constexpr std::string_view kSelectAllVectorsInProject = R"sql(
    SELECT mv.memory_id, mv.embedding
    FROM memory_vectors mv
    JOIN memories m ON m.id = mv.memory_id
    WHERE m.deleted_at IS NULL
      AND (m.project = ? OR m.project IS NULL)
    ORDER BY mv.rowid)sql";

// The search itself reads the vectors alone and asks which of its best hits may be returned only
// afterwards, by identifier: joining every vector row to its memory cost three to four times the
// read of the vectors. Equal similarities are ordered by the vector's rowid, as the joined
// statements order their rows.
constexpr std::string_view kSelectStoredVectors =
    "SELECT rowid, memory_id, embedding FROM memory_vectors";
// The plain read of every vector (store/vector_scan.cpp) leaves the identifiers out: only the
// few best hits need one, looked up by rowid afterwards, and reading each row's identifier cost
// a tenth of the read.
constexpr std::string_view kSelectIDsOfVectorRows =
    "SELECT rowid, memory_id FROM memory_vectors WHERE rowid IN (";
// A project's search is the exception while its memories are a small share of the store:
// reading only their vectors by index then costs less than reading every vector in turn. Past
// that share the lookups, one per memory, cost more than the plain read. The lookups go in key
// order, the identifiers sorted before the identifier index is searched and the rowids before
// the table is: joined in the memories' order they landed on the index's pages at random, and a
// large store read most of those pages once for every memory of the project.
constexpr std::string_view kSelectLiveVectorsOfProject = R"sql(
    SELECT rowid, memory_id, embedding FROM memory_vectors
    WHERE rowid IN (SELECT rowid FROM memory_vectors
                    WHERE memory_id IN (SELECT id FROM memories
                                        WHERE tier != 'cold'
                                          AND deleted_at IS NULL
                                          AND (project = ? OR project IS NULL))))sql";
constexpr std::string_view kSelectAllVectorsOfProject = R"sql(
    SELECT rowid, memory_id, embedding FROM memory_vectors
    WHERE rowid IN (SELECT rowid FROM memory_vectors
                    WHERE memory_id IN (SELECT id FROM memories
                                        WHERE deleted_at IS NULL
                                          AND (project = ? OR project IS NULL))))sql";
// Which of a batch of hits the search may return, one statement per form of the search above.
// Without the tier filter and a project, only a deleted memory is refused, and a vector whose
// memory is gone is kept: that form asks for the refused ones. The unary "+" keeps the other
// columns' indexes out of the plan: given the project's index, SQLite walked every live memory
// of the project to find the few hits, where looking the hits up by id touches only them.
constexpr std::string_view kSelectSearchableLive =
    "SELECT id FROM memories WHERE +tier != 'cold' AND +deleted_at IS NULL AND id IN (";
constexpr std::string_view kSelectRefusedAll =
    "SELECT id FROM memories WHERE +deleted_at IS NOT NULL AND id IN (";
constexpr std::string_view kSelectSearchableLiveInProject =
    "SELECT id FROM memories WHERE +tier != 'cold' AND +deleted_at IS NULL"
    " AND (+project = ? OR +project IS NULL) AND id IN (";
constexpr std::string_view kSelectSearchableAllInProject =
    "SELECT id FROM memories WHERE +deleted_at IS NULL"
    " AND (+project = ? OR +project IS NULL) AND id IN (";
// How many live memories the project and the global ones hold, each counted no further than
// the share of the store past which its vectors are read in one plain pass; and how many
// vectors the store holds at most (rowids only grow, so the largest is at least the count and
// is found without reading the table). Two counts, each along the project index alone: asked
// as one OR, SQLite gathered the rowids of both and read every row, three times the cost.
constexpr std::string_view kCountProjectUpTo = R"sql(
    SELECT (SELECT count(*) FROM (SELECT 1 FROM memories
                                  WHERE project = ?1 AND deleted_at IS NULL LIMIT ?2))
         + (SELECT count(*) FROM (SELECT 1 FROM memories
                                  WHERE project IS NULL AND deleted_at IS NULL LIMIT ?2)))sql";
// Changes whenever another connection commits to the database.
constexpr std::string_view kDataVersion = "PRAGMA data_version";

constexpr std::string_view kModelName = "NLEmbedding";
// The project's share of the store (its memories and the global ones, against the vectors) up to
// which its vectors are read by index. Measured on 100,000 memories of real text, the index read
// costs 0.65 of the plain one at 12 %, 1.2 at 20 %, 1.4 at 24 % and 2.6 at half; on 10,000,
// whose pages stay cached, 0.7 at 20 % and 1.5 at half.
constexpr double kIndexedProjectShare = 0.17;
constexpr double kIndexedProjectShareOfSmallStore = 0.30;
constexpr std::int64_t kSmallStoreVectors = 20000;
// How many of its best hits a search keeps for each it returns, enough for the ones it may not
// return (another project's, cold, deleted) in all but unusual stores.
constexpr std::size_t kHitsKeptPerResult = 16;

// The similarity of two vectors of one dimension given their norms; nothing for a zero vector.
std::optional<float> similarityOf(const float* query, float queryNorm, const float* candidate,
                                  float candidateNorm, std::size_t n) {
  const float denominator = queryNorm * candidateNorm;
  if (!(denominator > 0.0f)) return std::nullopt;
  return dotProduct(query, candidate, n) / denominator;
}

// Walks the rows of the candidate query, handing each well-formed (id, blob) to `onRow`.
// A failure while stepping ends the walk: the rows so far count and the statement is finalised.
db::Statement prepareCandidates(db::Connection& connection, bool excludeCold,
                                const std::optional<std::string>& project) {
  if (!project) return connection.prepare(excludeCold ? kSelectLiveVectors : kSelectAllVectors);
  db::Statement statement =
      connection.prepare(excludeCold ? kSelectLiveVectorsInProject : kSelectAllVectorsInProject);
  statement.bindText(1, *project);
  return statement;
}

template <typename OnRow>
void eachCandidateRow(db::Connection& connection, bool excludeCold,
                      const std::optional<std::string>& project, OnRow&& onRow) {
  db::Statement statement = prepareCandidates(connection, excludeCold, project);
  try {
    while (statement.step()) {
      const db::Value id = statement.column(0);
      const std::string* idText = db::textOf(id);
      if (idText == nullptr) continue;
      const db::Value blob = statement.column(1);
      const db::Blob* bytes = db::blobOf(blob);
      if (bytes == nullptr || bytes->bytes.size() < 4) continue;
      onRow(*idText, std::string_view(bytes->bytes));
    }
  } catch (const db::Error&) {
  }
}

}  // namespace

struct KeptVectorCopy::Packed {
  std::int64_t dataVersion = 0;
  // False until read, and again once a vector was stored through the connection, which
  // `PRAGMA data_version` does not report.
  bool filled = false;
  std::vector<std::int64_t> rowids;
  std::vector<std::string> ids;
  std::vector<std::size_t> offsets;  // into components; one more than there are rows
  std::vector<float> components;
  std::vector<float> norms;
};

std::vector<float> decodeEmbedding(std::string_view blob) {
  std::vector<float> out(blob.size() / 4);
  if constexpr (std::endian::native == std::endian::little) {
    if (!out.empty()) std::memcpy(out.data(), blob.data(), out.size() * 4);
  } else {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = loadFloat(blob.data() + 4 * i);
  }
  return out;
}

std::string encodeEmbedding(std::span<const float> embedding) {
  std::string out(embedding.size() * 4, '\0');
  if constexpr (std::endian::native == std::endian::little) {
    if (!embedding.empty()) std::memcpy(out.data(), embedding.data(), out.size());
  } else {
    for (std::size_t i = 0; i < embedding.size(); ++i) {
      const std::uint32_t bits = __builtin_bswap32(std::bit_cast<std::uint32_t>(embedding[i]));
      std::memcpy(out.data() + 4 * i, &bits, 4);
    }
  }
  return out;
}

std::optional<std::vector<float>> embed(std::string_view text) {
  const auto model = platform::SentenceEmbedding::forLanguage("en");
  if (!model) return std::nullopt;
  const auto vector = model->vector(text);
  if (!vector) return std::nullopt;
  std::vector<float> out(vector->size());
  std::transform(vector->begin(), vector->end(), out.begin(),
                 [](double x) { return static_cast<float>(x); });
  return out;
}

void storeEmbedding(const std::string& memoryID, const std::vector<float>& embedding,
                    db::Connection& connection) {
  const db::Value bindings[] = {db::text(memoryID), db::Blob{encodeEmbedding(embedding)},
                                db::text(kModelName), db::text(platform::currentTimestampText())};
  connection.run(kInsertEmbedding, bindings);
}

std::vector<VectorStore::VectorCandidate> VectorStore::fetchVectorCandidates(
    bool excludeCold, const std::optional<std::string>& project) const {
  std::vector<VectorCandidate> out;
  eachCandidateRow(*db_, excludeCold, project, [&](const std::string& id, std::string_view blob) {
    out.push_back({id, decodeEmbedding(blob)});
  });
  return out;
}

float cosineSimilarity(std::span<const float> a, std::span<const float> b) {
  if (a.empty() || a.size() != b.size()) return 0.0f;
  return similarityOf(a.data(), norm(a.data(), a.size()), b.data(), norm(b.data(), b.size()),
                      a.size())
      .value_or(0.0f);
}

namespace {

using PackedVectors = KeptVectorCopy::Packed;

// Steps a statement over (rowid, memory_id, embedding) rows, handing each row with an integer
// rowid, a text id and a blob to `onRow`; the others are passed over. The views are SQLite's
// own, valid until the next step: a search reads every vector, and copying each one cost as
// much as comparing it. A failure while stepping is the caller's to absorb.
template <typename OnRow>
void eachStoredVector(db::Statement& statement, OnRow&& onRow) {
  while (statement.step()) {
    const auto rowid = statement.columnInteger(0);
    const auto bytes = statement.columnBlob(2);
    const auto id = statement.columnText(1);
    if (!rowid || !id || !bytes) continue;
    onRow(*rowid, *id, *bytes);
  }
}

// Reads the vectors into `packed` unless it is current. A failure while reading leaves it
// empty and unfilled, so the next search reads again.
void refresh(PackedVectors& packed, db::Connection& connection) {
  const std::int64_t version =
      db::integerOf(connection.scalar(kDataVersion).value_or(db::Null{})).value_or(-1);
  if (packed.filled && packed.dataVersion == version) return;
  packed = PackedVectors{};
  db::Statement statement = connection.prepare(kSelectStoredVectors);
  packed.offsets.push_back(0);
  try {
    eachStoredVector(statement,
                     [&](std::int64_t rowid, std::string_view id, std::string_view bytes) {
                       if (bytes.size() < 4) return;
                       const std::vector<float> v = decodeEmbedding(bytes);
                       packed.rowids.push_back(rowid);
                       packed.ids.emplace_back(id);
                       packed.components.insert(packed.components.end(), v.begin(), v.end());
                       packed.offsets.push_back(packed.components.size());
                       packed.norms.push_back(norm(v.data(), v.size()));
                     });
  } catch (const db::Error&) {
    packed = PackedVectors{};
    return;
  }
  packed.dataVersion = version;
  packed.filled = true;
}

// Whether the project holds a small enough share of the store that reading its vectors by
// index beats one plain read of them all. A failure to tell reads them all, which is always
// right.
bool readsProjectByIndex(const std::string& project, db::Connection& connection) {
  try {
    const auto vectors = vector_scan::largestVectorRowid(connection);
    if (vectors <= 0) return false;
    const double share =
        vectors <= kSmallStoreVectors ? kIndexedProjectShareOfSmallStore : kIndexedProjectShare;
    const auto upTo = static_cast<std::int64_t>(std::ceil(share * static_cast<double>(vectors)));
    const auto counted =
        db::integerOf(connection.scalar(kCountProjectUpTo, {db::text(project), db::Value(upTo)})
                          .value_or(db::Null{}))
            .value_or(upTo);
    return counted < upTo;
  } catch (const db::Error&) {
    return false;
  }
}

// Where a search's hits came from: `screened`, rows already limited to those the search may
// return; `unnamed`, rows read without their identifiers, which namedHits() then supplies.
struct HitSource {
  bool screened = false;
  bool unnamed = false;
};

// The best stored vectors of the query's dimension that are similar enough, into `hits`: from
// `packed`, the copy kept for this connection, when there is one, or read from the table.
HitSource similarHits(std::span<const float> query, bool excludeCold,
                      const std::optional<std::string>& project, db::Connection& connection,
                      PackedVectors* packed, BestHits& hits) {
  const std::size_t dimension = query.size();
  const float queryNorm = norm(query.data(), dimension);
  HitSource source;
  if (packed != nullptr) {
    refresh(*packed, connection);
    if (packed->filled) {
      for (std::size_t row = 0; row < packed->ids.size(); ++row) {
        if (packed->offsets[row + 1] - packed->offsets[row] != dimension) continue;
        const float* candidate = packed->components.data() + packed->offsets[row];
        offerSimilar(hits, queryNorm, packed->rowids[row],
                     dotProduct(query.data(), candidate, dimension), packed->norms[row],
                     packed->ids[row]);
      }
      return source;
    }
  }
  source.screened = project && readsProjectByIndex(*project, connection);
  if (!source.screened) {
    source.unnamed = true;
    offerEveryStoredVector(connection, query, queryNorm, hits);
    return source;
  }
  db::Statement statement =
      connection.prepare(excludeCold ? kSelectLiveVectorsOfProject : kSelectAllVectorsOfProject);
  statement.bindText(1, *project);
  try {
    eachStoredVector(
        statement, [&](std::int64_t rowid, std::string_view id, std::string_view bytes) {
          if (bytes.size() / 4 != dimension) return;
          const CandidateSums sums = candidateSums(query.data(), bytes.data(), dimension);
          offerSimilar(hits, queryNorm, rowid, sums.dot, sums.norm, id);
        });
  } catch (const db::Error&) {
    // The hits so far stand.
  }
  return source;
}

// The hits of `batch` with their identifiers, read by rowid, in the batch's order. A hit whose
// row has gone since, or whose identifier is not text, is left out, as a read with the
// identifiers passes such rows over. Throws db::Error when the statement cannot be prepared; a
// failure while stepping leaves out the hits not yet named.
std::vector<Hit> namedHits(std::span<const Hit> batch, db::Connection& connection) {
  std::string sql(kSelectIDsOfVectorRows);
  sql += sqlPlaceholders(batch.size());
  sql += ")";
  db::Statement statement = connection.prepare(sql);
  int index = 1;
  for (const Hit& hit : batch) statement.bindInt(index++, hit.rowid);
  std::unordered_map<std::int64_t, std::string> ids;
  try {
    while (statement.step()) {
      const auto rowid = statement.columnInteger(0);
      const auto id = statement.columnText(1);
      if (rowid && id) ids.emplace(*rowid, *id);
    }
  } catch (const db::Error&) {
  }
  std::vector<Hit> named;
  named.reserve(batch.size());
  for (const Hit& hit : batch) {
    auto it = ids.find(hit.rowid);
    if (it != ids.end()) named.push_back({hit.similarity, hit.rowid, std::move(it->second)});
  }
  return named;
}

// Of `ids`, those the search may return (or, for the form that refuses only deleted memories,
// those it must not). Throws db::Error when the statement cannot be prepared; a failure while
// stepping keeps what was read.
std::unordered_set<std::string> askMemories(std::span<const Hit> batch, bool excludeCold,
                                            const std::optional<std::string>& project,
                                            db::Connection& connection) {
  std::string sql(
      project ? (excludeCold ? kSelectSearchableLiveInProject : kSelectSearchableAllInProject)
              : (excludeCold ? kSelectSearchableLive : kSelectRefusedAll));
  sql += sqlPlaceholders(batch.size());
  sql += ")";
  db::Statement statement = connection.prepare(sql);
  int index = 1;
  if (project) statement.bindText(index++, *project);
  for (const Hit& hit : batch) statement.bindText(index++, hit.id);
  std::unordered_set<std::string> ids;
  try {
    while (statement.step()) {
      const db::Value id = statement.column(0);
      if (const std::string* text = db::textOf(id)) ids.insert(*text);
    }
  } catch (const db::Error&) {
  }
  return ids;
}

std::vector<SimilarityHit> searchWith(std::span<const float> query, std::int64_t limit,
                                      bool excludeCold, db::Connection& connection,
                                      const std::optional<std::string>& project,
                                      PackedVectors* packed) {
  const std::size_t keep = limit > 0 ? static_cast<std::size_t>(limit) : 0;
  if (keep == 0 || query.empty()) {
    // Nothing can be returned, but a query that cannot be prepared is still an error.
    prepareCandidates(connection, excludeCold, project);
    return {};
  }
  // Most searches find as many hits they may return among a few times the limit of their best
  // ones; one that does not searches again keeping every hit, so the answer is the same.
  constexpr std::size_t kEvery = std::numeric_limits<std::size_t>::max();
  const std::size_t firstCapacity =
      keep > kEvery / kHitsKeptPerResult ? kEvery : keep * kHitsKeptPerResult;
  const std::size_t slice = keep > kEvery / 4 ? kEvery : 4 * keep;
  for (std::size_t capacity = firstCapacity;; capacity = kEvery) {
    BestHits best(capacity);
    const HitSource source = similarHits(query, excludeCold, project, connection, packed, best);
    const bool complete = !best.passedOver();
    std::vector<Hit> hits = best.take();
    if (source.screened) {
      const std::size_t upTo = std::min(keep, hits.size());
      std::partial_sort(hits.begin(), hits.begin() + static_cast<std::ptrdiff_t>(upTo), hits.end(),
                        better);
      std::vector<SimilarityHit> out;
      out.reserve(upTo);
      for (std::size_t i = 0; i < upTo; ++i) {
        out.push_back({std::move(hits[i].id), static_cast<double>(hits[i].similarity)});
      }
      return out;
    }

    // Best first, a few times the limit at a time, until enough of them may be returned: most
    // searches sort and ask about a small share of the hits.
    const bool asksForRefused = !excludeCold && !project;
    std::vector<SimilarityHit> out;
    std::size_t sorted = 0;
    while (out.size() < keep && sorted < hits.size()) {
      const std::size_t step = std::max(slice, sorted);
      const std::size_t upTo = hits.size() - sorted > step ? sorted + step : hits.size();
      std::partial_sort(hits.begin() + static_cast<std::ptrdiff_t>(sorted),
                        hits.begin() + static_cast<std::ptrdiff_t>(upTo), hits.end(), better);
      const std::span<const Hit> batchOfBest(hits.data() + sorted, upTo - sorted);
      forEachBatch<Hit>(batchOfBest, kInListBatchSize, [&](std::span<const Hit> best) {
        if (out.size() >= keep) return;
        std::vector<Hit> named;
        if (source.unnamed) named = namedHits(best, connection);
        const std::span<const Hit> batch = source.unnamed ? std::span<const Hit>(named) : best;
        if (batch.empty()) return;
        const auto answered = askMemories(batch, excludeCold, project, connection);
        for (const Hit& hit : batch) {
          if (out.size() >= keep) break;
          if (answered.contains(hit.id) == asksForRefused) continue;
          out.push_back({hit.id, static_cast<double>(hit.similarity)});
        }
      });
      sorted = upTo;
    }
    if (out.size() >= keep || complete) return out;
  }
}

}  // namespace

std::vector<SimilarityHit> searchSimilar(std::span<const float> query, std::int64_t limit,
                                         bool excludeCold, db::Connection& connection,
                                         const std::optional<std::string>& project) {
  return searchWith(query, limit, excludeCold, connection, project, nullptr);
}

std::vector<SimilarityHit> searchSimilar(std::span<const float> query, std::int64_t limit,
                                         bool excludeCold, KeptVectorCopy& kept,
                                         const std::optional<std::string>& project) {
  std::lock_guard lock(kept.mutex_);
  return searchWith(query, limit, excludeCold, *kept.connection_, project, kept.packed_.get());
}

KeptVectorCopy::KeptVectorCopy(db::Connection& connection)
    : connection_(&connection), packed_(std::make_unique<Packed>()) {}

KeptVectorCopy::~KeptVectorCopy() = default;

void KeptVectorCopy::noteVectorStored() {
  std::lock_guard lock(mutex_);
  packed_->filled = false;
}

}  // namespace nodrel::store
