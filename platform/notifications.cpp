#include "platform/notifications.h"

#include <algorithm>
#include <utility>

namespace nodrel::platform {

NotificationCenter::Token NotificationCenter::addObserver(std::string name, Observer observer) {
  std::lock_guard lock(mutex_);
  const Token token = next_++;
  entries_.push_back(Entry{token, std::move(name), std::move(observer)});
  return token;
}

void NotificationCenter::removeObserver(Token token) {
  std::lock_guard lock(mutex_);
  std::erase_if(entries_, [token](const Entry& e) { return e.token == token; });
}

void NotificationCenter::post(const Notification& notification) {
  // Observers run outside the lock so that they may post, add or remove observers themselves.
  std::vector<Observer> matching;
  {
    std::lock_guard lock(mutex_);
    for (const Entry& e : entries_) {
      if (e.name.empty() || e.name == notification.name) matching.push_back(e.observer);
    }
  }
  for (const Observer& observer : matching) {
    if (observer) observer(notification);
  }
}

ScopedObserver::ScopedObserver(std::string name, NotificationCenter::Observer observer,
                               NotificationCenter& center)
    : center_(center), token_(center.addObserver(std::move(name), std::move(observer))) {}

ScopedObserver::~ScopedObserver() { center_.removeObserver(token_); }

}  // namespace nodrel::platform
