// Linking one new memory against 500 candidate memories of about 200 characters.
// Targets: median at most 5 ms with a cold analysis cache, at most 1 ms with a warm one.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/savepoint.h"
#include "db/schema.h"
#include "platform/time.h"
#include "store/memory_links.h"

namespace {

using namespace nodrel;

// A word bank large enough that, as in a real store, a new memory shares two phrases or a
// name with a few dozen of the 500 recent memories rather than with all of them.
const char* const kNouns[] = {"build server",        "memory store",       "config file",
                              "payment service",     "web client",         "release branch",
                              "test suite",          "database migration", "cache directory",
                              "API gateway",         "log rotation",       "search index",
                              "deployment pipeline", "user session",       "image decoder",
                              "token refresh",       "schema upgrade",     "disk quota",
                              "nightly backup",      "staging cluster",    "network proxy",
                              "compiler flag",       "package manager",    "lock file",
                              "feature flag",        "error budget",       "retry policy",
                              "rate limiter",        "message queue",      "worker pool",
                              "thread pool",         "connection string",  "access token",
                              "signing key",         "build cache",        "crash report",
                              "stack trace",         "heap profile",       "load balancer",
                              "health check",        "cron job",           "shell script",
                              "docker image",        "base image",         "container registry",
                              "secret store",        "audit log",          "metrics dashboard",
                              "alert rule",          "pager rotation",     "code review",
                              "merge request",       "commit message",     "style guide",
                              "lint rule",           "type checker",       "unit test",
                              "integration test",    "test fixture",       "mock server",
                              "file watcher",        "hot reload",         "source map",
                              "bundle size",         "asset pipeline",     "font loader",
                              "color palette",       "dark mode",          "settings screen",
                              "login form",          "password reset",     "email template",
                              "push notification",   "background task",    "sync engine",
                              "conflict resolver",   "undo stack",         "clipboard handler",
                              "drag handle",         "scroll view",        "table view",
                              "date picker",         "time zone",          "locale file",
                              "translation key",     "currency format",    "invoice generator",
                              "tax table",           "shipping label",     "order history"};
const char* const kVerbs[] = {"fails",        "times out",      "needs a restart",
                              "crashes",      "slows down",     "passes",
                              "breaks",       "hangs",          "recovers",
                              "leaks memory", "drops requests", "returns stale data"};
const char* const kNames[] = {"Grace Hopper",   "Linus Torvalds",
                              "Ada Lovelace",   "Alan Kay",
                              "Barbara Liskov", "Ken Thompson",
                              "Dennis Ritchie", "Margaret Hamilton",
                              "Donald Knuth",   "Edsger Dijkstra",
                              "GitHub",         "GitLab",
                              "Postgres",       "Kubernetes",
                              "Terraform",      "Grafana",
                              "Sentry",         "Jenkins",
                              "Stripe",         "Vercel",
                              "Heroku",         "Cloudflare",
                              "Datadog",        "PagerDuty",
                              "Jira",           "Slack",
                              "Figma",          "Notion",
                              "Redis",          "Kafka"};

std::string makeBody(std::mt19937& random) {
  auto pick = [&](const auto& list) { return std::string(list[random() % std::size(list)]); };
  return "The " + pick(kNouns) + " " + pick(kVerbs) + " whenever the " + pick(kNouns) + " " +
         pick(kVerbs) + ". Ask " + pick(kNames) + " to check the " + pick(kNouns) + " and the " +
         pick(kNouns) +
         " first, then try again. It is rather annoying, and it slows everybody down "
         "considerably.";
}

struct Fixture {
  std::filesystem::path dir;
  std::optional<db::Connection> db;
  std::string newBody;
  double averageBodyLength = 0;

  Fixture() {
    dir = std::filesystem::temp_directory_path() /
          ("nodrel-bench-links-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    db.emplace(db::Connection::open(dir / "nodrel.db", {.create = true}));
    db::createSchema(*db);
    std::mt19937 random(42);
    const auto base = platform::now() - std::chrono::hours(48);
    db::Savepoint planted(*db, "bench_candidates");
    for (int i = 0; i < 500; ++i) {
      const std::string body = makeBody(random);
      averageBodyLength += static_cast<double>(body.size()) / 500;
      const std::string ts =
          platform::sharedTimestampFormatter().format(base + std::chrono::minutes(i));
      db->run(
          "INSERT INTO memories (id, tier, body, created_at, last_accessed) VALUES (?, 'episodic', "
          "?, ?, ?)",
          {db::text("cand" + std::to_string(i)), db::text(body), db::text(ts), db::text(ts)});
    }
    planted.commit();
    newBody = makeBody(random);
  }
  ~Fixture() {
    db.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

std::int64_t linksOf(const std::string& id, const char* type) {
  return *db::integerOf(
      *fixture().db->scalar("SELECT count(*) FROM memory_links WHERE src_id = ? AND link_type = ?",
                            {db::text(id), db::text(type)}));
}

void countLinks(benchmark::State& state, const std::string& id) {
  state.counters["body_chars"] = fixture().averageBodyLength;
  for (const char* type : {"semantic", "entity", "temporal"}) {
    state.counters[std::string(type) + "_links"] = static_cast<double>(linksOf(id, type));
  }
}

void BM_LinkColdCache(benchmark::State& state) {
  Fixture& f = fixture();
  store::MemoryAnalysisCache analyses;
  int n = 0;
  std::string id;
  for (auto _ : state) {
    state.PauseTiming();
    analyses.clear();
    // Each run meets the same store: the candidates' incoming links do not pile up.
    f.db->exec("DELETE FROM memory_links");
    id = "cold" + std::to_string(n++);
    state.ResumeTiming();
    store::createMemoryLinks(id, f.newBody, *f.db, analyses);
  }
  countLinks(state, id);
  state.SetLabel("target: median <= 5 ms");
}
BENCHMARK(BM_LinkColdCache)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(10)
    ->ReportAggregatesOnly(true);

void BM_LinkWarmCache(benchmark::State& state) {
  Fixture& f = fixture();
  store::MemoryAnalysisCache analyses;
  store::createMemoryLinks("warmup", f.newBody, *f.db, analyses);
  int n = 0;
  std::string id;
  for (auto _ : state) {
    // A new memory each time: only its own body is analysed afresh, as in a real write.
    state.PauseTiming();
    f.db->exec("DELETE FROM memory_links");
    state.ResumeTiming();
    id = "warm" + std::to_string(n++);
    store::createMemoryLinks(id, f.newBody + " #" + std::to_string(n), *f.db, analyses);
  }
  countLinks(state, id);
  state.SetLabel("target: median <= 1 ms");
}
BENCHMARK(BM_LinkWarmCache)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(10)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
