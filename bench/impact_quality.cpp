// bench/impact_quality.cpp: how right nodrel_get_impact's answers are on real code, asked of
// the real programs (`nodrel ingest`, then NodrelMCP over a pipe) so that it judges any build:
// NODREL_BENCH_NODREL and NODREL_BENCH_SERVER name the programs of another branch.
//
// Go: the standard library (NODREL_BENCH_GO_DIR, default /usr/share/go-1.19/src) ingested once.
// The truth is read from every ingested file's own import blocks (aliased, dot and blank imports
// included; an import path names std's folder, else its vendored copy). Go imports packages, not
// files, so the true direct dependents of a file F are the files outside F's directory that
// import F's package: its outside importers. A file of F's own directory sees F's names without
// an import; the tool may list it and it counts as right for precision, but it is not in the
// truth, so it never counts towards recall.
// - precision: listed dependents that are outside importers or files of F's directory, over all
//   listed;
// - recall: outside importers listed, over outside importers, pooled over the files that have at
//   most 25 of them (the answer lists at most 25, so only there can every one be shown);
// - recall at 25: outside importers listed over min(outside importers, 25), pooled over all.
// Asked: 40 chosen files across the tree, and one file from each of up to 40 packages (evenly
// spaced in path order) with 1 to 25 outside importers. Targets: precision at least 0.9; recall
// at least 0.8; no answer over 20,000 characters. Blast radius is shown beside the importer
// count; the outside importers missing from an answer are printed (three per file).
//
// Co-change back-test: for each git work tree in NODREL_BENCH_COCHANGE_REPOS (colon-separated;
// none: skipped), the newest 50 commits without merges that touch 2 to 20 files and whose first
// file (in git's order) existed before them. A scratch clone is checked out at each commit's
// parent and ingested into a home of its own, so the tool sees the tree and history before the
// commit; its top 10 for the first file (predictions, then co-change partners, then direct and
// transitive dependents, in the answer's order) against a plain count of the files most often
// changed together with it in the same git log window the miner reads (the newest 500 commits,
// those of 2 to 20 files). Figure: the share of the commits' other files found. Target: the
// tool finds at least as many as the count.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/server_process.h"
#include "db/connection.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string fromEnv(const char* variable, const std::string& fallback) {
  if (const char* value = std::getenv(variable); value && *value) return value;
  return fallback;
}

std::string nodrelProgram() {
  return fromEnv("NODREL_BENCH_NODREL", NODREL_BINARY_DIR "/cli/nodrel");
}

