#include "server/tools/efficiency_insight.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <exception>
#include <limits>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/saturating.h"
#include "platform/time.h"
#include "server/tools/context_sections.h"
#include "store/session_stats.h"

namespace nodrel::server {
namespace {

using nlohmann::json;

constexpr std::string_view kNoEfficiencyData =
    "No project registered — no efficiency data available";
constexpr std::string_view kEfficiencyPeriod = "last 7 days";
constexpr auto kEfficiencyWindow = std::chrono::seconds(604800);

// The counts of a `tool_calls` object, when it is an object whose every value is a 64-bit
// integer; nothing otherwise, so a malformed row adds no counts at all.
std::optional<std::vector<std::pair<std::string, std::int64_t>>> toolCounts(
    const std::optional<std::string>& text) {
  json parsed = json::parse(text ? *text : std::string("{}"), nullptr, false);
  if (!parsed.is_object()) return std::nullopt;
  std::vector<std::pair<std::string, std::int64_t>> counts;
  for (const auto& [tool, count] : parsed.items()) {
    if (count.is_number_unsigned()) {
      const auto whole = count.get<std::uint64_t>();
      if (whole > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return std::nullopt;
      }
      counts.emplace_back(tool, static_cast<std::int64_t>(whole));
    } else if (count.is_number_integer()) {
      counts.emplace_back(tool, count.get<std::int64_t>());
    } else {
      return std::nullopt;
    }
  }
  return counts;
}

// The ISO 8601 internet form in UTC without fractions (2026-01-31T09:15:00Z): session_date is
// compared with it as text.
std::string efficiencyLowerBound() {
  const auto bound =
      std::chrono::time_point_cast<std::chrono::seconds>(platform::now()) - kEfficiencyWindow;
  const std::time_t seconds = std::chrono::system_clock::to_time_t(bound);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char buffer[32];
  const std::size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return std::string(buffer, length);
}

}  // namespace

json fetchEfficiencyInsight(const std::optional<std::string>& projectID,
                            db::Connection& connection) {
  if (!projectID) return {{"summary", kNoEfficiencyData}};
  std::vector<store::SessionStats> rows;
  try {
    rows = store::sessionStatsSince(*projectID, efficiencyLowerBound(), connection);
  } catch (const std::exception& e) {
    logSectionFailure("fetchEfficiencyInsight", e);
    return {{"period", kEfficiencyPeriod}, {"top_tools", json::array()}, {"total_corrections", 0}};
  }

  std::int64_t corrections = 0;
  std::vector<std::pair<std::string, std::int64_t>> totals;  // in order of first appearance
  std::map<std::string, std::size_t> slot;
  for (const auto& row : rows) {
    corrections = platform::saturatingAdd(corrections, row.correctionCount);
    auto counts = toolCounts(row.toolCalls);
    if (!counts) continue;
    for (auto& [tool, count] : *counts) {
      auto [it, fresh] = slot.try_emplace(tool, totals.size());
      if (fresh) totals.emplace_back(tool, 0);
      totals[it->second].second = platform::saturatingAdd(totals[it->second].second, count);
    }
  }
  std::stable_sort(totals.begin(), totals.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  json topTools = json::array();
  for (std::size_t i = 0; i < totals.size() && i < 5; ++i) {
    topTools.push_back(totals[i].first + ": " + std::to_string(totals[i].second));
  }
  return {{"period", kEfficiencyPeriod},
          {"top_tools", std::move(topTools)},
          {"total_corrections", corrections}};
}

}  // namespace nodrel::server
