// A tool described once, in its own file: the schema "tools/list" shows, how a call's arguments
// are read with their defaults, the handler, and how the call is audited.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/mcp_server.h"

namespace nodrel::server {

// What every call carries, read before the tool's own arguments.
struct ToolCall {
  const nlohmann::json& all;  // the arguments, directory arguments normalised
  std::string projectPath;    // "" when absent
  std::optional<std::string> sessionID;
};

enum class PropertyType { String, Integer, StringArray };

struct ToolProperty {
  std::string_view name;
  PropertyType type;
  std::string_view description;
  std::vector<std::string_view> values = {};  // the enum, when the property is an enumeration
};

// An argument that names a project directory, besides the `project_path` every call may carry.
struct PathArgument {
  std::string_view key;
  bool orName = false;  // a registered project's name is accepted too (it does not begin with "/")
};

struct ToolSpec {
  std::string_view name;
  // What the assistant's model reads to decide when to call the tool.
  std::string_view description;
  std::vector<ToolProperty> properties;
  std::vector<std::string_view> required;
  std::function<nlohmann::json(const ToolCall&, MCPServer&)> handler;
  std::string_view summary;  // the audit row's read summary, or its write summary on success
  bool writes = false;       // a refused write is audited as "rejected"
  std::optional<std::string_view> scope = std::nullopt;
  std::vector<PathArgument> paths = {};
  // A write is committed together with its audit row unless it commits as it goes.
  bool commitsAsItGoes = false;
};

// The property descriptions several tools share.
inline constexpr std::string_view kProjectPathDescription =
    "Absolute path to the current project directory";

inline ToolProperty projectPathProperty() {
  return {"project_path", PropertyType::String, kProjectPathDescription};
}

inline ToolProperty surfaceProperty() {
  return {"surface",
          PropertyType::String,
          "Optional: the originating surface. Inferred from NODREL_SURFACE env var if omitted.",
          {"claude_code", "claude_desktop", "claude_ai", "cowork", "claude_chat"}};
}

}  // namespace nodrel::server
