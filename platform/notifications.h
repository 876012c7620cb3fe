// platform/notifications.h: in-process notifications, posted synchronously to observers.
// The memory writers post on the centre of the run's write state; nothing in the programs
// observes it, tests do.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace nodrel::platform {

struct Notification {
  std::string name;
  std::map<std::string, std::int64_t> userInfo;
};

class NotificationCenter {
 public:
  using Observer = std::function<void(const Notification&)>;
  using Token = std::uint64_t;

  // Observes every notification with the name (an empty name observes all).
  Token addObserver(std::string name, Observer observer);
  void removeObserver(Token token);
  // Calls the matching observers in the order they were added, on the calling thread.
  void post(const Notification& notification);

 private:
  struct Entry {
    Token token;
    std::string name;
    Observer observer;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
  Token next_ = 1;
};

// Removes its observer when it goes out of scope.
class ScopedObserver {
 public:
  ScopedObserver(std::string name, NotificationCenter::Observer observer,
                 NotificationCenter& center);
  ~ScopedObserver();
  ScopedObserver(const ScopedObserver&) = delete;
  ScopedObserver& operator=(const ScopedObserver&) = delete;

 private:
  NotificationCenter& center_;
  NotificationCenter::Token token_;
};

}  // namespace nodrel::platform
