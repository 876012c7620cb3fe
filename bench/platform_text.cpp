// Hot paths of the platform layer: a parser's regex over many lines, and the text operations
// that run on every memory body.
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/regex.h"
#include "platform/sha256.h"
#include "platform/text.h"

namespace {

using namespace nodrel::platform;

std::vector<std::string> buildLog(int lines) {
  std::vector<std::string> out;
  for (int i = 0; i < lines; ++i) {
    if (i % 10 == 0) {
      out.push_back("/Users/dev/Project/Sources/App/File" + std::to_string(i) +
                    ".swift:" + std::to_string(i) + ":12: error: cannot find 'x' in scope");
    } else {
      out.push_back("CompileSwift normal arm64 /Users/dev/Project/Sources/App/File" +
                    std::to_string(i) + ".swift (in target 'App' from project 'App')");
    }
  }
  return out;
}

void BM_RegexPerLine(benchmark::State& state) {
  auto re = makeRegex("^(.+?):(\\d+):(\\d+): (error|warning): (.+)$");
  const auto lines = buildLog(1000);
  for (auto _ : state) {
    int found = 0;
    for (const auto& line : lines) {
      if (auto m = re->firstMatch(line)) found += static_cast<int>(m->groups[2].end > 0);
    }
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(lines.size()));
}
BENCHMARK(BM_RegexPerLine);

void BM_RegexCompile(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(makeRegex("\\b(class|struct|enum)\\s+(\\w+)"));
}
BENCHMARK(BM_RegexCompile);

const std::string kAsciiBody(2000, 'a');
const std::string kUnicodeBody = [] {
  std::string s;
  while (s.size() < 2000) s += "Grüße 👩‍👩‍👧 naïve café ";
  return s;
}();

void BM_GraphemeCountAscii(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(graphemeCount(kAsciiBody));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kAsciiBody.size()));
}
BENCHMARK(BM_GraphemeCountAscii);

void BM_GraphemeCountUnicode(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(graphemeCount(kUnicodeBody));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kUnicodeBody.size()));
}
BENCHMARK(BM_GraphemeCountUnicode);

void BM_LowercaseUnicode(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(lowercase(kUnicodeBody));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kUnicodeBody.size()));
}
BENCHMARK(BM_LowercaseUnicode);

void BM_NfcUnicode(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(nfc(kUnicodeBody));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kUnicodeBody.size()));
}
BENCHMARK(BM_NfcUnicode);

void BM_Sha256(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(sha256Hex(kUnicodeBody));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kUnicodeBody.size()));
}
BENCHMARK(BM_Sha256);

}  // namespace

BENCHMARK_MAIN();
