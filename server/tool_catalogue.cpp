#include "server/tool_catalogue.h"

#include "server/tools/audit_log.h"
#include "server/tools/context_assembly.h"
#include "server/tools/corrections.h"
#include "server/tools/get_impact.h"
#include "server/tools/ingest_project.h"
#include "server/tools/memory_index.h"
#include "server/tools/remember.h"
#include "server/tools/report_failures.h"
#include "server/tools/session_context.h"
#include "server/tools/tasks.h"

namespace nodrel::server {
namespace {

using nlohmann::json;

json propertySchema(const ToolProperty& property) {
  json schema = json::object();
  switch (property.type) {
    case PropertyType::String:
      schema["type"] = "string";
      break;
    case PropertyType::Integer:
      schema["type"] = "integer";
      break;
    case PropertyType::StringArray:
      schema["type"] = "array";
      schema["items"] = {{"type", "string"}};
      break;
  }
  schema["description"] = property.description;
  if (!property.values.empty()) {
    json values = json::array();
    for (auto value : property.values) values.push_back(value);
    schema["enum"] = std::move(values);
  }
  return schema;
}

}  // namespace

const std::vector<const ToolSpec*>& toolSpecs() {
  static const std::vector<const ToolSpec*> tools = {
      &getSkillsTool(),          &getContextTool(),
      &saveCorrectionTool(),     &saveStandingInstructionTool(),
      &saveContextTool(),        &ingestProjectTool(),
      &getImpactTool(),          &auditLogTool(),
      &reportBuildFailureTool(), &reportTestFailureTool(),
      &promoteSkillTool(),       &listTasksTool(),
      &matchConditionsTool(),    &expandNodeTool(),
      &getIndexTool(),           &rememberTool(),
  };
  return tools;
}

const ToolSpec* findToolSpec(std::string_view name) {
  for (const ToolSpec* tool : toolSpecs()) {
    if (tool->name == name) return tool;
  }
  return nullptr;
}

json toolDefinitions() {
  json tools = json::array();
  for (const ToolSpec* tool : toolSpecs()) {
    json properties = json::object();
    for (const ToolProperty& property : tool->properties) {
      properties[std::string(property.name)] = propertySchema(property);
    }
    json required = json::array();
    for (auto name : tool->required) required.push_back(name);
    tools.push_back({{"name", tool->name},
                     {"description", tool->description},
                     {"inputSchema",
                      {{"type", "object"},
                       {"properties", std::move(properties)},
                       {"required", std::move(required)}}}});
  }
  return {{"tools", std::move(tools)}};
}

}  // namespace nodrel::server
