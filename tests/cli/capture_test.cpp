// `nodrel capture` as the SessionEnd hook runs it: a payload on stdin, a temporary HOME.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/files.h"
#include "platform/text.h"
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
    return testing::runNodrel({"capture"}, input);
  }
  std::string payload(const std::string& session = "S1", const json& cwd = "/work/app") {
    json object = {{"session_id", session}, {"transcript_path", transcript.string()}};
    if (!cwd.is_null()) object["cwd"] = cwd;
    return object.dump();
  }
  std::int64_t count(const std::string& sql) { return db::integerOf(*db.scalar(sql)).value(); }
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
  writeTranscript(
      transcriptLine("user", "Why is CI slow?") + transcriptLine("assistant", notableAnswer("CI")) +
      transcriptLine("assistant", "short reply") + transcriptLine("user", "And the tests?") +
      transcriptLine("assistant", notableAnswer("tests")));
  auto run = capture(payload());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "nodrel capture: 2 memories captured from session S1\n");

  // The turn's whole reply.
  const std::string body = "Q: Why is CI slow?\n\nA: " + notableAnswer("CI") + "\n\nshort reply";
  auto row = db.query(
      "SELECT tier, type, tags, importance, project, context_path, source_session FROM memories "
      "WHERE id = ?",
      {db::text(store::memoryContentHash(body))});
  ASSERT_EQ(row.size(), 1u);
  EXPECT_EQ(row[0], (db::Row{std::string("episodic"), std::string("observation"),
                             std::string("auto_capture"), std::int64_t{3}, std::string("/work/app"),
                             db::Null{}, std::string("S1")}));
  auto session = db.query(
      "SELECT memory_count, extractor, captured_at FROM captured_sessions "
      "WHERE session_id = 'S1'");
  ASSERT_EQ(session.size(), 1u);
  EXPECT_EQ(session[0][0], db::Value(std::int64_t{2}));
  EXPECT_EQ(session[0][1], db::Value(std::string("heuristic")));
  EXPECT_EQ(db::textOf(session[0][2])->size(), 28u);

  // A captured session whose transcript was not written since is not read again.
  const std::string captured = platform::readFile(transcript).value();
  std::ofstream(transcript, std::ios::app)
      << transcriptLine("user", "Not read?") << transcriptLine("assistant", notableAnswer("no"));
  std::filesystem::last_write_time(
      transcript, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
  run = capture(payload());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories"), 2);

  // Resumed under the same id (`--resume`), the session ends again: what came after the first
  // end is captured, what it stored is not stored (nor reinforced) twice.
  writeTranscript(captured + transcriptLine("user", "And the linker?") +
                  transcriptLine("assistant", notableAnswer("the linker")));
  run = capture(payload());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "nodrel capture: 1 memories captured from session S1\n");
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories"), 3);
  EXPECT_EQ(count("SELECT MAX(access_count) FROM memories"), 1);
  EXPECT_EQ(count("SELECT memory_count FROM captured_sessions WHERE session_id = 'S1'"), 3);
  EXPECT_EQ(capture(payload()).err, "");
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories"), 3);

  // Another session with the same exchange reinforces it, counts it, and says "memories".
  writeTranscript(transcriptLine("user", "Why is CI slow?") +
                  transcriptLine("assistant", notableAnswer("CI")) +
                  transcriptLine("assistant", "short reply"));
  run = capture(payload("S2", nullptr));
  EXPECT_EQ(run.err, "nodrel capture: 1 memories captured from session S2\n");
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories"), 3);
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

// Hooks installed, but neither the server nor `nodrel-app init` ever ran: the session is still
// stored, in a database made by the capture itself.
TEST(CaptureOnAnEmptyHome, MakesTheDatabaseAndStoresTheSession) {
  testing::TempHome home;
  const std::filesystem::path transcript = home.path() / "session.jsonl";
  std::ofstream(transcript) << transcriptLine("user", "q")
                            << transcriptLine("assistant", notableAnswer("x"));
  const json payload = {
      {"session_id", "S1"}, {"transcript_path", transcript.string()}, {"cwd", "/work/app"}};
  auto run = testing::runNodrel({"capture"}, payload.dump());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "nodrel capture: 1 memories captured from session S1\n");
  auto db = home.openDatabase();
  EXPECT_EQ(db::integerOf(*db.scalar("SELECT COUNT(*) FROM memories WHERE project = '/work/app'")),
            1);
  EXPECT_EQ(db::integerOf(*db.scalar("SELECT COUNT(*) FROM captured_sessions")), 1);
}

