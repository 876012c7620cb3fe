// server/transport.h: newline-delimited messages on standard input and output. Knows lines,
// not JSON-RPC: reading bounds every line, writing reports a client that went away.
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace nodrel::server {

// The longest line a client may send; a longer one is dropped up to its line feed.
inline constexpr std::size_t kMaxLineBytes = std::size_t{64} << 20;

struct InputLine {
  std::string text;       // without its line feed (or CR LF)
  bool overlong = false;  // the line passed kMaxLineBytes: `text` holds only its first bytes
};

// Reads lines from a file descriptor with its own buffer.
class LineReader {
 public:
  explicit LineReader(int fd, std::size_t maxLineBytes = kMaxLineBytes)
      : fd_(fd), maxLineBytes_(maxLineBytes) {}

  // The next line, or nothing at end of input (a last line without a line feed still counts).
  std::optional<InputLine> next();

 private:
  bool fill();  // false at end of input or on a read error

  int fd_;
  std::size_t maxLineBytes_;
  std::string buffer_;
  std::size_t start_ = 0;
  bool eof_ = false;
};

// Thrown when standard output can no longer be written: the client has gone away.
class ClientGone : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes the text and a line feed to standard output in full. Throws ClientGone.
void writeLine(std::string_view text);

// Removes spaces, tabs and the other Unicode space separators (not line breaks) at both ends.
std::string trimHorizontalSpace(std::string_view text);

}  // namespace nodrel::server
