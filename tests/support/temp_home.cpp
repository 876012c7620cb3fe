#include "tests/support/temp_home.h"

#include <cstdlib>
#include <random>

#include "db/schema.h"

namespace nodrel::testing {
namespace {

std::filesystem::path makeTempDir(const char* prefix) {
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto p = std::filesystem::temp_directory_path() /
             (std::string(prefix) + std::to_string(rd()) + std::to_string(attempt));
    std::error_code ec;
    if (std::filesystem::create_directory(p, ec)) return p;
  }
  throw std::runtime_error("could not create a temporary directory");
}

std::optional<std::string> getEnv(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::optional<std::string>(v) : std::nullopt;
}

}  // namespace

TempHome::TempHome() : path_(makeTempDir("nodrel-home-")) {
  for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "NODREL_SURFACE"}) {
    saved_.emplace_back(name, getEnv(name));
  }
  setenv("HOME", path_.c_str(), 1);
  unsetenv("XDG_DATA_HOME");
  unsetenv("XDG_CONFIG_HOME");
  unsetenv("NODREL_SURFACE");
}

TempHome::~TempHome() {
  for (const auto& [name, value] : saved_) {
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::filesystem::path TempHome::dataDirectory() const { return path_ / ".local/share/Nodrel"; }

std::filesystem::path TempHome::databasePath() const { return dataDirectory() / "nodrel.db"; }

db::Connection TempHome::openDatabase() const {
  std::filesystem::create_directories(dataDirectory());
  auto c = db::Connection::open(databasePath(), {.create = true});
  db::createSchema(c);
  return c;
}

TestDatabase::TestDatabase() : dir_(makeTempDir("nodrel-db-")), path_(dir_ / "nodrel.db") {
  connection_.emplace(db::Connection::open(path_, {.create = true}));
  db::createSchema(*connection_);
}

TestDatabase::~TestDatabase() {
  connection_.reset();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::filesystem::path fixturePath(const std::string& relative) {
  return std::filesystem::path(NODREL_SOURCE_DIR) / "tests/fixtures" / relative;
}

std::filesystem::path binaryPath(const std::string& relative) {
  return std::filesystem::path(NODREL_BINARY_DIR) / relative;
}

}  // namespace nodrel::testing
