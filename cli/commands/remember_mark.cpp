// cli/commands/remember_mark.cpp: `nodrel remember-mark`, run by the /remember slash command.
// It only drops a marker file into the checkpoints folder; the Stop hook's checkpoint turns the
// marker into a memory later, so this never opens the database.
#include <chrono>
#include <exception>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "capture/captured_body.h"
#include "cli/commands.h"
#include "cli/output.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/time.h"
#include "platform/uuid.h"

namespace nodrel::cli {
namespace {

constexpr std::string_view kPrefix = "nodrel remember-mark: ";

// Milliseconds first, so that a plain name sort lists markers in the order they were made; the
// UUID keeps two markers of one millisecond apart.
std::string markerFileName() {
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  return std::to_string(millis) + "-" + platform::makeUUID() + ".json";
}

}  // namespace

int runRememberMark(Arguments args) {
  std::optional<std::string> cwd;
  std::optional<std::string> note;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg != "--cwd" && arg != "--note") continue;
    if (i + 1 == args.size()) {
      writeErr(std::string(kPrefix) + arg + " requires a value\n");
      return 1;
    }
    (arg == "--cwd" ? cwd : note) = args[++i];
  }
  if (!cwd || cwd->empty()) {
    writeErr(std::string(kPrefix) + "--cwd <path> is required\n");
    return 1;
  }

  try {
    // An ordered json object: its keys come out sorted.
    nlohmann::json marker = {{"cwd", platform::normaliseProjectPath(*cwd)},
                             {"created_at", platform::currentTimestampText()}};
    // No memory holds more than a tool would take, so neither does the note it is made from.
    if (note && !note->empty()) {
      marker["note"] = capture::cutText(*note, capture::kMaxCapturedBodyCharacters);
    }
    const std::string contents = marker.dump(2);

    const std::string name = markerFileName();
    const auto folder = platform::NodrelPaths::baseDirectory() / "checkpoints";
    platform::NodrelPaths::ensureDirectory(folder);
    platform::atomicWriteFile(folder / name, contents);
    writeOut("Marker saved (" + name +
             "). Nodrel will capture the context when Claude finishes responding.\n");
    return 0;
  } catch (const std::exception& error) {
    writeErr(std::string(kPrefix) + "could not write marker: " + error.what() + "\n");
    return 1;
  }
}

}  // namespace nodrel::cli
