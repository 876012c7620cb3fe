#include "store/pending_write_queue.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
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
  return platform::Instant(
      std::chrono::duration_cast<std::chrono::milliseconds>(kReferenceDate.time_since_epoch()) +
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
  if (w.reviveForgotten) o["reviveForgotten"] = true;
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
  if (!body->is_string() || !tier->is_string() || !type->is_string() || !queuedAt->is_number()) {
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
  if (auto revive = o.find("reviveForgotten"); revive != o.end() && !revive->is_null()) {
    if (!revive->is_boolean()) return std::nullopt;
    w.reviveForgotten = revive->get<bool>();
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

// Two writes are the same refused write whenever they were queued; a retry stamps it anew.
bool sameWrite(const PendingMemoryWrite& a, const PendingMemoryWrite& b) {
  return a.body == b.body && a.tier == b.tier && a.project == b.project && a.type == b.type &&
         a.tags == b.tags && a.importance == b.importance && a.contextPath == b.contextPath &&
         a.sourceSession == b.sourceSession;
}

// `array` (a JSON array's text) with the entries of `more` (another array's text) after its own.
std::string appendedArray(const std::string& array, bool arrayIsEmpty, const std::string& more) {
  const std::size_t close = array.find_last_not_of(" \t\r\n");
  std::string out = array.substr(0, close);  // without the closing bracket
  if (!arrayIsEmpty) out += ',';
  out.append(more, 1, std::string::npos);  // without the opening bracket
  return out;
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

std::optional<PendingWriteQueue::FileStamp> PendingWriteQueue::stampOf(
    const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec) || ec) return std::nullopt;
  FileStamp stamp;
  stamp.size = std::filesystem::file_size(path, ec);
  if (ec) return std::nullopt;
  stamp.modified = std::filesystem::last_write_time(path, ec);
  if (ec) return std::nullopt;
  return stamp;
}

// The file's entries as last counted, when its stamp is still `stamp`: nothing inside when it
// did not decode, nothing at all when it is unknown.
std::optional<std::optional<std::int64_t>> PendingWriteQueue::knownCount(
    const std::filesystem::path& path, const FileStamp& stamp) const {
  std::lock_guard lock(countedMutex_);
  if (counted_ && counted_->path == path && counted_->stamp == stamp) return counted_->entries;
  return std::nullopt;
}

void PendingWriteQueue::rememberCount(const std::filesystem::path& path, const FileStamp& stamp,
                                      std::optional<std::int64_t> entries) const {
  std::lock_guard lock(countedMutex_);
  counted_ = CountedFile{path, stamp, entries};
}

std::int64_t PendingWriteQueue::fileCount() const {
  try {
    const auto path = pendingWritesFilePath();
    // The stamp is taken before the read: a file replaced in between is counted again next time.
    const auto stamp = stampOf(path);
    if (!stamp) return 0;
    if (auto known = knownCount(path, *stamp)) return known->value_or(0);
    auto bytes = platform::readFile(path);
    auto decoded = bytes ? decodePendingWrites(*bytes) : std::nullopt;
    std::optional<std::int64_t> entries;
    if (decoded) entries = static_cast<std::int64_t>(decoded->size());
    rememberCount(path, *stamp, entries);
    return entries.value_or(0);
  } catch (const std::exception&) {
    return 0;
  }
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
  // Which held writes the file has once this spill is done.
  std::vector<bool> inFile(items_.size(), false);
  try {
    const auto path = pendingWritesFilePath();
    // Both programs spill into the one file: without the lock, one's read-modify-write would
    // drop the entries that the other wrote in between.
    platform::FileLock fileLock(path);

    // A held write that an earlier spill put into the file is not written again: a refused
    // write is retried and queued anew with every later write.
    std::vector<bool> alreadyThere(items_.size(), false);
    std::vector<bool> matched(inFile_.size(), false);
    for (std::size_t i = 0; i < items_.size(); ++i) {
      for (std::size_t j = 0; j < inFile_.size(); ++j) {
        if (!matched[j] && sameWrite(items_[i], inFile_[j])) {
          matched[j] = alreadyThere[i] = true;
          break;
        }
      }
    }

    std::optional<std::string> existing;  // the file's text, when it is an array to append to
    std::int64_t existingEntries = 0;
    std::error_code ec;
    bool canWrite = true;
    if (const auto stamp = stampOf(path)) {
      existing = platform::readFile(path);
      std::optional<std::int64_t> entries;
      if (existing) {
        if (auto known = knownCount(path, *stamp)) {
          entries = *known;
        } else if (auto decoded = decodePendingWrites(*existing)) {
          entries = static_cast<std::int64_t>(decoded->size());
        }
      }
      if (entries) {
        existingEntries = *entries;
      } else {
        existing.reset();
        canWrite = setAside(path);
      }
    } else if (std::filesystem::exists(path, ec) || ec) {
      // Something that is not a regular file: kept aside like an undecodable file.
      canWrite = setAside(path);
    }
    if (!existing) std::fill(alreadyThere.begin(), alreadyThere.end(), false);

    std::vector<PendingMemoryWrite> fresh;
    for (std::size_t i = 0; i < items_.size(); ++i) {
      if (!alreadyThere[i]) fresh.push_back(items_[i]);
    }
    if (canWrite && !fresh.empty()) {
      const std::string encoded = encodePendingWrites(fresh);
      platform::atomicWriteFile(
          path, existing ? appendedArray(*existing, existingEntries == 0, encoded) : encoded);
      if (const auto written = stampOf(path)) {
        rememberCount(path, *written, existingEntries + static_cast<std::int64_t>(fresh.size()));
      }
      std::fill(inFile.begin(), inFile.end(), true);
    } else if (canWrite) {
      inFile = alreadyThere;
    }
  } catch (const std::exception&) {
    // A missing data directory or a failed write loses only what the trim below drops, as the
    // file's record is best effort.
  }
  if (items_.size() > kPendingWritesKeptInMemory) {
    const auto dropped = static_cast<std::ptrdiff_t>(items_.size() - kPendingWritesKeptInMemory);
    items_.erase(items_.begin(), items_.begin() + dropped);
    inFile.erase(inFile.begin(), inFile.begin() + dropped);
  }
  inFile_.clear();
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (inFile[i]) inFile_.push_back(items_[i]);
  }
}

}  // namespace nodrel::store
