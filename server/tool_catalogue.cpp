#include "server/tool_catalogue.h"

#include <initializer_list>
#include <string_view>
#include <vector>

namespace nodrel::server {
namespace {

using nlohmann::json;

enum class Type { String, Integer, StringArray };

struct Property {
  std::string_view name;
  Type type;
  std::string_view description;
  std::vector<std::string_view> values;  // the enum, when the property is an enumeration
};

struct Tool {
  std::string_view name;
  std::string_view description;
  std::vector<Property> properties;
  std::vector<std::string_view> required;
};

const std::vector<std::string_view> kSurfaces = {"claude_code", "claude_desktop", "claude_ai",
                                                 "cowork", "claude_chat"};

constexpr std::string_view kProjectPath = "Absolute path to the current project directory";
constexpr std::string_view kSurface =
    "Optional: the originating surface. Inferred from NODREL_SURFACE env var if omitted.";

const std::vector<Tool>& catalogue() {
  static const std::vector<Tool> tools = {
      {"nodrel_get_skills",
       "Returns skills applicable to the current project",
       {{"project_path", Type::String, kProjectPath, {}},
        {"trigger", Type::String,
         "Optional: task description or keywords to filter skills by trigger_keywords", {}}},
       {"project_path"}},
      {"nodrel_get_context",
       "Full assembled context for the current session: skills + standing instructions + "
       "project context + recent corrections. Pass `project` to switch context mid-session to "
       "a registered project by name or path.",
       {{"project_path", Type::String, kProjectPath, {}},
        {"project", Type::String,
         "Optional: a registered project name or absolute path. When provided, returns context "
         "for that project instead of the one at project_path. Use when the user signals an "
         "intent shift (\"switch to X\", \"let's work on X\").",
         {}}},
       {"project_path"}},
      {"nodrel_save_correction",
       "Save a correction or rule learned during this session. The project is auto-registered "
       "if not yet known to Nodrel.",
       {{"project_path", Type::String, kProjectPath, {}},
        {"content", Type::String, "The correction or rule to save", {}},
        {"rationale", Type::String,
         "Why this rule exists \u2014 shown alongside the rule at recall time", {}},
        {"source", Type::String,
         "Origin of the correction: manual, session_log, or teacher_agent (defaults to "
         "session_log)",
         {"manual", "session_log", "teacher_agent"}},
        {"surface", Type::String, kSurface, kSurfaces}},
       {"project_path", "content"}},
      {"nodrel_save_standing_instruction",
       "Save a persistent standing instruction. Omit project_path to make it global; include it "
       "to scope it to a specific project.",
       {{"project_path", Type::String,
         "Absolute path to the project directory. Omit for a global instruction.", {}},
        {"content", Type::String, "The standing instruction text", {}},
        {"surface", Type::String, kSurface, kSurfaces}},
       {"content"}},
      {"nodrel_save_context",
       "Save session context for cross-surface knowledge persistence. Use this to record "
       "decisions, current state, key points, or handoff notes so they survive context "
       "compression and are available in future sessions or other Claude surfaces.",
       {{"project_path", Type::String, kProjectPath, {}},
        {"content", Type::String,
         "The context to save \u2014 a decision made, current state, key point, or handoff note",
         {}},
        {"context_type", Type::String,
         "Type of context: decision (architectural/design choice), state (current work status), "
         "key_point (important detail), handoff (end-of-session summary for next session)",
         {"decision", "state", "key_point", "handoff"}},
        {"session_id", Type::String,
         "Optional: UUID of the current session to link this context to", {}},
        {"surface", Type::String, kSurface, kSurfaces}},
       {"project_path", "content", "context_type"}},
      {"nodrel_ingest_project",
       "Parse and index all source files in a project directory. Extracts imports, type "
       "declarations, inheritance, and protocol conformances to build a structural dependency "
       "graph. Runs incrementally \u2014 only re-parses files that have changed since the last "
       "ingestion.",
       {{"project_path", Type::String, "Absolute path to the project directory to ingest", {}}},
       {"project_path"}},
      {"nodrel_get_impact",
       "Analyze the impact of modifying files. Returns direct dependents, transitive dependents "
       "(up to 3 hops), and historically fragile files from git co-change history. Call this "
       "BEFORE modifying high-impact files to understand the blast radius.",
       {{"files", Type::StringArray,
         "Array of file paths being changed (absolute or relative to project)", {}},
        {"project", Type::String, "Absolute path to the project directory", {}}},
       {"files", "project"}},
      {"nodrel_audit_log",
       "Read-only: returns recent audit log entries showing what Nodrel tool calls have been "
       "made. Use this to review your own session history and verify actions match intentions.",
       {{"session_id", Type::String,
         "Optional: filter entries to a specific session. Omit to see all recent entries.", {}},
        {"limit", Type::Integer, "Maximum entries to return (1-100, default 20)", {}}},
       {}},
      {"nodrel_report_build_failure",
       "Report a build failure to Nodrel by passing raw xcodebuild output. Nodrel parses the "
       "errors, persists them, and uses them to improve fragility scores and predictive impact "
       "analysis over time.",
       {{"project_path", Type::String, "Absolute path to the project directory", {}},
        {"build_output", Type::String,
         "Raw xcodebuild stdout/stderr output containing error lines", {}},
        {"trigger_file", Type::String,
         "Optional: relative path of the file you edited before this build (used to correlate "
         "cause and effect)",
         {}},
        {"session_id", Type::String, "Optional: current session UUID for traceability", {}}},
       {"project_path", "build_output"}},
      {"nodrel_report_test_failure",
       "Report test failures to Nodrel by passing raw test runner output. Nodrel parses "
       "failures, persists them, and correlates them with the trigger file for predictive "
       "analysis.",
       {{"project_path", Type::String, "Absolute path to the project directory", {}},
        {"test_output", Type::String,
         "Raw test runner output (xcodebuild test, jest, or pytest)", {}},
        {"framework", Type::String,
         "Test framework: xctest, jest, or pytest (defaults to xctest)",
         {"xctest", "jest", "pytest"}},
        {"trigger_file", Type::String,
         "Optional: relative path of the file you edited before running tests", {}},
        {"session_id", Type::String, "Optional: current session UUID for traceability", {}}},
       {"project_path", "test_output"}},
      {"nodrel_promote_skill",
       "Promote a skill to a task. A skill qualifies when confidence >= 0.8, use_count >= 5, "
       "and content is non-empty. Promoted tasks are stored as deterministic scripts that can "
       "be executed without LLM interpretation. Idempotent \u2014 returns the existing task if "
       "already promoted.",
       {{"skill_id", Type::String, "UUID of the skill to promote", {}}},
       {"skill_id"}},
      {"nodrel_list_tasks",
       "List all active promoted tasks. Optionally filter by project. Returns tasks with their "
       "script content, run statistics, and promotion metadata.",
       {{"project_path", Type::String,
         "Optional: absolute path to filter tasks to a specific project. Omit to return all "
         "active tasks.",
         {}}},
       {}},
      {"nodrel_match_conditions",
       "Surface dormant memories whose trigger conditions match the current session context. "
       "Bypasses Ebbinghaus decay \u2014 old memories with matched conditions rank above "
       "recent unmatched ones. Call at session start or when switching tasks.",
       {{"repoPath", Type::String,
         "Absolute path to the current project root, e.g. /Users/vorlak/projects/nodrel", {}},
        {"touchedFiles", Type::StringArray,
         "File paths modified or opened in the current session", {}},
        {"touchedSymbols", Type::StringArray,
         "Function or type names touched in the session (from code ingestion if available)",
         {}},
        {"taskDescription", Type::String,
         "Free-text description of the current task for keyword matching", {}},
        {"limit", Type::Integer, "Maximum number of matched memories to return (default 20)",
         {}}},
       {}},
      {"nodrel_expand_node",
       "Expand a memory node to reveal its child memories via hierarchical links (has_child, "
       "contains, consolidates). Use this to drill into a top-level index entry returned by "
       "nodrel_get_index without loading all bodies upfront.",
       {{"memoryID", Type::String, "The ID of the memory node to expand", {}},
        {"maxDepth", Type::Integer, "How many levels of children to traverse (default 1)", {}},
        {"limit", Type::Integer,
         "Maximum total child nodes to return across all levels (default 10)", {}}},
       {"memoryID"}},
      {"nodrel_get_index",
       "Returns the always-on top-level memory index \u2014 the cheapest-to-expand entries "
       "ordered by token cost ascending. Call at session start to understand what memory "
       "sub-trees are available before deciding which ones to expand.",
       {},
       {}},
      {"nodrel_remember",
       "Deliberately capture something the user wants Nodrel to remember. Call this when the "
       "user says 'remember this', 'don't forget', 'save that', or similar. Writes a "
       "high-salience memory (importance 9) that the consolidation engine will promote to a "
       "standing rule. Works from any surface: Claude Desktop, claude.ai and Claude Code.",
       {{"project_path", Type::String, kProjectPath, {}},
        {"content", Type::String,
         "The text to remember \u2014 a rule, preference, fact, or instruction (max 10,000 "
         "characters)",
         {}},
        {"rationale", Type::String,
         "Optional: why this should be remembered \u2014 shown alongside the memory at recall "
         "time to make it actionable",
         {}},
        {"surface", Type::String, kSurface, kSurfaces},
        {"session_id", Type::String, "Optional: session UUID for provenance tracking", {}}},
       {"project_path", "content"}},
  };
  return tools;
}

json propertySchema(const Property& property) {
  json schema = json::object();
  switch (property.type) {
    case Type::String:
      schema["type"] = "string";
      break;
    case Type::Integer:
      schema["type"] = "integer";
      break;
    case Type::StringArray:
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

json toolDefinitions() {
  json tools = json::array();
  for (const Tool& tool : catalogue()) {
    json properties = json::object();
    for (const Property& property : tool.properties) {
      properties[std::string(property.name)] = propertySchema(property);
    }
    json required = json::array();
    for (auto name : tool.required) required.push_back(name);
    tools.push_back({{"name", tool.name},
                     {"description", tool.description},
                     {"inputSchema",
                      {{"type", "object"},
                       {"properties", std::move(properties)},
                       {"required", std::move(required)}}}});
  }
  return {{"tools", std::move(tools)}};
}

}  // namespace nodrel::server
