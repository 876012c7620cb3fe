#include "store/pending_write_queue.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cmath>
#include <exception>
#include <system_error>
#include <utility>

#include <nlohmann/json.hpp>

#include "platform/files.h"
#include "platform/paths.h"

namespace nodrel::store {
namespace {

using nlohmann::json;

constexpr std::string_view kFileName = "pending-writes.json";

// 2001-01-01T00:00:00Z, the epoch of "queuedAt".
constexpr auto kReferenceDate =
    std::chrono::sys_days{std::chrono::year{2001} / std::chrono::January / 1};

// Far beyond any real date, yet small enough that the milliseconds fit in 64 bits.
constexpr double kLargestQueuedAtSeconds = 1e14;

platform::Instant instantFromReferenceSeconds(double seconds) {
  seconds = std::clamp(seconds, -kLargestQueuedAtSeconds, kLargestQueuedAtSeconds);
  return platform::Instant(std::chrono::duration_cast<std::chrono::milliseconds>(
                               kReferenceDate.time_since_epoch()) +
                           std::chrono::milliseconds(std::llround(seconds * 1000.0)));
}

json toJSON(const PendingMemoryWrite& w) {
  json o = json::object();
  o["body"] = w.body;
  o["tier"] = std::string(toString(w.tier));
  o["type"] = std::string(toString(w.type));
  o["importance"] = w.importance;
  o["queuedAt"] = platform::secondsSinceReferenceDate(w.queuedAt);
  if (w.project) o["project"] = *w.project;
  if (w.tags) o["tags"] = *w.tags;
  if (w.contextPath) o["contextPath"] = *w.contextPath;
  if (w.sourceSession) o["sourceSession"] = *w.sourceSession;
  return o;
}

// Absent key or null: absent. A value of another kind fails the whole decode.
bool readOptionalText(const json& o, const char* key, std::optional<std::string>& out) {
  auto it = o.find(key);
  if (it == o.end() || it->is_null()) return true;
  if (!it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

std::optional<std::int64_t> integerValue(const json& v) {
  if (v.is_number_integer() && !v.is_number_unsigned()) return v.get<std::int64_t>();
  if (v.is_number_unsigned()) {
    auto u = v.get<std::uint64_t>();
    if (u <= static_cast<std::uint64_t>(INT64_MAX)) return static_cast<std::int64_t>(u);
    return std::nullopt;
  }
  if (v.is_number_float()) {
    double d = v.get<double>();
    // Exactly representable integers only; 2^63 itself does not fit.
    if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 &&
        d < 9223372036854775808.0) {
      return static_cast<std::int64_t>(d);
    }
  }
  return std::nullopt;
}

std::optional<PendingMemoryWrite> fromJSON(const json& o) {
  if (!o.is_object()) return std::nullopt;
  PendingMemoryWrite w;
  auto body = o.find("body");
  auto tier = o.find("tier");
  auto type = o.find("type");
  auto importance = o.find("importance");
  auto queuedAt = o.find("queuedAt");
  if (body == o.end() || tier == o.end() || type == o.end() || importance == o.end() ||
      queuedAt == o.end()) {
    return std::nullopt;
  }
  if (!body->is_string() || !tier->is_string() || !type->is_string() ||
      !queuedAt->is_number()) {
    return std::nullopt;
  }
  w.body = body->get<std::string>();
  auto t = memoryTierFromRaw(tier->get<std::string>());
  auto ty = memoryTypeFromRaw(type->get<std::string>());
  auto imp = integerValue(*importance);
  if (!t || !ty || !imp) return std::nullopt;
  w.tier = *t;
  w.type = *ty;
  w.importance = *imp;
  w.queuedAt = instantFromReferenceSeconds(queuedAt->get<double>());
  if (!readOptionalText(o, "project", w.project) || !readOptionalText(o, "tags", w.tags) ||
      !readOptionalText(o, "contextPath", w.contextPath) ||
      !readOptionalText(o, "sourceSession", w.sourceSession)) {
    return std::nullopt;
  }
  return w;
}

// Moves an undecodable file out of the way so that the spill that replaces it keeps its bytes
// for the user. False when nothing could be moved.
bool setAside(const std::filesystem::path& path) {
  auto stamp = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string suffix = ".corrupt-";
    suffix += std::to_string(stamp);
    if (attempt > 0) {
      suffix += '-';
      suffix += std::to_string(attempt);
    }
    auto aside = path;
    aside += suffix;
    std::error_code ec;
    if (std::filesystem::exists(aside, ec) || ec) continue;
    std::filesystem::rename(path, aside, ec);
    return !ec;
  }
  return false;
}

}  // namespace

std::filesystem::path pendingWritesFilePath() {
  return platform::NodrelPaths::baseDirectory() / kFileName;
}

std::string encodePendingWrites(const std::vector<PendingMemoryWrite>& writes) {
  json array = json::array();
  for (const auto& w : writes) array.push_back(toJSON(w));
  return array.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<std::vector<PendingMemoryWrite>> decodePendingWrites(std::string_view text) {
  json parsed = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded() || !parsed.is_array()) return std::nullopt;
  std::vector<PendingMemoryWrite> out;
  out.reserve(parsed.size());
  for (const auto& element : parsed) {
    auto w = fromJSON(element);
    if (!w) return std::nullopt;
    out.push_back(std::move(*w));
  }
  return out;
}

std::int64_t pendingWritesFileCount() {
  try {
    auto bytes = platform::readFile(pendingWritesFilePath());
    if (!bytes) return 0;
    auto decoded = decodePendingWrites(*bytes);
    return decoded ? static_cast<std::int64_t>(decoded->size()) : 0;
  } catch (const std::exception&) {
    return 0;
  }
}

PendingWriteQueue& PendingWriteQueue::shared() {
  static PendingWriteQueue* queue = new PendingWriteQueue();  // never destroyed: outlives statics
  return *queue;
}

std::vector<PendingMemoryWrite> PendingWriteQueue::items() const {
  std::lock_guard lock(mutex_);
  return items_;
}

std::size_t PendingWriteQueue::size() const {
  std::lock_guard lock(mutex_);
  return items_.size();
}

std::vector<PendingMemoryWrite> PendingWriteQueue::takeAll() {
  std::lock_guard lock(mutex_);
  return std::exchange(items_, {});
}

void PendingWriteQueue::enqueue(PendingMemoryWrite write) {
  std::lock_guard lock(mutex_);
  const std::size_t heldBefore = items_.size();
  items_.push_back(std::move(write));
  if (heldBefore >= kPendingWritesKeptInMemory) spillLocked();
}

void PendingWriteQueue::spillToDisk() {
  std::lock_guard lock(mutex_);
  spillLocked();
}

void PendingWriteQueue::spillLocked() {
  try {
    const auto path = pendingWritesFilePath();
    // Both programs spill into the one file: without the lock, one's read-modify-write would
    // drop the entries that the other wrote in between.
    platform::FileLock fileLock(path);
    std::vector<PendingMemoryWrite> all;
    std::error_code ec;
    bool canWrite = true;
    if (std::filesystem::exists(path, ec)) {
      auto bytes = platform::readFile(path);
      auto decoded = bytes ? decodePendingWrites(*bytes) : std::nullopt;
      if (decoded) {
        all = std::move(*decoded);
      } else {
        canWrite = setAside(path);
      }
    }
    if (canWrite) {
      all.insert(all.end(), items_.begin(), items_.end());
      platform::atomicWriteFile(path, encodePendingWrites(all));
    }
  } catch (const std::exception&) {
    // A missing data directory or a failed write loses only what the trim below drops, as the
    // file's record is best effort.
  }
  if (items_.size() > kPendingWritesKeptInMemory) {
    items_.erase(items_.begin(),
                 items_.end() - static_cast<std::ptrdiff_t>(kPendingWritesKeptInMemory));
  }
}

}  // namespace nodrel::store
