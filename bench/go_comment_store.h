// Stores of real English for the memory benchmarks: bodies of one to five consecutive sentences
// from the comments of the Go standard library (Debian's golang-1.19-src, installed by
// scripts/bench), a third of them naming the file they came from, written in sessions that each
// work in one package, spread over six projects by package and given a history of sessions over
// months. Every memory goes through writeMemory,
// so rows, full-text entries, vectors and links are what the real write path makes of real text.
//
// A store is built once into <build>/bench-cache/go-v<version>-<count>/ as the data directory of
// a HOME that the command-line benchmarks can run in, with registered projects, corrections,
// standing instructions and a memory index beside the memories. Delete the folder (or bump
// kGoStoreVersion) after changing how memories are written.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "bench/store_builder.h"
#include "db/connection.h"
#include "db/savepoint.h"
#include "store/write_path.h"

namespace nodrel::bench {

namespace fs = std::filesystem;

constexpr int kGoStoreVersion = 3;
constexpr std::string_view kGoSourceRoot = "/usr/share/go-1.19/src";

inline const std::vector<std::string>& goStoreProjects() {
  static const std::vector<std::string> projects = {
      "/home/dev/src/payments", "/home/dev/src/mobile-app", "/home/dev/src/infra",
      "/home/dev/src/search",   "/home/dev/src/docs-site",  "/home/dev/src/compiler"};
  return projects;
}

// The project that holds a package directory (relative to src/): one package, one project.
inline const std::string& goStoreProjectFor(std::string_view packageDirectory) {
  const auto& projects = goStoreProjects();
  return projects[std::hash<std::string_view>{}(packageDirectory) % projects.size()];
}

struct GoCommentFile {
  std::string path;  // relative to src/, e.g. "net/http/server.go"
  std::vector<std::string> sentences;
};

namespace detail {

inline std::string trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t\r");
  return std::string(s.substr(first, last - first + 1));
}

// A sentence worth a memory: prose of four to sixty words, capitalised, ending in a full stop,
// plain ASCII (a memory body is what a person writes, not a table of runes).
inline bool isProse(const std::string& s) {
  if (s.size() < 20 || s.size() > 400) return false;
  if (!(s.front() >= 'A' && s.front() <= 'Z') || s.back() != '.') return false;
  int words = 1;
  for (unsigned char c : s) {
    if (c >= 0x80 || c == '\t' || c == '{' || c == '}' || c == ';' || c == '=') return false;
    if (c == ' ') ++words;
  }
  return words >= 4 && words <= 60;
}

inline void splitParagraph(const std::string& text, std::unordered_set<std::string>& seen,
                           std::vector<std::string>& out) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool end =
        text[i] == '.' && (i + 1 == text.size() || (text[i + 1] == ' ' && i + 2 < text.size() &&
                                                    text[i + 2] >= 'A' && text[i + 2] <= 'Z'));
    if (!end) continue;
    std::string sentence = trim(std::string_view(text).substr(start, i + 1 - start));
    start = i + 1;
    if (isProse(sentence) && seen.insert(sentence).second) out.push_back(std::move(sentence));
  }
}

}  // namespace detail

