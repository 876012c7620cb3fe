// store/vector_store.h: sentence vectors of memories in `memory_vectors`, and their search.
// A stored vector is its binary32 components, little-endian, with no header; vectors of
// another dimension than the query's are never compared.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "db/connection.h"

namespace nodrel::store {

// The English sentence vector of the text, or nothing when none can be had. Never throws.
std::optional<std::vector<float>> embed(std::string_view text);

class KeptVectorCopy;

// Writes (replacing) the vector row of the memory. A copy kept for the connection is not told:
// the writer calls its noteVectorStored(). Throws db::Error.
void storeEmbedding(const std::string& memoryID, const std::vector<float>& embedding,
                    db::Connection& connection);

// One search result: a memory and its cosine similarity to the query.
struct SimilarityHit {
  std::string memoryID;
  double similarity = 0.0;

  friend bool operator==(const SimilarityHit&, const SimilarityHit&) = default;
};

// The stored vectors most similar to `query`, best first (equal similarities in the table's row
// order), at most `limit` (a negative limit counts as 0); only similarities above 0.01. Vectors
// of soft-deleted memories are never returned; with `excludeCold`, neither are those of cold
// memories nor those whose memory row is gone. With a project, only the vectors of that
// project's memories and of global ones (no project) are searched. Throws db::Error when the
// vectors or the memories cannot be read at all; a failure while reading rows ends the search
// with the hits so far.
std::vector<SimilarityHit> searchSimilar(std::span<const float> query, std::int64_t limit,
                                         bool excludeCold, db::Connection& connection,
                                         const std::optional<std::string>& project = std::nullopt);
// searchSimilar over the copy's connection, comparing against the copy.
std::vector<SimilarityHit> searchSimilar(std::span<const float> query, std::int64_t limit,
                                         bool excludeCold, KeptVectorCopy& kept,
                                         const std::optional<std::string>& project = std::nullopt);

// The cosine similarity that searchSimilar computes, in 32-bit arithmetic; 0 for vectors of
// different or no dimension and for a zero vector.
float cosineSimilarity(std::span<const float> a, std::span<const float> b);

// A packed copy of the stored vectors of one connection, held in memory so that a search
// compares against it instead of reading every blob again: the server searches on each recall.
// The copy is read again when another connection has committed (`PRAGMA data_version`) or a
// vector was stored through this connection since, which the writer reports with
// noteVectorStored(). The connection must outlive it.
class KeptVectorCopy {
 public:
  struct Packed;  // the vectors as last read, in the search's own form

  explicit KeptVectorCopy(db::Connection& connection);
  ~KeptVectorCopy();
  KeptVectorCopy(const KeptVectorCopy&) = delete;
  KeptVectorCopy& operator=(const KeptVectorCopy&) = delete;

  db::Connection& connection() const { return *connection_; }
  // A vector was stored through the connection: the next search reads the vectors again.
  void noteVectorStored();

 private:
  friend std::vector<SimilarityHit> searchSimilar(std::span<const float> query, std::int64_t limit,
                                                  bool excludeCold, KeptVectorCopy& kept,
                                                  const std::optional<std::string>& project);

  db::Connection* connection_;
  std::mutex mutex_;
  std::unique_ptr<Packed> packed_;
};

// The connection-holding form that recall and the writers use; the connection is borrowed.
class VectorStore {
 public:
  struct VectorCandidate {
    std::string memoryID;
    std::vector<float> embedding;

    friend bool operator==(const VectorCandidate&, const VectorCandidate&) = default;
  };

  explicit VectorStore(db::Connection& db) : db_(&db) {}

  db::Connection& db() const { return *db_; }

  std::optional<std::vector<float>> embed(std::string_view text) const {
    return store::embed(text);
  }
  void storeEmbedding(const std::string& memoryID, const std::vector<float>& embedding) const {
    store::storeEmbedding(memoryID, embedding, *db_);
  }
  std::vector<SimilarityHit> searchSimilar(
      std::span<const float> query, std::int64_t limit, bool excludeCold,
      const std::optional<std::string>& project = std::nullopt) const {
    return store::searchSimilar(query, limit, excludeCold, *db_, project);
  }
  // Every readable stored vector (malformed rows and empty vectors passed over), in row order,
  // without those of soft-deleted memories; with `excludeCold` also without those of cold or
  // missing memories; with a project, only those of its memories and of global ones. Throws
  // db::Error when the query cannot be prepared.
  std::vector<VectorCandidate> fetchVectorCandidates(
      bool excludeCold, const std::optional<std::string>& project = std::nullopt) const;

 private:
  db::Connection* db_;
};

// Decodes a stored blob: floor(size / 4) little-endian binary32 components.
std::vector<float> decodeEmbedding(std::string_view blob);
std::string encodeEmbedding(std::span<const float> embedding);

}  // namespace nodrel::store
