// The layout of a heavy user's store: half of the memories in one main project, the rest spread
// over the others. Made from the store of bench/go_comment_store.h by folding whole projects
// into the one that holds net/http until it holds as near half of the memories as whole projects
// allow, so that bodies, vectors and links stay what the write path made of them (links are
// written within a project, and stay within the folded one). Copied once into
// <cache>/go-v<version>-<count>-half/ beside the store it comes from.
#pragma once

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench/go_comment_store.h"
#include "bench/store_builder.h"
#include "db/connection.h"
#include "db/savepoint.h"

namespace nodrel::bench {

// The main project of the half layout.
inline std::string halfStoreMainProject() { return goStoreProjectFor("net/http"); }

namespace detail {

// Folds the other projects of the smallest distance to half into the main project; their
// registrations go, so the projects table names only the projects that remain.
inline void foldIntoMainProject(const fs::path& database) {
  auto db = db::Connection::open(database);
  const std::string main = halfStoreMainProject();
  std::map<std::string, std::int64_t> counts;
  std::int64_t total = 0;
  db.each("SELECT project, count(*) FROM memories GROUP BY project", {}, [&](const db::Row& row) {
    const std::int64_t n = db::integerOf(row[1]).value_or(0);
    total += n;
    if (const std::string* project = db::textOf(row[0])) counts[*project] = n;
    return true;
  });
  std::vector<std::string> others;
  for (const auto& [project, n] : counts) {
    if (project != main) others.push_back(project);
  }
  unsigned best = 0;
  double bestDistance = 2.0;
  for (unsigned subset = 0; subset < (1u << others.size()); ++subset) {
    std::int64_t n = counts[main];
    for (std::size_t i = 0; i < others.size(); ++i) {
      if ((subset >> i) & 1u) n += counts[others[i]];
    }
    const double distance = std::abs(static_cast<double>(n) / static_cast<double>(total) - 0.5);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = subset;
    }
  }
  db::Savepoint fold(db, "bench_fold");
  for (std::size_t i = 0; i < others.size(); ++i) {
    if (((best >> i) & 1u) == 0) continue;
    db.run("UPDATE memories SET project = ? WHERE project = ?",
           {db::text(main), db::text(others[i])});
    db.run("DELETE FROM corrections WHERE project_id IN (SELECT id FROM projects WHERE path = ?)",
           {db::text(others[i])});
    db.run(
        "DELETE FROM standing_instructions WHERE project_id IN "
        "(SELECT id FROM projects WHERE path = ?)",
        {db::text(others[i])});
    db.run("DELETE FROM projects WHERE path = ?", {db::text(others[i])});
  }
  fold.commit();
  db.exec("PRAGMA wal_checkpoint(TRUNCATE)");
  const auto inMain =
      db::integerOf(*db.scalar("SELECT count(*) FROM memories WHERE project = ?", {db::text(main)}))
          .value_or(0);
  std::fprintf(stderr, "half layout of %lld memories: %.1f %% in %s\n",
               static_cast<long long>(total),
               100.0 * static_cast<double>(inMain) / static_cast<double>(total), main.c_str());
}

}  // namespace detail

// The half-layout store of `count` memories, made on first use.
inline GoStore halfProjectStore(int count) {
  const GoStore source = goStore(count);
  return storeBuiltOnce(source.home.string() + "-half", [&](const fs::path& database) {
    {
      // The source's log is folded into its file first, so the copy is whole.
      auto db = db::Connection::open(source.database);
      db.exec("PRAGMA wal_checkpoint(TRUNCATE)");
    }
    fs::copy_file(source.database, database);
    detail::foldIntoMainProject(database);
  });
}

}  // namespace nodrel::bench