// Runs `argv` with HOME set to `home` (when given), standard output captured, standard error
// dropped; returns the output, or nothing when the program fails.
std::optional<std::string> capture(const std::vector<std::string>& argv,
                                   const std::optional<fs::path>& home = std::nullopt) {
  int out[2];
  if (pipe(out) != 0) throw std::runtime_error("pipe");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    if (FILE* null = std::fopen("/dev/null", "w")) dup2(fileno(null), 2);
    if (home) {
      setenv("HOME", home->c_str(), 1);
      unsetenv("XDG_DATA_HOME");
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  std::string text;
  char buffer[65536];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return text;
}

fs::path scratchHome(const std::string& tag) {
  const fs::path home =
      fs::temp_directory_path() / ("nodrel-impact-quality-" + tag + "-" + std::to_string(getpid()));
  fs::remove_all(home);
  fs::create_directories(home);
  return home;
}

void ingest(const fs::path& home, const fs::path& tree) {
  if (!capture({nodrelProgram(), "ingest", "--path", tree.string()}, home)) {
    throw std::runtime_error("nodrel ingest failed on " + tree.string());
  }
}

struct Answer {
  json result;
  std::size_t characters = 0;  // of the tool result's text, as the host receives it
};

Answer askImpact(nodrel::bench::ServerProcess& server, const std::string& project,
                 const std::string& file) {
  static int id = 1;
  const std::string request = json{{"jsonrpc", "2.0"},
                                   {"id", ++id},
                                   {"method", "tools/call"},
                                   {"params",
                                    {{"name", "nodrel_get_impact"},
                                     {"arguments", {{"project", project}, {"files", {file}}}}}}}
                                  .dump();
  const std::string text =
      json::parse(server.call(request))["result"]["content"][0]["text"].get<std::string>();
  Answer answer;
  answer.result = json::parse(text);
  for (const unsigned char c : text) answer.characters += (c & 0xC0) != 0x80;
  return answer;
}

std::vector<std::string> strings(const json& value) {
  std::vector<std::string> out;
  if (!value.is_array()) return out;
  for (const auto& item : value) {
    if (item.is_string()) out.push_back(item.get<std::string>());
    if (item.is_object() && item.contains("file")) out.push_back(item["file"].get<std::string>());
  }
  return out;
}

// ---- Go standard library

// The import paths of a Go file: its one-line imports and import blocks before the first
// declaration.
std::vector<std::string> goImports(const fs::path& file) {
  std::ifstream in(file);
  std::vector<std::string> out;
  std::string line;
  bool block = false;
  auto quoted = [&](const std::string& text) {
    const auto open = text.find('"');
    if (open == std::string::npos) return;
    const auto close = text.find('"', open + 1);
    if (close != std::string::npos) out.push_back(text.substr(open + 1, close - open - 1));
  };
  while (std::getline(in, line)) {
    const auto begin = line.find_first_not_of(" \t");
    const std::string trimmed = begin == std::string::npos ? "" : line.substr(begin);
    if (block) {
      if (trimmed.starts_with(")")) {
        block = false;
      } else if (!trimmed.starts_with("//")) {
        quoted(trimmed);
      }
      continue;
    }
    if (trimmed.starts_with("import (")) {
      block = true;
    } else if (trimmed.starts_with("import ")) {
      quoted(trimmed);
    } else if (trimmed.starts_with("func ") || trimmed.starts_with("type ") ||
               trimmed.starts_with("var ") || trimmed.starts_with("const ")) {
      break;
    }
  }
  return out;
}

std::string directoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

struct Tally {
  std::size_t listed = 0, right = 0, truth = 0, found = 0;
  double share(std::size_t part, std::size_t whole) const {
    return whole ? static_cast<double>(part) / static_cast<double>(whole) : 0.0;
  }
};

void goEvaluation() {
  const fs::path root = fromEnv("NODREL_BENCH_GO_DIR", "/usr/share/go-1.19/src");
  if (!fs::exists(root / "strings" / "strings.go")) {
    std::printf("Go: skipped, no tree at %s\n", root.c_str());
    return;
  }
  const fs::path home = scratchHome("go");
  ingest(home, root);
  const std::string project = root.lexically_normal().string();

  // The ingested Go files, and the directory each import path names (std's own folders first,
  // then its vendored copies).
  std::set<std::string> files;
  {
    fs::path store;
    for (const auto& entry : fs::recursive_directory_iterator(home)) {
      if (entry.path().filename() == "nodrel.db") store = entry.path();
    }
    auto db = nodrel::db::Connection::open(store, {});
    for (const auto& row : db.query("SELECT relative_path FROM code_files WHERE project = ? AND "
                                    "language = 'go'",
                                    {nodrel::db::text(project)})) {
      if (const auto* path = nodrel::db::textOf(row.at(0))) files.insert(*path);
    }
  }
  std::set<std::string> directories;
  for (const auto& f : files) directories.insert(directoryOf(f));
  auto importedDirectory = [&](const std::string& importer, const std::string& path) {
    const bool inCmd = importer.starts_with("cmd/");
    for (const std::string& candidate :
         {path, std::string(inCmd ? "cmd/vendor/" : "vendor/") + path}) {
      if (directories.contains(candidate)) return candidate;
    }
    return std::string();
  };
  std::map<std::string, std::set<std::string>> importersOf;  // directory -> importing files
  for (const auto& f : files) {
    for (const auto& path : goImports(root / f)) {
      const std::string directory = importedDirectory(f, path);
      if (!directory.empty() && directory != directoryOf(f)) importersOf[directory].insert(f);
    }
  }

  std::vector<std::string> targets = {"strings/strings.go",
                                      "fmt/print.go",
                                      "errors/errors.go",
                                      "io/io.go",
                                      "os/file.go",
                                      "sort/sort.go",
                                      "bytes/bytes.go",
                                      "strconv/atoi.go",
                                      "sync/mutex.go",
                                      "context/context.go",
                                      "time/time.go",
                                      "unicode/utf8/utf8.go",
                                      "encoding/json/encode.go",
                                      "net/http/server.go",
                                      "bufio/bufio.go",
                                      "path/filepath/path.go",
                                      "regexp/regexp.go",
                                      "math/big/int.go",
                                      "crypto/sha256/sha256.go",
                                      "compress/gzip/gunzip.go",
                                      "text/template/exec.go",
                                      "go/ast/ast.go",
                                      "go/token/token.go",
                                      "flag/flag.go",
                                      "log/log.go",
                                      "archive/tar/reader.go",
                                      "image/png/reader.go",
                                      "html/template/template.go",
                                      "net/url/url.go",
                                      "encoding/base64/base64.go",
                                      "hash/crc32/crc32.go",
                                      "container/list/list.go",
                                      "mime/type.go",
                                      "debug/elf/file.go",
                                      "testing/testing.go",
                                      "cmd/go/internal/base/base.go",
                                      "cmd/internal/obj/link.go",
                                      "internal/bytealg/bytealg.go",
                                      "encoding/csv/reader.go",
                                      "expvar/expvar.go"};
  {
    std::vector<std::string> few;  // packages of 1 to 25 outside importers, by directory
    for (const auto& [directory, importers] : importersOf) {
      if (importers.size() <= 25) few.push_back(directory);
    }
    constexpr std::size_t kSampled = 40;
    const std::set<std::string> chosen(targets.begin(), targets.end());
    for (std::size_t i = 0; i < kSampled && i < few.size(); ++i) {
      const auto& directory = few[i * few.size() / std::min(kSampled, few.size())];
      for (const auto& f : files) {
        if (directoryOf(f) == directory && !f.ends_with("_test.go")) {
          if (!chosen.contains(f)) targets.push_back(f);
          break;
        }
      }
    }
  }

  nodrel::bench::ServerProcess server(home);
  server.call(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{}})");
  Tally all, small;
  std::size_t atMost25 = 0, foundAtMost25 = 0;
  std::vector<std::string> missing;
  std::size_t largest = 0, asked = 0;
  std::string largestFile;
  std::printf("\nGo standard library (%zu Go files): direct dependents against import blocks\n",
              files.size());
  std::printf("%-32s %7s %7s %7s %7s %7s %8s %8s\n", "file", "listed", "right", "import", "found",
              "blast", "true", "chars");
  for (const auto& target : targets) {
    if (!files.contains(target)) continue;
    ++asked;
    const std::string directory = directoryOf(target);
    const auto& importers = importersOf[directory];
    const Answer answer = askImpact(server, project, target);
    std::size_t right = 0, found = 0;
    const auto listed = strings(answer.result.value("direct_dependents", json::array()));
    for (const auto& dependent : listed) {
      const bool imports = importers.contains(dependent);
      if (imports) ++found;
      if (imports || (directoryOf(dependent) == directory && dependent != target)) ++right;
    }
    all.listed += listed.size();
    all.right += right;
    all.truth += importers.size();
    all.found += found;
    atMost25 += std::min<std::size_t>(importers.size(), 25);
    foundAtMost25 += found;
    if (importers.size() <= 25) {
      small.truth += importers.size();
      small.found += found;
      std::size_t shown = 0;
      for (const auto& importer : importers) {
        if (shown == 3) break;
        if (std::find(listed.begin(), listed.end(), importer) == listed.end()) {
          missing.push_back(target + " <- " + importer);
          ++shown;
        }
      }
    }
    if (answer.characters > largest) {
      largest = answer.characters;
      largestFile = target;
    }
    std::printf("%-32s %7zu %7zu %7zu %7zu %7lld %8zu %8zu\n", target.c_str(), listed.size(), right,
                importers.size(), found,
                static_cast<long long>(answer.result.value("blast_radius", -1)), importers.size(),
                answer.characters);
  }
  for (const auto& line : missing) std::printf("missing: %s\n", line.c_str());
  std::printf(
      "files asked %zu; precision %.3f (%zu of %zu; target >= 0.9); recall over files with <= "
      "25 outside importers %.3f (%zu of %zu; target >= 0.8); recall at 25 over all %.3f; "
      "largest answer %zu characters (%s; target <= 20,000)\n",
      asked, all.share(all.right, all.listed), all.right, all.listed,
      small.share(small.found, small.truth), small.found, small.truth,
      all.share(foundAtMost25, atMost25), largest, largestFile.c_str());
  fs::remove_all(home);
}

