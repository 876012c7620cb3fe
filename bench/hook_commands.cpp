// bench/hook_commands.cpp: the wall time of the real `nodrel` hook commands as the assistant
// host runs them: `checkpoint` after a turn with nothing pending (capture off, no markers; and
// capture on over a small transcript), and `capture` at the end of a 10 MB session.
// Run from a Release build after building `nodrel`; the median of the repetitions is the figure.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/nodrel_process.h"
#include "platform/user_defaults.h"

namespace {

namespace fs = std::filesystem;
using namespace nodrel;

// A scratch HOME for the whole program: the children inherit it.
const fs::path& scratchHome() {
  static const fs::path home = bench::makeScratchHome("nodrel-bench-");
  return home;
}

// Runs `nodrel <command>` with `input` on stdin, output discarded; returns the exit status.
int runNodrel(const char* command, const std::string& input) {
  return bench::runNodrel(std::string(NODREL_BINARY_DIR) + "/cli/nodrel", command, input);
}

std::string line(const std::string& type, const std::string& text) {
  return nlohmann::json{{"type", type},
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
    std::string answer = "The root cause is in src/module" + std::to_string(turn) +
                         ".cpp and include/module.h.\n";
    for (int i = 0; i < 6; ++i) answer += "- step " + std::to_string(random() % 1000) + "\n";
    while (answer.size() < 1500) answer += "Explanation of the change and why it matters. ";
    std::string chunk = line("user", "Question " + std::to_string(turn) + " about the build?") +
                        line("assistant", answer) +
                        R"({"type":"user","message":{"content":[{"type":"tool_result","content":")" +
                        std::string(600, 'o') + "\"}]}}\n";
    written += chunk.size();
    out << chunk;
  }
  return path;
}

std::string payload(const std::string& session, const fs::path& transcript) {
  return nlohmann::json{{"session_id", session},
                        {"transcript_path", transcript.string()},
                        {"cwd", "/bench/project"}}
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
BENCHMARK(BM_CheckpointNothingPending)->Unit(benchmark::kMillisecond)->Iterations(10)
    ->Repetitions(9)->ReportAggregatesOnly(true)->UseRealTime();

void BM_CheckpointCaptureOnSmallTranscript(benchmark::State& state) {
  scratchHome();
  const fs::path transcript = writeTranscript("turns.jsonl", 200'000);
  for (auto _ : state) {
    if (runNodrel("checkpoint", payload("S", transcript)) != 0) state.SkipWithError("failed");
  }
}
BENCHMARK(BM_CheckpointCaptureOnSmallTranscript)->Unit(benchmark::kMillisecond)->Iterations(5)
    ->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime();

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
BENCHMARK(BM_CaptureTenMegabytes)->Unit(benchmark::kMillisecond)->Iterations(1)
    ->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(scratchHome(), ec);
  return 0;
}
