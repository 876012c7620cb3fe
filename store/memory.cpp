#include "store/memory.h"

#include <array>
#include <utility>

namespace nodrel::store {
namespace {

constexpr std::array<std::pair<MemoryTier, std::string_view>, 4> kTiers{{
    {MemoryTier::Episodic, "episodic"},
    {MemoryTier::Semantic, "semantic"},
    {MemoryTier::Procedural, "procedural"},
    {MemoryTier::Cold, "cold"},
}};

constexpr std::array<std::pair<MemoryType, std::string_view>, 9> kTypes{{
    {MemoryType::Correction, "correction"},
    {MemoryType::Decision, "decision"},
    {MemoryType::Fact, "fact"},
    {MemoryType::Rule, "rule"},
    {MemoryType::Workflow, "workflow"},
    {MemoryType::Observation, "observation"},
    {MemoryType::KeyPoint, "key_point"},
    {MemoryType::Handoff, "handoff"},
    {MemoryType::State, "state"},
}};

constexpr std::array<std::pair<MemoryConditionType, std::string_view>, 4> kConditionTypes{{
    {MemoryConditionType::RepoPath, "repo_path"},
    {MemoryConditionType::SymbolTouched, "symbol_touched"},
    {MemoryConditionType::TaskKeyword, "task_keyword"},
    {MemoryConditionType::FileGlob, "file_glob"},
}};

template <typename Enum, std::size_t N>
std::string_view textFor(const std::array<std::pair<Enum, std::string_view>, N>& table, Enum e) {
  for (const auto& [value, text] : table) {
    if (value == e) return text;
  }
  return {};
}

template <typename Enum, std::size_t N>
std::optional<Enum> valueFor(const std::array<std::pair<Enum, std::string_view>, N>& table,
                             std::string_view raw) {
  for (const auto& [value, text] : table) {
    if (text == raw) return value;
  }
  return std::nullopt;
}

platform::Instant instantOr(const db::Value& v, platform::Instant fallback) {
  const std::string* s = db::textOf(v);
  auto parsed = platform::sharedTimestampFormatter().parse(s ? std::string_view(*s) : "");
  return parsed ? *parsed : fallback;
}

}  // namespace

std::string_view toString(MemoryTier tier) { return textFor(kTiers, tier); }
std::string_view toString(MemoryType type) { return textFor(kTypes, type); }
std::string_view toString(MemoryConditionType type) { return textFor(kConditionTypes, type); }

std::optional<MemoryTier> memoryTierFromRaw(std::string_view raw) { return valueFor(kTiers, raw); }
std::optional<MemoryType> memoryTypeFromRaw(std::string_view raw) { return valueFor(kTypes, raw); }
std::optional<MemoryConditionType> memoryConditionTypeFromRaw(std::string_view raw) {
  return valueFor(kConditionTypes, raw);
}

MemoryType memoryTypeForContextKind(std::string_view kind) {
  if (kind == "decision") return MemoryType::Decision;
  if (kind == "state") return MemoryType::State;
  if (kind == "key_point") return MemoryType::KeyPoint;
  if (kind == "handoff") return MemoryType::Handoff;
  return MemoryType::Observation;
}

std::string memoryColumns(std::string_view alias) {
  std::string out;
  std::string_view rest = kMemoryColumns;
  while (!rest.empty()) {
    auto comma = rest.find(',');
    std::string_view column = rest.substr(0, comma);
    while (!column.empty() && column.front() == ' ') column.remove_prefix(1);
    if (!out.empty()) out += ", ";
    out.append(alias).append(".").append(column);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return out;
}

std::optional<Memory> memoryFromRow(const db::Row& row) {
  if (row.size() < 24) return std::nullopt;
  const std::string* id = db::textOf(row[0]);
  const std::string* tier = db::textOf(row[1]);
  const std::string* body = db::textOf(row[2]);
  if (!id || !tier || !body) return std::nullopt;

  Memory m;
  m.id = *id;
  m.tier = memoryTierFromRaw(*tier).value_or(MemoryTier::Episodic);
  m.body = *body;
  m.bodyTokens = db::integerOf(row[3]).value_or(0);
  m.project = db::optionalTextOf(row[4]);
  m.contextPath = db::optionalTextOf(row[5]);
  const std::string* type = db::textOf(row[6]);
  m.type = memoryTypeFromRaw(type ? std::string_view(*type) : "observation")
               .value_or(MemoryType::Observation);
  m.tags = db::optionalTextOf(row[7]);
  // Unreadable times decode as the moment of decoding, so such a row ranks as fresh, not ancient.
  const platform::Instant decodedAt = platform::now();
  m.createdAt = instantOr(row[8], decodedAt);
  m.lastAccessed = instantOr(row[9], decodedAt);
  m.accessCount = db::integerOf(row[10]).value_or(0);
  m.strength = db::realOf(row[11]).value_or(1.0);
  m.importance = db::integerOf(row[12]).value_or(5);
  m.pinned = db::integerOf(row[13]) == 1;
  m.evidenceCount = db::integerOf(row[14]).value_or(1);
  m.parentID = db::optionalTextOf(row[15]);
  m.sourceSession = db::optionalTextOf(row[16]);
  m.predictedFutureUse = db::realOf(row[17]).value_or(0.5);
  if (const std::string* c = db::textOf(row[18])) m.conditionType = memoryConditionTypeFromRaw(*c);
  m.conditionValue = db::optionalTextOf(row[19]);
  m.surfaceCondition = db::optionalTextOf(row[20]);
  m.triggerKeywords = db::optionalTextOf(row[21]);
  m.depth = db::integerOf(row[22]).value_or(0);
  m.isTopLevel = db::integerOf(row[23]) == 1;
  return m;
}

std::vector<Memory> queryMemories(std::string_view sql, std::span<const db::Value> bindings,
                                  db::Connection& connection) {
  std::vector<Memory> out;
  db::Statement st = connection.prepare(sql);
  st.bindAll(bindings);
  // A failure while stepping (busy, corrupt) is thrown as the statement's error, like a
  // failed prepare; what was read so far is discarded with it.
  while (st.step()) {
    if (auto m = memoryFromRow(st.row())) out.push_back(std::move(*m));
  }
  return out;
}

}  // namespace nodrel::store
