#include "store/vector_store.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "db/error.h"
#include "db/statement.h"
#include "platform/sentence_embedding.h"
#include "platform/time.h"

namespace nodrel::store {
namespace {

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
      AND m.deleted_at IS NULL)sql";
constexpr std::string_view kSelectAllVectors = R"sql(
    SELECT mv.memory_id, mv.embedding
    FROM memory_vectors mv
    LEFT JOIN memories m ON m.id = mv.memory_id
    WHERE m.deleted_at IS NULL)sql";
// A project's search reads only that project's vectors and the global ones, so its best hits
// are never crowded out by another project's. A vector whose memory is gone belongs to no
// project that can be told, so it stays out.
constexpr std::string_view kSelectLiveVectorsInProject = R"sql(
    SELECT mv.memory_id, mv.embedding
    FROM memory_vectors mv
    JOIN memories m ON m.id = mv.memory_id
    WHERE m.tier != 'cold'
      AND m.deleted_at IS NULL
      AND (m.project = ? OR m.project IS NULL))sql";
constexpr std::string_view kSelectAllVectorsInProject = R"sql(
    SELECT mv.memory_id, mv.embedding
    FROM memory_vectors mv
    JOIN memories m ON m.id = mv.memory_id
    WHERE m.deleted_at IS NULL
      AND (m.project = ? OR m.project IS NULL))sql";

constexpr std::string_view kModelName = "NLEmbedding";
constexpr double kMinimumSimilarity = 0.01;

float loadFloat(const char* bytes) {
  std::uint32_t bits;
  std::memcpy(&bits, bytes, 4);
  if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap32(bits);
  return std::bit_cast<float>(bits);
}

float sumOfSquares(std::span<const float> v) {
  float s = 0.0f;
  for (float x : v) s += x * x;
  return s;
}

// Walks the rows of the candidate query, handing each well-formed (id, blob) to `onRow`.
// A failure while stepping ends the walk: the rows so far count and the statement is finalised.
db::Statement prepareCandidates(db::Connection& connection, bool excludeCold,
                                const std::optional<std::string>& project) {
  if (!project) return connection.prepare(excludeCold ? kSelectLiveVectors : kSelectAllVectors);
  db::Statement statement = connection.prepare(excludeCold ? kSelectLiveVectorsInProject
                                                           : kSelectAllVectorsInProject);
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

std::vector<SimilarityHit> searchSimilar(std::span<const float> query, std::int64_t limit,
                                         bool excludeCold, db::Connection& connection,
                                         const std::optional<std::string>& project) {
  struct Kept {
    float similarity;
    std::size_t row;  // candidate order, which breaks ties
    std::string id;
  };
  // The worst kept hit on top: lowest similarity, and of equal ones the latest row.
  auto worse = [](const Kept& a, const Kept& b) {
    return a.similarity != b.similarity ? a.similarity < b.similarity : a.row > b.row;
  };
  auto better = [&](const Kept& a, const Kept& b) { return worse(b, a); };
  std::vector<Kept> heap;
  const std::size_t keep = limit > 0 ? static_cast<std::size_t>(limit) : 0;
  const std::size_t dimension = query.size();
  if (keep == 0 || dimension == 0) {
    // Nothing can be returned, but a query that cannot be prepared is still an error.
    prepareCandidates(connection, excludeCold, project);
    return {};
  }
  const float queryNorm = std::sqrt(sumOfSquares(query));
  std::vector<float> candidate(dimension);
  std::size_t row = 0;

  eachCandidateRow(connection, excludeCold, project,
                   [&](const std::string& id, std::string_view blob) {
    const std::size_t index = row++;
    if (blob.size() / 4 != dimension) return;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(candidate.data(), blob.data(), dimension * 4);
    } else {
      for (std::size_t i = 0; i < dimension; ++i) candidate[i] = loadFloat(blob.data() + 4 * i);
    }
    float dot = 0.0f, squares = 0.0f;
    for (std::size_t i = 0; i < dimension; ++i) {
      dot += query[i] * candidate[i];
      squares += candidate[i] * candidate[i];
    }
    const float denominator = queryNorm * std::sqrt(squares);
    if (!(denominator > 0.0f)) return;
    const float similarity = dot / denominator;
    if (!(static_cast<double>(similarity) > kMinimumSimilarity)) return;
    if (heap.size() < keep) {
      heap.push_back({similarity, index, id});
      std::push_heap(heap.begin(), heap.end(), better);
    } else if (similarity > heap.front().similarity) {
      std::pop_heap(heap.begin(), heap.end(), better);
      heap.back() = {similarity, index, id};
      std::push_heap(heap.begin(), heap.end(), better);
    }
  });

  std::sort(heap.begin(), heap.end(), better);
  std::vector<SimilarityHit> hits;
  hits.reserve(heap.size());
  for (auto& k : heap) hits.push_back({std::move(k.id), static_cast<double>(k.similarity)});
  return hits;
}

}  // namespace nodrel::store