TEST_F(CaptureCommand, AFailedWriteLeavesTheSessionForALaterRun) {
  writeTranscript(transcriptLine("user", "q") + transcriptLine("assistant", notableAnswer("x")));
  db.exec("CREATE TRIGGER refuse BEFORE INSERT ON memories BEGIN SELECT RAISE(ABORT, 'no'); END;");
  auto run = capture(payload());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err,
            "nodrel capture: session S1 not captured (SQLite error 1811: no); the next "
            "hook run will capture it\n");
  EXPECT_EQ(count("SELECT COUNT(*) FROM captured_sessions"), 0);

  db.exec("DROP TRIGGER refuse;");
  run = capture(payload());
  EXPECT_EQ(run.err, "nodrel capture: 1 memories captured from session S1\n");
  EXPECT_EQ(count("SELECT COUNT(*) FROM captured_sessions"), 1);
  EXPECT_FALSE(std::filesystem::exists(home.dataDirectory() / "pending-captures.json"));
}

// SessionEnd runs once per session: a capture that meets a database held by another writer past
// the busy timeout is said so, kept in the pending list, and done by the next hook run of any
// session.
TEST_F(CaptureCommand, ALockedDatabaseLosesNoCapture) {
  writeTranscript(transcriptLine("user", "Why is CI slow?") +
                  transcriptLine("assistant", notableAnswer("CI")));
  auto writer = db::Connection::open(home.databasePath());
  writer.exec(
      "BEGIN IMMEDIATE; INSERT INTO projects (id, name, path, created_at) "
      "VALUES ('p', 'p', '/p', '2025-01-01T00:00:00.000+0000');");
  auto run = capture(payload("S1"));
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.err.starts_with("nodrel capture: session S1 not captured (")) << run.err;
  EXPECT_TRUE(run.err.ends_with("); the next hook run will capture it\n")) << run.err;
  EXPECT_EQ(testing::splitLines(run.err).size(), 1u);
  writer.exec("ROLLBACK;");
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories"), 0);
  EXPECT_EQ(count("SELECT COUNT(*) FROM captured_sessions"), 0);
  const auto pendingFile = home.dataDirectory() / "pending-captures.json";
  ASSERT_TRUE(std::filesystem::exists(pendingFile));

  // The next Stop hook, of another session with nothing of its own to store, completes it.
  const auto other = home.path() / "other.jsonl";
  std::ofstream(other) << transcriptLine("user", "hi") << transcriptLine("assistant", "hello");
  run = testing::runNodrel(
      {"checkpoint"},
      json{{"session_id", "S2"}, {"transcript_path", other.string()}, {"cwd", "/work/app"}}.dump());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "nodrel checkpoint: 1 memories captured from session S1\n");
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories WHERE source_session = 'S1' AND project = "
                  "'/work/app'"),
            1);
  EXPECT_EQ(count("SELECT memory_count FROM captured_sessions WHERE session_id = 'S1'"), 1);
  EXPECT_FALSE(std::filesystem::exists(pendingFile));
  EXPECT_EQ(capture(payload("S1")).err, "");  // done once
}

// A real session's lines: sub-agent turns inline, a compaction summary, slash-command wrappers
// and expansions, local-command output, hook feedback. Each stored question is one the user
// typed (a slash command as typed), each answer the turn's whole reply, and SessionEnd stores
// the salient turn that no Stop saw.
TEST_F(CaptureCommand, OnlyWhatTheUserTypedIsAQuestion) {
  std::filesystem::copy_file(testing::fixturePath("capture/host_session.jsonl"), transcript);
  auto run = capture(payload());
  EXPECT_EQ(run.err,
            "nodrel capture: 3 salience capture(s) from session S1\n"
            "nodrel capture: 2 memories captured from session S1\n");
  const std::vector<std::string> questions = {
      "Q: /init\n\nA: I created CLAUDE.md",
      "Q: No, use blue-green deploys instead of rolling ones.\n\nA: You're right, switching the "
      "script to blue-green deploys.\n\nI ran the linter and it passes. I'll remember that.",
      "Q: Why does the deploy script fail on the staging host?\n\nA: Let me look at the script."};
  const auto rows = db.query("SELECT body FROM memories ORDER BY body");
  ASSERT_EQ(rows.size(), questions.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string body = *db::textOf(rows[i][0]);
    EXPECT_TRUE(body.starts_with(questions[i])) << body;
    EXPECT_EQ(body.find("is running"), std::string::npos) << body;
    // The sub-agent's own answer is not the main thread's.
    EXPECT_EQ(body.find("connection refused"), std::string::npos) << body;
  }
  // The turn goes on past the compaction summary.
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories WHERE body LIKE 'Q: Why does%The root cause is "
                  "the health check%Continuing with the deploy fix%'"),
            1);
}

