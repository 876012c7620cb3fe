// store/vector_scan.h: the arithmetic of the vector search and its plain read of every stored
// vector: the best hits kept while reading, and a large store's read split between threads.
// store/vector_store.cpp's own, which asks afterwards which of the hits it may return.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"

namespace nodrel::store::vector_scan {

// Only similarities above this are hits.
inline constexpr double kMinimumSimilarity = 0.01;

// The binary32 component stored little-endian at `bytes`.
float loadFloat(const char* bytes);
// Eight running sums, so the additions need not wait on one another and the compiler can use
// vector registers; the order of the additions is otherwise free.
float dotProduct(const float* a, const float* b, std::size_t n);
float norm(const float* v, std::size_t n);

// A stored candidate's dot product with the query and its norm, from its blob of n components.
struct CandidateSums {
  float dot;
  float norm;
};
CandidateSums candidateSums(const float* query, const char* bytes, std::size_t n);

// One kept hit: the vector's similarity, its rowid, and its memory's identifier once known.
struct Hit {
  float similarity;
  std::int64_t rowid;  // breaks ties
  std::string id;
};

inline bool better(const Hit& a, const Hit& b) {
  return a.similarity != b.similarity ? a.similarity > b.similarity : a.rowid < b.rowid;
}

// The best hits offered, at most `capacity` of them: a search needs only its best few, and
// keeping every similar vector (most of a large store) cost a fresh page of memory for every
// forty, which on a one-shot process cost more than comparing them. A heap whose top is the
// worst kept hit; an identifier is copied only for a hit that is kept.
class BestHits {
 public:
  explicit BestHits(std::size_t capacity) : capacity_(capacity) {}

  void offer(float similarity, std::int64_t rowid, std::string_view id) {
    if (hits_.size() < capacity_) {
      hits_.push_back({similarity, rowid, std::string(id)});
      std::push_heap(hits_.begin(), hits_.end(), better);
      return;
    }
    passedOver_ = true;
    if (capacity_ == 0) return;
    const Hit& worst = hits_.front();
    const bool betterThanWorst =
        similarity != worst.similarity ? similarity > worst.similarity : rowid < worst.rowid;
    if (!betterThanWorst) return;
    std::pop_heap(hits_.begin(), hits_.end(), better);
    hits_.back().similarity = similarity;
    hits_.back().rowid = rowid;
    hits_.back().id.assign(id);
    std::push_heap(hits_.begin(), hits_.end(), better);
  }

  // Offers every hit `other` kept, and takes on that it passed over some: the best of two
  // parts of a read are those of the whole read.
  void absorb(BestHits&& other) {
    for (Hit& hit : other.hits_) offer(hit.similarity, hit.rowid, hit.id);
    passedOver_ = passedOver_ || other.passedOver_;
    other.hits_.clear();
  }

  std::size_t capacity() const { return capacity_; }
  // Whether a hit was offered that is not kept, so the kept ones may not be all there are.
  bool passedOver() const { return passedOver_; }
  // The kept hits, in no order.
  std::vector<Hit> take() { return std::move(hits_); }

 private:
  std::size_t capacity_;
  bool passedOver_ = false;
  std::vector<Hit> hits_;
};

// Offers the stored vector to `hits` when it is similar enough to the query.
void offerSimilar(BestHits& hits, float queryNorm, std::int64_t rowid, float dot,
                  float candidateNorm, std::string_view id);

// The largest rowid of the stored vectors, 0 when there are none. Throws db::Error.
std::int64_t largestVectorRowid(db::Connection& connection);

// Offers every stored vector of the query's dimension, read in one plain pass without the
// identifiers of its memories, which the hits then lack. Throws db::Error when the vectors cannot
// be read at all; a failure while reading rows keeps the hits so far.
void offerEveryStoredVector(db::Connection& connection, std::span<const float> query,
                            float queryNorm, BestHits& hits);

}  // namespace nodrel::store::vector_scan