// ---- Co-change back-test

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

// The commits of the miner's window at the work tree's HEAD, as the miner reads them: the
// newest 500 touching the tree, each with its files when it has 2 to 20.
std::vector<std::vector<std::string>> minerWindow(const fs::path& tree) {
  const auto text = capture({"git", "-C", tree.string(), "log", "--name-only",
                             "--pretty=format:---", "-z", "--full-diff", "-500", "--", "."});
  std::vector<std::vector<std::string>> commits;
  if (!text) return commits;
  std::vector<std::string> current;
  auto flush = [&] {
    if (current.size() >= 2 && current.size() <= 20) commits.push_back(current);
    current.clear();
  };
  std::string token;
  for (const char c : *text + std::string(1, '\0')) {
    if (c != '\0') {
      token += c;
      continue;
    }
    if (token.starts_with("---")) {
      flush();
      token.erase(0, 3);
      if (!token.empty() && token.front() == '\n') token.erase(0, 1);
    }
    if (!token.empty()) current.push_back(token);
    token.clear();
  }
  flush();
  return commits;
}

std::vector<std::string> mostOftenChangedWith(const fs::path& tree, const std::string& file) {
  std::map<std::string, int> counts;
  for (const auto& commit : minerWindow(tree)) {
    if (std::find(commit.begin(), commit.end(), file) == commit.end()) continue;
    for (const auto& other : commit) {
      if (other != file) ++counts[other];
    }
  }
  std::vector<std::pair<std::string, int>> ranked(counts.begin(), counts.end());
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  std::vector<std::string> out;
  for (std::size_t i = 0; i < ranked.size() && i < 10; ++i) out.push_back(ranked[i].first);
  return out;
}

