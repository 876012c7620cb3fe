// platform/sentence_embedding.h: the English sentence-embedding model the memory store ranks by.
// Not a neural model: a deterministic feature-hashing vector. The words of the text (ICU word
// breaks, lower-cased, identifiers also split at camelCase and snake_case boundaries) are
// reduced to Snowball English stems; the stems of content words and the pairs of adjacent
// stems are hashed with a fixed signed 64-bit hash into 256 dimensions, and the sum is
// L2-normalised. Texts that share stems and word pairs get a high cosine similarity; texts
// that share none meet only in hash collisions, which cancel out on average.
//
// The recipe is frozen once vectors are stored: any change to it must also change
// kDimension, so that vectors of the old recipe are never compared with new ones.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace nodrel::platform {

class SentenceEmbedding {
 public:
  static constexpr std::size_t kDimension = 256;

  // The model for a language code ("en"), or nothing when there is none for it.
  static std::optional<SentenceEmbedding> forLanguage(std::string_view language);

  std::size_t dimension() const { return kDimension; }

  // The unit vector of the text, or nothing when the text has no words. Never throws.
  // Safe to call from several threads (each keeps its own stemmer).
  std::optional<std::vector<double>> vector(std::string_view text) const;

 private:
  SentenceEmbedding() = default;
};

}  // namespace nodrel::platform
