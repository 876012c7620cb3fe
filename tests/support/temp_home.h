// tests/support/temp_home.h: a scratch HOME for one test, so no test reads or writes the
// user's real data. Sets HOME, clears XDG_DATA_HOME and XDG_CONFIG_HOME, and puts them back
// (and removes the directory) when it goes out of scope.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"

namespace nodrel::testing {

class TempHome {
 public:
  TempHome();
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path dataDirectory() const;  // path/.local/share/Nodrel
  std::filesystem::path databasePath() const;   // dataDirectory/nodrel.db

  // Opens (creating) the database in the data directory with the real schema.
  db::Connection openDatabase() const;

 private:
  std::filesystem::path path_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// A fresh database with the real schema in a private temporary file (removed on destruction).
class TestDatabase {
 public:
  TestDatabase();
  ~TestDatabase();
  db::Connection& db() { return *connection_; }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path dir_;
  std::filesystem::path path_;
  std::optional<db::Connection> connection_;
};

// A path under tests/fixtures/.
std::filesystem::path fixturePath(const std::string& relative);
// Where the built programs are (the build tree).
std::filesystem::path binaryPath(const std::string& relative);

}  // namespace nodrel::testing
