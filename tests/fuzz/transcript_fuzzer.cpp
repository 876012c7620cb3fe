// libFuzzer target: bytes as a session transcript's text, read as the hook commands read it.
// Parsing never fails and never crashes; every message it yields carries non-empty text that
// is valid UTF-8 and trimmed, as its readers rely on.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "capture/transcript.h"
#include "platform/text.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_transcript: %s\n", what);
  std::abort();
}

bool isTrimSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const auto& message : nodrel::capture::parseTranscript(text)) {
    if (message.text.empty()) fail("a message without text");
    if (!nodrel::platform::isValidUtf8(message.text)) fail("a message that is not UTF-8");
    if (isTrimSpace(message.text.front()) || isTrimSpace(message.text.back())) {
      fail("a message that is not trimmed");
    }
  }
  return 0;
}
