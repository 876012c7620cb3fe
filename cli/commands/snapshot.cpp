// snapshot save [--label LABEL] | snapshot list: copies of the database and their index.
#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "capture/snapshot_manager.h"
#include "cli/commands.h"
#include "cli/output.h"

namespace nodrel::cli {
namespace {

using capture::SnapshotManager;
using capture::SnapshotRecord;

constexpr std::string_view kRule =
    "\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500"
    "\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500"
    "\u2500\u2500\u2500\u2500\u2500\u2500\u2500";

std::string kilobytes(std::int64_t sizeBytes) { return std::to_string(sizeBytes / 1024); }

// "yyyy-MM-dd HH:mm 'UTC'"; the raw text when it is not the index's time form.
std::string displayTime(const std::string& createdAt) {
  const auto instant = capture::parseSnapshotTime(createdAt);
  if (!instant) return createdAt;
  using namespace std::chrono;
  const auto day = floor<days>(*instant);
  const year_month_day date(day);
  const hh_mm_ss<milliseconds> time(*instant - day);
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u %02d:%02d UTC",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()));
  return buffer;
}

int runSnapshotSave(Arguments args) {
  std::optional<std::string> label;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--label" && i + 1 < args.size()) label = args[++i];
  }
  SnapshotRecord record;
  try {
    record = SnapshotManager::fromUserDefaults().createSnapshot(label);
  } catch (const std::exception& e) {
    writeErr(std::string("nodrel snapshot save: ") + e.what() + "\n");
    return 1;
  }
  std::string line = "Snapshot saved";
  if (record.label) line += " (" + *record.label + ")";
  line += ": " + record.filePath + " (" + kilobytes(record.sizeBytes) + " KB)\n";
  writeOut(line);
  return 0;
}

int runSnapshotList() {
  std::vector<SnapshotRecord> records;
  try {
    records = SnapshotManager::fromUserDefaults().readSnapshotIndex();
  } catch (const std::exception& e) {
    writeErr(std::string("nodrel snapshot list: ") + e.what() + "\n");
    return 1;
  }
  if (records.empty()) {
    writeOut("No snapshots found.\n");
    return 0;
  }
  writeOut("Snapshots (" + std::to_string(records.size()) + " total):\n");
  writeOut(std::string(kRule) + "\n");
  for (const SnapshotRecord& record : records) {
    std::string first = displayTime(record.createdAt);
    if (record.label) first += " \u2014 " + *record.label;
    first += "  [" + kilobytes(record.sizeBytes) + " KB]\n";
    writeOut(first);
    writeOut("  " + record.filePath + "\n");
  }
  return 0;
}

}  // namespace

int runSnapshot(Arguments args) {
  if (args.empty()) {
    writeErr("nodrel snapshot: expected 'save' or 'list'\n");
    writeErr("Run 'nodrel --help' for usage.\n");
    return 1;
  }
  if (args[0] == "save") return runSnapshotSave(args.subspan(1));
  if (args[0] == "list") return runSnapshotList();
  writeErr("nodrel snapshot: unknown subcommand '" + args[0] + "'\n");
  writeErr("Run 'nodrel --help' for usage.\n");
  return 1;
}

}  // namespace nodrel::cli
