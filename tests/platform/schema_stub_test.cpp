// FIXME: remove once db/schema.cpp is on main. TempHome's object file refers to createSchema,
// which no library defines yet; these tests never call it. The definition is weak so the real
// one wins the moment it exists.
#include <stdexcept>

#include "db/schema.h"

namespace nodrel::db {

[[gnu::weak]] void createSchema(Connection&) {
  throw std::logic_error("createSchema is not linked into this test program");
}

}  // namespace nodrel::db
