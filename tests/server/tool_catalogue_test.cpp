#include "server/tool_catalogue.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace nodrel::server {
namespace {

using nlohmann::json;

const json& findTool(const json& tools, const std::string& name) {
  for (const auto& tool : tools) {
    if (tool["name"] == name) return tool;
  }
  static const json none;
  return none;
}

TEST(ToolCatalogue, SixteenToolsInOrderWithCompleteSchemas) {
  const json tools = toolDefinitions()["tools"];
  ASSERT_EQ(tools.size(), 16u);
  EXPECT_EQ(tools.front()["name"], "nodrel_get_skills");
  EXPECT_EQ(tools.back()["name"], "nodrel_remember");
  std::set<std::string> names;
  for (const auto& tool : tools) {
    SCOPED_TRACE(tool["name"].dump());
    names.insert(tool["name"].get<std::string>());
    EXPECT_EQ(tool.size(), 3u);
    EXPECT_FALSE(tool["description"].get<std::string>().empty());
    const json& schema = tool["inputSchema"];
    EXPECT_EQ(schema.size(), 3u);
    EXPECT_EQ(schema["type"], "object");
    ASSERT_TRUE(schema["properties"].is_object());
    ASSERT_TRUE(schema["required"].is_array());
    for (const auto& required : schema["required"]) {
      EXPECT_TRUE(schema["properties"].contains(required.get<std::string>())) << required;
    }
    for (const auto& [name, property] : schema["properties"].items()) {
      EXPECT_TRUE(property.contains("description")) << name;
      EXPECT_FALSE(property.contains("default")) << name;
      if (property["type"] == "array") {
        EXPECT_EQ(property["items"], json({{"type", "string"}}));
      }
    }
  }
  EXPECT_EQ(names.size(), 16u);
}

TEST(ToolCatalogue, PropertiesThatCallersMustGetRight) {
  const json tools = toolDefinitions()["tools"];
  const json& index = findTool(tools, "nodrel_get_index");
  EXPECT_EQ(index["inputSchema"]["properties"], json::object());
  EXPECT_EQ(index["inputSchema"]["required"], json::array());
  for (const char* name : {"nodrel_audit_log", "nodrel_list_tasks", "nodrel_match_conditions"}) {
    EXPECT_EQ(findTool(tools, name)["inputSchema"]["required"], json::array()) << name;
  }
  EXPECT_EQ(findTool(tools, "nodrel_get_impact")["inputSchema"]["required"],
            json({"files", "project"}));
  const json& match = findTool(tools, "nodrel_match_conditions")["inputSchema"]["properties"];
  for (const char* name : {"repoPath", "touchedFiles", "touchedSymbols", "taskDescription"}) {
    EXPECT_TRUE(match.contains(name)) << name;
  }
  EXPECT_EQ(
      findTool(tools, "nodrel_save_context")["inputSchema"]["properties"]["context_type"]["enum"],
      json({"decision", "state", "key_point", "handoff"}));
  EXPECT_EQ(findTool(tools, "nodrel_remember")["inputSchema"]["properties"]["surface"]["enum"],
            json({"claude_code", "claude_desktop", "claude_ai", "cowork", "claude_chat"}));
  EXPECT_EQ(findTool(tools, "nodrel_save_correction")["description"],
            "Save a correction or rule learned during this session. The project is "
            "auto-registered if not yet known to Nodrel.");
}

}  // namespace
}  // namespace nodrel::server