// Every distinct prose sentence of the tree's line comments, file by file in path order and in
// text order within a file. Directives, code examples (indented comment lines) and copyright
// notices are left out.
inline std::vector<GoCommentFile> readGoComments() {
  const fs::path root(kGoSourceRoot);
  if (!fs::is_directory(root)) {
    std::fprintf(stderr, "%s is missing: run scripts/bench, which installs golang-1.19-src\n",
                 root.c_str());
    std::exit(2);
  }
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string p = entry.path().string();
    if (entry.is_regular_file() && entry.path().extension() == ".go" &&
        p.find("/testdata/") == std::string::npos) {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  std::unordered_set<std::string> seen;
  std::vector<GoCommentFile> out;
  for (const auto& file : files) {
    GoCommentFile parsed{fs::relative(file, root).string(), {}};
    std::ifstream in(file);
    std::string line, paragraph;
    auto flush = [&] {
      if (!paragraph.empty()) detail::splitParagraph(paragraph, seen, parsed.sentences);
      paragraph.clear();
    };
    while (std::getline(in, line)) {
      const std::string t = detail::trim(line);
      if (t.rfind("//", 0) != 0) {
        flush();
        continue;
      }
      const std::string_view rest = std::string_view(t).substr(2);
      if (rest.empty() || rest.front() == '\t' || rest.rfind("  ", 0) == 0 ||
          rest.rfind("go:", 0) == 0 || rest.rfind(" +build", 0) == 0 ||
          rest.find("Copyright") != std::string_view::npos) {
        flush();
        continue;
      }
      if (!paragraph.empty()) paragraph += ' ';
      paragraph += detail::trim(rest);
    }
    flush();
    if (!parsed.sentences.empty()) out.push_back(std::move(parsed));
  }
  return out;
}

// NODREL_BENCH_CACHE names another cache folder, so that a build of other code can be timed on
// the same stores.
inline fs::path goStoreHome(int count) {
  const char* cache = std::getenv("NODREL_BENCH_CACHE");
  const fs::path folder = cache != nullptr && *cache != '\0'
                              ? fs::path(cache)
                              : fs::path(NODREL_BINARY_DIR) / "bench-cache";
  return folder / ("go-v" + std::to_string(kGoStoreVersion) + "-" + std::to_string(count));
}

// Writes `count` distinct memories through writeMemory, then what the session-start header
// counts: the six projects registered, corrections, standing instructions and a memory index.
inline void buildGoStore(const fs::path& file, int count) {
  const std::vector<GoCommentFile> corpus = readGoComments();
  std::size_t sentences = 0;
  for (const auto& file : corpus) sentences += file.sentences.size();
  std::fprintf(stderr, "go comments: %zu distinct sentences in %zu files\n", sentences,
               corpus.size());

  auto db = openStoreToBuild(file);
  std::mt19937 rng(20261210);
  // Memories come in sessions, as they do in use: each works in one package, writing about its
  // files, so memories written together share their words the way a day's notes do.
  std::map<std::string, std::vector<std::size_t>> packages;  // directory -> files
  for (std::size_t f = 0; f < corpus.size(); ++f) {
    packages[fs::path(corpus[f].path).parent_path().string()].push_back(f);
  }
  std::vector<const std::vector<std::size_t>*> packageFiles;
  std::vector<double> packageWeights;
  for (const auto& [directory, files] : packages) {
    std::size_t sentences = 0;
    for (std::size_t f : files) sentences += corpus[f].sentences.size();
    packageFiles.push_back(&files);
    packageWeights.push_back(static_cast<double>(sentences));
  }
  std::discrete_distribution<std::size_t> pickPackage(packageWeights.begin(), packageWeights.end());
  const std::vector<std::size_t>* files = nullptr;
  writeInSessions(
      db, rng, count,
      [&] {
        files = packageFiles[pickPackage(rng)];
        return goStoreProjectFor(fs::path(corpus[files->front()].path).parent_path().string());
      },
      [&] {
        const GoCommentFile& source = corpus[(*files)[rng() % files->size()]];
        const std::size_t offset = rng() % source.sentences.size();
        const std::size_t want = 1 + rng() % 5;
        std::string body;
        for (std::size_t i = offset; i < source.sentences.size() && i < offset + want; ++i) {
          if (!body.empty()) body += ' ';
          body += source.sentences[i];
        }
        if (rng() % 3 == 0) body += " See " + source.path + ".";
        return body;
      },
      [&](store::MemoryWrite& write) {
        write.type = rng() % 10 == 0 ? store::MemoryType::Decision : store::MemoryType::Observation;
        write.importance = 1 + static_cast<int>(rng() % 10);
      });

  db::Savepoint registry(db, "bench_projects");
  const auto& projects = goStoreProjects();
  for (std::size_t p = 0; p < projects.size(); ++p) {
    const std::string id = "P" + std::to_string(p);
    db.run(
        "INSERT INTO projects (id, name, path, last_active_at) VALUES (?, ?, ?, ?)",
        {db::text(id), db::text(fs::path(projects[p]).filename().string()), db::text(projects[p]),
         db::text("2026-01-0" + std::to_string(p + 1) + "T00:00:00.000+0000")});
    for (int c = 0; c < 20; ++c) {
      db.run("INSERT INTO corrections (id, project_id, content) VALUES (?, ?, 'x')",
             {db::text(id + "-C" + std::to_string(c)), db::text(id)});
    }
    db.run(
        "INSERT INTO standing_instructions (id, content, scope_type, project_id, active) "
        "VALUES (?, 'y', 'project', ?, 1)",
        {db::text(id + "-S"), db::text(id)});
  }
  db.exec(
      "INSERT INTO memory_index (memory_id, depth, traversal_cost_tokens, is_top_level) "
      "SELECT id, 0, body_tokens * 3, 1 FROM memories ORDER BY created_at LIMIT 40");
  registry.commit();
}

// The links of each type per memory, so a figure can be read against the shape of the graph.
inline void describeGoStore(const fs::path& file, int count, double buildSeconds) {
  auto db = db::Connection::open(file);
  std::string links;
  std::int64_t total = 0;
  db.each("SELECT link_type, count(*) FROM memory_links GROUP BY link_type", {},
          [&](const db::Row& row) {
            const std::int64_t n = db::integerOf(row[1]).value_or(0);
            total += n;
            char part[96];
            std::snprintf(part, sizeof part, " %s=%.1f", db::textOf(row[0])->c_str(),
                          static_cast<double>(n) / count);
            links += part;
            return true;
          });
  std::fprintf(stderr, "store %d: built in %.0f s, %.1f MB, links per memory %.1f (%s), file %s\n",
               count, buildSeconds, static_cast<double>(fs::file_size(file)) / 1e6,
               static_cast<double>(total) / count, links.c_str() + 1, file.c_str());
}

// The store of `count` memories, built on first use.
inline GoStore goStore(int count) {
  const GoStore store = storeBuiltOnce(goStoreHome(count), [&](const fs::path& database) {
    std::fprintf(stderr, "building a store of %d memories in %s ...\n", count,
                 database.parent_path().c_str());
    buildGoStore(database, count);
  });
  static std::unordered_set<int> described;
  if (described.insert(count).second) {
    double seconds = 0;
    std::ifstream(store.database.parent_path() / "built") >> seconds;
    describeGoStore(store.database, count, seconds);
  }
  return store;
}

// NODREL_BENCH_SIZES="1000,10000" chooses the store sizes; `fallback` otherwise.
inline std::vector<int> benchStoreSizes(std::vector<int> fallback) {
  const char* only = std::getenv("NODREL_BENCH_SIZES");
  if (only == nullptr || *only == '\0') return fallback;
  std::vector<int> sizes;
  for (std::string rest = only; !rest.empty();) {
    const auto comma = rest.find(',');
    sizes.push_back(std::stoi(rest.substr(0, comma)));
    rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
  }
  return sizes;
}

}  // namespace nodrel::bench
