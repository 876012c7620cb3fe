#include "codeintel/report_records.h"

#include <limits>

namespace nodrel::codeintel {
namespace {

using nlohmann::json;

// Readers of one key of an object; each throws RecordDecodingError naming the key.
const json& member(const json& object, const char* key) {
  if (!object.is_object()) throw RecordDecodingError(std::string("expected an object for ") + key);
  auto it = object.find(key);
  if (it == object.end()) throw RecordDecodingError(std::string("key not found: ") + key);
  return *it;
}

std::string stringValue(const json& value, const char* key) {
  if (!value.is_string()) throw RecordDecodingError(std::string("expected a string for ") + key);
  return value.get<std::string>();
}

std::int64_t integerValue(const json& value, const char* key) {
  // A fraction or an unsigned value beyond the signed range is no 64-bit integer.
  if (value.is_number_unsigned() &&
      value.get<std::uint64_t>() >
          static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    throw RecordDecodingError(std::string("integer out of range for ") + key);
  }
  if (!value.is_number_integer()) {
    throw RecordDecodingError(std::string("expected an integer for ") + key);
  }
  return value.get<std::int64_t>();
}

double numberValue(const json& value, const char* key) {
  if (!value.is_number()) throw RecordDecodingError(std::string("expected a number for ") + key);
  return value.get<double>();
}

bool boolValue(const json& value, const char* key) {
  if (!value.is_boolean()) throw RecordDecodingError(std::string("expected a boolean for ") + key);
  return value.get<bool>();
}

std::vector<std::string> stringList(const json& value, const char* key) {
  if (!value.is_array()) throw RecordDecodingError(std::string("expected an array for ") + key);
  std::vector<std::string> out;
  out.reserve(value.size());
  for (const auto& element : value) out.push_back(stringValue(element, key));
  return out;
}

std::string requiredString(const json& object, const char* key) {
  return stringValue(member(object, key), key);
}
std::int64_t requiredInteger(const json& object, const char* key) {
  return integerValue(member(object, key), key);
}
double requiredNumber(const json& object, const char* key) {
  return numberValue(member(object, key), key);
}
bool requiredBool(const json& object, const char* key) {
  return boolValue(member(object, key), key);
}
std::vector<std::string> requiredStringList(const json& object, const char* key) {
  return stringList(member(object, key), key);
}

// A missing key and null both read as absent.
const json* optionalMember(const json& object, const char* key) {
  if (!object.is_object()) throw RecordDecodingError(std::string("expected an object for ") + key);
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}
std::optional<std::string> optionalString(const json& object, const char* key) {
  const json* value = optionalMember(object, key);
  if (!value) return std::nullopt;
  return stringValue(*value, key);
}
std::optional<std::int64_t> optionalInteger(const json& object, const char* key) {
  const json* value = optionalMember(object, key);
  if (!value) return std::nullopt;
  return integerValue(*value, key);
}

template <typename T>
void putOptional(json& object, const char* key, const std::optional<T>& value) {
  if (value) object[key] = *value;
}

}  // namespace

std::string_view toString(RiskLevel level) {
  switch (level) {
    case RiskLevel::Low:
      return "low";
    case RiskLevel::Medium:
      return "medium";
    case RiskLevel::High:
      return "high";
  }
  return "low";
}

std::optional<RiskLevel> riskLevelFromRaw(std::string_view raw) {
  for (RiskLevel level : {RiskLevel::Low, RiskLevel::Medium, RiskLevel::High}) {
    if (toString(level) == raw) return level;
  }
  return std::nullopt;
}

void to_json(json& j, RiskLevel level) { j = std::string(toString(level)); }

void from_json(const json& j, RiskLevel& level) {
  auto decoded = riskLevelFromRaw(stringValue(j, "riskLevel"));
  if (!decoded) {
    throw RecordDecodingError("cannot initialize RiskLevel from invalid value " +
                              j.dump(-1, ' ', false, json::error_handler_t::replace));
  }
  level = *decoded;
}

void to_json(json& j, const Prediction& p) {
  j = json::object();
  j["file"] = p.file;
  j["score"] = p.score;
  j["reason"] = p.reason;
  j["coChangeCount"] = p.coChangeCount;
  j["buildFailureCount"] = p.buildFailureCount;
  j["testFailureCount"] = p.testFailureCount;
}

void from_json(const json& j, Prediction& p) {
  Prediction out;
  out.file = requiredString(j, "file");
  out.score = requiredNumber(j, "score");
  out.reason = requiredString(j, "reason");
  out.coChangeCount = requiredInteger(j, "coChangeCount");
  out.buildFailureCount = requiredInteger(j, "buildFailureCount");
  out.testFailureCount = requiredInteger(j, "testFailureCount");
  p = std::move(out);
}

void to_json(json& j, const ImpactReport& r) {
  j = json::object();
  j["changedFiles"] = r.changedFiles;
  j["directDependents"] = r.directDependents;
  j["transitiveDependents"] = r.transitiveDependents;
  j["fragileFiles"] = r.fragileFiles;
  j["blastRadius"] = r.blastRadius;
  j["riskLevel"] = r.riskLevel;
  j["truncatedCount"] = r.truncatedCount;
  j["highImpactWarnings"] = r.highImpactWarnings;
  json paths = json::array();
  json scores = json::array();
  for (const auto& entry : r.topFragileFiles) {
    paths.push_back(entry.path);
    scores.push_back(entry.score);
  }
  j["topFragileFilePaths"] = std::move(paths);
  j["topFragileFileScores"] = std::move(scores);
  json predictions = json::array();
  for (const auto& p : r.predictions) predictions.push_back(p);
  j["predictions"] = std::move(predictions);
}

void from_json(const json& j, ImpactReport& r) {
  ImpactReport out;
  out.changedFiles = requiredStringList(j, "changedFiles");
  out.directDependents = requiredStringList(j, "directDependents");
  out.transitiveDependents = requiredStringList(j, "transitiveDependents");
  out.fragileFiles = requiredStringList(j, "fragileFiles");
  out.blastRadius = requiredInteger(j, "blastRadius");
  from_json(member(j, "riskLevel"), out.riskLevel);
  out.truncatedCount = requiredInteger(j, "truncatedCount");
  out.highImpactWarnings = requiredStringList(j, "highImpactWarnings");
  const auto paths = requiredStringList(j, "topFragileFilePaths");
  const json& scores = member(j, "topFragileFileScores");
  if (!scores.is_array()) throw RecordDecodingError("expected an array for topFragileFileScores");
  // Paired from the start; the surplus of the longer array is dropped.
  for (std::size_t i = 0; i < paths.size() && i < scores.size(); ++i) {
    out.topFragileFiles.push_back({paths[i], numberValue(scores[i], "topFragileFileScores")});
  }
  if (const json* predictions = optionalMember(j, "predictions")) {
    if (!predictions->is_array()) throw RecordDecodingError("expected an array for predictions");
    for (const auto& element : *predictions) {
      Prediction p;
      from_json(element, p);
      out.predictions.push_back(std::move(p));
    }
  }
  r = std::move(out);
}

void to_json(json& j, const BuildFailure& f) {
  j = json::object();
  j["id"] = f.id;
  j["project"] = f.project;
  j["timestamp"] = f.timestamp;
  putOptional(j, "triggerFile", f.triggerFile);
  j["errorFile"] = f.errorFile;
  putOptional(j, "errorLine", f.errorLine);
  j["errorMessage"] = f.errorMessage;
  j["errorType"] = f.errorType;
  j["resolved"] = f.resolved;
  putOptional(j, "resolvedAt", f.resolvedAt);
  putOptional(j, "sessionID", f.sessionID);
}

void from_json(const json& j, BuildFailure& f) {
  BuildFailure out;
  out.id = requiredInteger(j, "id");
  out.project = requiredString(j, "project");
  out.timestamp = requiredString(j, "timestamp");
  out.triggerFile = optionalString(j, "triggerFile");
  out.errorFile = requiredString(j, "errorFile");
  out.errorLine = optionalInteger(j, "errorLine");
  out.errorMessage = requiredString(j, "errorMessage");
  out.errorType = requiredString(j, "errorType");
  out.resolved = requiredBool(j, "resolved");
  out.resolvedAt = optionalString(j, "resolvedAt");
  out.sessionID = optionalString(j, "sessionID");
  f = std::move(out);
}

void to_json(json& j, const TestFailure& f) {
  j = json::object();
  j["id"] = f.id;
  j["project"] = f.project;
  j["timestamp"] = f.timestamp;
  j["testName"] = f.testName;
  putOptional(j, "testFile", f.testFile);
  putOptional(j, "triggerFile", f.triggerFile);
  putOptional(j, "errorMessage", f.errorMessage);
  j["framework"] = f.framework;
  j["resolved"] = f.resolved;
  putOptional(j, "sessionID", f.sessionID);
}

void from_json(const json& j, TestFailure& f) {
  TestFailure out;
  out.id = requiredInteger(j, "id");
  out.project = requiredString(j, "project");
  out.timestamp = requiredString(j, "timestamp");
  out.testName = requiredString(j, "testName");
  out.testFile = optionalString(j, "testFile");
  out.triggerFile = optionalString(j, "triggerFile");
  out.errorMessage = optionalString(j, "errorMessage");
  out.framework = requiredString(j, "framework");
  out.resolved = requiredBool(j, "resolved");
  out.sessionID = optionalString(j, "sessionID");
  f = std::move(out);
}

}  // namespace nodrel::codeintel
