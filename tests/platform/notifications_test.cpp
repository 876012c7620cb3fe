#include "platform/notifications.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace nodrel::platform {
namespace {

TEST(Notifications, PostsSynchronouslyToMatchingObserversInOrder) {
  NotificationCenter center;
  std::vector<std::string> calls;
  center.addObserver("capacity", [&](const Notification& n) {
    calls.push_back("first:" + n.name + ":" + std::to_string(n.userInfo.at("demoted")));
  });
  center.addObserver("other", [&](const Notification&) { calls.push_back("other"); });
  center.addObserver("", [&](const Notification& n) { calls.push_back("all:" + n.name); });
  center.addObserver("capacity", [&](const Notification&) { calls.push_back("second"); });

  center.post({"capacity", {{"demoted", 3}}});
  EXPECT_EQ(calls, (std::vector<std::string>{"first:capacity:3", "all:capacity", "second"}));
  calls.clear();
  center.post({"unobserved", {}});
  EXPECT_EQ(calls, (std::vector<std::string>{"all:unobserved"}));
}

TEST(Notifications, RemovalAndScopedObservers) {
  NotificationCenter center;
  int count = 0;
  auto token = center.addObserver("n", [&](const Notification&) { ++count; });
  {
    ScopedObserver scoped(
        "n", [&](const Notification&) { count += 10; }, center);
    center.post({"n", {}});
    EXPECT_EQ(count, 11);
  }
  center.post({"n", {}});
  EXPECT_EQ(count, 12);
  center.removeObserver(token);
  center.removeObserver(token);  // twice is harmless
  center.post({"n", {}});
  EXPECT_EQ(count, 12);
}

TEST(Notifications, ObserverMayChangeObserversWhilePosted) {
  NotificationCenter center;
  int late = 0;
  NotificationCenter::Token self = 0;
  self = center.addObserver("n", [&](const Notification&) {
    center.removeObserver(self);
    center.addObserver("n", [&](const Notification&) { ++late; });
    center.post({"inner", {}});
  });
  center.post({"n", {}});
  EXPECT_EQ(late, 0);  // added during the post: not called for it
  center.post({"n", {}});
  EXPECT_EQ(late, 1);
}

TEST(Notifications, ACentreCallsOnlyItsOwnObservers) {
  NotificationCenter mine;
  NotificationCenter theirs;
  std::int64_t seen = 0;
  int theirsSeen = 0;
  ScopedObserver observer(
      "nodrel.test", [&](const Notification& n) { seen = n.userInfo.at("value"); }, mine);
  ScopedObserver other(
      "nodrel.test", [&](const Notification&) { ++theirsSeen; }, theirs);
  mine.post({"nodrel.test", {{"value", 42}}});
  EXPECT_EQ(seen, 42);
  EXPECT_EQ(theirsSeen, 0);
}

}  // namespace
}  // namespace nodrel::platform
