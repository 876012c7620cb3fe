// server/tool_catalogue.h: the sixteen tools in catalogue order, the table both "tools/list" and
// the routing of "tools/call" read; each tool's own file describes it.
#pragma once

#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/tool_definition.h"

namespace nodrel::server {

const std::vector<const ToolSpec*>& toolSpecs();
// Nothing for a name no tool has.
const ToolSpec* findToolSpec(std::string_view name);

// {"tools": [...]}: the sixteen definitions in catalogue order, each with name, description and
// an inputSchema of type, properties and required.
nlohmann::json toolDefinitions();

}  // namespace nodrel::server
