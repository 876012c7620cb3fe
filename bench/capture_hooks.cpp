// The session hooks on a long session: the real `nodrel` process, start to exit, over a
// 3.4 MB transcript in the host's own line shapes (typed questions, assistant turns with
// thinking, text and tool_use blocks, tool_result lines holding file contents, long structured
// answers, an inline sub-agent, a compaction summary, slash-command wrappers). Timed:
//   - `checkpoint` the first time it meets the session (the whole transcript is new),
//   - `checkpoint` after one more exchange was appended (the Stop hook's every-turn cost),
//   - `capture` at the session's end, over the 2.0 host's lines and over the current (2.1)
//     host's: one content block per line, the request records and attachments the host writes
//     beside each turn (one repeating the typed prompt), background-task notifications, slash
//     commands with arguments;
// each against the floor of the same run, `nodrel --version` (starting the program at all).
// NODREL_BENCH_NODREL names another `nodrel` to time (an older build, for a before/after).
// Counters: median_ms and p95_ms of the repetitions, and cpu_ms, the median processor time of
// the process itself.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/nodrel_process.h"

namespace {

namespace fs = std::filesystem;
using namespace nodrel;
using nlohmann::json;

constexpr std::size_t kTranscriptBytes = 3'400'000;

const fs::path& scratchHome() {
  static const fs::path home = bench::makeScratchHome("nodrel-capture-bench-");
  return home;
}

std::string program() {
  if (const char* other = std::getenv("NODREL_BENCH_NODREL"); other && *other) return other;
  return std::string(NODREL_BINARY_DIR) + "/cli/nodrel";
}

// One run to the process's exit, `input` on its standard input, its output dropped.
void runNodrel(const char* command, const std::string& input) {
  if (bench::runNodrel(program(), command, input) != 0) std::abort();
}

// Lines as the host writes them: the session's metadata on every line, a parent link, a time.
class TranscriptWriter {
 public:
  explicit TranscriptWriter(std::string session) : session_(std::move(session)) {}

  // A line that is not a message: the host's own records (request shapes, attachments).
  std::string record(json line) {
    line["sessionId"] = session_;
    return finish(line);
  }
  std::string user(const json& content, const json& flags = json::object()) {
    json line = common("user", flags);
    line["message"] = {{"role", "user"}, {"content", content}};
    return finish(line);
  }
  std::string assistant(const json& blocks, bool sidechain = false) {
    json line = common("assistant", {{"isSidechain", sidechain}});
    line["requestId"] = "req_" + std::to_string(counter_);
    line["message"] = {
        {"id", "msg_" + std::to_string(counter_)},
        {"type", "message"},
        {"role", "assistant"},
        {"model", "claude-sonnet-4-20250514"},
        {"content", blocks},
        {"stop_reason", nullptr},
        {"usage",
         {{"input_tokens", 4}, {"output_tokens", 310}, {"cache_read_input_tokens", 48211}}}};
    return finish(line);
  }

 private:
  json common(const char* type, const json& flags) {
    json line = {{"parentUuid", parent_}, {"isSidechain", false},  {"userType", "external"},
                 {"cwd", "/work/app"},    {"sessionId", session_}, {"version", "2.0.14"},
                 {"gitBranch", "main"},   {"type", type}};
    line.update(flags);
    return line;
  }
  std::string finish(json& line) {
    ++counter_;
    char uuid[40];
    std::snprintf(uuid, sizeof uuid, "00000000-0000-4000-8000-%012d", counter_);
    line["uuid"] = uuid;
    const int seconds = counter_ * 3;
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "2025-10-02T%02d:%02d:%02d.%03dZ", 8 + seconds / 3600,
                  seconds / 60 % 60, seconds % 60, counter_ % 1000);
    line["timestamp"] = stamp;
    parent_ = uuid;
    return line.dump() + "\n";
  }

  std::string session_;
  std::string parent_;
  int counter_ = 0;
};

json text(const std::string& t) { return {{"type", "text"}, {"text", t}}; }

// The 2.0 host writes an assistant message's blocks on one line; the current host writes each
// block on a line of its own and records beside every turn what it sent the model.
enum class Shape { oneLinePerMessage, oneLinePerBlock };

std::string assistantTurn(TranscriptWriter& writer, Shape shape, const json& blocks) {
  if (shape == Shape::oneLinePerMessage) return writer.assistant(blocks);
  std::string out;
  for (const json& block : blocks) out += writer.assistant(json::array({block}));
  return out;
}

