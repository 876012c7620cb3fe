#include "capture/pending_captures.h"

#include <algorithm>
#include <system_error>

#include <nlohmann/json.hpp>

#include "platform/files.h"
#include "platform/paths.h"

namespace nodrel::capture {
namespace {

using nlohmann::json;

std::vector<PendingCapture> decode(const std::string& bytes) {
  std::vector<PendingCapture> list;
  const json array = json::parse(bytes, nullptr, /*allow_exceptions=*/false);
  if (!array.is_array()) return list;
  for (const json& entry : array) {
    if (!entry.is_object()) continue;
    auto session = entry.find("session_id");
    auto transcript = entry.find("transcript_path");
    if (session == entry.end() || !session->is_string() || transcript == entry.end() ||
        !transcript->is_string()) {
      continue;
    }
    PendingCapture pending{session->get<std::string>(), transcript->get<std::string>(), ""};
    if (auto cwd = entry.find("cwd"); cwd != entry.end() && cwd->is_string()) {
      pending.cwd = cwd->get<std::string>();
    }
    list.push_back(std::move(pending));
  }
  return list;
}

}  // namespace

std::filesystem::path pendingCapturesPath() {
  return platform::NodrelPaths::baseDirectory() / "pending-captures.json";
}

bool pendingCapturesWaiting() {
  std::error_code ec;
  return std::filesystem::exists(pendingCapturesPath(), ec);
}

std::vector<PendingCapture> loadPendingCaptures(std::string* setAside) {
  const std::filesystem::path path = pendingCapturesPath();
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) return {};
  std::vector<PendingCapture> list;
  if (size <= kMaxPendingCapturesBytes) {
    auto bytes = platform::readFile(path, static_cast<std::size_t>(kMaxPendingCapturesBytes));
    if (!bytes) return {};
    list = decode(*bytes);
    if (list.size() <= kMaxPendingCaptures) return list;
  }
  std::filesystem::path aside = path;
  aside += ".set-aside";
  std::filesystem::rename(path, aside, ec);
  if (setAside) {
    *setAside = "the pending-captures list is larger than " + std::to_string(kMaxPendingCaptures) +
                " entries; it was set aside as " + aside.string() +
                (ec ? " (the rename failed: " + ec.message() + ")" : "");
  }
  return {};
}

void updatePendingCaptures(const std::vector<PendingCapture>& add,
                           const std::vector<std::string>& done) {
  const std::filesystem::path path = pendingCapturesPath();
  std::error_code ec;
  if (add.empty() && !std::filesystem::exists(path, ec)) return;
  platform::NodrelPaths::ensureDirectory(path.parent_path());
  platform::FileLock lock(path);
  std::vector<PendingCapture> list = loadPendingCaptures();
  auto gone = [&](const PendingCapture& entry) {
    if (std::find(done.begin(), done.end(), entry.sessionId) != done.end()) return true;
    return std::any_of(add.begin(), add.end(),
                       [&](const PendingCapture& a) { return a.sessionId == entry.sessionId; });
  };
  std::erase_if(list, gone);
  list.insert(list.end(), add.begin(), add.end());
  if (list.size() > kMaxPendingCaptures) {
    list.erase(list.begin(), list.end() - static_cast<std::ptrdiff_t>(kMaxPendingCaptures));
  }
  if (list.empty()) {
    std::filesystem::remove(path, ec);
    return;
  }
  json array = json::array();
  for (const PendingCapture& entry : list) {
    array.push_back({{"session_id", entry.sessionId},
                     {"transcript_path", entry.transcriptPath},
                     {"cwd", entry.cwd}});
  }
  platform::atomicWriteFile(path, array.dump(2, ' ', false, json::error_handler_t::replace));
}

}  // namespace nodrel::capture
