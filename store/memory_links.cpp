#include "store/memory_links.h"

// FIXME: placeholder until linking lands.
namespace nodrel::store {

void createMemoryLinks(const std::string&, const std::string&, db::Connection&) {}

}  // namespace nodrel::store
