// Gives a benchmark store written in one sitting the history of real use; shared by the
// benchmarks that build stores through writeMemory.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"
#include "db/savepoint.h"
#include "platform/time.h"
#include "store/memory_links.h"

namespace nodrel::bench {

constexpr std::string_view kSelectMemoriesInWriteOrder = "SELECT id FROM memories ORDER BY rowid";
constexpr std::string_view kDeleteTemporalLinks =
    "DELETE FROM memory_links WHERE link_type = 'temporal'";
constexpr std::string_view kMoveMemoryInTime =
    "UPDATE memories SET created_at = ?, last_accessed = ? WHERE id = ?";
// The write path's temporal rule (its bound of the nearest in time), limited to the memories
// written before this one, since only those existed when it was linked: the latest of them first.
constexpr std::string_view kRelinkTemporal = R"sql(
    INSERT OR IGNORE INTO memory_links (src_id, dst_id, link_type, weight, created_at)
    SELECT ?, id, 'temporal', 0.5, ? FROM memories
    WHERE rowid < (SELECT rowid FROM memories WHERE id = ?)
      AND tier != 'cold' AND deleted_at IS NULL
      AND created_at > ? AND created_at < ?
    ORDER BY created_at DESC, rowid DESC LIMIT ?)sql";

// A store built in minutes is not a store grown over years: every memory falls in the temporal
// linking window (an hour either side) of every other, so each links to the same first few
// and those become hubs with a link from every memory, which recall's graph walk then reads in
// full. This gives the memories the history of real use instead: sessions of writes a few
// minutes apart, about sixteen hours between sessions, ending now. Creation and last-access
// times are moved there, and the temporal links are made again as the write path makes them,
// each memory at its own time. Everything else stays as writeMemory wrote it. With
// `startsSession` (one flag per memory in write order), sessions begin where the writer's did;
// otherwise about one write in thirty begins one.
inline void spreadOverTime(db::Connection& db, std::mt19937& rng,
                           const std::vector<bool>* startsSession = nullptr) {
  std::vector<std::string> ids;
  db.each(kSelectMemoriesInWriteOrder, {}, [&](const db::Row& row) {
    ids.push_back(*db::textOf(row[0]));
    return true;
  });
  std::exponential_distribution<double> withinSession(1.0 / 300.0), betweenSessions(1.0 / 57600.0);
  std::vector<platform::Instant> times(ids.size());
  platform::Instant t = platform::now();
  for (std::size_t i = ids.size(); i-- > 0;) {
    times[i] = t;
    const bool between = startsSession != nullptr && i < startsSession->size() ? (*startsSession)[i]
                                                                               : rng() % 30 == 0;
    const double gap = between ? betweenSessions(rng) : withinSession(rng);
    t -= std::chrono::milliseconds(static_cast<std::int64_t>(gap * 1000.0) + 1);
  }
  const auto& format = platform::sharedTimestampFormatter();
  db::Savepoint history(db, "bench_history");
  db.exec(kDeleteTemporalLinks);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::string at = format.format(times[i]);
    db.run(kMoveMemoryInTime, {db::text(at), db::text(at), db::text(ids[i])});
  }
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::string at = format.format(times[i]);
    db.run(kRelinkTemporal, {db::text(ids[i]), db::text(at), db::text(ids[i]),
                             db::text(format.format(times[i] - std::chrono::hours(1))),
                             db::text(format.format(times[i] + std::chrono::hours(1))),
                             db::Value(std::int64_t{store::kMaxTemporalLinks})});
  }
  history.commit();
}

}  // namespace nodrel::bench
