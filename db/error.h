// db/error.h: the one error type of the database layer, carrying SQLite's result code.
#pragma once

#include <stdexcept>
#include <string>

namespace nodrel::db {

class Error : public std::runtime_error {
 public:
  // `code` is SQLite's extended result code; `message` its message text. what() gives both, as
  // "SQLite error <code>: <message>", so the code travels wherever the error's text goes.
  Error(int code, const std::string& message);

  int code() const noexcept { return code_; }
  int primaryCode() const noexcept { return code_ & 0xff; }
  // SQLite's message alone.
  const std::string& message() const noexcept { return message_; }
  // True for SQLITE_BUSY and SQLITE_LOCKED: the write may succeed when retried later.
  bool isBusyOrLocked() const noexcept;

 private:
  int code_;
  std::string message_;
};

}  // namespace nodrel::db
