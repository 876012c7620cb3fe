#include "store/vector_scan.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <thread>

#include "db/error.h"
#include "db/statement.h"

namespace nodrel::store::vector_scan {
namespace {

constexpr std::string_view kSelectStoredVectorRange =
    "SELECT rowid, embedding FROM memory_vectors WHERE rowid BETWEEN ? AND ?";
constexpr std::string_view kLargestVectorRowid = "SELECT max(rowid) FROM memory_vectors";
// A plain read of more vectors than twice this is split between threads, one for each this
// many and at most four: below that, a second connection's start costs more than it saves.
constexpr std::int64_t kVectorsPerReadingThread = 20000;
constexpr std::size_t kMostReadingThreads = 4;

using FourFloats = float __attribute__((vector_size(16)));

FourFloats loadFour(const char* bytes) {
  FourFloats four;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&four, bytes, sizeof four);
  } else {
    for (int k = 0; k < 4; ++k) four[k] = loadFloat(bytes + 4 * k);
  }
  return four;
}

}  // namespace

float loadFloat(const char* bytes) {
  std::uint32_t bits;
  std::memcpy(&bits, bytes, 4);
  if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap32(bits);
  return std::bit_cast<float>(bits);
}

float dotProduct(const float* a, const float* b, std::size_t n) {
  float lanes[8] = {};
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (std::size_t k = 0; k < 8; ++k) lanes[k] += a[i + k] * b[i + k];
  }
  float tail = 0.0f;
  for (; i < n; ++i) tail += a[i] * b[i];
  return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) +
         ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7])) + tail;
}

float norm(const float* v, std::size_t n) { return std::sqrt(dotProduct(v, v, n)); }

// One pass over the blob, without copying it: each sum runs in dotProduct's eight lanes and
// order, so both figures are those of dotProduct and norm bit for bit. The lanes are spelt as
// vectors of four (loadFour): written as arrays, the two sums side by side were left to scalar
// instructions, three times the work.
CandidateSums candidateSums(const float* query, const char* bytes, std::size_t n) {
  FourFloats dotsLow = {};
  FourFloats dotsHigh = {};
  FourFloats squaresLow = {};
  FourFloats squaresHigh = {};
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    FourFloats queryLow;
    FourFloats queryHigh;
    std::memcpy(&queryLow, query + i, sizeof queryLow);
    std::memcpy(&queryHigh, query + i + 4, sizeof queryHigh);
    const FourFloats low = loadFour(bytes + 4 * i);
    const FourFloats high = loadFour(bytes + 4 * i + 16);
    dotsLow += queryLow * low;
    dotsHigh += queryHigh * high;
    squaresLow += low * low;
    squaresHigh += high * high;
  }
  float dotTail = 0.0f;
  float squareTail = 0.0f;
  for (; i < n; ++i) {
    const float c = loadFloat(bytes + 4 * i);
    dotTail += query[i] * c;
    squareTail += c * c;
  }
  const float dot = ((dotsLow[0] + dotsLow[1]) + (dotsLow[2] + dotsLow[3])) +
                    ((dotsHigh[0] + dotsHigh[1]) + (dotsHigh[2] + dotsHigh[3])) + dotTail;
  const float square = ((squaresLow[0] + squaresLow[1]) + (squaresLow[2] + squaresLow[3])) +
                       ((squaresHigh[0] + squaresHigh[1]) + (squaresHigh[2] + squaresHigh[3])) +
                       squareTail;
  return {dot, std::sqrt(square)};
}

// Offers the stored vector to `hits` when it is similar enough to the query.
void offerSimilar(BestHits& hits, float queryNorm, std::int64_t rowid, float dot,
                  float candidateNorm, std::string_view id) {
  const float denominator = queryNorm * candidateNorm;
  if (!(denominator > 0.0f)) return;
  const float similarity = dot / denominator;
  if (static_cast<double>(similarity) > kMinimumSimilarity) hits.offer(similarity, rowid, id);
}

