#include "cli/session_start_text.h"

#include <string_view>

#include "platform/text.h"
#include "store/memory.h"

namespace nodrel::cli {
namespace {

constexpr std::string_view kToolNames =
    "nodrel_audit_log, nodrel_expand_node, nodrel_get_context, nodrel_get_impact, "
    "nodrel_get_index, nodrel_get_skills, nodrel_ingest_project, nodrel_list_tasks, "
    "nodrel_match_conditions, nodrel_promote_skill, nodrel_report_build_failure, "
    "nodrel_report_test_failure, nodrel_save_context, nodrel_save_correction, "
    "nodrel_save_standing_instruction";

std::string truncated(const std::string& text, std::size_t limit) {
  if (platform::graphemeCount(text) <= limit) return text;
  return platform::graphemePrefix(text, limit - 3) + "...";
}

std::string firstSentence(const std::string& body) {
  const std::size_t end = body.find_first_of(".!?");
  return truncated(end == std::string::npos ? body : body.substr(0, end + 1), 100);
}

std::string firstFiveWords(const std::string& body) {
  std::string words;
  int taken = 0;
  std::size_t start = 0;
  while (taken < 5 && start < body.size()) {
    std::size_t end = body.find(' ', start);
    if (end == std::string::npos) end = body.size();
    if (end > start) {
      if (taken++ > 0) words += ' ';
      words.append(body, start, end - start);
    }
    start = end + 1;
  }
  return words;
}

}  // namespace

std::string renderSessionReadyHeader(const ResolvedProject& project, std::int64_t memoryCount,
                                     std::int64_t correctionCount, std::int64_t indexNodeCount,
                                     std::int64_t instructionCount,
                                     const std::vector<store::ProjectActivity>& siblings) {
  std::string text = "# Nodrel session ready\n";
  // The hooks store memories without registering the project, so a path with no registry entry
  // may still have memories of its own.
  std::string match = "  (matched by cwd)";
  if (project.matchedBy == "none") {
    match = memoryCount < 1
                ? "  (no registry entry \u2014 nodrel hasn't seen this path before)"
                : "  (no registry entry \u2014 " + std::to_string(memoryCount) +
                      (memoryCount == 1 ? " memory" : " memories") + " stored for this path)";
  }
  text += "Project: " + project.name + match + "\n";
  text += "Loaded: " + std::to_string(memoryCount) + " memories \u00b7 " +
          std::to_string(correctionCount) + " corrections \u00b7 " +
          std::to_string(indexNodeCount) + " index nodes \u00b7 " +
          std::to_string(instructionCount) + " standing instructions\n";
  text += "MCP tools: " + std::string(kToolNames) + "\n";
  if (!siblings.empty()) {
    text += "\nOther projects Nodrel knows about:\n";
    for (const auto& sibling : siblings) {
      text += "- " + sibling.name + " (" + std::to_string(sibling.memoryCount) +
              " memories) \u2014 " + sibling.path + "\n";
    }
    text += "Say \"switch to <name>\" and Claude will call nodrel_get_context for that project.\n";
  }
  return text;
}

std::string renderContextBlock(const std::string& projectName,
                               const std::vector<store::ScoredMemory>& hits) {
  auto line = [](const store::Memory& memory, const std::string& text, bool bold) {
    const std::string type(store::toString(memory.type));
    std::string out = bold ? "- **[" + type + "]** " : "- [" + type + "] ";
    out += text;
    if (memory.project) out += " (project: " + *memory.project + ")";
    return out + "\n";
  };
  std::string text = "# Nodrel context for " + projectName + "\n\n";
  for (std::size_t i = 0; i < hits.size(); ++i) {
    const store::Memory& memory = hits[i].memory;
    if (i == 0) text += "## Full context (top matches)\n";
    if (i == 5) text += "\n## Related context\n";
    if (i == 15) text += "\n## Also known\n";
    if (i < 5) {
      text += line(memory, truncated(memory.body, 400), true);
    } else if (i < 15) {
      text += line(memory, firstSentence(memory.body), false);
    } else {
      text += line(memory, firstFiveWords(memory.body) + "...", false);
    }
  }
  return text;
}

std::string renderMemoryIndex(const std::vector<store::IndexNode>& nodes) {
  std::int64_t total = 0;
  for (const auto& node : nodes) total += node.traversalCostTokens;
  std::string text = "## Memory index (call nodrel_expand_node to load subtree)\n\n";
  text += "_" + std::to_string(nodes.size()) + " top-level nodes \u00b7 ~" + std::to_string(total) +
          " tokens if all expanded_\n\n";
  for (const auto& node : nodes) {
    text += "- `" + node.memoryID + "` (~" + std::to_string(node.traversalCostTokens) + "t)";
    if (!node.tags.empty()) text += " [" + node.tags + "]";
    text += ": " + platform::graphemePrefix(node.body, 100) + "\n";
  }
  return text;
}

}  // namespace nodrel::cli
