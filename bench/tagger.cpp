// Tagger, keyword/entity analysis and sentence-vector throughput on English prose: the plain
// text documentation Debian packages install (READMEs and copyright files), cut at blank lines
// into paragraphs of memory-body size.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/sentence_embedding.h"
#include "platform/tagger.h"
#include "store/keyword_extraction.h"

namespace {

using namespace nodrel;

constexpr std::size_t kCorpusBytes = 4 << 20;

std::vector<std::string> loadParagraphs() {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator("/usr/share/doc", ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string name = it->path().filename().string();
    if (!it->is_regular_file(ec) || name.ends_with(".gz")) continue;
    if (name == "copyright" || name.starts_with("README") || name.ends_with(".txt")) {
      files.push_back(it->path());
    }
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> paragraphs;
  std::size_t total = 0;
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    std::size_t at = 0;
    while (at < all.size() && total < kCorpusBytes) {
      std::size_t end = all.find("\n\n", at);
      if (end == std::string::npos) end = all.size();
      std::string paragraph = all.substr(at, std::min<std::size_t>(end - at, 5000));
      at = end + 2;
      if (paragraph.size() < 40) continue;
      total += paragraph.size();
      paragraphs.push_back(std::move(paragraph));
    }
    if (total >= kCorpusBytes) break;
  }
  if (paragraphs.empty()) {  // a machine without documentation: a fixed paragraph
    paragraphs.assign(20000,
                      "The memory store keeps the config file in the user's home "
                      "directory; Grace Hopper reviewed the build on GitHub.");
  }
  return paragraphs;
}

const std::vector<std::string>& corpus() {
  static const std::vector<std::string> paragraphs = loadParagraphs();
  return paragraphs;
}

std::int64_t corpusBytes() {
  std::int64_t n = 0;
  for (const auto& p : corpus()) n += static_cast<std::int64_t>(p.size());
  return n;
}

void BM_TaggerLexicalClass(benchmark::State& state) {
  std::size_t tokens = 0;
  for (auto _ : state) {
    for (const auto& paragraph : corpus()) {
      platform::Tagger tagger({platform::TagScheme::LexicalClass});
      tagger.setString(paragraph);
      tagger.enumerateTags(tagger.wholeRange(), platform::TokenUnit::Word,
                           platform::TagScheme::LexicalClass, 14,
                           [&](std::optional<platform::Tag>, platform::TextRange) {
                             ++tokens;
                             return true;
                           });
    }
  }
  benchmark::DoNotOptimize(tokens);
  state.SetBytesProcessed(state.iterations() * corpusBytes());
  state.SetLabel(std::to_string(corpusBytes() / 1024) + " KiB of prose; no target (report MB/s)");
}
BENCHMARK(BM_TaggerLexicalClass)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_KeywordsAndEntities(benchmark::State& state) {
  std::size_t found = 0;
  for (auto _ : state) {
    for (const auto& paragraph : corpus()) {
      const auto analysis = store::analyzeText(paragraph);
      found += analysis.keywords.size() + analysis.entities.size();
    }
  }
  benchmark::DoNotOptimize(found);
  state.SetBytesProcessed(state.iterations() * corpusBytes());
  state.SetLabel("both lists from one tagging pass");
}
BENCHMARK(BM_KeywordsAndEntities)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_SentenceVector(benchmark::State& state) {
  const auto model = platform::SentenceEmbedding::forLanguage("en");
  double sum = 0.0;
  for (auto _ : state) {
    for (const auto& paragraph : corpus()) {
      if (auto v = model->vector(paragraph)) sum += (*v)[0];
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetBytesProcessed(state.iterations() * corpusBytes());
}
BENCHMARK(BM_SentenceVector)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
