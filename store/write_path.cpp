#include "store/write_path.h"

#include <stdexcept>

// FIXME: placeholder until the write path lands.
namespace nodrel::store {

Memory writeMemory(db::Connection&, const MemoryWrite&) {
  throw std::logic_error("writeMemory is not built yet");
}
void flushPendingWrites(db::Connection&) {}
std::string memoryContentHash(std::string_view) { throw std::logic_error("not built yet"); }
std::optional<Memory> fetchMemory(const std::string&, db::Connection&) { return std::nullopt; }
void reinforceMemory(const std::string&, db::Connection&) {}
void syncMemoryFTS(const std::string&, const std::string&, const std::optional<std::string>&,
                   db::Connection&) {}
std::vector<Memory> recentMemories(const std::optional<std::string>&, std::int64_t,
                                   db::Connection&) {
  return {};
}

}  // namespace nodrel::store
