#include "codeintel/failure_summary.h"

#include "store/write_path.h"

namespace nodrel::codeintel {

void writeFailureSummary(db::Connection& connection, store::WriteState& state, std::string body,
                         std::string_view tag, std::int64_t importance, const std::string& project,
                         const std::optional<std::string>& triggerFile,
                         const std::optional<std::string>& sessionID) {
  store::MemoryWrite write;
  write.body = std::move(body);
  write.tier = store::MemoryTier::Episodic;
  write.project = project;
  write.type = store::MemoryType::Observation;
  write.tags = std::string(tag);
  write.importance = importance;
  write.contextPath = triggerFile;
  write.sourceSession = sessionID;
  try {
    store::writeMemory(connection, state, write);
  } catch (...) {
  }
}

}  // namespace nodrel::codeintel