namespace {

// Offers the vectors of the rowids first to last, of the query's dimension, read in one plain
// pass without their identifiers. Throws db::Error when the statement cannot be prepared; a
// failure while stepping keeps the hits so far.
void offerStoredVectors(db::Connection& connection, std::int64_t first, std::int64_t last,
                        std::span<const float> query, float queryNorm, BestHits& hits) {
  db::Statement statement = connection.prepare(kSelectStoredVectorRange);
  statement.bindInt(1, first);
  statement.bindInt(2, last);
  const std::size_t dimension = query.size();
  try {
    while (statement.step()) {
      const auto rowid = statement.columnInteger(0);
      const auto bytes = statement.columnBlob(1);
      if (!rowid || !bytes || bytes->size() / 4 != dimension) continue;
      const CandidateSums sums = candidateSums(query.data(), bytes->data(), dimension);
      offerSimilar(hits, queryNorm, *rowid, sums.dot, sums.norm, {});
    }
  } catch (const db::Error&) {
    // The hits so far stand.
  }
}

// How many threads read a store of vectors up to this rowid.
std::size_t readingThreadsFor(std::int64_t largestRowid) {
  if (largestRowid < 2 * kVectorsPerReadingThread) return 1;
  const auto byStore = static_cast<std::size_t>(largestRowid / kVectorsPerReadingThread);
  const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  return std::min({byStore, cores, kMostReadingThreads});
}

}  // namespace

// Offers every stored vector of the query's dimension, read in one plain pass. A large store's
// pass is split by rowid between threads, each reading through a connection of its own: the
// pass is mostly the kernel copying pages and the sums, and both divide between cores. The best
// hits of the parts are those of the whole, so the answer is that of one pass. A part whose
// connection could not read at all is read again through this one.
void offerEveryStoredVector(db::Connection& connection, std::span<const float> query,
                            float queryNorm, BestHits& hits) {
  constexpr std::int64_t kFirst = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t kLast = std::numeric_limits<std::int64_t>::max();
  std::int64_t largest = 0;
  try {
    largest = largestVectorRowid(connection);
  } catch (const db::Error&) {
  }
  std::vector<db::Connection> readers;
  for (std::size_t k = 1; k < readingThreadsFor(largest); ++k) {
    try {
      auto reader = connection.openAnotherReader();
      if (!reader) break;
      readers.push_back(std::move(*reader));
    } catch (const db::Error&) {
      break;
    }
  }
  if (readers.empty()) {
    offerStoredVectors(connection, kFirst, kLast, query, queryNorm, hits);
    return;
  }
  const auto parts = static_cast<std::int64_t>(readers.size()) + 1;
  const std::int64_t span = largest / parts;
  auto firstOf = [&](std::int64_t part) { return part == 0 ? kFirst : part * span + 1; };
  auto lastOf = [&](std::int64_t part) { return part == parts - 1 ? kLast : (part + 1) * span; };
  std::vector<BestHits> partHits(readers.size(), BestHits(hits.capacity()));
  std::vector<char> failed(readers.size(), 0);
  {
    std::vector<std::jthread> threads;
    for (std::size_t k = 0; k < readers.size(); ++k) {
      threads.emplace_back([&, k] {
        const auto part = static_cast<std::int64_t>(k) + 1;
        try {
          offerStoredVectors(readers[k], firstOf(part), lastOf(part), query, queryNorm,
                             partHits[k]);
        } catch (...) {
          failed[k] = 1;
        }
      });
    }
    offerStoredVectors(connection, firstOf(0), lastOf(0), query, queryNorm, hits);
  }
  for (std::size_t k = 0; k < readers.size(); ++k) {
    const auto part = static_cast<std::int64_t>(k) + 1;
    if (failed[k] != 0) {
      offerStoredVectors(connection, firstOf(part), lastOf(part), query, queryNorm, hits);
    } else {
      hits.absorb(std::move(partHits[k]));
    }
  }
}

std::int64_t largestVectorRowid(db::Connection& connection) {
  return db::integerOf(connection.scalar(kLargestVectorRowid).value_or(db::Null{})).value_or(0);
}

}  // namespace nodrel::store::vector_scan
