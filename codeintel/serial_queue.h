// codeintel/serial_queue.h: a labelled serial queue of our own. Work handed to sync() runs on
// the calling thread while the queue is held, so two pieces of work on one queue never
// overlap; the caller waits for the result or the exception. Work must not call sync() on its
// own queue (it would wait for itself).
#pragma once

#include <mutex>
#include <string>
#include <utility>

namespace nodrel::codeintel {

class SerialQueue {
 public:
  explicit SerialQueue(std::string label) : label_(std::move(label)) {}
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }

  // Runs `work` and returns what it returns; whatever it throws reaches the caller.
  template <class Work>
  decltype(auto) sync(Work&& work) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::forward<Work>(work)();
  }

 private:
  std::string label_;
  std::mutex mutex_;
};

}  // namespace nodrel::codeintel
