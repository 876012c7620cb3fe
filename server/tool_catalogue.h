// server/tool_catalogue.h: the sixteen tools as "tools/list" describes them to the assistant.
// The descriptions are what the assistant's model reads to decide when to call a tool.
#pragma once

#include <nlohmann/json.hpp>

namespace nodrel::server {

// {"tools": [...]}: the sixteen definitions in catalogue order, each with name, description and
// an inputSchema of type, properties and required.
nlohmann::json toolDefinitions();

}  // namespace nodrel::server
