// platform/interruption.h: a command that must not be cut off part-way (a hook storing what it
// captured) holds an InterruptionGuard: while it lives, SIGTERM, SIGINT and SIGHUP only note
// that they came, and the command looks at `interrupted()` between its writes to stop cleanly.
#pragma once

namespace nodrel::platform {

class InterruptionGuard {
 public:
  // Installs the handlers; the previous ones come back when the guard ends. One guard at a time.
  InterruptionGuard();
  InterruptionGuard(const InterruptionGuard&) = delete;
  InterruptionGuard& operator=(const InterruptionGuard&) = delete;
  ~InterruptionGuard();

  // True once one of the signals arrived while the guard lived.
  bool interrupted() const;
  // The first signal that arrived, or 0.
  int signalNumber() const;
};

}  // namespace nodrel::platform
