// `nodrel capture` as the SessionEnd hook runs it: a payload on stdin, a temporary HOME.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/files.h"
#include "platform/user_defaults.h"
#include "store/pending_write_queue.h"
#include "store/write_path.h"
#include "tests/capture/transcript_line.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_home.h"

namespace nodrel {
namespace {

using nlohmann::json;
using testing::transcriptLine;

// An answer that qualifies: over 400 characters with decision wording.
std::string notableAnswer(const std::string& topic) {
  std::string text = "About " + topic + ": the root cause is a stale cache.";
  while (text.size() < 420) text += " More detail follows here.";
  return text;
}

class CaptureCommand : public ::testing::Test {
 protected:
  testing::TempHome home;
  db::Connection db = home.openDatabase();
  std::filesystem::path transcript = home.path() / "session.jsonl";

  void writeTranscript(const std::string& text) { std::ofstream(transcript) << text; }
  testing::ProgramRun capture(const std::string& input) {
    return testing::runProgram(testing::binaryPath("cli/nodrel"), {"capture"}, input);
  }
  std::string payload(const std::string& session = "S1", const json& cwd = "/work/app") {
    json object = {{"session_id", session}, {"transcript_path", transcript.string()}};
    if (!cwd.is_null()) object["cwd"] = cwd;
    return object.dump();
  }
  std::int64_t count(const std::string& sql) {
    return db::integerOf(*db.scalar(sql)).value();
  }
};

TEST_F(CaptureCommand, MalformedPayloads) {
  struct Case {
    std::string input;
    int status;
    std::string err;
  };
  const std::string missing =
      "nodrel capture: missing session_id or transcript_path in stdin payload\n";
  const Case cases[] = {
      {"", 0, ""},
      {"not json", 0, ""},
      {"[1, 2]", 0, ""},
      {"\"text\"", 0, ""},
      {"{}", 1, missing},
      {R"({"session_id": "S1"})", 1, missing},
      {R"({"session_id": 7, "transcript_path": "/t"})", 1, missing},
      {R"({"session_id": "S1", "transcript_path": null})", 1, missing},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    auto run = capture(c.input);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, c.err);
  }
}

TEST_F(CaptureCommand, StoresNotableExchangesOnceAndRecordsTheSession) {
  writeTranscript(transcriptLine("user", "Why is CI slow?") +
                  transcriptLine("assistant", notableAnswer("CI")) +
                  transcriptLine("assistant", "short reply") +
                  transcriptLine("user", "And the tests?") +
                  transcriptLine("assistant", notableAnswer("tests")));
  auto run = capture(payload());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "nodrel capture: 2 memories captured from session S1\n");

  const std::string body = "Q: Why is CI slow?\n\nA: " + notableAnswer("CI");
  auto row = db.query(
      "SELECT tier, type, tags, importance, project, context_path, source_session FROM memories "
      "WHERE id = ?",
      {db::text(store::memoryContentHash(body))});
  ASSERT_EQ(row.size(), 1u);
  EXPECT_EQ(row[0], (db::Row{std::string("episodic"), std::string("observation"),
                             std::string("auto_capture"), std::int64_t{3},
                             std::string("/work/app"), db::Null{}, std::string("S1")}));
  auto session = db.query("SELECT memory_count, extractor, captured_at FROM captured_sessions "
                          "WHERE session_id = 'S1'");
  ASSERT_EQ(session.size(), 1u);
  EXPECT_EQ(session[0][0], db::Value(std::int64_t{2}));
  EXPECT_EQ(session[0][1], db::Value(std::string("heuristic")));
  EXPECT_EQ(db::textOf(session[0][2])->size(), 28u);

  // A captured session is not captured again, whatever its transcript holds now.
  writeTranscript(transcriptLine("assistant", notableAnswer("other")));
  run = capture(payload());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories"), 2);