TEST_F(CaptureCommand, BodiesAreHeldToTheToolLimitWithoutNul) {
  std::string answer = notableAnswer("logs") + std::string("\0", 1);
  while (answer.size() < 40'000) answer += " The log shows one more retry here.";
  writeTranscript(transcriptLine("user", std::string(6000, 'q')) +
                  transcriptLine("assistant", answer));
  EXPECT_EQ(capture(payload()).err, "nodrel capture: 1 memories captured from session S1\n");
  const std::string body = *db::textOf(*db.scalar("SELECT body FROM memories"));
  EXPECT_EQ(body.find('\0'), std::string::npos);
  EXPECT_EQ(platform::graphemeCount(body), 5000u);
  EXPECT_TRUE(body.starts_with("Q: " + std::string(2495, 'q') + "\u2026\n\nA: About logs"));
  EXPECT_TRUE(body.ends_with("\u2026"));
  EXPECT_EQ(count("SELECT length(body) FROM memories"), 5000);  // SQLite sees the whole body
}

// A path that is no plain file never holds a hook up: a FIFO without a writer, a device, /proc.
TEST_F(CaptureCommand, TranscriptsThatAreNotPlainFilesReturnAtOnce) {
  const auto fifo = home.path() / "fifo.jsonl";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo.string(), std::string("/proc/kmsg"),
                                  std::string("/proc/self/status"), std::string("/dev/zero")}) {
    SCOPED_TRACE(path);
    const std::string input =
        json{{"session_id", "S-" + path}, {"transcript_path", path}, {"cwd", "/w"}}.dump();
    const auto start = std::chrono::steady_clock::now();
    for (const char* command : {"capture", "checkpoint"}) {
      auto run = testing::runNodrel({command}, input);
      EXPECT_EQ(run.status, 0);
      EXPECT_EQ(run.err, "");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  }
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories"), 0);
}

// "/remember" run as the session's last turn: its marker is newer than every line a Stop could
// count, so the SessionEnd capture places it, and stores nothing twice.
TEST_F(CaptureCommand, RememberAsTheLastTurnIsStoredAtSessionEnd) {
  const json toolUse =
      json::array({{{"type", "tool_use"},
                    {"id", "t9"},
                    {"name", "Bash"},
                    {"input", {{"command", "nodrel remember-mark --cwd /work/app"}}}}});
  json expansion = json::parse(
      transcriptLine("user", "Run this command to save a marker.", "2026-03-02T09:05:00.100Z"));
  expansion["isMeta"] = true;
  writeTranscript(
      transcriptLine("user", "No, never use wildcard imports.", "2026-03-02T09:04:00.000Z") +
      transcriptLine("assistant", "Replaced them with the names.", "2026-03-02T09:04:10.000Z") +
      transcriptLine("user",
                     "<command-message>remember is running…</command-message>\n"
                     "<command-name>/remember</command-name>\n"
                     "<command-args>never wildcard imports</command-args>",
                     "2026-03-02T09:05:00.000Z") +
      expansion.dump() + "\n" + transcriptLine("assistant", toolUse, "2026-03-02T09:05:02.000Z"));
  const auto markers = home.dataDirectory() / "checkpoints";
  std::filesystem::create_directories(markers);
  std::ofstream(markers / "1-A.json") << json{
      {"cwd", "/work/app"},
      {"created_at", "2026-03-02T09:05:03.000Z"},
      {"note", "imports"}}.dump();
  const json stop = {{"session_id", "S1"},
                     {"transcript_path", transcript.string()},
                     {"cwd", "/work/app"},
                     {"last_assistant_message", "Saved."}};
  auto run = testing::runNodrel({"checkpoint"}, stop.dump());
  EXPECT_EQ(run.err, "nodrel checkpoint: 1 salience capture(s) from session S1\n");
  EXPECT_TRUE(std::filesystem::exists(markers / "1-A.json"));

  run = capture(payload());
  EXPECT_EQ(run.err, "nodrel capture: 1 checkpoint(s) captured from session S1\n");
  EXPECT_FALSE(std::filesystem::exists(markers / "1-A.json"));
  const std::vector<db::Row> want = {
      {std::string("checkpoint,remember"), std::int64_t{1},
       "Q: [imports] No, never use wildcard imports.\n\nA: Replaced them with the names."},
      {std::string("salience,auto_capture"), std::int64_t{1},
       "Q: No, never use wildcard imports.\n\nA: Replaced them with the names."},
  };
  EXPECT_EQ(db.query("SELECT tags, access_count, body FROM memories ORDER BY tags"), want);
}

