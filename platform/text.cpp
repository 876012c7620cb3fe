#include "platform/text.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

#include <unicode/brkiter.h>
#include <unicode/bytestream.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

namespace nodrel::platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// The length of the run of ASCII bytes that starts at `from`, tested eight bytes at a time:
// source files and most prose are nearly all ASCII, and a byte at a time costs several times
// as much.
std::size_t asciiRun(std::string_view text, std::size_t from) {
  std::size_t i = from;
  while (text.size() - i >= 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, text.data() + i, sizeof word);
    if (word & kHighBits) break;
    i += 8;
  }
  while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) ++i;
  return i - from;
}

bool isAscii(std::string_view text) { return asciiRun(text, 0) == text.size(); }

// Decodes the code point at `i` and advances past it; an ill-formed sequence (its maximal
// prefix, as ICU counts it) gives U+FFFD.
char32_t nextCodePoint(std::string_view text, std::size_t& i) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  // U8_NEXT works on int32_t indexes; decode from a window so long texts stay in range.
  const std::int32_t length = static_cast<std::int32_t>(std::min<std::size_t>(text.size() - i, 8));
  std::int32_t offset = 0;
  UChar32 c = 0;
  U8_NEXT(s + i, offset, length, c);
  i += static_cast<std::size_t>(offset);
  return c < 0 ? kReplacement : static_cast<char32_t>(c);
}

// Decodes the code point that ends at `end` and moves `end` to its start.
char32_t previousCodePoint(std::string_view text, std::size_t& end) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t windowStart = end >= 8 ? end - 8 : 0;
  std::int32_t offset = static_cast<std::int32_t>(end - windowStart);
  UChar32 c = 0;
  U8_PREV(s + windowStart, 0, offset, c);
  end = windowStart + static_cast<std::size_t>(offset);
  return c < 0 ? kReplacement : static_cast<char32_t>(c);
}

// Texts longer than ICU's 32-bit lengths are beyond what these helpers are used for; they are
// cut rather than handed to ICU with a wrapped length.
std::string_view icuSized(std::string_view text) {
  constexpr auto kMax = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
  return text.size() > kMax ? text.substr(0, kMax) : text;
}

icu::BreakIterator* characterIterator() {
  // Creating a break iterator loads rules and costs far more than using one.
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) it.reset();
    return it;
  }();
  return iterator.get();
}

// Calls `onBoundary` with the byte offset of each cluster end until it returns false. `text`
// must be valid UTF-8.
template <typename F>
void forEachGraphemeEnd(std::string_view text, F&& onBoundary) {
  icu::BreakIterator* it = characterIterator();
  text = icuSized(text);
  if (it == nullptr) {
    // Without ICU's rules fall back to code points, which is still never a cut inside one.
    std::size_t i = 0;
    while (i < text.size()) {
      nextCodePoint(text, i);
      if (!onBoundary(i)) return;
    }
    return;
  }
  UErrorCode status = U_ZERO_ERROR;
  UText ut = UTEXT_INITIALIZER;
  utext_openUTF8(&ut, text.data() != nullptr ? text.data() : "",
                 static_cast<std::int64_t>(text.size()), &status);
  if (U_FAILURE(status)) return;
  it->setText(&ut, status);
  if (U_SUCCESS(status)) {
    it->first();
    for (std::int32_t b = it->next(); b != icu::BreakIterator::DONE; b = it->next()) {
      if (!onBoundary(static_cast<std::size_t>(b))) break;
    }
  }
  // The iterator keeps a shallow clone of `ut`; point it at nothing before the bytes go.
  UText empty = UTEXT_INITIALIZER;
  UErrorCode ignored = U_ZERO_ERROR;
  utext_openUTF8(&empty, "", 0, &ignored);
  it->setText(&empty, ignored);
  utext_close(&empty);
  utext_close(&ut);
}

icu::UnicodeString toUnicode(std::string_view validText) {
  validText = icuSized(validText);
  return icu::UnicodeString::fromUTF8(
      icu::StringPiece(validText.data() != nullptr ? validText.data() : "",
                       static_cast<std::int32_t>(validText.size())));
}

