// platform/uuid.h: random version-4 UUIDs in canonical upper-case form (36 characters).
#pragma once

#include <string>

namespace nodrel::platform {

std::string makeUUID();

}  // namespace nodrel::platform