// The Stop hook stored the turn; SessionEnd finds the same turn notable: one memory, untouched.
TEST_F(CaptureCommand, StopAndSessionEndStoreAnExchangeOnce) {
  writeTranscript(transcriptLine("user", "No, the cache is not the problem.") +
                  transcriptLine("assistant", "Let me look again.") +
                  transcriptLine("assistant", notableAnswer("the queue")));
  auto stop = testing::runNodrel({"checkpoint"}, payload());
  EXPECT_EQ(stop.err, "nodrel checkpoint: 1 salience capture(s) from session S1\n");
  EXPECT_EQ(capture(payload()).err, "");
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories"), 1);
  EXPECT_EQ(count("SELECT access_count FROM memories"), 1);
  EXPECT_EQ(count("SELECT COUNT(*) FROM captured_sessions"), 1);
}

// Stop moved the watermark past a notable exchange it does not store: SessionEnd reads the
// whole transcript again, not only what came after the watermark.
TEST_F(CaptureCommand, SessionEndCapturesWhatStopReadPast) {
  writeTranscript(
      transcriptLine("user", "Why is CI slow?") + transcriptLine("assistant", notableAnswer("CI")) +
      transcriptLine("user", "Thanks.") + transcriptLine("assistant", "You are welcome."));
  auto stop = testing::runNodrel({"checkpoint"}, payload());
  EXPECT_EQ(stop.status, 0);
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories"), 0);
  std::ofstream(transcript, std::ios::app) << transcriptLine("user", "And the tests?")
                                           << transcriptLine("assistant", notableAnswer("tests"));
  EXPECT_EQ(capture(payload()).err, "nodrel capture: 2 memories captured from session S1\n");
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories WHERE body LIKE 'Q: Why is CI slow?%'"), 1);
}

// SIGTERM while the capture waits for the database: the write in progress ends cleanly, the
// session is listed, and the next hook run completes it with nothing stored twice.
TEST_F(CaptureCommand, ASignalPartWayLosesNothing) {
  std::string text;
  for (int i = 0; i < 8; ++i) {
    const std::string topic = "topic " + std::to_string(i);
    text += transcriptLine("user", "Why does " + topic + " fail?") +
            transcriptLine("assistant", notableAnswer(topic));
  }
  writeTranscript(text);
  auto writer = db::Connection::open(home.databasePath());
  writer.exec("BEGIN IMMEDIATE;");
  testing::RunningProgram running(testing::binaryPath("cli/nodrel"), {"capture"}, home.path());
  running.send(payload());
  running.closeInput();
  // Past its signal set-up once it has the database open. Until its exec the child is a copy
  // of this process, whose own connection shows in its descriptors: it counts only once the
  // child runs the program.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  const std::string process = "/proc/" + std::to_string(running.pid());
  const std::string fds = process + "/fd";
  const auto program = std::filesystem::canonical(testing::binaryPath("cli/nodrel"));
  bool open = false;
  while (!open && std::chrono::steady_clock::now() < deadline) {
    std::error_code ec;
    if (std::filesystem::read_symlink(process + "/exe", ec) != program || ec) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    for (std::filesystem::directory_iterator it(fds, ec), end; !ec && it != end; it.increment(ec)) {
      std::error_code linkError;
      if (std::filesystem::read_symlink(it->path(), linkError) == home.databasePath()) open = true;
    }
    if (!open) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(open);
  ASSERT_EQ(::kill(running.pid(), SIGTERM), 0);
  writer.exec("ROLLBACK;");
  auto run = running.finish();
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.err.starts_with("nodrel capture: session S1 not captured (")) << run.err;
  EXPECT_TRUE(run.err.ends_with("; the next hook run will capture it\n")) << run.err;
  EXPECT_LT(count("SELECT COUNT(*) FROM memories"), 8);
  EXPECT_EQ(count("SELECT COUNT(*) FROM captured_sessions"), 0);

  const std::int64_t stored = count("SELECT COUNT(*) FROM memories");

  const auto other = home.path() / "other.jsonl";
  std::ofstream(other) << transcriptLine("user", "hi") << transcriptLine("assistant", "hello");
  run = testing::runNodrel(
      {"checkpoint"},
      json{{"session_id", "S2"}, {"transcript_path", other.string()}, {"cwd", "/work/app"}}.dump());
  EXPECT_EQ(run.err, "nodrel checkpoint: " + std::to_string(8 - stored) +
                         " memories captured from session S1\n");
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories WHERE source_session = 'S1'"), 8);
  EXPECT_EQ(count("SELECT MAX(access_count) FROM memories"), 1);
  EXPECT_EQ(count("SELECT COUNT(*) FROM captured_sessions WHERE session_id = 'S1'"), 1);
  EXPECT_FALSE(std::filesystem::exists(home.dataDirectory() / "pending-captures.json"));
}

TEST_F(CaptureCommand, WritesRefusedForCapacityAreKeptOnDisk) {
  writeTranscript(transcriptLine("user", "q") + transcriptLine("assistant", notableAnswer("x")));
  db.run(
      "INSERT INTO memories (id, tier, body, body_tokens, created_at, last_accessed) "
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
