#include "server/transport.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "platform/files.h"

namespace nodrel::server {
namespace {

constexpr std::size_t kReadChunk = 1 << 16;

void writeAll(int fd, std::string_view bytes) {
  if (!platform::writeFully(fd, bytes)) throw ClientGone("write failed");
}

bool isHorizontalSpace(UChar32 c) {
  return c == '\t' || (c >= 0 && u_charType(c) == U_SPACE_SEPARATOR);
}

}  // namespace

bool LineReader::fill() {
  if (eof_) return false;
  if (start_ > 0) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  const std::size_t old = buffer_.size();
  buffer_.resize(old + kReadChunk);
  ssize_t n;
  do {
    n = ::read(fd_, buffer_.data() + old, kReadChunk);
  } while (n < 0 && errno == EINTR);
  buffer_.resize(old + (n > 0 ? static_cast<std::size_t>(n) : 0));
  if (n <= 0) eof_ = true;
  return n > 0;
}

std::optional<InputLine> LineReader::next() {
  InputLine line;
  std::size_t scanned = 0;  // bytes after start_ already searched for a line feed
  for (;;) {
    const std::size_t end = buffer_.find('\n', start_ + scanned);
    if (end != std::string::npos) {
      std::size_t stop = end;
      if (!line.overlong && stop > start_ && buffer_[stop - 1] == '\r') --stop;
      if (!line.overlong) line.text.assign(buffer_, start_, stop - start_);
      start_ = end + 1;
      return line;
    }
    scanned = buffer_.size() - start_;
    if (scanned > maxLineBytes_) {
      // Keep only the head, to name the line in the log, and stop buffering the rest.
      if (!line.overlong) {
        line.overlong = true;
        line.text.assign(buffer_, start_, 1024);
      }
      buffer_.clear();
      start_ = 0;
      scanned = 0;
    }
    if (!fill()) {
      if (start_ >= buffer_.size() && !line.overlong) return std::nullopt;
      if (!line.overlong) line.text.assign(buffer_, start_, std::string::npos);
      buffer_.clear();
      start_ = 0;
      return line;
    }
  }
}

void writeLine(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 1);
  out.append(text);
  out.push_back('\n');
  writeAll(STDOUT_FILENO, out);
}

std::string trimHorizontalSpace(std::string_view text) {
  if (text.size() > static_cast<std::size_t>(INT32_MAX)) return std::string(text);
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  int32_t begin = 0;
  while (begin < length) {
    int32_t i = begin;
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (!isHorizontalSpace(c)) break;
    begin = i;
  }
  int32_t end = length;
  while (end > begin) {
    int32_t i = end;
    UChar32 c;
    U8_PREV(s, begin, i, c);
    if (!isHorizontalSpace(c)) break;
    end = i;
  }
  return std::string(
      text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin)));
}

}  // namespace nodrel::server
