// nodrel-app: stands in for the companion application that initialises the database and
// manages memories. `init` makes the data directory and every table the two programs use (safe
// to run again); `list` shows memories and `forget` marks them deleted.
#include <charconv>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "app/memory_admin.h"
#include "db/connection.h"
#include "db/error.h"
#include "db/schema.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

constexpr std::string_view kUsage =
    "Usage: nodrel-app init\n"
    "       nodrel-app list [--project PATH] [--limit N] [--deleted]\n"
    "       nodrel-app forget ID...\n"
    "  init     create the Nodrel data directory and the tables of nodrel.db (safe to repeat)\n"
    "  list     memories, newest first: id, tier, type, project, created, first line of the\n"
    "           body; 50 unless --limit, live ones only unless --deleted\n"
    "  forget   mark memories deleted, each named by its id or a unique prefix of at least 8\n"
    "           characters; no tool and no hook recalls them again\n";

// The longest first line that `list` shows whole, in characters.
constexpr std::size_t kListedBodyLength = 80;

// Thrown for a failure that has already been put into words for the user.
class InitError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::filesystem::path initialise() {
  namespace paths = nodrel::platform::NodrelPaths;
  const std::filesystem::path base = paths::baseDirectory();
  if (!paths::ensureDirectory(base)) {
    throw InitError("could not create the data directory " + base.string());
  }
  // ensureDirectory is satisfied by anything at the path; a file there would only surface later
  // as a puzzling open failure.
  std::error_code ec;
  if (!std::filesystem::is_directory(base, ec)) {
    throw InitError("the data directory " + base.string() + " exists but is not a directory");
  }
  const std::filesystem::path database = paths::databaseURL();
  try {
    auto connection = nodrel::db::Connection::open(database, {.create = true});
    nodrel::db::createSchema(connection);
  } catch (const nodrel::db::Error& e) {
    throw InitError("could not initialise the database at " + database.string() + ": " + e.what());
  }
  return database;
}

int runInit() {
  try {
    const auto database = initialise();
    std::cout << "initialised " << database.string() << "\n";
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "nodrel-app: " << e.what() << "\n";
    return 1;
  }
}

// Thrown for a command line that does not parse; the usage follows the message.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The database as it is: memory management never creates one.
nodrel::db::Connection openExisting(bool readOnly) {
  const std::filesystem::path database = nodrel::platform::NodrelPaths::databaseURL();
  std::error_code ec;
  if (!std::filesystem::exists(database, ec)) {
    throw InitError("no database at " + database.string() + "; run nodrel-app init first");
  }
  return nodrel::db::Connection::open(database, {.readOnly = readOnly});
}

std::string firstLine(const std::string& body) {
  std::string line = body.substr(0, body.find('\n'));
  if (nodrel::platform::graphemeCount(line) <= kListedBodyLength) return line;
  return nodrel::platform::graphemePrefix(line, kListedBodyLength - 1) + "\u2026";
}

std::string describe(const nodrel::app::ListedMemory& memory) {
  std::string line = memory.id.substr(0, nodrel::app::kListedIdLength) + "  " + memory.tier + "  " +
                     memory.type + "  " + memory.project.value_or("-") + "  " + memory.createdAt +
                     "  ";
  if (memory.deletedAt) line += "[forgotten " + *memory.deletedAt + "] ";
  return line + firstLine(memory.body);
}

int runList(const std::vector<std::string>& args) {
  nodrel::app::ListFilter filter;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--deleted") {
      filter.includeDeleted = true;
    } else if ((option == "--project" || option == "--limit") && i + 1 < args.size()) {
      const std::string& value = args[++i];
      if (option == "--project") {
        filter.project = nodrel::platform::normaliseProjectPath(value);
        continue;
      }
      std::int64_t limit = 0;
      const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), limit);
      if (error != std::errc() || end != value.data() + value.size() || limit < 1) {
        throw UsageError("--limit takes a whole number of at least 1: " + value);
      }
      filter.limit = limit;
    } else {
      throw UsageError("list: unexpected argument: " + option);
    }
  }
  auto connection = openExisting(/*readOnly=*/true);
  const auto memories = nodrel::app::listMemories(connection, filter);
  if (memories.empty()) std::cout << "No memories.\n";
  for (const auto& memory : memories) std::cout << describe(memory) << "\n";
  return 0;
}

int runForget(const std::vector<std::string>& ids) {
  if (ids.empty()) throw UsageError("forget: give the id of at least one memory");
  auto connection = openExisting(/*readOnly=*/false);
  for (const auto& outcome : nodrel::app::forgetMemories(connection, ids)) {
    std::cout << (outcome.alreadyForgotten ? "Already forgotten: " : "Forgot: ")
              << describe(outcome.memory) << "\n";
  }
  return 0;
}

int runMemoryCommand(std::string_view command, const std::vector<std::string>& args) {
  try {
    return command == "list" ? runList(args) : runForget(args);
  } catch (const UsageError& e) {
    std::cerr << "nodrel-app: " << e.what() << "\n" << kUsage;
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "nodrel-app " << command << ": " << e.what() << "\n";
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view command = argc > 1 ? std::string_view(argv[1]) : std::string_view();
  if (argc == 2 && (command == "--help" || command == "-h")) {
    std::cout << kUsage;
    return 0;
  }
  if (argc == 2 && command == "init") return runInit();
  if (command == "list" || command == "forget") {
    return runMemoryCommand(command, std::vector<std::string>(argv + 2, argv + argc));
  }
  if (argc > 2 && command == "init") {
    std::cerr << "nodrel-app: init takes no arguments\n";
  } else if (argc > 1) {
    std::cerr << "nodrel-app: unknown command: " << command << "\n";
  }
  std::cerr << kUsage;
  return 2;
}
