#include "server/tools/code_sections.h"

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "codeintel/code_summary.h"
#include "codeintel/fragility.h"
#include "platform/paths.h"
#include "server/tools/context_sections.h"
#include "server/tools/get_impact.h"
#include "server/tools/tool_result.h"

namespace nodrel::server {
namespace {

using nlohmann::json;

// The tool's name comes from its ToolSpec, the one place that spells it, so the advice follows a
// rename.
std::string impactRecommendation() {
  return "Call " + std::string(getImpactTool().name) +
         " before modifying files listed above or any file with many dependents.";
}

constexpr std::int64_t kTopFragileLimit = 3;

}  // namespace

json fetchCodeStructure(const std::string& path, db::Connection& connection) {
  if (path.empty()) return {{"ingested", false}};
  const std::string projectPath = platform::normaliseProjectPath(path);
  try {
    // Ingestion stores the figures at the end of each run; they are computed here only when
    // the code rows changed since, or no run of this version stored them.
    auto stored = codeintel::readStoredCodeSummary(projectPath, connection);
    const codeintel::CodeSummary summary =
        stored ? std::move(stored->summary)
               : codeintel::computeCodeSummary(projectPath, connection);
    if (summary.totalFiles < 1) return {{"ingested", false}};
    json lastIngestion = nullptr;
    if (summary.lastIngestion) lastIngestion = *summary.lastIngestion;
    return {{"ingested", true},
            {"total_files", summary.totalFiles},
            {"total_symbols", summary.totalSymbols},
            {"total_edges", summary.totalEdges},
            {"top_connected_files", summary.topConnectedFiles},
            {"last_ingestion", std::move(lastIngestion)}};
  } catch (const std::exception& e) {
    logSectionFailure("fetchCodeStructure", e);
    return {{"ingested", false}, {"error", e.what()}};
  }
}

std::optional<json> fetchImpactHints(const std::string& path, db::Connection& connection) {
  if (path.empty()) return std::nullopt;
  const std::string projectPath = platform::normaliseProjectPath(path);
  std::int64_t files = 0;
  try {
    files = codeintel::countCodeFiles(projectPath, connection);
  } catch (const std::exception& e) {
    logSectionFailure("fetchImpactHints", e);
    return std::nullopt;
  }
  if (files < 1) return std::nullopt;
  json fragile = json::array();
  try {
    for (const auto& file :
         codeintel::fetchTopFragileFiles(projectPath, kTopFragileLimit, connection)) {
      fragile.push_back({{"path", file.path}, {"score", roundedScore(file.score)}});
    }
  } catch (const std::exception&) {
    fragile = json::array();
  }
  return json{{"top_fragile_files", std::move(fragile)},
              {"total_tracked_files", files},
              {"recommendation", impactRecommendation()}};
}

}  // namespace nodrel::server
