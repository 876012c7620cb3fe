#include "codeintel/impact.h"

#include "codeintel/predictive_risk.h"

namespace nodrel::codeintel {

std::string impactMarkdown(const ImpactReport& report) {
  std::vector<std::string> lines;
  lines.push_back("## Impact Analysis");
  lines.push_back("");
  std::string changed = "**Changed files:** ";
  for (std::size_t i = 0; i < report.changedFiles.size(); ++i) {
    if (i) changed += ", ";
    changed += report.changedFiles[i];
  }
  lines.push_back(changed);
  const std::int64_t radius = report.blastRadius;
  const std::int64_t cut = report.truncatedCount;
  std::string size = cut <= 0 ? std::to_string(radius) + " files"
                              : std::to_string(radius) + "+ files (showing top " +
                                    std::to_string(radius - cut) + ", " + std::to_string(cut) +
                                    " omitted)";
  lines.push_back("**Blast radius:** " + size + " | **Risk:** " +
                  std::string(toString(report.riskLevel)));
  lines.push_back("");

  auto section = [&](const std::string& heading, const std::vector<std::string>& entries,
                     const std::string& suffix) {
    if (entries.empty()) return;
    lines.push_back(heading);
    for (const auto& entry : entries) lines.push_back("- " + entry + suffix);
    lines.push_back("");
  };
  section("### High-Impact Warnings", report.highImpactWarnings, "");
  section("### Direct Dependents (" + std::to_string(report.directDependents.size()) + " files)",
          report.directDependents, "");
  section("### Transitive Dependents (" + std::to_string(report.transitiveDependents.size()) +
              " files)",
          report.transitiveDependents, "");
  if (cut >= 1) {
    lines.push_back("*" + std::to_string(cut) +
                    " additional file(s) not shown — blast radius exceeds display limit.*");
    lines.push_back("");
  }
  section("### Historically Fragile Files", report.fragileFiles,
          " — frequently co-changes, check carefully");
  if (!report.topFragileFiles.empty()) {
    lines.push_back("### Most Fragile Files in Project");
    for (const auto& file : report.topFragileFiles) {
      lines.push_back("- " + file.path + " — fragility " + percentText(file.score) + "%");
    }
    lines.push_back("");
  }
  if (!report.predictions.empty()) {
    lines.push_back("### Predictive Risk (Phase F.3)");
    for (const auto& prediction : report.predictions) {
      lines.push_back("- " + prediction.file + " — score " + percentText(prediction.score) +
                      "% — " + prediction.reason);
    }
    lines.push_back("");
  }

  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i) text += '\n';
    text += lines[i];
  }
  return text;
}

}  // namespace nodrel::codeintel