std::string toUtf8(const icu::UnicodeString& s) {
  std::string out;
  s.toUTF8String(out);
  return out;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  while (i < text.size()) {
    if (s[i] < 0x80) {
      i += asciiRun(text, i);
      continue;
    }
    const std::int32_t length =
        static_cast<std::int32_t>(std::min<std::size_t>(text.size() - i, 8));
    std::int32_t offset = 0;
    UChar32 c = 0;
    U8_NEXT(s + i, offset, length, c);
    if (c < 0) return false;
    i += static_cast<std::size_t>(offset);
  }
  return true;
}

std::string repairUtf8(std::string_view text) {
  if (isValidUtf8(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() + 8);
  std::size_t i = 0;
  while (i < text.size()) appendUtf8(out, nextCodePoint(text, i));
  return out;
}

std::size_t graphemeCount(std::string_view text) {
  if (isAscii(text)) {
    // Every ASCII character is a cluster of its own except CR LF, which is one.
    std::size_t count = text.size();
    for (std::size_t i = 1; i < text.size(); ++i) {
      if (text[i] == '\n' && text[i - 1] == '\r') --count;
    }
    return count;
  }
  const std::string valid = repairUtf8(text);
  std::size_t count = 0;
  forEachGraphemeEnd(valid, [&](std::size_t) {
    ++count;
    return true;
  });
  return count;
}

std::string graphemePrefix(std::string_view text, std::size_t count) {
  if (count == 0) return {};
  if (isAscii(text)) {
    std::size_t i = 0;
    for (std::size_t taken = 0; taken < count && i < text.size(); ++taken) {
      i += (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
    }
    return std::string(text.substr(0, i));
  }
  const std::string valid = repairUtf8(text);
  std::size_t end = valid.size();
  std::size_t taken = 0;
  forEachGraphemeEnd(valid, [&](std::size_t boundary) {
    if (++taken < count) return true;
    end = boundary;
    return false;
  });
  return valid.substr(0, end);
}

std::string lowercase(std::string_view text) {
  if (isAscii(text)) return asciiLowercase(text);
  icu::UnicodeString s = toUnicode(repairUtf8(text));
  s.toLower(icu::Locale::getRoot());
  return toUtf8(s);
}

std::string asciiLowercase(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool isUnicodeWhitespace(char32_t c) {
  if (c >= 0x09 && c <= 0x0D) return true;
  if (c == 0x20 || c == 0x85) return true;
  if (c < 0x80) return false;
  switch (u_charType(static_cast<UChar32>(c))) {
    case U_SPACE_SEPARATOR:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
      return true;
    default:
      return false;
  }
}

std::string trimWhitespace(std::string_view input) {
  const std::string valid = repairUtf8(input);
  const std::string_view text = valid;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t next = begin;
    if (!isUnicodeWhitespace(nextCodePoint(text, next))) break;
    begin = next;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t previous = end;
    if (!isUnicodeWhitespace(previousCodePoint(text, previous))) break;
    end = previous;
  }
  return std::string(text.substr(begin, end - begin));
}

std::string nfc(std::string_view input) {
  if (isAscii(input)) return std::string(input);
  const std::string valid = repairUtf8(input);
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status) || normalizer == nullptr) return valid;
  const std::string_view sized = icuSized(valid);
  const icu::StringPiece piece(sized.data(), static_cast<std::int32_t>(sized.size()));
  if (normalizer->isNormalizedUTF8(piece, status) && U_SUCCESS(status)) return valid;
  status = U_ZERO_ERROR;
  std::string out;
  icu::StringByteSink<std::string> sink(&out);
  normalizer->normalizeUTF8(0, piece, sink, nullptr, status);
  if (U_FAILURE(status)) return valid;
  return out;
}

std::u32string toCodePoints(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) out.push_back(nextCodePoint(text, i));
  return out;
}

std::string fromCodePoints(std::u32string_view codePoints) {
  std::string out;
  out.reserve(codePoints.size());
  for (char32_t c : codePoints) appendUtf8(out, c);
  return out;
}

void appendUtf8(std::string& out, char32_t c) {
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = kReplacement;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace nodrel::platform
