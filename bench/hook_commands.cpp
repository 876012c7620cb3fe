// bench/hook_commands.cpp: the wall time of the real `nodrel` hook commands as the assistant
// host runs them: `checkpoint` after a turn with nothing pending (capture off, no markers; and
// capture on over a small transcript), and `capture` at the end of a 10 MB session.
// Then the Stop hook at a turn's end on stores of 1,000 / 10,000 / 100,000 memories of real
// English (bench/go_comment_store.h; NODREL_BENCH_SIZES chooses): `stop/stores-correction/N`,
// a turn whose typed message is a correction, so the hook writes one memory with its vector and
// links; against its floor `stop/stores-nothing/N`, a turn with nothing salient, in the same
// run. Each appends one exchange in the host's current line shapes (one content block per line,
// a tool call between the preamble and the answer) and passes the host's Stop payload. Beside
// the wall time's median_ms, cpu_ms is the median processor time of the hook process itself,
// which a busy machine inflates far less.
// Run from a Release build after building `nodrel`; the median of the repetitions is the figure.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/go_comment_store.h"
#include "bench/iteration_times.h"
#include "bench/nodrel_process.h"
#include "platform/paths.h"
#include "platform/user_defaults.h"
#include "store/capacity.h"

namespace {

namespace fs = std::filesystem;
using namespace nodrel;

// A scratch HOME for the whole program: the children inherit it.
const fs::path& scratchHome() {
  static const fs::path home = bench::makeScratchHome("nodrel-bench-");
  return home;
}

// Runs `nodrel <command>` with `input` on stdin, output discarded; returns the exit status.
// NODREL_BENCH_NODREL names another `nodrel` to time (another branch's build, for a before/after).
int runNodrel(const char* command, const std::string& input) {
  const char* other = std::getenv("NODREL_BENCH_NODREL");
  return bench::runNodrel(other != nullptr && *other != '\0'
                              ? std::string(other)
                              : std::string(NODREL_BINARY_DIR) + "/cli/nodrel",
                          command, input);
}

std::string line(const std::string& type, const std::string& text) {
  return nlohmann::json{
             {"type", type},
             {"timestamp", "2025-03-01T10:00:00.000Z"},
             {"message", {{"role", type}, {"content", {{{"type", "text"}, {"text", text}}}}}}}
             .dump() +
         "\n";
}

// About `bytes` of transcript: questions, long structured answers, tool noise.
fs::path writeTranscript(const std::string& name, std::size_t bytes) {
  const fs::path path = scratchHome() / name;
  std::ofstream out(path);
  std::mt19937 random(7);
  std::size_t written = 0;
  for (int turn = 0; written < bytes; ++turn) {
    std::string answer =
        "The root cause is in src/module" + std::to_string(turn) + ".cpp and include/module.h.\n";
    for (int i = 0; i < 6; ++i) answer += "- step " + std::to_string(random() % 1000) + "\n";
    while (answer.size() < 1500) answer += "Explanation of the change and why it matters. ";
    std::string chunk =
        line("user", "Question " + std::to_string(turn) + " about the build?") +
        line("assistant", answer) +
        R"({"type":"user","message":{"content":[{"type":"tool_result","content":")" +
        std::string(600, 'o') + "\"}]}}\n";
    written += chunk.size();
    out << chunk;
  }
  return path;
}

std::string payload(const std::string& session, const fs::path& transcript) {
  return nlohmann::json{
      {"session_id", session}, {"transcript_path", transcript.string()}, {"cwd", "/bench/project"}}
      .dump();
}

void BM_CheckpointNothingPending(benchmark::State& state) {
  scratchHome();
  platform::UserDefaults::set("nodrelCaptureLevel", "off");
  const fs::path transcript = writeTranscript("small.jsonl", 20'000);
  for (auto _ : state) {
    if (runNodrel("checkpoint", payload("S", transcript)) != 0) state.SkipWithError("failed");
  }
  platform::UserDefaults::remove("nodrelCaptureLevel");
}
BENCHMARK(BM_CheckpointNothingPending)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true)
    ->UseRealTime();