const char* const kProse[] = {
    "The handler reads the request body before it checks the session, so a slow client holds a "
    "worker for the whole upload. ",
    "Moving the check in front of the read keeps the pool free and changes nothing for valid "
    "requests. ",
    "The migration adds the column with a default, which rewrites the table on the older "
    "database; adding it nullable and back-filling in batches avoids the lock. ",
    "Tests for the parser cover the happy path only; the error branches for a truncated header "
    "and an unknown encoding are never reached. ",
    "The cache key leaves out the locale, so a French page can be served to an English reader "
    "after a deploy. "};

// One exchange of the session: a typed question, a turn of tool calls and their results, and a
// long structured answer; now and then a correction and its acknowledgement.
std::string exchange(TranscriptWriter& writer, int turn, std::mt19937& random,
                     Shape shape = Shape::oneLinePerMessage) {
  std::string out;
  const bool correction = turn % 9 == 4;
  const std::string typed = correction ? "No, keep the old retry policy for the payment client; "
                                         "change only the web handlers."
                                       : "Why does request " + std::to_string(turn) +
                                             " stall under load on the staging cluster?";
  out += writer.user(typed);
  if (shape == Shape::oneLinePerBlock) {
    std::string reminder = "<system-reminder>\n# Environment\n";
    while (reminder.size() < 6000) reminder += kProse[reminder.size() % 5];
    out += writer.record(
        {{"type", "attachment"},
         {"attachment", {{"type", "environment"}}},
         {"rendered", json::array({{{"content", reminder + "</system-reminder>"}}})}});
    out +=
        writer.record({{"type", "api-request-blob"},
                       {"message", {{"role", "user"}, {"content", json::array({text(typed)})}}}});
  }
  const std::string file = "src/server/handler_" + std::to_string(turn % 40) + ".cc";
  out += assistantTurn(writer, shape,
                       json::array({{{"type", "thinking"},
                                     {"thinking", "Read the handler and its tests first."},
                                     {"signature", std::string(120, 'S')}},
                                    text("Let me read the handler."),
                                    {{"type", "tool_use"},
                                     {"id", "toolu_" + std::to_string(turn)},
                                     {"name", "Read"},
                                     {"input", {{"file_path", "/work/app/" + file}}}}}));
  std::string contents;
  for (int i = 0; contents.size() < 9000; ++i) {
    contents += "  " + std::to_string(i + 1) +
                "\u2192  if (request.size() > limit_) return "
                "Status::TooLarge(" +
                std::to_string(random() % 4096) + ");\n";
  }
  out += writer.user(json::array({{{"type", "tool_result"},
                                   {"tool_use_id", "toolu_" + std::to_string(turn)},
                                   {"content", contents}}}),
                     {{"toolUseResult", {{"type", "text"}, {"file", {{"filePath", file}}}}}});
  std::string answer = correction ? "You're right, I'll keep the payment client's policy. " : "";
  answer += "The stall comes from " + file + " and src/server/pool.cc:\n\n";
  for (int i = 0; i < 5; ++i) answer += "- " + std::string(kProse[(turn + i) % 5]) + "\n";
  answer += "\n| Step | Time |\n|---|---|\n| read body | 1.8 s |\n| check session | 2 ms |\n\n";
  while (answer.size() < 2600) answer += kProse[random() % 5];
  out += writer.assistant(json::array({text(answer)}));
  if (shape == Shape::oneLinePerBlock && turn % 25 == 12) {
    out += writer.user("<task-notification>\n<task-id>b" + std::to_string(turn) +
                       "</task-id>\n<status>completed</status>\n<summary>Background command "
                       "\"make test\" completed (exit code 0)</summary>\n</task-notification>");
  }
  return out;
}

