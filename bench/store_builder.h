// bench/store_builder.h: what the builders of the benchmark stores share: a database opened for
// building, writes committed in batches, memories written in sessions as use writes them, and a
// store built once into its cache folder and reused.
#pragma once

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "bench/simulated_history.h"
#include "db/connection.h"
#include "db/savepoint.h"
#include "db/schema.h"
#include "store/write_path.h"

namespace nodrel::bench {

// A new database with the real schema. Only the build is sped up by not syncing; the measured
// runs open the store normally.
inline db::Connection openStoreToBuild(const std::filesystem::path& file) {
  auto db = db::Connection::open(file, {.create = true});
  db::createSchema(db);
  db.exec("PRAGMA synchronous = OFF;");
  return db;
}

// Commits every 500 writes, so that a store of thousands is neither one long transaction nor a
// sync per write. What commit() has not ended is rolled back.
class WriteBatches {
 public:
  explicit WriteBatches(db::Connection& db) : db_(db) { open_.emplace(db_, "bench_batch"); }
  // One more write: the 500th of a batch commits it and begins the next.
  void wrote() {
    if (++written_ % 500 != 0) return;
    open_->commit();
    open_.emplace(db_, "bench_batch");
  }
  void commit() {
    open_->commit();
    open_.reset();
  }

 private:
  db::Connection& db_;
  std::optional<db::Savepoint> open_;
  int written_ = 0;
};

// Writes `count` memories through writeMemory, the i-th from `make(i)`, in batches.
template <typename Make>
void writeMemoriesInBatches(db::Connection& db, int count, Make make) {
  WriteBatches batches(db);
  store::WriteState writes;
  for (int i = 0; i < count; ++i) {
    store::writeMemory(db, writes, make(i));
    batches.wrote();
  }
  batches.commit();
}

// Writes `count` distinct memories through writeMemory in sessions of 3 to 40, as a day's work
// writes them, then spreads the sessions over months (bench/simulated_history.h).
// `startSession()` begins one and returns its project; `nextBody()` makes the session's next
// body; `dress(write)` sets the rest of a write once its body is known to be new. A body written
// before is passed over; a session gives up after four times its length in tries.
template <typename StartSession, typename NextBody, typename Dress>
void writeInSessions(db::Connection& db, std::mt19937& rng, int count, StartSession startSession,
                     NextBody nextBody, Dress dress) {
  std::unordered_set<std::string> bodies;
  std::vector<bool> startsSession;
  WriteBatches batches(db);
  store::WriteState writes;
  for (int written = 0; written < count;) {
    const std::string project = startSession();
    const int sessionLength = 3 + static_cast<int>(rng() % 38);
    for (int inSession = 0, attempts = 0;
         inSession < sessionLength && written < count && attempts < 4 * sessionLength; ++attempts) {
      std::string body = nextBody();
      if (!bodies.insert(body).second) continue;
      store::MemoryWrite write;
      write.body = std::move(body);
      write.project = project;
      dress(write);
      store::writeMemory(db, writes, write);
      startsSession.push_back(inSession == 0);
      ++inSession;
      ++written;
      batches.wrote();
      if (written % 10000 == 0) std::fprintf(stderr, "  %d written\n", written);
    }
  }
  batches.commit();
  spreadOverTime(db, rng, &startsSession);
}

struct GoStore {
  std::filesystem::path home;      // a HOME whose data directory holds the store
  std::filesystem::path database;  // home/.local/share/Nodrel/nodrel.db
};

// The store of the HOME `home`, made by `build(database)` on first use: a "built" file beside
// the database, holding the build's seconds, marks it whole, and a folder without it is made
// again from nothing.
template <typename Build>
GoStore storeBuiltOnce(const std::filesystem::path& home, Build build) {
  const std::filesystem::path data = home / ".local/share/Nodrel";
  GoStore store{home, data / "nodrel.db"};
  const std::filesystem::path done = data / "built";
  if (!std::filesystem::exists(done)) {
    std::filesystem::remove_all(home);
    std::filesystem::create_directories(data);
    const auto started = std::chrono::steady_clock::now();
    build(store.database);
    std::ofstream(done)
        << std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()
        << "\n";
  }
  return store;
}

}  // namespace nodrel::bench