void BM_CheckpointCaptureOnSmallTranscript(benchmark::State& state) {
  scratchHome();
  const fs::path transcript = writeTranscript("turns.jsonl", 200'000);
  for (auto _ : state) {
    if (runNodrel("checkpoint", payload("S", transcript)) != 0) state.SkipWithError("failed");
  }
}
BENCHMARK(BM_CheckpointCaptureOnSmallTranscript)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseRealTime();

void BM_CaptureTenMegabytes(benchmark::State& state) {
  scratchHome();
  const fs::path transcript = writeTranscript("large.jsonl", 10'000'000);
  static int session = 0;  // across repetitions too
  for (auto _ : state) {
    // A fresh session each time: a captured one would be skipped.
    if (runNodrel("capture", payload("large-" + std::to_string(session++), transcript)) != 0) {
      state.SkipWithError("failed");
    }
  }
}
BENCHMARK(BM_CaptureTenMegabytes)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseRealTime();

// A turn of a current host's transcript: the typed message (a plain string), the assistant's
// preamble, a tool call and its result each on a line of their own, then the answer.
std::string hostTurn(int serial, const std::string& typed, const std::string& answer) {
  using nlohmann::json;
  const std::string stamp = "2026-12-01T10:" + std::to_string(10 + serial / 60 % 50) + ":" +
                            std::to_string(10 + serial % 50) + ".000Z";
  const std::string tool = "toolu_bench_" + std::to_string(serial);
  int part = 0;
  auto lineOf = [&](const char* type, const json& content, json extra = json::object()) {
    json line = {{"type", type},
                 {"isSidechain", false},
                 {"timestamp", stamp},
                 {"uuid", std::to_string(serial) + "-" + std::to_string(part++)},
                 {"sessionId", "stop-bench"},
                 {"version", "2.1.341"},
                 {"message", {{"role", type}, {"content", content}}}};
    line.update(extra);
    return line.dump() + "\n";
  };
  auto block = [](const char* type, const json& fields) {
    json b = {{"type", type}};
    b.update(fields);
    return json::array({b});
  };
  return lineOf("user", typed, {{"promptSource", "sdk"}}) +
         lineOf("assistant", block("text", {{"text", "Let me look at the file first."}})) +
         lineOf("assistant",
                block("tool_use", {{"id", tool},
                                   {"name", "Read"},
                                   {"input", {{"file_path", "src/net/http/server.go"}}}})) +
         lineOf("user",
                block("tool_result", {{"tool_use_id", tool}, {"content", std::string(2000, 'x')}}),
                {{"toolUseResult", {{"type", "text"}}}}) +
         lineOf("assistant", block("text", {{"text", answer}}));
}

// A scratch HOME holding a copy of the cached store of `count` memories, so that the hook's
// writes never reach the cache, and a session transcript of a few turns already seen. The
// benchmarks of one size share it: a copy of the largest store is gigabytes.
struct StopHookStore {
  fs::path home;
  fs::path transcript;
  std::string project;
  int serial = 0;

  explicit StopHookStore(int count) {
    const fs::path source = bench::goStore(count).database;
    home = fs::temp_directory_path() /
           ("nodrel-stop-bench-" + std::to_string(::getpid()) + "-" + std::to_string(count));
    fs::remove_all(home);
    enter();
    fs::create_directories(platform::NodrelPaths::baseDirectory());
    fs::copy_file(source, platform::NodrelPaths::databaseURL());
    // The copy's pages are written back now rather than while the hook is timed.
    ::sync();
    // A budget far from reached: the write is stored, not queued for want of room.
    platform::UserDefaults::set(std::string(store::kActiveBudgetKey), std::int64_t{1} << 40);
    project = bench::goStoreProjects()[0];
    transcript = home / "session.jsonl";
    std::ofstream out(transcript, std::ios::binary);
    for (int i = 0; i < 5; ++i)
      out << hostTurn(serial++, "What does the server do on idle?", "It closes.");
    out.close();
    // The first run meets the session: it reads the turns before the timed ones.
    const std::string payload = appendTurn("Where is the idle timeout set?", "In Serve.");
    runNodrel("checkpoint", payload);
  }
  ~StopHookStore() {
    std::error_code ec;
    fs::remove_all(home, ec);
  }
  void enter() const { ::setenv("HOME", home.c_str(), 1); }

  // Appends one turn and returns the Stop payload the host sends after it.
  std::string appendTurn(const std::string& typed, const std::string& answer) {
    {
      std::ofstream out(transcript, std::ios::binary | std::ios::app);
      out << hostTurn(serial++, typed, answer);
    }
    return nlohmann::json{{"session_id", "stop-bench"},
                          {"transcript_path", transcript.string()},
                          {"cwd", project},
                          {"permission_mode", "default"},
                          {"hook_event_name", "Stop"},
                          {"stop_hook_active", false},
                          {"last_assistant_message", answer}}
        .dump();
  }
  std::int64_t memories() const {
    auto db = db::Connection::open(platform::NodrelPaths::databaseURL(), {.readOnly = true});
    std::int64_t n = 0;
    db.each("SELECT count(*) FROM memories", {}, [&](const db::Row& row) {
      n = db::integerOf(row[0]).value_or(0);
      return false;
    });
    return n;
  }
};

StopHookStore& stopHookStore(int count) {
  static std::map<int, std::unique_ptr<StopHookStore>> stores;
  auto& store = stores[count];
  if (!store) store = std::make_unique<StopHookStore>(count);
  store->enter();
  return *store;
}

void BM_StopHook(benchmark::State& state, int count, bool correction) {
  StopHookStore& store = stopHookStore(count);
  const std::int64_t before = store.memories();
  std::int64_t runs = 0;
  std::vector<double> cpu;
  // Appending the turn is timed too: a few kilobytes, far below the hook's own cost.
  bench::timeIterations(state, [&] {
    const int n = store.serial;
    const std::string payload =
        correction
            ? store.appendTurn("No, never call ListenAndServe without a read timeout in handler " +
                                   std::to_string(n) + "; set ReadHeaderTimeout on the Server.",
                               "Understood: handler " + std::to_string(n) +
                                   " now builds an http.Server with ReadHeaderTimeout set.")
            : store.appendTurn("Which file holds handler " + std::to_string(n) + "?",
                               "It is in src/net/http/server.go, beside Serve.");
    const double cpuBefore = bench::childCpuMilliseconds();
    if (runNodrel("checkpoint", payload) != 0) state.SkipWithError("checkpoint failed");
    cpu.push_back(bench::childCpuMilliseconds() - cpuBefore);
    ++runs;
  });
  if (!cpu.empty()) {
    std::sort(cpu.begin(), cpu.end());
    state.counters["cpu_ms"] = cpu[cpu.size() / 2];
  }
  // A figure for a hook that did not do its work would mislead.
  const std::int64_t stored = store.memories() - before;
  if (stored != (correction ? runs : 0)) {
    state.SkipWithError(
        ("stored " + std::to_string(stored) + " memories in " + std::to_string(runs) + " runs")
            .c_str());
  }
  state.counters["stored"] = static_cast<double>(stored);
  ::setenv("HOME", scratchHome().c_str(), 1);
}

}  // namespace

int main(int argc, char** argv) {
  scratchHome();
  for (int count : bench::benchStoreSizes({1000, 10000, 100000})) {
    for (const bool correction : {false, true}) {
      const std::string name = std::string("stop/") +
                               (correction ? "stores-correction/" : "stores-nothing/") +
                               std::to_string(count);
      benchmark::RegisterBenchmark(name.c_str(), BM_StopHook, count, correction)
          ->Unit(benchmark::kMillisecond)
          ->Iterations(21)
          ->UseRealTime();
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(scratchHome(), ec);
  return 0;
}