fs::path writeTranscript(const std::string& name, TranscriptWriter& writer, int& turns,
                         Shape shape = Shape::oneLinePerMessage) {
  const fs::path path = scratchHome() / name;
  std::ofstream out(path, std::ios::binary);
  std::mt19937 random(11);
  std::size_t written = 0;
  out << R"({"type":"summary","summary":"Staging stalls under load","leafUuid":"x"})"
         "\n";
  for (turns = 0; written < kTranscriptBytes; ++turns) {
    std::string chunk = exchange(writer, turns, random, shape);
    if (turns == 30) {  // an inline sub-agent
      chunk += writer.user("Search the logs for slow requests; never modify files.",
                           {{"isSidechain", true}});
      chunk += writer.assistant(json::array({text(std::string(3000, 'r'))}), true);
    }
    if (turns == 200) {  // a compaction
      std::string summary = "This session is being continued from a previous conversation. ";
      while (summary.size() < 14000) summary += kProse[turns % 5];
      chunk += writer.user(summary, {{"isCompactSummary", true}});
    }
    if (turns % 50 == 7) {
      chunk += writer.user(shape == Shape::oneLinePerMessage
                               ? "<command-message>review is running…</command-message>\n"
                                 "<command-name>/review</command-name>"
                               : "<command-message>review</command-message>\n"
                                 "<command-name>/review</command-name>\n"
                                 "<command-args>the retry change</command-args>");
      chunk += writer.user(json::array({text("Review the pending changes. Always cite lines.")}),
                           {{"isMeta", true}});
    }
    written += chunk.size();
    out << chunk;
  }
  return path;
}

std::string payload(const std::string& session, const fs::path& transcript) {
  return json{
      {"session_id", session}, {"transcript_path", transcript.string()}, {"cwd", "/work/app"}}
      .dump();
}

template <typename Run>
void timeRuns(benchmark::State& state, Run run) {
  std::vector<double> times;
  std::vector<double> cpu;
  for (auto _ : state) {
    const double cpuBefore = bench::childCpuMilliseconds();
    const double seconds = run();
    cpu.push_back(bench::childCpuMilliseconds() - cpuBefore);
    state.SetIterationTime(seconds);
    times.push_back(seconds * 1000);
  }
  std::sort(times.begin(), times.end());
  std::sort(cpu.begin(), cpu.end());
  if (times.empty()) return;
  state.counters["median_ms"] = times[times.size() / 2];
  state.counters["p95_ms"] = times[std::min(times.size() - 1, times.size() * 95 / 100)];
  state.counters["cpu_ms"] = cpu[cpu.size() / 2];
}

template <typename Work>
double timed(Work work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_Floor_Version(benchmark::State& state) {
  timeRuns(state, [] { return timed([] { runNodrel("--version", ""); }); });
}

void BM_CheckpointFirstRun(benchmark::State& state) {
  TranscriptWriter writer("first");
  int turns = 0;
  const fs::path transcript = writeTranscript("first.jsonl", writer, turns);
  int session = 0;
  timeRuns(state, [&] {
    // A session it has not met: the whole transcript is new to it.
    const std::string input = payload("first-" + std::to_string(session++), transcript);
    return timed([&] { runNodrel("checkpoint", input); });
  });
}

void BM_CheckpointOneNewExchange(benchmark::State& state) {
  TranscriptWriter writer("steady");
  int turns = 0;
  const fs::path transcript = writeTranscript("steady.jsonl", writer, turns);
  const std::string input = payload("steady", transcript);
  runNodrel("checkpoint", input);
  std::mt19937 random(5);
  timeRuns(state, [&] {
    {
      std::ofstream out(transcript, std::ios::binary | std::ios::app);
      out << exchange(writer, turns++, random);
    }
    return timed([&] { runNodrel("checkpoint", input); });
  });
}

void BM_CaptureAtSessionEnd(benchmark::State& state, Shape shape) {
  TranscriptWriter writer("end");
  int turns = 0;
  const fs::path transcript = writeTranscript(
      shape == Shape::oneLinePerMessage ? "end-2.0.jsonl" : "end-2.1.jsonl", writer, turns, shape);
  int session = 0;
  timeRuns(state, [&] {
    const std::string input = payload("end-" + std::to_string(session++), transcript);
    return timed([&] { runNodrel("capture", input); });
  });
}

}  // namespace

BENCHMARK(BM_Floor_Version)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(15);
BENCHMARK(BM_CheckpointFirstRun)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(9);
BENCHMARK(BM_CheckpointOneNewExchange)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(15);
BENCHMARK_CAPTURE(BM_CaptureAtSessionEnd, host_2_0, Shape::oneLinePerMessage)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(9);
BENCHMARK_CAPTURE(BM_CaptureAtSessionEnd, host_2_1, Shape::oneLinePerBlock)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(9);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(scratchHome(), ec);
  return 0;
}
