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

std::vector<PendingCapture> loadPendingCaptures() {
  auto bytes = platform::readFile(pendingCapturesPath());
  if (!bytes) return {};
  return decode(*bytes);
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