std::vector<std::string> toolTopTen(const json& result, const std::string& file) {
  std::vector<std::string> out;
  for (const char* key :
       {"predictions", "fragile_files", "direct_dependents", "transitive_dependents"}) {
    if (!result.contains(key)) continue;  // an answer leaves out what it has none of
    for (const auto& path : strings(result[key])) {
      if (out.size() == 10) return out;
      if (path != file && std::find(out.begin(), out.end(), path) == out.end()) {
        out.push_back(path);
      }
    }
  }
  return out;
}

void backTest(const fs::path& repository) {
  const std::string name = repository.filename().string();
  const fs::path scratch =
      fs::temp_directory_path() / ("nodrel-backtest-" + name + "-" + std::to_string(getpid()));
  fs::remove_all(scratch);
  if (!capture({"git", "clone", "-q", "--no-checkout", repository.string(), scratch.string()})) {
    std::printf("%s: skipped, not a git repository\n", name.c_str());
    return;
  }
  const auto revisions = capture(
      {"git", "-C", scratch.string(), "rev-list", "--no-merges", "--max-count=3000", "HEAD"});
  std::size_t commits = 0, others = 0, toolFound = 0, countFound = 0, answered = 0;
  for (const auto& commit : lines(revisions.value_or(""))) {
    if (commits == 50) break;
    const auto changed = lines(capture({"git", "-C", scratch.string(), "diff-tree",
                                        "--no-commit-id", "--name-only", "-r", commit})
                                   .value_or(""));
    if (changed.size() < 2 || changed.size() > 20) continue;
    if (!capture({"git", "-C", scratch.string(), "cat-file", "-e", commit + "^:" + changed[0]})) {
      continue;
    }
    if (!capture(
            {"git", "-C", scratch.string(), "checkout", "-q", "--detach", "-f", commit + "^"})) {
      continue;
    }
    ++commits;
    const fs::path home = scratchHome("backtest");
    ingest(home, scratch);
    nodrel::bench::ServerProcess server(home);
    server.call(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{}})");
    const Answer answer = askImpact(server, scratch.string(), changed[0]);
    const auto tool = toolTopTen(answer.result, changed[0]);
    if (!tool.empty()) ++answered;
    const auto count = mostOftenChangedWith(scratch, changed[0]);
    const std::set<std::string> truth(changed.begin() + 1, changed.end());
    others += truth.size();
    for (const auto& f : tool) toolFound += truth.contains(f);
    for (const auto& f : count) countFound += truth.contains(f);
    fs::remove_all(home);
  }
  fs::remove_all(scratch);
  const auto share = [&](std::size_t n) {
    return others ? static_cast<double>(n) / static_cast<double>(others) : 0.0;
  };
  std::printf(
      "%-16s commits %3zu  other files %4zu  tool top 10 %.2f  most-often-together %.2f"
      "  answers naming a file %zu  %s\n",
      name.c_str(), commits, others, share(toolFound), share(countFound), answered,
      toolFound >= countFound ? "ok" : "BELOW the count");
}

}  // namespace

int main() {
  goEvaluation();
  const std::string repositories = fromEnv("NODREL_BENCH_COCHANGE_REPOS", "");
  if (repositories.empty()) {
    std::printf("\nCo-change back-test: skipped (NODREL_BENCH_COCHANGE_REPOS names none)\n");
    return 0;
  }
  std::printf(
      "\nCo-change back-test: share of each commit's other files found in the top 10 "
      "(target: tool >= count)\n");
  std::istringstream list(repositories);
  for (std::string repository; std::getline(list, repository, ':');) {
    if (!repository.empty()) backTest(repository);
  }
  return 0;
}
