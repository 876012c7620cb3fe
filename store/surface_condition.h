// store/surface_condition.h: the conditions under which a memory should be brought up even when
// recall would not rank it: a boolean rule tree (stored as JSON in `surface_condition`), the
// legacy single condition, and trigger keywords. Everything here is a pure function of its
// arguments; only parsing fails.
#pragma once

#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "store/memory.h"

namespace nodrel::store {

// What is known of the current session, as the caller supplies it.
struct SurfaceConditionContext {
  std::optional<std::string> repoPath{};
  std::vector<std::string> touchedFiles{};
  std::vector<std::string> touchedSymbols{};
  std::optional<std::string> taskDescription{};

  friend bool operator==(const SurfaceConditionContext&, const SurfaceConditionContext&) = default;
};

class SurfaceConditionParseError : public std::runtime_error {
 public:
  enum class Kind { UnknownOp, UnknownType, MalformedStructure, InvalidJSON, EmptyClauses };

  static SurfaceConditionParseError unknownOp(std::string op);
  static SurfaceConditionParseError unknownType(std::string type);
  static SurfaceConditionParseError malformedStructure(std::string message);
  static SurfaceConditionParseError invalidJSON();
  static SurfaceConditionParseError emptyClauses();

  Kind kind() const noexcept { return kind_; }
  // The op, type or message the case carries; empty for the cases that carry none.
  const std::string& detail() const noexcept { return detail_; }

  friend bool operator==(const SurfaceConditionParseError& a, const SurfaceConditionParseError& b) {
    return a.kind_ == b.kind_ && a.detail_ == b.detail_;
  }

 private:
  SurfaceConditionParseError(Kind kind, std::string detail);
  Kind kind_;
  std::string detail_;
};

// A rule node: one condition (leaf), all of its clauses (and), any of them (or), or the
// negation of its one clause (not). Immutable once built.
class SurfaceConditionRule {
 public:
  enum class Kind { Leaf, And, Or, Not };

  // Deeper trees are refused by `parse`, so neither parsing nor evaluating a stored rule can
  // exhaust the stack.
  static constexpr int kMaxDepth = 512;

  static SurfaceConditionRule leaf(MemoryConditionType type, std::string value);
  static SurfaceConditionRule allOf(std::vector<SurfaceConditionRule> clauses);
  static SurfaceConditionRule anyOf(std::vector<SurfaceConditionRule> clauses);
  static SurfaceConditionRule negation(SurfaceConditionRule clause);

  // Parses the JSON text of a `surface_condition` column. Throws SurfaceConditionParseError
  // only: the error of the offending node at whatever depth, else invalidJSON (also for text
  // that is not JSON and for a tree more than kMaxDepth rule levels deep).
  static SurfaceConditionRule parse(std::string_view json);

  // The JSON form that `parse` reads.
  std::string encode() const;

  bool evaluate(const SurfaceConditionContext& context) const;

  Kind kind() const noexcept { return kind_; }
  // Leaf only.
  MemoryConditionType conditionType() const noexcept { return type_; }
  const std::string& value() const noexcept { return value_; }
  // And and or: the clauses; not: its one clause.
  const std::vector<SurfaceConditionRule>& clauses() const noexcept { return clauses_; }

  friend bool operator==(const SurfaceConditionRule& a, const SurfaceConditionRule& b);

 private:
  SurfaceConditionRule() = default;
  Kind kind_ = Kind::Leaf;
  MemoryConditionType type_ = MemoryConditionType::RepoPath;
  std::string value_;
  std::vector<SurfaceConditionRule> clauses_;
};

// One condition against the session; the rule's leaves and a memory's legacy condition both
// use it. An empty value never matches.
bool matchesCondition(MemoryConditionType type, std::string_view value,
                      const SurfaceConditionContext& context);

// Whole-text glob over user-perceived characters: "*" matches any run ("/" included), "?" one
// character other than "/", anything else itself, case-sensitively. Linear in space and at worst
// pattern length times path length in time, however many stars the pattern has.
bool globMatches(std::string_view pattern, std::string_view path);

// True when one of the memory's comma-separated trigger keywords occurs, ignoring case, in the
// task description or in one of the touched files.
bool matchesTriggerKeywords(const Memory& memory, std::span<const std::string> touchedFiles,
                            const std::optional<std::string>& taskDescription);

}  // namespace nodrel::store