  // Another session with the same exchange reinforces it, counts it, and says "memories".
  writeTranscript(transcriptLine("user", "Why is CI slow?") +
                  transcriptLine("assistant", notableAnswer("CI")));
  run = capture(payload("S2", nullptr));
  EXPECT_EQ(run.err, "nodrel capture: 1 memories captured from session S2\n");
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories"), 2);
  EXPECT_EQ(count("SELECT access_count FROM memories WHERE body LIKE 'Q: Why is CI%'"), 2);
}

TEST_F(CaptureCommand, WhatIsRecordedWhenNothingIsStored) {
  // Nothing qualifies: the session is still recorded, with a count of 0.
  writeTranscript(transcriptLine("user", "hi") + transcriptLine("assistant", "hello"));
  auto run = capture(payload("short"));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(count("SELECT COUNT(*) FROM captured_sessions WHERE session_id = 'short' AND "
                  "memory_count = 0 AND extractor = 'heuristic'"),
            1);

  // No transcript: no record, so a later run tries again.
  run = capture(R"({"session_id":"gone","transcript_path":"/nonexistent.jsonl"})");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(count("SELECT COUNT(*) FROM captured_sessions WHERE session_id = 'gone'"), 0);

  // Capture off: nothing stored, nothing recorded; any other spelling captures.
  writeTranscript(transcriptLine("assistant", notableAnswer("x")));
  platform::UserDefaults::set("nodrelCaptureLevel", "off");
  run = capture(payload("off"));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(count("SELECT COUNT(*) FROM captured_sessions WHERE session_id = 'off'"), 0);
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories"), 0);
  platform::UserDefaults::set("nodrelCaptureLevel", "OFF");
  run = capture(payload("on"));
  EXPECT_EQ(run.err, "nodrel capture: 1 memories captured from session on\n");
}

TEST_F(CaptureCommand, NoDatabaseNoWork) {
  std::filesystem::remove(home.databasePath());
  writeTranscript(transcriptLine("assistant", notableAnswer("x")));
  auto run = capture(payload());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_FALSE(std::filesystem::exists(home.databasePath()));
}

TEST_F(CaptureCommand, AFailedWriteLeavesTheSessionForALaterRun) {
  writeTranscript(transcriptLine("user", "q") + transcriptLine("assistant", notableAnswer("x")));
  db.exec("CREATE TRIGGER refuse BEFORE INSERT ON memories BEGIN SELECT RAISE(ABORT, 'no'); END;");
  auto run = capture(payload());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(count("SELECT COUNT(*) FROM captured_sessions"), 0);

  db.exec("DROP TRIGGER refuse;");
  run = capture(payload());
  EXPECT_EQ(run.err, "nodrel capture: 1 memories captured from session S1\n");
  EXPECT_EQ(count("SELECT COUNT(*) FROM captured_sessions"), 1);
}

TEST_F(CaptureCommand, WritesRefusedForCapacityAreKeptOnDisk) {
  writeTranscript(transcriptLine("user", "q") + transcriptLine("assistant", notableAnswer("x")));
  db.run("INSERT INTO memories (id, tier, body, body_tokens, created_at, last_accessed) "
         "VALUES ('a', 'episodic', 'x', 1000, '2025-01-01T00:00:00.000+0000', "
         "'2025-01-01T00:00:00.000+0000'), ('c', 'cold', 'y', 1000, "
         "'2025-01-01T00:00:00.000+0000', '2025-01-01T00:00:00.000+0000')");
  platform::UserDefaults::set("nodrel.storage.activeBudgetBytes", 10);
  platform::UserDefaults::set("nodrel.storage.coldBudgetBytes", 10);
  auto run = capture(payload());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  auto file = platform::readFile(store::pendingWritesFilePath());
  ASSERT_TRUE(file.has_value());
  auto writes = store::decodePendingWrites(*file);
  ASSERT_TRUE(writes.has_value());
  ASSERT_EQ(writes->size(), 1u);
  EXPECT_EQ((*writes)[0].body, "Q: q\n\nA: " + notableAnswer("x"));
  EXPECT_EQ((*writes)[0].tags, "auto_capture");
}

}  // namespace
}  // namespace nodrel
