// status: where the database is, its memories by tier, the snapshot count and whether the
// session-start hook is installed.
#include <array>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "capture/snapshot_manager.h"
#include "cli/commands.h"
#include "cli/hook_installer.h"
#include "cli/output.h"
#include "db/connection.h"
#include "platform/paths.h"
#include "store/memory_counts.h"

namespace nodrel::cli {
namespace {

constexpr std::string_view kRule =
    "\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500"
    "\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500"
    "\u2500\u2500\u2500\u2500\u2500\u2500\u2500";
constexpr std::array<std::string_view, 4> kTiers = {"episodic", "semantic", "procedural", "cold"};

// Counts per known tier; a tier without rows has no entry. A failed query counts nothing.
std::map<std::string, std::int64_t> countMemoriesByTier(db::Connection& connection) {
  std::map<std::string, std::int64_t> counts;
  try {
    const auto stored = store::countMemoriesByTier(connection);
    if (!stored) return counts;  // no `memories` table: nothing to count
    for (std::string_view known : kTiers) {
      if (const auto it = stored->find(std::string(known)); it != stored->end()) {
        counts[std::string(known)] = it->second;
      }
    }
  } catch (const std::exception& e) {
    // A half-counted table would give a wrong total; say why there is none instead.
    writeErr(std::string("nodrel status: could not count memories: ") + e.what() + "\n");
    counts.clear();
  }
  return counts;
}

std::size_t snapshotCount() {
  try {
    return capture::SnapshotManager::fromUserDefaults().readSnapshotIndex().size();
  } catch (const std::exception&) {
    return 0;
  }
}

std::string hookLine() {
  bool installed = false;
  try {
    const HookInstaller installer = HookInstaller::forHomeDirectory();
    installed = !installer.managedHooks(installer.readSettingsFile(), "SessionStart").empty();
  } catch (const std::exception&) {
    installed = false;
  }
  return std::string("Hook     : ") + (installed ? "installed" : "not installed") + "\n";
}

}  // namespace

int runStatus(Arguments) {
  const auto databasePath = platform::NodrelPaths::databaseURL();
  writeOut("Nodrel status\n");
  writeOut(std::string(kRule) + "\n");
  writeOut("Database : " + databasePath.string() + "\n");
  std::error_code ec;
  if (!std::filesystem::exists(databasePath, ec)) {
    writeOut("Status   : database not found \u2014 run nodrel-app init to create it\n");
    writeOut(hookLine());
    writeOut("Snapshots: 0\n");
    return 0;
  }
  std::optional<db::Connection> connection;
  try {
    connection.emplace(db::Connection::open(databasePath, {.readOnly = true}));
  } catch (const std::exception& e) {
    writeErr(std::string("nodrel status: could not open database: ") + e.what() + "\n");
    return 1;
  }
  const auto counts = countMemoriesByTier(*connection);
  std::int64_t total = 0;
  for (const auto& [tier, count] : counts) total += count;
  writeOut("Memories : " + std::to_string(total) + " total\n");
  for (std::string_view tier : kTiers) {
    const auto it = counts.find(std::string(tier));
    if (it == counts.end() || it->second < 1) continue;
    std::string name(tier);
    name.resize(12, ' ');
    writeOut("  " + name + std::to_string(it->second) + "\n");
  }
  writeOut("Snapshots: " + std::to_string(snapshotCount()) + "\n");
  writeOut(hookLine());
  return 0;
}

}  // namespace nodrel::cli
