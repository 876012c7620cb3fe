// bench/server.cpp: the built NodrelMCP as a host sees it, over a pipe: the time from spawning
// it to its `initialize` response, and the round trips of a `nodrel_remember` call into a store
// of 10,000 memories of real English (a new memory, and the same body again, which reinforces)
// and of `tools/list`, each on one long-running server process. `tools/list` is the floor of a
// round trip.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/go_comment_store.h"
#include "bench/server_process.h"
#include "platform/paths.h"
#include "platform/user_defaults.h"
#include "store/capacity.h"

namespace {

using namespace nodrel;
using Clock = std::chrono::steady_clock;

constexpr int kStoreSize = 10'000;
constexpr const char* kInitialize =
    R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05",)"
    R"("capabilities":{},"clientInfo":{"name":"bench","version":"1"}}})";
constexpr const char* kToolsList = R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})";

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A scratch HOME holding a copy of the cached store of kStoreSize memories of real English
// (bench/go_comment_store.h), so the calls' writes never reach the cache. The server started
// later inherits HOME.
struct Store {
  std::filesystem::path home;
  int serial = 0;

  Store() {
    const std::filesystem::path source = bench::goStore(kStoreSize).database;
    // TMPDIR chooses the file system, e.g. a tmpfs to see the cost without the disk's syncs.
    std::string pattern = (std::filesystem::temp_directory_path() / "nodrel-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp " + pattern);
    home = pattern;
    setenv("HOME", home.c_str(), 1);
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_CONFIG_HOME");
    std::filesystem::create_directories(platform::NodrelPaths::baseDirectory());
    std::filesystem::copy_file(source, platform::NodrelPaths::databaseURL());
    // A budget far from reached: every new write pays for the usage query.
    platform::UserDefaults::set(std::string(store::kActiveBudgetKey), std::int64_t{1} << 40);
  }
  ~Store() {
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
  }
  // A body no memory has yet, in the words of the store's own.
  std::string next() {
    return "Noted while reviewing the retry loop that the deadline is checked before each "
           "attempt, so a slow server cannot hold the caller past it (review " +
           std::to_string(serial++) + ").";
  }
};

Store& sharedStore() {
  static Store s;
  return s;
}

std::string rememberRequest(int id, const std::string& content) {
  return nlohmann::json{
      {"jsonrpc", "2.0"},
      {"id", id},
      {"method", "tools/call"},
      {"params",
       {{"name", "nodrel_remember"},
        {"arguments", {{"project_path", "/work/project"}, {"content", content}}}}}}
      .dump();
}

// Checked outside the timed part, so a server that answers with an error is not measured as fast.
bool succeeded(const std::string& response) {
  const auto parsed = nlohmann::json::parse(response, nullptr, false);
  if (!parsed.is_object() || !parsed.contains("result")) return false;
  const auto result =
      nlohmann::json::parse(parsed["result"]["content"][0].value("text", ""), nullptr, false);
  return result.is_object() && result.value("success", false);
}

void BM_StartupToInitialize(benchmark::State& state) {
  sharedStore();
  std::vector<double> samples;
  for (auto _ : state) {
    const auto start = Clock::now();
    std::optional<bench::ServerProcess> server(std::in_place);
    const std::string response = server->call(kInitialize);
    samples.push_back(msSince(start));
    state.PauseTiming();
    server.reset();  // end of input; waiting for its exit is not start-up
    state.ResumeTiming();
    if (response.find("\"protocolVersion\"") == std::string::npos) {
      state.SkipWithError(response.c_str());
      break;
    }
  }
  state.counters["median_ms"] = bench::percentile(samples, 0.5);
}
BENCHMARK(BM_StartupToInitialize)->Iterations(200)->Unit(benchmark::kMillisecond)->UseRealTime();

// The processor time the server processes used, once they have been waited for.
double childrenCpuMs() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// One remember call per iteration, the n-th request line from `request(n)`, numbered on from
// `id`. Besides the wall time, the server's processor time per call since `cpuBefore`: the rest
// is waiting, mostly on the disk's syncs at commit. The server is stopped first, so that its
// processor time is counted.
template <typename Request>
void timeRememberCalls(benchmark::State& state, std::optional<bench::ServerProcess>& server, int id,
                       double cpuBefore, Request request) {
  std::vector<double> samples;
  for (auto _ : state) {
    const std::string line = request(++id);
    const auto start = Clock::now();
    const std::string response = server->call(line);
    samples.push_back(msSince(start));
    if (!succeeded(response)) {
      state.SkipWithError(response.c_str());
      break;
    }
  }
  server.reset();
  state.counters["median_ms"] = bench::percentile(samples, 0.5);
  state.counters["p95_ms"] = bench::percentile(samples, 0.95);
  if (!samples.empty()) {
    state.counters["server_cpu_ms_per_call"] =
        (childrenCpuMs() - cpuBefore) / static_cast<double>(samples.size());
  }
}

void BM_RememberRoundTrip(benchmark::State& state) {
  Store& s = sharedStore();
  const double cpuBefore = childrenCpuMs();
  std::optional<bench::ServerProcess> server(std::in_place);
  server->call(kInitialize);
  timeRememberCalls(state, server, 10, cpuBefore,
                    [&](int id) { return rememberRequest(id, s.next()); });
}
BENCHMARK(BM_RememberRoundTrip)->Iterations(500)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same body again: the stored memory is reinforced, and its audit row written beside it.
void BM_ReinforceRoundTrip(benchmark::State& state) {
  Store& s = sharedStore();
  std::optional<bench::ServerProcess> server(std::in_place);
  server->call(kInitialize);
  const std::string body = s.next();
  if (!succeeded(server->call(rememberRequest(11, body)))) {
    state.SkipWithError("the first write failed");
    return;
  }
  timeRememberCalls(state, server, 11, childrenCpuMs(),
                    [&](int id) { return rememberRequest(id, body); });
}
BENCHMARK(BM_ReinforceRoundTrip)->Iterations(500)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ToolsListRoundTrip(benchmark::State& state) {
  sharedStore();
  bench::ServerProcess server;
  server.call(kInitialize);
  std::vector<double> samples;
  std::size_t bytes = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    bytes = server.call(kToolsList).size();
    samples.push_back(msSince(start));
  }
  state.counters["median_ms"] = bench::percentile(samples, 0.5);
  state.counters["p95_ms"] = bench::percentile(samples, 0.95);
  state.counters["response_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ToolsListRoundTrip)->Iterations(2000)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
