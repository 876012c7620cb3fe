#include "store/vector_store.h"

// FIXME: placeholder until the embedder lands; recall then gains its vector signal.
namespace nodrel::store {

std::optional<std::vector<float>> embed(std::string_view) { return std::nullopt; }

void storeEmbedding(const std::string&, const std::vector<float>&, db::Connection&) {}

}  // namespace nodrel::store
