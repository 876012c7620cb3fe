// The salience pass stopped by a signal part-way: the next run goes on from where it stopped,
// and the two runs together leave the store as one uninterrupted run does.
#include "capture/salience_pass.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>

#include "tests/support/temp_home.h"

namespace nodrel::capture {
namespace {

using Role = TranscriptMessage::Role;

// Two turns, each with two signals: the user's correction and the assistant's admission.
TranscriptTail twoCorrectedTurns() {
  TranscriptTail tail;
  tail.messages = {{Role::User, "No, use pnpm here, not npm."},
                   {Role::Assistant, "You're right, switching the scripts to pnpm."},
                   {Role::User, "No, never commit straight to main."},
                   {Role::Assistant, "You're right, I'll work on a branch from now on."}};
  return tail;
}

std::map<std::string, std::int64_t> accessCounts(db::Connection& db) {
  std::map<std::string, std::int64_t> counts;
  for (const auto& row : db.query("SELECT id, access_count FROM memories")) {
    counts[*db::textOf(row[0])] = db::integerOf(row[1]).value();
  }
  return counts;
}

// Runs the pass with a stop asked at the `stopAt`-th check (never when 0), then, as the next
// hook run would, again from where it stopped.
std::map<std::string, std::int64_t> storedAfterStop(int stopAt) {
  testing::TempHome home;
  db::Connection db = home.openDatabase();
  store::WriteState state;
  const HookPayload payload{"S1", "/t.jsonl", "/work/app", std::nullopt};
  TranscriptTail tail = twoCorrectedTurns();
  int checks = 0;
  const SaliencePassResult first =
      runSaliencePass(tail, payload, /*sessionEnded=*/false, db, state,
                      [&] { return stopAt != 0 && ++checks >= stopAt; });
  tail.firstNew = first.stop;
  runSaliencePass(tail, payload, /*sessionEnded=*/false, db, state, [] { return false; });
  return accessCounts(db);
}

TEST(SaliencePass, AStopAnywhereLeavesWhatOneRunLeaves) {
  const auto uninterrupted = storedAfterStop(0);
  ASSERT_EQ(uninterrupted.size(), 2u);
  // Before the first signal, between the two of one turn, between the turns, before the last.
  for (int stopAt = 1; stopAt <= 4; ++stopAt) {
    EXPECT_EQ(storedAfterStop(stopAt), uninterrupted) << "stop at check " << stopAt;
  }
}

}  // namespace
}  // namespace nodrel::capture
