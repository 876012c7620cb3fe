// nodrel-app: stands in for the companion application that initialises the database. `init`
// makes the data directory and every table the two programs use; it is safe to run again.
#include <exception>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "db/connection.h"
#include "db/error.h"
#include "db/schema.h"
#include "platform/paths.h"

namespace {

constexpr std::string_view kUsage =
    "Usage: nodrel-app init\n"
    "  init   create the Nodrel data directory and the tables of nodrel.db (safe to repeat)\n";

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

}  // namespace

int main(int argc, char** argv) {
  const std::string_view command = argc > 1 ? std::string_view(argv[1]) : std::string_view();
  if (argc == 2 && (command == "--help" || command == "-h")) {
    std::cout << kUsage;
    return 0;
  }
  if (argc == 2 && command == "init") return runInit();
  if (argc > 2 && command == "init") {
    std::cerr << "nodrel-app: init takes no arguments\n";
  } else if (argc > 1) {
    std::cerr << "nodrel-app: unknown command: " << command << "\n";
  }
  std::cerr << kUsage;
  return 2;
}
